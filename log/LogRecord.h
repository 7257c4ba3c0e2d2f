#pragma once

#include "protocol/MeterReading.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <optional>

// One logged reading as the logger writes it: the window's log fields, the full local date and
// time, and for the text formats the unit spelt plainly and the value in the base unit.
struct LogRecord
{
    qint32 no = 0;
    QDateTime stamp; // local time, with milliseconds
    protocol::MeterReading reading;
    // The unit with every prefix the display shows. The reading's unit text leaves out the kilo
    // and mega of hertz (the window shows them beside it); empty means the unit text.
    QString fullUnit;
    // A record known only by its time of day (one of a table saved before dates were kept) has
    // no valid stamp; its Time column comes from here and its DateTime column stays empty.
    QTime timeOfDay = {};

    const QString &unit() const { return fullUnit.isEmpty() ? reading.UnitText : fullUnit; }
};

enum class LogFormat
{
    Tsv,   // the window's text layout (tab-separated, CR LF) with the added columns
    Csv,   // RFC 4180: comma-separated, quoted where needed, CR LF, with a header
    Jsonl, // one JSON object per line
    Db,    // a Paradox table like the window's saved copies
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

// ISO 8601 local date and time with milliseconds and the offset from UTC ("+01:00"); empty
// for a stamp that is not valid.
QString isoStamp(const QDateTime &stamp);

// The column names, shared by every text format.
QStringList columns();
// The header line for formats that have one (tsv, csv); empty otherwise.
QByteArray header(LogFormat format);
// One record as a whole line, line end included, in UTF-8.
QByteArray line(LogFormat format, const LogRecord &record);
// The record number of a line that line() wrote (its end may be cut off), or nothing for any
// other line (a header, a line of another format).
std::optional<qint32> numberOf(LogFormat format, const QByteArray &line);

} // namespace logrecord
