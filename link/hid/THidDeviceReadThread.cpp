#include "THidDeviceReadThread.h"

#include "THidDevice.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>

namespace {

// Used when the device does not say how long its input reports are: the largest report the
// Linux kernel hands over.
constexpr int kFallbackReportLength = 4096 + 1;

} // namespace

// What the loop and the GUI thread share for one thread's life: the reports read and not yet
// handled, in the order they were read. The drain queued on the GUI thread keeps it alive, so one
// that runs after the thread has gone finds `stopped` and returns.
struct HidHandOver
{
    std::mutex mutex;
    std::condition_variable changed;
    bool stopped = false;
    bool drainQueued = false; // a drain is queued on the GUI thread, or running there
    std::deque<std::function<void()>> calls;
};

THidDeviceReadThread::THidDeviceReadThread(THidDevice *device, int reportLength,
                                           std::unique_ptr<HidReadHandle> reader)
    : m_device(device), m_path(device->PnPInfo().DevicePath),
      m_handOver(std::make_shared<HidHandOver>()), m_reader(std::move(reader))
{
    m_report.resize(reportLength > 0 ? reportLength : kFallbackReportLength);
}

THidDeviceReadThread::~THidDeviceReadThread()
{
    stop();
}

void THidDeviceReadThread::stop()
{
    {
        std::lock_guard lock(m_handOver->mutex);
        m_handOver->stopped = true;
    }
    m_handOver->changed.notify_all();
    dropReader();
    wait();
}

void THidDeviceReadThread::dropReader()
{
    m_dropReader = true;
    // The reader is the loop's; waking it is the one call that may come from another thread.
    std::lock_guard lock(m_handOver->mutex);
    if (m_reader)
        m_reader->wake();
}

bool THidDeviceReadThread::openReader(quint32 &error)
{
    int code = ENODEV;
    std::unique_ptr<HidReadHandle> reader;
    if (m_device->readAllowed())
        reader = m_device->backend()->openReader(m_path, &code);
    if (!reader) {
        error = quint32(code);
        return false;
    }
    std::lock_guard lock(m_handOver->mutex);
    m_reader = std::move(reader);
    return true;
}

void THidDeviceReadThread::pause()
{
    std::unique_lock lock(m_handOver->mutex);
    m_handOver->changed.wait_for(lock, std::chrono::milliseconds(m_device->ReadSleepTime()),
                                 [this] { return m_handOver->stopped; });
}

// The loop goes on reading while the GUI thread is busy: the kernel keeps only 64 reports of a
// device (about five frames of the meter), so a loop that waited for each handler would lose
// whatever came while the window was busy for a third of a second. What is read waits here, in
// order, and the GUI thread takes all of it when it can. Past kMostQueued reports (over a minute
// of the meter's sending) the loop waits for the GUI thread again, and what the kernel cannot keep
// meanwhile is lost there, as it was before the queue.
void THidDeviceReadThread::handOver(std::function<void()> call)
{
    std::shared_ptr<HidHandOver> shared = m_handOver;
    std::unique_lock lock(shared->mutex);
    shared->changed.wait(
        lock, [&] { return shared->stopped || shared->calls.size() < kMostQueued; });
    if (shared->stopped)
        return;
    shared->calls.push_back(std::move(call));
    if (shared->drainQueued)
        return;
    shared->drainQueued = true;
    lock.unlock();
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [shared] { drain(shared); }, Qt::QueuedConnection);
}

// On the GUI thread: the handlers one at a time, in the order read. A handler may stop the loop
// (closing the link): what is still queued is then dropped unhandled.
void THidDeviceReadThread::drain(const std::shared_ptr<HidHandOver> &shared)
{
    for (;;) {
        std::function<void()> call;
        {
            std::lock_guard lock(shared->mutex);
            if (shared->stopped || shared->calls.empty()) {
                shared->calls.clear();
                shared->drainQueued = false;
                return;
            }
            call = std::move(shared->calls.front());
            shared->calls.pop_front();
        }
        shared->changed.notify_all();
        call();
    }
}

void THidDeviceReadThread::run()
{
    auto stopped = [this] {
        std::lock_guard lock(m_handOver->mutex);
        return m_handOver->stopped;
    };
    THidDevice *device = m_device;
    while (!stopped()) {
        if (m_dropReader.exchange(false)) {
            std::lock_guard lock(m_handOver->mutex);
            m_reader.reset();
        }
        quint32 error = 0;
        int bytes = 0;
        HidReadHandle::Result result = HidReadHandle::Result::Failed;
        if (m_reader || openReader(error)) {
            m_report.fill(0);
            result =
                m_reader->read(reinterpret_cast<quint8 *>(m_report.data()), int(m_report.size()),
                               device->ReadSleepTime(), bytes, error);
        }
        switch (result) {
        case HidReadHandle::Result::TimedOut:
        case HidReadHandle::Result::Woken:
            break;
        case HidReadHandle::Result::Failed: {
            m_lastError = error;
            {
                std::lock_guard lock(m_handOver->mutex);
                m_reader.reset();
            }
            const quint32 code = m_lastError;
            handOver([device, code] {
                const THidDataErrorEvent handler = device->OnDataError();
                handler(device, code);
            });
            // A device that is gone fails every read at once: wait a slice before the next try
            // rather than spin.
            pause();
            break;
        }
        case HidReadHandle::Result::Report:
            m_bytesRead = quint16(std::min(bytes, int(m_report.size())));
            if (m_bytesRead > 0) {
                const QByteArray report = m_report.left(m_bytesRead);
                handOver([device, report] {
                    // A copy: the handler may replace the device's handler while it runs.
                    const THidDataEvent handler = device->OnData();
                    handler(device, quint8(report.at(0)),
                            reinterpret_cast<const quint8 *>(report.constData()) + 1,
                            quint16(report.size() - 1));
                });
            }
            break;
        }
    }
    std::lock_guard lock(m_handOver->mutex);
    m_reader.reset();
}
