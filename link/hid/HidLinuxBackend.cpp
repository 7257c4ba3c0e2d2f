#include "HidLinuxBackend.h"

#include "HidReportDescriptor.h"

#include <QFile>
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <libudev.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString text(const char *s)
{
    return s ? QString::fromUtf8(s) : QString();
}

// The hidraw node's udev device, found from its node without opening it.
udev_device *deviceForNode(udev *u, const QString &path)
{
    struct stat st = {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISCHR(st.st_mode))
        return nullptr;
    return udev_device_new_from_devnum(u, 'c', st.st_rdev);
}

QByteArray readDescriptor(int fd, udev_device *hid)
{
    if (fd >= 0) {
        int size = 0;
        if (::ioctl(fd, HIDIOCGRDESCSIZE, &size) == 0 && size > 0 &&
            size <= HID_MAX_DESCRIPTOR_SIZE) {
            hidraw_report_descriptor descriptor = {};
            descriptor.size = quint32(size);
            if (::ioctl(fd, HIDIOCGRDESC, &descriptor) == 0)
                return QByteArray(reinterpret_cast<const char *>(descriptor.value), size);
        }
    }
    // sysfs has it too, readable without access to the node.
    if (hid) {
        QFile file(text(udev_device_get_syspath(hid)) + QStringLiteral("/report_descriptor"));
        if (file.open(QIODevice::ReadOnly))
            return file.read(HID_MAX_DESCRIPTOR_SIZE);
    }
    return QByteArray();
}

HidReportLayout layoutOf(const QByteArray &descriptor)
{
    return parseHidReportDescriptor(reinterpret_cast<const std::uint8_t *>(descriptor.constData()),
                                    std::size_t(descriptor.size()));
}

class LinuxQueryHandle : public HidQueryHandle
{
public:
    LinuxQueryHandle(int fd, bool readWrite, udev_device *node)
        : m_fd(fd), m_readWrite(readWrite), m_node(node),
          m_hid(udev_device_get_parent_with_subsystem_devtype(node, "hid", nullptr)),
          m_usb(udev_device_get_parent_with_subsystem_devtype(node, "usb", "usb_device"))
    {
    }
    ~LinuxQueryHandle() override
    {
        if (m_fd >= 0)
            ::close(m_fd);
        udev_device_unref(m_node); // its parents go with it
    }

    bool readWrite() const override { return m_readWrite; }

    std::optional<HidAttributes> attributes() override
    {
        HidAttributes a;
        hidraw_devinfo info = {};
        if (m_fd >= 0 && ::ioctl(m_fd, HIDIOCGRAWINFO, &info) == 0) {
            // The kernel declares the ids signed.
            a.VendorID = quint16(info.vendor);
            a.ProductID = quint16(info.product);
        } else {
            // HID_ID is "bus:vendor:product" in hex, e.g. 0003:00001A2B:000080C3.
            const QStringList id =
                text(m_hid ? udev_device_get_property_value(m_hid, "HID_ID") : nullptr).split(u':');
            bool vendorOk = false, productOk = false;
            if (id.size() != 3)
                return std::nullopt;
            a.VendorID = quint16(id.at(1).toUInt(&vendorOk, 16));
            a.ProductID = quint16(id.at(2).toUInt(&productOk, 16));
            if (!vendorOk || !productOk)
                return std::nullopt;
        }
        if (m_usb)
            a.VersionNumber = quint16(
                text(udev_device_get_sysattr_value(m_usb, "bcdDevice")).toUInt(nullptr, 16));
        return a;
    }

    // On USB, HID_NAME is "manufacturer product"; the product alone is the USB device's.
    QString productString() override
    {
        if (m_usb)
            return text(udev_device_get_sysattr_value(m_usb, "product"));
        return text(m_hid ? udev_device_get_property_value(m_hid, "HID_NAME") : nullptr);
    }

    std::optional<QString> serialNumberString() override
    {
        const QString serial =
            m_usb ? text(udev_device_get_sysattr_value(m_usb, "serial"))
                  : text(m_hid ? udev_device_get_property_value(m_hid, "HID_UNIQ") : nullptr);
        if (serial.isEmpty())
            return std::nullopt;
        return serial;
    }

    // The kernel reads the serial in the device's language and does not show the language list.
    std::optional<QString> stringDescriptor0() override { return std::nullopt; }

    int inputReportByteLength() override
    {
        return layoutOf(readDescriptor(m_fd, m_hid)).inputReportByteLength();
    }

    int setFeature(const quint8 *data, int size) override
    {
        if (m_fd < 0 || !m_readWrite)
            return EBADF;
        QByteArray copy(reinterpret_cast<const char *>(data), size);
        if (::ioctl(m_fd, HIDIOCSFEATURE(size), copy.data()) < 0)
            return errno;
        return 0;
    }

private:
    int m_fd = -1;
    bool m_readWrite = false;
    udev_device *m_node = nullptr;
    udev_device *m_hid = nullptr;
    udev_device *m_usb = nullptr;
};

class LinuxReadHandle : public HidReadHandle
{
public:
    LinuxReadHandle(int fd, int wakeFd, bool prependId)
        : m_fd(fd), m_wakeFd(wakeFd), m_prependId(prependId)
    {
    }
    ~LinuxReadHandle() override
    {
        ::close(m_fd);
        ::close(m_wakeFd);
    }

    Result read(quint8 *buffer, int size, int timeoutMs, int &bytes, quint32 &error) override
    {
        pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
        const int ready = ::poll(fds, 2, timeoutMs);
        if (ready < 0) {
            if (errno == EINTR)
                return Result::TimedOut;
            error = quint32(errno);
            return Result::Failed;
        }
        if (fds[1].revents & POLLIN) {
            eventfd_t drained = 0;
            eventfd_read(m_wakeFd, &drained);
            return Result::Woken;
        }
        if (ready == 0)
            return Result::TimedOut;
        const int offset = m_prependId ? 1 : 0;
        if (size <= offset) {
            error = EINVAL;
            return Result::Failed;
        }
        // A report still queued is read even after the device has gone; then read() fails.
        const ssize_t n = ::read(m_fd, buffer + offset, size_t(size - offset));
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR)
                return Result::TimedOut;
            error = quint32(errno);
            return Result::Failed;
        }
        if (n == 0) {
            error = EIO;
            return Result::Failed;
        }
        if (m_prependId)
            buffer[0] = 0;
        bytes = int(n) + offset;
        return Result::Report;
    }

    void wake() override { eventfd_write(m_wakeFd, 1); }

private:
    int m_fd = -1;
    int m_wakeFd = -1;
    bool m_prependId = false;
};

} // namespace

HidLinuxBackend::HidLinuxBackend() : m_udev(udev_new()) {}

HidLinuxBackend::~HidLinuxBackend()
{
    delete m_notifier;
    if (m_monitor)
        udev_monitor_unref(m_monitor);
    if (m_udev)
        udev_unref(m_udev);
}

QList<HidPnPRecord> HidLinuxBackend::enumerate()
{
    QList<HidPnPRecord> records;
    if (!m_udev)
        return records;
    udev_enumerate *e = udev_enumerate_new(m_udev);
    udev_enumerate_add_match_subsystem(e, "hidraw");
    udev_enumerate_scan_devices(e);
    for (udev_list_entry *entry = udev_enumerate_get_list_entry(e); entry;
         entry = udev_list_entry_get_next(entry)) {
        const char *syspath = udev_list_entry_get_name(entry);
        udev_device *d = udev_device_new_from_syspath(m_udev, syspath);
        if (!d)
            continue;
        if (const char *node = udev_device_get_devnode(d))
            records.append({text(node), text(syspath)});
        udev_device_unref(d);
    }
    udev_enumerate_unref(e);
    return records;
}

std::unique_ptr<HidQueryHandle> HidLinuxBackend::openDevice(const QString &path, int *error)
{
    const QByteArray node = QFile::encodeName(path);
    bool readWrite = true;
    int fd = ::open(node.constData(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        readWrite = false;
        fd = ::open(node.constData(), O_RDONLY | O_CLOEXEC);
    }
    const int openError = errno;
    udev_device *d = m_udev ? deviceForNode(m_udev, path) : nullptr;
    if (!d) {
        if (fd >= 0)
            ::close(fd);
        *error = fd >= 0 ? ENODEV : openError;
        return nullptr;
    }
    return std::make_unique<LinuxQueryHandle>(fd, readWrite, d);
}

std::unique_ptr<HidReadHandle> HidLinuxBackend::openReader(const QString &path, int *error)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = errno;
        return nullptr;
    }
    const int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) {
        *error = errno;
        ::close(fd);
        return nullptr;
    }
    // Read threads open their handles too, so no udev here: a udev context is not thread-safe.
    // The open node answers the descriptor query itself.
    const bool prependId = !layoutOf(readDescriptor(fd, nullptr)).hasReportIds;
    return std::make_unique<LinuxReadHandle>(fd, wakeFd, prependId);
}

void HidLinuxBackend::setChangeHandler(std::function<void()> handler)
{
    m_changeHandler = std::move(handler);
    if (!m_changeHandler || m_monitor || !m_udev)
        return;
    // Events as udevd passes them on, after its rules have run: the node is then ready.
    m_monitor = udev_monitor_new_from_netlink(m_udev, "udev");
    if (!m_monitor)
        return;
    udev_monitor_filter_add_match_subsystem_devtype(m_monitor, "hidraw", nullptr);
    if (udev_monitor_enable_receiving(m_monitor) < 0) {
        udev_monitor_unref(m_monitor);
        m_monitor = nullptr;
        return;
    }
    m_notifier = new QSocketNotifier(udev_monitor_get_fd(m_monitor), QSocketNotifier::Read);
    QObject::connect(m_notifier, &QSocketNotifier::activated, m_notifier,
                     [this] { receiveChanges(); });
}

void HidLinuxBackend::receiveChanges()
{
    while (udev_device *d = udev_monitor_receive_device(m_monitor)) {
        const QString action = text(udev_device_get_action(d));
        udev_device_unref(d);
        if ((action == u"add" || action == u"remove") && m_changeHandler)
            m_changeHandler();
    }
}

QString HidLinuxBackend::errorText(quint32 error) const
{
    return QString::fromLocal8Bit(std::strerror(int(error)));
}
