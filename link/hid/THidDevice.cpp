#include "THidDevice.h"

#include "THidDeviceController.h"
#include "THidDeviceReadThread.h"

namespace {

// The system's string buffers hold 254 UTF-16 units.
constexpr int kMaxStringUnits = 254;

} // namespace

THidDevice::THidDevice(std::unique_ptr<THidPnPInfo> pnpInfo, THidDeviceController *controller,
                       HidBackend *backend)
    : m_ownerController(controller), m_backend(backend), m_pnpInfo(std::move(pnpInfo))
{
    if (controller) {
        SetOnData(controller->OnDeviceData());
        m_onUnplug = controller->OnDeviceUnplug();
    }
    int error = 0;
    m_deviceHandle = m_backend->openDevice(m_pnpInfo->DevicePath, &error);
    if (!m_deviceHandle)
        throw EControllerError(QStringLiteral("device cannot be opened"));
    m_readWriteAccess = m_deviceHandle->readWrite();
    const std::optional<HidAttributes> attributes = m_deviceHandle->attributes();
    if (!attributes)
        throw EControllerError(QStringLiteral("device cannot be identified"));
    m_attributes = *attributes;
    CloseDeviceHandle();
}

THidDevice::~THidDevice()
{
    SetOnData({});
    m_onUnplug = {};
    CloseDeviceHandle();
    CloseReadHandle();
}

bool THidDevice::accessAllowed() const
{
    return m_pluggedIn && (m_checkedOut || m_eventAccess);
}

bool THidDevice::OpenDeviceHandle()
{
    if (accessAllowed() && !m_deviceHandle) {
        int error = 0;
        m_deviceHandle = m_backend->openDevice(m_pnpInfo->DevicePath, &error);
        if (m_deviceHandle)
            m_readWriteAccess = m_deviceHandle->readWrite();
    }
    return m_deviceHandle != nullptr;
}

void THidDevice::CloseDeviceHandle()
{
    m_deviceHandle.reset();
}

void THidDevice::CloseReadHandle()
{
    // The read handle belongs to the read thread, which closes it at once when asked.
    if (m_dataThread)
        m_dataThread->dropReader();
}

QString THidDevice::ProductName()
{
    if (m_productName.isEmpty() && OpenDeviceHandle()) {
        m_productName = m_deviceHandle->productString().left(kMaxStringUnits);
        CloseDeviceHandle();
    }
    return m_productName;
}

QString THidDevice::SerialNumber()
{
    if (m_serialNumber.isEmpty() && OpenDeviceHandle()) {
        if (const std::optional<QString> serial = m_deviceHandle->serialNumberString())
            m_serialNumber = serialFromStrings(*serial, m_deviceHandle->stringDescriptor0());
        CloseDeviceHandle();
    }
    return m_serialNumber;
}

QString THidDevice::serialFromStrings(const QString &serial,
                                      const std::optional<QString> &languages)
{
    const QString s = serial.left(kMaxStringUnits);
    if (!languages)
        return s;
    QString d = languages->left(kMaxStringUnits);
    if (d.endsWith(QChar(0)))
        d.chop(1);
    const qsizetype l = d.size();
    for (qsizetype i = 0; i < l; ++i) {
        if (i >= s.size() || s.at(i) != d.at(i))
            return s;
    }
    return QString();
}

int THidDevice::InputReportByteLength()
{
    if (m_inputReportByteLength < 0) {
        const bool wasOpen = m_deviceHandle != nullptr;
        if (OpenDeviceHandle()) {
            m_inputReportByteLength = m_deviceHandle->inputReportByteLength();
            if (!wasOpen)
                CloseDeviceHandle();
        }
    }
    return std::max(m_inputReportByteLength, 0);
}

bool THidDevice::SendFeatureReport(const quint8 *buffer, int size)
{
    if (!OpenDeviceHandle())
        return false;
    return m_deviceHandle->setFeature(buffer, size) == 0;
}

void THidDevice::SetOnData(const THidDataEvent &handler)
{
    if (!handler)
        StopReadThread();
    m_onData = handler;
    StartReadThread();
}

void THidDevice::SetReadSleepTime(int ms)
{
    if (ms >= 10 && ms <= 10000)
        m_readSleepTime = ms;
}

void THidDevice::Unplug()
{
    CloseDeviceHandle();
    m_pluggedIn = false;
    m_readAllowed = false;
    CloseReadHandle();
    if (m_onUnplug) {
        const THidPlugEvent handler = m_onUnplug;
        m_onUnplug = {};
        handler(this);
    }
}

void THidDevice::StartReadThread()
{
    if (!m_onData || !m_pluggedIn || !m_checkedOut || !m_readWriteAccess || m_dataThread)
        return;
    m_readAllowed = true;
    // Opened here rather than in the thread, so that no report sent after this call is missed:
    // the kernel queues reports only for handles that are open.
    int error = 0;
    std::unique_ptr<HidReadHandle> reader = m_backend->openReader(m_pnpInfo->DevicePath, &error);
    m_dataThread =
        std::make_unique<THidDeviceReadThread>(this, InputReportByteLength(), std::move(reader));
    m_dataThread->start();
}

void THidDevice::StopReadThread()
{
    if (!m_dataThread)
        return;
    // Taken out first: a handler that runs while the thread ends finds no thread to stop again.
    std::unique_ptr<THidDeviceReadThread> thread = std::move(m_dataThread);
    thread->stop();
}
