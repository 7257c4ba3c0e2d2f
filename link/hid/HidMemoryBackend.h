#pragma once

#include "HidBackend.h"

#include <QByteArray>
#include <QMap>

#include <condition_variable>
#include <deque>
#include <mutex>

// Devices held in memory, for the controller's tests: plug() and unplug() change the set and
// notify as the system would; push() queues an input report for the device's reader.
class HidMemoryBackend : public HidBackend
{
public:
    struct Device
    {
        QString path; // also its instance unless `instance` is given
        QString instance;
        HidAttributes attributes;
        QString product;
        std::optional<QString> serial;
        std::optional<QString> languages;
        int inputReportByteLength = 9;
        bool readWrite = true;    // false: only a query handle opens
        bool openable = true;     // false: nothing opens
        bool identifiable = true; // false: the attributes query fails
    };

    HidMemoryBackend() : m_state(std::make_shared<State>()) {}

    // Adds the device (after the others) and, if asked, notifies the change.
    void plug(Device device, bool notify = true);
    // Removes the device with that path; a reader fails once it has read what was queued.
    void unplug(const QString &path, bool notify = true);
    // Queues one input report, identifier byte first.
    void push(const QString &path, const QByteArray &report);
    // Notifies a change without changing anything.
    void notify();
    QList<QByteArray> featureReports(const QString &path) const;
    // Feature reports to the device wait (as for a device that does not answer) until
    // answerFeatureReports(), which lets them end with `error` (0: taken).
    void holdFeatureReports(const QString &path);
    void answerFeatureReports(const QString &path, int error);
    // Input reports not yet read.
    int queued(const QString &path) const;
    bool available() const override { return m_available; }
    void setAvailable(bool available) { m_available = available; }
    // Reader handles opened so far (each read thread opens its own).
    int readersOpened() const;

    QList<HidPnPRecord> enumerate() override;
    std::unique_ptr<HidQueryHandle> openDevice(const QString &path, int *error) override;
    std::unique_ptr<HidReadHandle> openReader(const QString &path, int *error) override;
    void setChangeHandler(std::function<void()> handler) override { m_changeHandler = handler; }
    QString errorText(quint32 error) const override;

private:
    struct Entry
    {
        Device device;
        std::deque<QByteArray> queue;
        QList<QByteArray> features;
        bool present = true;
        bool holdFeatures = false;
        int featureAnswer = 0;
    };
    struct State
    {
        mutable std::mutex mutex;
        std::condition_variable changed;
        QList<std::shared_ptr<Entry>> entries; // present ones, in plug order
        int readersOpened = 0;
    };
    friend class MemoryQueryHandle;
    friend class MemoryReadHandle;

    std::shared_ptr<Entry> find(const QString &path) const;

    std::shared_ptr<State> m_state;
    std::function<void()> m_changeHandler;
    bool m_available = true;
};
