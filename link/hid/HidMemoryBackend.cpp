#include "HidMemoryBackend.h"

#include <cerrno>
#include <chrono>

class MemoryQueryHandle : public HidQueryHandle
{
public:
    MemoryQueryHandle(std::shared_ptr<HidMemoryBackend::State> state,
                      std::shared_ptr<HidMemoryBackend::Entry> entry, bool readWrite)
        : m_state(std::move(state)), m_entry(std::move(entry)), m_readWrite(readWrite)
    {
    }
    bool readWrite() const override { return m_readWrite; }
    std::optional<HidAttributes> attributes() override
    {
        if (!m_entry->device.identifiable)
            return std::nullopt;
        return m_entry->device.attributes;
    }
    QString productString() override { return m_entry->device.product; }
    std::optional<QString> serialNumberString() override { return m_entry->device.serial; }
    std::optional<QString> stringDescriptor0() override { return m_entry->device.languages; }
    int inputReportByteLength() override { return m_entry->device.inputReportByteLength; }
    int setFeature(const quint8 *data, int size) override
    {
        std::unique_lock lock(m_state->mutex);
        if (!m_entry->present)
            return ENODEV;
        if (!m_readWrite)
            return EBADF;
        m_entry->features.append(QByteArray(reinterpret_cast<const char *>(data), size));
        m_state->changed.wait(lock, [this] { return !m_entry->holdFeatures; });
        return m_entry->featureAnswer;
    }

private:
    std::shared_ptr<HidMemoryBackend::State> m_state;
    std::shared_ptr<HidMemoryBackend::Entry> m_entry;
    bool m_readWrite = false;
};

class MemoryReadHandle : public HidReadHandle
{
public:
    MemoryReadHandle(std::shared_ptr<HidMemoryBackend::State> state,
                     std::shared_ptr<HidMemoryBackend::Entry> entry)
        : m_state(std::move(state)), m_entry(std::move(entry))
    {
    }
    Result read(quint8 *buffer, int size, int timeoutMs, int &bytes, quint32 &error) override
    {
        std::unique_lock lock(m_state->mutex);
        const bool ready =
            m_state->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] {
                return m_woken || !m_entry->queue.empty() || !m_entry->present;
            });
        if (m_woken) {
            m_woken = false;
            return Result::Woken;
        }
        if (!ready)
            return Result::TimedOut;
        if (m_entry->queue.empty()) {
            error = EIO;
            return Result::Failed;
        }
        const QByteArray report = m_entry->queue.front();
        m_entry->queue.pop_front();
        bytes = std::min(int(report.size()), size);
        std::copy_n(report.constData(), bytes, reinterpret_cast<char *>(buffer));
        return Result::Report;
    }
    void wake() override
    {
        {
            std::lock_guard lock(m_state->mutex);
            m_woken = true;
        }
        m_state->changed.notify_all();
    }

private:
    std::shared_ptr<HidMemoryBackend::State> m_state;
    std::shared_ptr<HidMemoryBackend::Entry> m_entry;
    bool m_woken = false;
};

void HidMemoryBackend::plug(Device device, bool notify)
{
    if (device.instance.isEmpty())
        device.instance = device.path;
    auto entry = std::make_shared<Entry>();
    entry->device = std::move(device);
    {
        std::lock_guard lock(m_state->mutex);
        m_state->entries.append(entry);
    }
    if (notify)
        this->notify();
}

void HidMemoryBackend::unplug(const QString &path, bool notify)
{
    {
        std::lock_guard lock(m_state->mutex);
        for (qsizetype i = 0; i < m_state->entries.size(); ++i) {
            if (m_state->entries.at(i)->device.path == path) {
                m_state->entries.at(i)->present = false;
                m_state->entries.removeAt(i);
                break;
            }
        }
    }
    m_state->changed.notify_all();
    if (notify)
        this->notify();
}

void HidMemoryBackend::push(const QString &path, const QByteArray &report)
{
    if (std::shared_ptr<Entry> entry = find(path)) {
        {
            std::lock_guard lock(m_state->mutex);
            entry->queue.push_back(report);
        }
        m_state->changed.notify_all();
    }
}

void HidMemoryBackend::notify()
{
    if (m_changeHandler)
        m_changeHandler();
}

void HidMemoryBackend::holdFeatureReports(const QString &path)
{
    std::shared_ptr<Entry> entry = find(path);
    std::lock_guard lock(m_state->mutex);
    if (entry)
        entry->holdFeatures = true;
}

void HidMemoryBackend::answerFeatureReports(const QString &path, int error)
{
    std::shared_ptr<Entry> entry = find(path);
    {
        std::lock_guard lock(m_state->mutex);
        if (entry) {
            entry->holdFeatures = false;
            entry->featureAnswer = error;
        }
    }
    m_state->changed.notify_all();
}

QList<QByteArray> HidMemoryBackend::featureReports(const QString &path) const
{
    std::shared_ptr<Entry> entry = find(path);
    std::lock_guard lock(m_state->mutex);
    return entry ? entry->features : QList<QByteArray>();
}

int HidMemoryBackend::queued(const QString &path) const
{
    std::shared_ptr<Entry> entry = find(path);
    std::lock_guard lock(m_state->mutex);
    return entry ? int(entry->queue.size()) : 0;
}

int HidMemoryBackend::readersOpened() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->readersOpened;
}

std::shared_ptr<HidMemoryBackend::Entry> HidMemoryBackend::find(const QString &path) const
{
    std::lock_guard lock(m_state->mutex);
    for (const std::shared_ptr<Entry> &entry : m_state->entries) {
        if (entry->device.path == path)
            return entry;
    }
    return nullptr;
}

QList<HidPnPRecord> HidMemoryBackend::enumerate()
{
    std::lock_guard lock(m_state->mutex);
    QList<HidPnPRecord> records;
    for (const std::shared_ptr<Entry> &entry : m_state->entries)
        records.append({entry->device.path, entry->device.instance});
    return records;
}

std::unique_ptr<HidQueryHandle> HidMemoryBackend::openDevice(const QString &path, int *error)
{
    std::shared_ptr<Entry> entry = find(path);
    if (!entry || !entry->device.openable) {
        *error = entry ? EACCES : ENOENT;
        return nullptr;
    }
    return std::make_unique<MemoryQueryHandle>(m_state, entry, entry->device.readWrite);
}

std::unique_ptr<HidReadHandle> HidMemoryBackend::openReader(const QString &path, int *error)
{
    std::shared_ptr<Entry> entry = find(path);
    if (!entry || !entry->device.readWrite) {
        *error = entry ? EACCES : ENOENT;
        return nullptr;
    }
    std::lock_guard lock(m_state->mutex);
    ++m_state->readersOpened;
    return std::make_unique<MemoryReadHandle>(m_state, entry);
}

QString HidMemoryBackend::errorText(quint32 error) const
{
    return QString::fromLocal8Bit(strerror(int(error)));
}
