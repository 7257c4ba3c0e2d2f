#include "LogTableLayout.h"

#include "log/engine/EngineError.h"
#include "log/engine/Table.h"
#include "protocol/MeterReading.h"

#include <QString>
#include <QTime>

void LogTableLayout::fillRecord(table::Table &log, const protocol::MeterReading &reading,
                                std::int32_t no, const QTime &time)
{
    log.setInteger(kNo, no);
    log.setTime(kTime, table::TimeOfDay{time.hour(), time.minute(), time.second(), 0});
    log.setText(kAcDc, reading.AcDcText.toStdString());
    log.setText(kValue, reading.ValueText.toStdString());
    log.setFloat(kNumeric, double(reading.NumericValue));
    log.setText(kUnit, reading.UnitText.toStdString());
    log.setText(kRange, reading.RangeText.toStdString());
}

QString LogTableLayout::appendRecord(table::Table &log, const protocol::MeterReading &reading,
                                     std::int32_t no, const QTime &time,
                                     const std::function<void(table::Table &)> &more)
{
    try {
        log.append();
        fillRecord(log, reading, no, time);
        if (more)
            more(log);
        log.post();
    } catch (const table::EngineError &e) {
        if (log.isAppending())
            log.cancel();
        return QString::fromStdString(e.what());
    }
    return {};
}

std::optional<std::int64_t> LogTableLayout::lastNumber(const table::Table &log)
{
    const int field = log.isOpen() ? log.fieldIndex(kNo) : -1;
    if (field < 0 || log.recordCount() == 0)
        return std::nullopt;
    bool ok = false;
    qint64 last = 0;
    try {
        last = QString::fromStdString(log.text(log.recordCount() - 1, field)).toLongLong(&ok);
    } catch (const table::EngineError &) {
        return std::nullopt;
    }
    if (!ok)
        return std::nullopt;
    return last;
}
