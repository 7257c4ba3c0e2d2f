#pragma once

#include "log/LogRules.h"
#include "log/RecordOutput.h"
#include "log/StampColumn.h"
#include "log/engine/Session.h"
#include "log/engine/Table.h"
#include "protocol/MeterReading.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <array>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

// The reading log: the table "Tarvodb" of session "s1", opened for exclusive use with cached
// updates that are never applied, and the rules by which readings get into it. No widgets:
// every decision returns its outcome and the window shows it. Which readings are taken is
// decided by the log's LogRules (rules()), whose counters, timer tick and interval change are the
// log's own; the window's ReadingRecorder decides through them and hands each record to the log
// as one of its outputs.
//
// What the window calls, and when:
//   cs123()                          before the log is opened: the session's name and folders
//   open() / openFile()              at start-up, on the shipped table or the window's copy
//   take()                           through the recorder, for each reading the rules took
//   rules().TrecordTimer()           the sampling timer's tick, once a second
//   rules().RecordSITimeChange()     the interval box's text changed
//   RecordNew()                      the New command, after its question
//   rules().setLimit(kLimitItems[i]) a limit of the Record menu
//   openOldFile()                    the Open command, after its file dialog
//   restore()                        a left-over journal the user chose to restore
//   close()                          the window closes
// The data files and the report work on table().
class ReadingLog : public RecordOutput
{
    // Made first: NextRecordNo and RecordLimit below name its fields.
    LogRules m_rules;

public:
    // What the table does not keep of a record the log took: the full date and time (the table
    // has the time of day to the second) and the unit with the hertz prefix the display shows
    // beside it ("" when the unit text is the full unit). A record the log did not take itself
    // (from an opened table) has an invalid stamp.
    struct RecordStamp
    {
        QDateTime when; // local time
        QString fullUnit;
    };

    static constexpr const char *kTableName = "Tarvodb";
    // The Record menu's six limits, in menu order; the last is "limitless".
    static constexpr std::array<qint32, 6> kLimitItems = {1000,  5000,   10000,
                                                          50000, 100000, 10000000};

    ReadingLog();
    ~ReadingLog();
    ReadingLog(const ReadingLog &) = delete;
    ReadingLog &operator=(const ReadingLog &) = delete;

    // The rules readings are taken by; the recorder that feeds the log decides through them.
    LogRules &rules() { return m_rules; }
    const LogRules &rules() const { return m_rules; }
    // The rules' numbering and limit, and whether the limit is reached, as the window reads them.
    qint32 &NextRecordNo = m_rules.NextRecordNo;
    qint32 &RecordLimit = m_rules.RecordLimit;
    bool limitReached() const { return m_rules.limitReached(); }

    // Names the session "s1" and gives it `programDir` for its lock and private folders.
    void cs123(const QString &programDir);

    // Opens "Tarvodb": the file in the current folder if there is one, else the first found in
    // `dataDirs`. Returns the engine's message, or "" when the log is open. A log that did not
    // open stays closed and takes no readings.
    QString open(const QStringList &dataDirs);
    // Opens the table file at `path` as the log, in the same way.
    QString openFile(const QString &path);
    void close();
    bool isOpen() const { return m_table->isOpen(); }

    // Where "Tarvodb" would be opened from, or "" if it is nowhere.
    static QString findLogTable(const QStringList &dataDirs);

    // RecordOutput: posts the record to the table and keeps its stamp. Returns the engine's
    // message, or "" (a closed log says so).
    QString take(const LogRecord &record) override;
    // The log holds as many records as a Paradox table can (its saved copy could hold no more):
    // it takes no more readings until it is emptied or another file is opened.
    bool tableFull() const;

    // Empties the log and restarts the numbering; the Repeat key and the countdown stay.
    // Returns the engine's message, or "".
    QString RecordNew();

    // Appends the records of a recovery journal (its lines, the header first; see JournalFormat)
    // with their times and values, as take() appends a reading, and counts them as taken. Notes
    // about the run (its port) are passed over; a line that is no whole record the log can take
    // is damaged and left out (JournalFormat::count() tells beforehand what would be taken). Into
    // an empty log the records keep their numbers; a log that holds records already numbers them on
    // after its own, as the next reading would be. Either way the numbering goes on after the last.
    struct Restored
    {
        int records = 0;
        int damaged = 0;
        // The journal lines of the records taken, with the numbers the log gave them, and the
        // port lines before them: a journal of this run holds them in place of the leftover's.
        QList<QByteArray> lines;
        QString error; // the engine's message if a record failed (the records before it stay)
    };
    Restored restore(const QList<QByteArray> &journalLines);
    // Puts the Paradox table at `path` under the log in place of the current one. The chosen
    // file is opened and checked first: if it cannot be, or it lacks a field of the log's
    // layout ("The file <path> is not a reading log: it has no field "Value", "Nval"."), the
    // current log and its unsaved readings stay as they were and the message is returned. The
    // count, the key and the countdown are not touched. `mayReplace`, when given, is asked once
    // the file has passed its checks and before it replaces anything; false leaves the log as it
    // was and returns "".
    // New readings are numbered on after the larger of the table's last "No" and the run's own
    // numbering, so that numbers in the log stay unique.
    QString openOldFile(const QString &path, const std::function<bool()> &mayReplace = {});

    // The stamp of the table's record `row` (see RecordStamp).
    RecordStamp stampOf(std::int64_t row) const;
    // The unit of record `row` as the display showed it: the full unit where the stamp has one,
    // else the table's unit text.
    QString unitOf(std::int64_t row) const;
    // The value of record `row` as the display showed it (logrecord::shownValue): the table's
    // text, with the minus sign of an overload below the range, which the table's designed
    // "Value" field leaves out and its signed counts ("Nval") keep.
    QString valueOf(std::int64_t row) const;
    // The stamp of the record taken last, or an empty one.
    RecordStamp lastStamp() const;

    // Where the log's fields are, for reading records back with recordAt().
    struct RecordFields
    {
        std::array<int, 6> columns{}; // the grid's columns, in LogTableLayout::kColumnNames order
        int numeric = -1;
    };
    // The fields, or nothing with `missing` naming the first of the grid's columns the table
    // lacks.
    std::optional<RecordFields> recordFields(QString *missing = nullptr) const;
    // Record `row` as it was taken: the table's fields, and from its stamp what the table does
    // not keep (the date and time, the unit as the display showed it). Throws the engine's error
    // when the record cannot be read.
    LogRecord recordAt(std::int64_t row, const RecordFields &fields) const;

    table::Table &table() { return *m_table; }
    const table::Table &table() const { return *m_table; }
    table::Session &session() { return m_session; }

    // Told about the table under the log, also across openOldFile().
    void setListener(table::TableListener *listener);

private:
    std::unique_ptr<table::Table> newTable() const;
    // Appends `record` with the time of day `time` and keeps its stamp: the one way a record gets
    // into the table, for a reading taken and for one restored. Returns the engine's message, or
    // "" (the half-filled record is cancelled).
    QString append(const LogRecord &record, const QTime &time);
    void numberOnAfterTable();
    // Takes the stamps of the opened table's records from its added fields (a table the window
    // or the logger saved), so that they go on into every save.
    void loadStamps();

    table::Session m_session;
    std::unique_ptr<table::Table> m_table;
    table::TableListener *m_listener = nullptr;
    // Remembers the stamp of the record just posted at `row`: `when` in milliseconds since the
    // epoch, or kNoTime.
    void keepStamp(std::int64_t row, qint64 when, const QString &fullUnit, const QString &unitText);
    void clearStamps();

    // The stamps, indexed like the table's records; shorter when records at the end were not
    // taken here.
    static constexpr qint64 kNoTime = StampColumn::kNoTime;
    StampColumn m_stamps;
};
