#include "LogTableLayout.h"

#include "log/engine/Table.h"
#include "protocol/MeterReading.h"

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
