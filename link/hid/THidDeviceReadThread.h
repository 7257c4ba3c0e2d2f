#pragma once

#include <QThread>

#include <atomic>
#include <functional>
#include <memory>

class THidDevice;
class HidReadHandle;
struct HidHandOver;

// The read loop of one checked-out device with a data handler. Each report and each read error is
// handed to the GUI thread, and the loop waits until the handler has run there, so at most one
// report per device is in flight. stop() may be called while the loop waits for such a hand-over
// (even from inside the handler): the loop then ends without it, and the hand-over, when the GUI
// thread reaches it, does nothing.
class THidDeviceReadThread : public QThread
{
public:
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

    THidDevice *m_device = nullptr;
    QString m_path;
    std::shared_ptr<HidHandOver> m_handOver;
    std::unique_ptr<HidReadHandle> m_reader;
    std::atomic<bool> m_dropReader{false};
    QByteArray m_report;
    quint16 m_bytesRead = 0;
    quint32 m_lastError = 0;
};
