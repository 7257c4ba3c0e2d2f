#include "JournalFormat.h"

#include "log/LogTableLayout.h"
#include "log/engine/Cp1252.h"

#include <QDateTime>

#include <charconv>
#include <cstring>

namespace {

bool fitsField(const QByteArray &text, const char *name)
{
    for (const table::FieldDef &field : LogTableLayout::fields()) {
        if (field.name == name) {
            std::string bytes;
            return table::utf8ToCp1252(text.toStdString(), bytes) &&
                   bytes.find('\0') == std::string::npos && int(bytes.size()) <= field.size;
        }
    }
    return false;
}

} // namespace

QByteArray JournalFormat::header()
{
    return QByteArrayLiteral("No\tTime\tDC/AC\tValue\tUnit\tAUTO\tNval\tDateTime\tFullUnit");
}

QByteArray JournalFormat::line(const LogRecord &record)
{
    const protocol::MeterReading &m = record.reading;
    // The numeric value as the table's Number field gives it back.
    char number[64];
    const auto written = std::to_chars(number, number + sizeof number, double(m.NumericValue),
                                       std::chars_format::general, 15);
    QByteArray out;
    out.reserve(96);
    out += QByteArray::number(record.no);
    out += '\t';
    out += logrecord::timeText(record).toLatin1();
    out += '\t';
    out += m.AcDcText.toUtf8();
    out += '\t';
    out += m.ValueText.toUtf8();
    out += '\t';
    out += m.UnitText.toUtf8();
    out += '\t';
    out += m.RangeText.toUtf8();
    out += '\t';
    out += QByteArray(number, int(written.ptr - number));
    out += '\t';
    out += logrecord::isoStamp(record.when).toLatin1();
    out += '\t';
    out += record.unit().toUtf8();
    return out;
}

QByteArray JournalFormat::portLine(const QString &port)
{
    QString plain = port;
    plain.remove(u'\t').remove(u'\n').remove(u'\r');
    return kPortLine + plain.toUtf8();
}

std::optional<QString> JournalFormat::portOf(const QByteArray &line)
{
    if (!line.startsWith(kPortLine))
        return std::nullopt;
    return QString::fromUtf8(line.mid(qsizetype(std::strlen(kPortLine))));
}

std::optional<LogRecord> JournalFormat::parse(const QByteArray &line)
{
    const QList<QByteArray> f = line.split('\t');
    if (f.size() != 8 && f.size() != 9) // journals of earlier versions lack the full unit
        return std::nullopt;
    LogRecord r;
    bool numberOk = false, valueOk = false;
    r.no = f[0].toInt(&numberOk);
    r.timeOfDay = QTime::fromString(QString::fromLatin1(f[1]), QStringLiteral("HH:mm:ss"));
    const float value = f[6].toFloat(&valueOk);
    if (!numberOk || r.no < 0 || !r.timeOfDay.isValid() || !valueOk ||
        !fitsField(f[2], LogTableLayout::kAcDc) || !fitsField(f[3], LogTableLayout::kValue) ||
        !fitsField(f[4], LogTableLayout::kUnit) || !fitsField(f[5], LogTableLayout::kRange))
        return std::nullopt;
    const QDateTime when = QDateTime::fromString(QString::fromLatin1(f[7]), Qt::ISODateWithMs);
    if (!f[7].isEmpty() && !when.isValid())
        return std::nullopt;
    if (when.isValid())
        r.when = when.toMSecsSinceEpoch();
    const QString fullUnit = QString::fromUtf8(f.value(8));
    if (fullUnit.size() > 8 || fullUnit.contains(QChar::ReplacementCharacter))
        return std::nullopt;
    r.reading = {QString::fromUtf8(f[3]), value, QString::fromUtf8(f[2]), QString::fromUtf8(f[4]),
                 QString::fromUtf8(f[5])};
    if (fullUnit != r.reading.UnitText)
        r.fullUnit = fullUnit;
    return r;
}

QByteArray JournalFormat::renumbered(const QByteArray &line, qint32 no)
{
    return QByteArray::number(no) + line.mid(line.indexOf('\t'));
}

JournalFormat::Count JournalFormat::count(const QList<QByteArray> &journalLines)
{
    Count count;
    for (qsizetype i = 1; i < journalLines.size(); ++i) {
        const QByteArray &line = journalLines[i];
        if (isNote(line)) {
            if (const std::optional<QString> port = portOf(line);
                port && !port->isEmpty() && !count.ports.contains(*port))
                count.ports << *port;
            continue;
        }
        if (parse(line))
            ++count.records;
        else
            ++count.damaged;
    }
    return count;
}
