#pragma once

#include <QThread>

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>

class THidDevice;
class HidReadHandle;
struct HidHandOver;

// The read loop of one checked-out device with a data handler. Each report and each read error is
// queued for the GUI thread, which runs their handlers one at a time in the order they were read;
// the loop reads on meanwhile (up to kMostQueued waiting). stop() may be called at any time (even
// from inside a handler): the loop ends, and what is still queued is dropped unhandled.
class THidDeviceReadThread : public QThread
{
public:
    // Reports read and not yet handled, at most: over a minute of the meter's sending.
    static constexpr std::size_t kMostQueued = 16384;

    // `reader` may be null: the loop then opens it, as after a failed read.
    THidDeviceReadThread(THidDevice *device, int reportLength,
                         std::unique_ptr<HidReadHandle> reader);
    ~THidDeviceReadThread() override;

    // Asks the loop to end and waits for it. GUI thread only.
    void stop();
    // Makes the loop close its read handle; it opens it again on its next pass if the device
    // may still be read.
    void dropReader();

protected:
    void run() override;

private:
    bool openReader(quint32 &error);
    // Waits one sleep slice or until stopped.
    void pause();
    void handOver(std::function<void()> call);
    static void drain(const std::shared_ptr<HidHandOver> &shared);

    THidDevice *m_device = nullptr;
    QString m_path;
    std::shared_ptr<HidHandOver> m_handOver;
    std::unique_ptr<HidReadHandle> m_reader;
    std::atomic<bool> m_dropReader{false};
    QByteArray m_report;
    quint16 m_bytesRead = 0;
    quint32 m_lastError = 0;
};
