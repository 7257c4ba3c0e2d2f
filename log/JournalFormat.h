#pragma once

#include "log/LogRecord.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// The recovery journal's lines, written and read in this one place: JournalOutput writes them
// as readings are taken, the reading log reads them back when a leftover journal is restored.
//
// After the header, each line is one record or a note about the run. A record is the log's six
// columns, the numeric value as the table holds it, the local date and time with milliseconds
// and the offset from UTC, and the unit as the display showed it, with its prefix of hertz,
// tab-separated and without its line end; journals of earlier versions lack the last column. A
// note starts with '#'; the one written names the port the records after it came from.
struct JournalFormat
{
    static constexpr const char *kPortLine = "#port\t";

    static QByteArray header();
    // One record as a line. The meter's texts hold no tabs or line ends.
    static QByteArray line(const LogRecord &record);
    // The note that the records after it came from `port` (tabs and line ends taken out).
    static QByteArray portLine(const QString &port);

    // A line about the run rather than a record: neither a reading nor damage.
    static bool isNote(const QByteArray &line) { return line.startsWith('#'); }
    // The port a port line names, or nothing for any other line.
    static std::optional<QString> portOf(const QByteArray &line);

    // The record a line holds, when the log can take all of it: a line a crash, a disk or a hand
    // damaged (cut, overwritten, a text too long for its field) gives nothing, so that it neither
    // counts as a reading nor stops the restore of those after it. The record has the line's
    // time of day in `timeOfDay`, and `when` where the line has a date and time; `fullUnit` only
    // where it says more than the unit text, as the recorder keeps it.
    static std::optional<LogRecord> parse(const QByteArray &line);
    // `line` with its record number replaced by `no`.
    static QByteArray renumbered(const QByteArray &line, qint32 no);

    // What a journal (its lines, the header first) holds: its records and damaged lines, and the
    // ports its readings came from, in order.
    struct Count
    {
        int records = 0;
        int damaged = 0;
        QStringList ports;
    };
    static Count count(const QList<QByteArray> &journalLines);
};
