#include "LogRecord.h"

#include "log/LogTableLayout.h"

#include <QStringList>

#include <cstdlib>
#include <cstring>
#include <string>

namespace logrecord {

namespace {

struct Prefix
{
    QChar letter;
    int exponent;
};

constexpr Prefix kPrefixes[] = {{u'n', -9}, {u'u', -6}, {u'm', -3}, {u'k', 3}, {u'M', 6}};

// The prefix of a prefixed unit text, or exponent 0 when the text has none. "m" alone is no
// prefix, and the meter shows no bare prefix.
int prefixExponent(const QString &unitText)
{
    if (unitText.size() < 2)
        return 0;
    for (const Prefix &p : kPrefixes)
        if (unitText.front() == p.letter)
            return p.exponent;
    return 0;
}

QString plainSymbol(QChar c)
{
    switch (c.unicode()) {
    case u'*':
        return QStringLiteral("\u03A9");
    case u'#':
        return QStringLiteral("\u00B0C");
    case u'?':
        return QStringLiteral("\u00B0F");
    default:
        return QString(c);
    }
}

QByteArray csvField(const QString &text)
{
    QByteArray bytes = text.toUtf8();
    if (bytes.contains(',') || bytes.contains('"') || bytes.contains('\r') || bytes.contains('\n'))
        bytes = '"' + bytes.replace("\"", "\"\"") + '"';
    return bytes;
}

QByteArray jsonString(const QString &text)
{
    QByteArray out = "\"";
    for (const char c : text.toUtf8()) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20)
                out += QByteArray("\\u00") +
                       QByteArray::number(static_cast<unsigned char>(c), 16).rightJustified(2, '0');
            else
                out += c;
        }
    }
    return out + '"';
}

QStringList values(const LogRecord &r, LogFormat format, CsvLayout layout)
{
    const protocol::MeterReading &m = r.reading;
    const bool plain = format == LogFormat::Csv && layout == CsvLayout::Current;
    QStringList out = {QString::number(r.no),
                       timeText(r),
                       m.AcDcText,
                       shownValue(m),
                       plain ? plainUnit(r.unit()) : r.unit(),
                       m.RangeText,
                       isoStamp(r.when),
                       plainUnit(r.unit()),
                       baseValue(m.ValueText, r.unit()),
                       baseUnit(r.unit())};
    if (plain)
        out << spreadsheetStamp(r.when);
    return out;
}

} // namespace

QString fullUnit(const protocol::MeterReading &reading, bool kilo, bool mega)
{
    if (reading.UnitText != u"Hz" || (!kilo && !mega))
        return reading.UnitText;
    return (kilo ? u'k' : u'M') + reading.UnitText;
}

QString plainUnit(const QString &unitText)
{
    QString out;
    for (qsizetype i = 0; i < unitText.size(); ++i) {
        if (i == 0 && unitText.size() > 1 && unitText.at(0) == u'u')
            out += QChar(0x00B5);
        else
            out += plainSymbol(unitText.at(i));
    }
    return out;
}

QString baseUnit(const QString &unitText)
{
    return plainUnit(prefixExponent(unitText) != 0 ? unitText.mid(1) : unitText);
}

QString baseValue(const QString &valueText, const QString &unitText)
{
    QString text = valueText;
    const bool negative = text.startsWith(u'-');
    if (negative)
        text.remove(0, 1);
    qsizetype point = text.indexOf(u'.');
    if (point < 0)
        point = text.size();
    else
        text.remove(point, 1);
    if (text.isEmpty() || text.size() > 12)
        return {};
    for (const QChar c : std::as_const(text))
        if (!c.isDigit() || c.unicode() > u'9')
            return {};

    // Shift the point, padding with zeros on either side as needed.
    point += prefixExponent(unitText);
    if (point <= 0) {
        text.prepend(QString(1 - point, u'0'));
        point = 1;
    } else if (point > text.size()) {
        text.append(QString(point - text.size(), u'0'));
    }
    QString whole = text.left(point);
    QString fraction = text.mid(point);
    while (whole.size() > 1 && whole.front() == u'0')
        whole.remove(0, 1);
    while (!fraction.isEmpty() && fraction.back() == u'0')
        fraction.chop(1);
    QString out = fraction.isEmpty() ? whole : whole + u'.' + fraction;
    if (negative && out != u"0")
        out.prepend(u'-');
    return out;
}

QString shownValue(const protocol::MeterReading &reading)
{
    if (reading.NumericValue < 0 && isOverload(reading.ValueText) &&
        !reading.ValueText.startsWith(u'-'))
        return u'-' + reading.ValueText;
    return reading.ValueText;
}

int localOffset(qint64 msecs)
{
    // Zones change their offset on whole minutes: an offset found at both ends of a minute holds
    // for all of it. A minute with a change in it is asked about stamp by stamp. A change of the
    // zone itself (TZ, or the system's zone file replaced) is seen within a minute.
    struct Minute
    {
        qint64 number = std::numeric_limits<qint64>::min();
        int offset = 0;
        bool steady = false;
        std::string zone; // TZ as it was
    };
    thread_local Minute known;
    constexpr qint64 kMinute = 60000;
    const qint64 minute = msecs / kMinute - (msecs % kMinute < 0 ? 1 : 0);
    const char *tz = std::getenv("TZ");
    const bool sameZone = tz ? known.zone == tz : known.zone.empty();
    if (minute != known.number || !sameZone) {
        const int first = QDateTime::fromMSecsSinceEpoch(minute * kMinute).offsetFromUtc();
        const int last =
            QDateTime::fromMSecsSinceEpoch(minute * kMinute + kMinute - 1).offsetFromUtc();
        known.number = minute;
        known.offset = first;
        known.steady = first == last;
        known.zone = tz ? tz : "";
    }
    return known.steady ? known.offset : QDateTime::fromMSecsSinceEpoch(msecs).offsetFromUtc();
}

QDateTime localTime(qint64 msecs)
{
    if (msecs == LogRecord::kNoTime)
        return {};
    return QDateTime::fromMSecsSinceEpoch(msecs, Qt::OffsetFromUTC, localOffset(msecs));
}

QString isoStamp(qint64 msecs)
{
    if (msecs == LogRecord::kNoTime)
        return {};
    const int offset = localOffset(msecs);
    // The wall clock as plain arithmetic on UTC, which asks no zone.
    const QDateTime wall = QDateTime::fromMSecsSinceEpoch(msecs + offset * qint64(1000), Qt::UTC);
    const QDate d = wall.date();
    const QTime t = wall.time();
    const int minutes = std::abs(offset) / 60;
    // The offset is always written out, also for UTC, so every line has the same shape.
    return QString::asprintf("%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02d:%02d", d.year(), d.month(),
                             d.day(), t.hour(), t.minute(), t.second(), t.msec(),
                             offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
}

QString spreadsheetStamp(qint64 msecs)
{
    // The ISO stamp up to its milliseconds, with a space for the "T": the offset and the "T"
    // keep spreadsheets from seeing a date in it.
    QString text = isoStamp(msecs);
    if (text.isEmpty())
        return text;
    text[10] = u' ';
    text.chop(6);
    return text;
}

QString isoStamp(const QDateTime &stamp)
{
    return stamp.isValid() ? isoStamp(stamp.toMSecsSinceEpoch()) : QString();
}

QString timeText(const LogRecord &record)
{
    const QTime time = record.hasTime() ? localTime(record.when).time() : record.timeOfDay;
    if (!time.isValid())
        return {};
    return QString::asprintf("%02d:%02d:%02d", time.hour(), time.minute(), time.second());
}

QByteArray readingJson(const LogRecord &record)
{
    const protocol::MeterReading &m = record.reading;
    const QString &unit = record.unit();
    const QString base = baseValue(m.ValueText, unit);
    QByteArray out = "{\"no\":" + QByteArray::number(record.no) +
                     ",\"time\":" + jsonString(isoStamp(record.when)) +
                     ",\"acdc\":" + jsonString(m.AcDcText) +
                     ",\"value\":" + jsonString(shownValue(m)) + ",\"unit\":" + jsonString(unit) +
                     ",\"plain_unit\":" + jsonString(plainUnit(unit));
    // The base value is decimal text already, a valid JSON number as it stands.
    if (!base.isEmpty())
        out += ",\"base_value\":" + base.toLatin1();
    else if (isOverload(m.ValueText))
        out += ",\"overload\":true";
    out += ",\"base_unit\":" + jsonString(baseUnit(unit)) +
           ",\"range\":" + jsonString(m.RangeText) + '}';
    return out;
}

QStringList columns(LogFormat format, CsvLayout layout)
{
    // The window's columns, in its order, then the logger's own; the spreadsheet's date last,
    // so that the columns before it stay where programs reading older files find them.
    QStringList names;
    for (const char *name : LogTableLayout::kColumnNames)
        names << QString::fromLatin1(name);
    names << QStringLiteral("DateTime") << QStringLiteral("PlainUnit")
          << QStringLiteral("BaseValue") << QStringLiteral("BaseUnit");
    if (format == LogFormat::Csv && layout == CsvLayout::Current)
        names << QStringLiteral("LocalTime");
    return names;
}

QByteArray header(LogFormat format, CsvLayout layout)
{
    switch (format) {
    case LogFormat::Tsv:
        return columns(format).join(u'\t').toUtf8() + "\r\n";
    case LogFormat::Csv:
        return columns(format, layout).join(u',').toUtf8() + "\r\n";
    default:
        return {};
    }
}

std::optional<CsvLayout> csvLayoutOf(const QByteArray &line)
{
    for (const CsvLayout layout : {CsvLayout::Current, CsvLayout::Older})
        if (line == header(LogFormat::Csv, layout))
            return layout;
    return std::nullopt;
}

QByteArray line(LogFormat format, const LogRecord &record, CsvLayout layout)
{
    if (format == LogFormat::Jsonl)
        return readingJson(record) + '\n';
    const QStringList fields = values(record, format, layout);
    QByteArray out;
    switch (format) {
    case LogFormat::Tsv:
        out = fields.join(u'\t').toUtf8() + "\r\n";
        break;
    case LogFormat::Csv:
        for (qsizetype i = 0; i < fields.size(); ++i)
            out += (i ? "," : "") + csvField(fields.at(i));
        out += "\r\n";
        break;
    case LogFormat::Db:    // a table, which DbOutput writes: never lines
    case LogFormat::Jsonl: // above
        break;
    }
    return out;
}

std::optional<qint32> numberOf(LogFormat format, const QByteArray &line)
{
    QByteArray number;
    switch (format) {
    case LogFormat::Tsv:
        number = line.left(line.indexOf('\t'));
        break;
    case LogFormat::Csv:
        number = line.left(line.indexOf(','));
        break;
    case LogFormat::Jsonl: {
        static const QByteArray key = "{\"no\":";
        if (!line.startsWith(key))
            return std::nullopt;
        number = line.mid(key.size());
        number.truncate(number.indexOf(','));
        break;
    }
    case LogFormat::Db:
        return std::nullopt;
    }
    bool ok = false;
    const qint32 no = number.toInt(&ok);
    if (!ok || no < 0 || number.startsWith('+'))
        return std::nullopt;
    return no;
}

} // namespace logrecord
