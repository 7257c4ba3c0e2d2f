#include "LogRecord.h"

#include "log/LogTableLayout.h"

#include <QStringList>

#include <cstdlib>

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

QStringList values(const LogRecord &r)
{
    const protocol::MeterReading &m = r.reading;
    return {QString::number(r.no),
            (r.stamp.isValid() ? r.stamp.time() : r.timeOfDay).toString(QStringLiteral("HH:mm:ss")),
            m.AcDcText,
            m.ValueText,
            m.UnitText,
            m.RangeText,
            isoStamp(r.stamp),
            plainUnit(r.unit()),
            baseValue(m.ValueText, r.unit()),
            baseUnit(r.unit())};
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

QString isoStamp(const QDateTime &stamp)
{
    if (!stamp.isValid())
        return {};
    // The offset is always written out, also for UTC, so every line has the same shape.
    const QDateTime local = stamp.toLocalTime();
    const int offset = local.offsetFromUtc() / 60;
    return local.toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz")) +
           (offset < 0 ? u'-' : u'+') +
           QStringLiteral("%1:%2")
               .arg(std::abs(offset) / 60, 2, 10, QLatin1Char('0'))
               .arg(std::abs(offset) % 60, 2, 10, QLatin1Char('0'));
}

QStringList columns()
{
    // The window's columns, in its order, then the logger's own.
    QStringList names;
    for (const char *name : LogTableLayout::kColumnNames)
        names << QString::fromLatin1(name);
    return names + QStringList{QStringLiteral("DateTime"), QStringLiteral("PlainUnit"),
                               QStringLiteral("BaseValue"), QStringLiteral("BaseUnit")};
}

QByteArray header(LogFormat format)
{
    switch (format) {
    case LogFormat::Tsv:
        return columns().join(u'\t').toUtf8() + "\r\n";
    case LogFormat::Csv:
        return columns().join(u',').toUtf8() + "\r\n";
    default:
        return {};
    }
}

QByteArray line(LogFormat format, const LogRecord &record)
{
    const QStringList fields = values(record);
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
    case LogFormat::Db: // a table, which DbOutput writes: never lines
        break;
    case LogFormat::Jsonl: {
        const QStringList names = columns();
        out = "{";
        for (qsizetype i = 0; i < fields.size(); ++i) {
            out += (i ? "," : "") + jsonString(names.at(i)) + ':';
            // The two numbers go out as JSON numbers; an overload has no base value.
            const bool number = names.at(i) == u"No" || names.at(i) == u"BaseValue";
            out += number ? (fields.at(i).isEmpty() ? QByteArray("null") : fields.at(i).toUtf8())
                          : jsonString(fields.at(i));
        }
        out += "}\n";
        break;
    }
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
        static const QByteArray key = "{\"No\":";
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
