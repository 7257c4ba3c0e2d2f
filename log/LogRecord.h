#pragma once

#include "protocol/MeterReading.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <limits>
#include <optional>

// One logged reading, made once by ReadingRecorder and handed to every output: the window's log
// fields, the moment it was taken, and the unit as the display showed it.
struct LogRecord
{
    static constexpr qint64 kNoTime = std::numeric_limits<qint64>::min();

    qint32 no = 0;
    // Milliseconds since the epoch, UTC; kNoTime when unknown. Local time is worked out only
    // where a text is written (see logrecord::localTime).
    qint64 when = kNoTime;
    protocol::MeterReading reading;
    // The unit with every prefix the display shows. The reading's unit text leaves out the kilo
    // and mega of hertz (the window shows them beside it); empty means the unit text.
    QString fullUnit;
    // A record known only by its time of day (one of a table saved before dates were kept) has
    // no `when`; its Time column comes from here and its DateTime column stays empty.
    QTime timeOfDay = {};

    const QString &unit() const { return fullUnit.isEmpty() ? reading.UnitText : fullUnit; }
    bool hasTime() const { return when != kNoTime; }
};

enum class LogFormat
{
    Tsv,   // the window's text layout (tab-separated, CR LF) with the added columns
    Csv,   // RFC 4180: comma-separated, quoted where needed, CR LF, with a header; plain units
           // and a LocalTime column that spreadsheets read as a date and time
    Jsonl, // one JSON object per line
    Db,    // a Paradox table with the same fields as the window's saved copies
};

// The columns a CSV file was begun with. A file begun by an earlier version keeps its columns
// when appended to, so that each of its lines matches its header.
enum class CsvLayout
{
    Current, // the window's six columns with plain units, DateTime ... BaseUnit, then LocalTime
    Older,   // no LocalTime column, and the Unit column in the display font's stand-ins
};

namespace logrecord {

// The unit text with the prefix of hertz added when the display shows one.
QString fullUnit(const protocol::MeterReading &reading, bool kilo, bool mega);

// The unit with the display font's stand-ins replaced: "*" ohm, "#" degrees Celsius, "?" degrees
// Fahrenheit, and the "u" of the micro prefix.
QString plainUnit(const QString &unitText);
// The unit without its prefix, spelt plainly ("mV" gives "V", "k*" gives "Ω").
QString baseUnit(const QString &unitText);
// The displayed value in the base unit, as decimal text with the point shifted rather than a
// product of floating-point numbers, so "-46.20" mV gives exactly "-0.0462". Empty for an
// overload or any text that is not a number.
QString baseValue(const QString &valueText, const QString &unitText);
// Whether the display shows an overload: an L where the digits were ("0.L", "0L.").
inline bool isOverload(const QString &valueText)
{
    return valueText.contains(u'L');
}
// The value as the display shows it, its sign included. The meter's digits give an overload as
// "0L." whichever side of the range it is on, with the minus sign apart (the display shows
// "- 0L."); the reading's signed counts tell which, and a negative one is written "-0L.".
// Every other value is its text as it stands.
QString shownValue(const protocol::MeterReading &reading);

// The offset of local time from UTC at `msecs` since the epoch, in seconds. The system's zone
// is asked once per minute of stamps, not per stamp: each question makes the C library look at
// the zone file again, which cost more than the rest of a reading's way into the log.
int localOffset(qint64 msecs);
// `msecs` since the epoch as local date and time (carrying its offset from UTC, so that nothing
// converts it again); invalid for LogRecord::kNoTime.
QDateTime localTime(qint64 msecs);

// ISO 8601 local date and time with milliseconds and the offset from UTC ("+01:00"); empty
// for LogRecord::kNoTime or a stamp that is not valid.
QString isoStamp(qint64 msecs);
QString isoStamp(const QDateTime &stamp);
// The record's local time of day, "HH:mm:ss" (from timeOfDay for a record without `when`).
QString timeText(const LogRecord &record);
// Local date and time as spreadsheets read a date and time, "yyyy-MM-dd HH:mm:ss.zzz" without
// offset (Gnumeric and LibreOffice take it as a date, Excel too); empty for kNoTime.
QString spreadsheetStamp(qint64 msecs);

// The record as one JSON object on one line (no line end), the one schema of a reading for
// every JSON output (docs/reading.schema.json): "no", "time", "acdc", "value" (shownValue(): an
// overload below the range is "-0L."), "unit" (the unit as the display shows it, with the prefix
// of hertz), "plain_unit", "base_value" (a number) or "overload": true, "base_unit", "range", in
// this order.
QByteArray readingJson(const LogRecord &record);

// The column names of a text format: the window's six, then DateTime, PlainUnit, BaseValue,
// BaseUnit, and for CSV (the current layout) LocalTime.
QStringList columns(LogFormat format = LogFormat::Tsv, CsvLayout layout = CsvLayout::Current);
// The header line for formats that have one (tsv, csv); empty otherwise.
QByteArray header(LogFormat format, CsvLayout layout = CsvLayout::Current);
// The CSV layout whose header `header` is, if it is the header of one.
std::optional<CsvLayout> csvLayoutOf(const QByteArray &header);
// One record as a whole line, line end included, in UTF-8. The Value column is shownValue();
// the Unit column is the unit as the display shows it in tsv, spelt plainly in csv (but for
// the older layout).
QByteArray line(LogFormat format, const LogRecord &record,
                CsvLayout layout = CsvLayout::Current);
// The record number of a line that line() wrote (its end may be cut off), or nothing for any
// other line (a header, a line of another format).
std::optional<qint32> numberOf(LogFormat format, const QByteArray &line);

} // namespace logrecord
