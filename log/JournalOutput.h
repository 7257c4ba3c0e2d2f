#pragma once

#include "log/RecordOutput.h"
#include "log/RecoveryJournal.h"

#include <QByteArray>
#include <QString>

#include <cstdint>

class ReadingLog;

// The recovery journal as an output of the window's recorder: each record becomes one line of
// the journal (see JournalFormat), made from the record in hand, and is written at once. The
// journal is started at the first record after it was retired (see RecoveryJournal), in the state
// folder.
class JournalOutput : public RecordOutput
{
public:
    explicit JournalOutput(RecoveryJournal &journal) : m_journal(journal) {}

    // The port the readings come from, as the window's title names it; the journal says it
    // before the next record, and again whenever it changes, so that a restore can tell which
    // meter a leftover journal was read from. "" (a link ended) keeps the last one.
    void setPort(const QString &port);

    QString take(const LogRecord &record) override;
    // The run's link: its port, whenever one is opened, is the one the next records come from.
    void linkChanged(const LinkState &state) override { setPort(state.port); }
    // Puts the lines written on the disk.
    QString flush() override;

    // The lines of a restored journal (records and port lines), copied as they stand, so that
    // the restored readings outlive another crash. All or none: a journal holding some of them
    // beside the leftover that holds them all would offer them twice after another crash.
    QString appendRestored(const QList<QByteArray> &lines);

    // Writes the journal afresh from the records `log` holds from its row `fromRow` on (those
    // not saved yet), with the port named first, and puts it in the place of the one started;
    // for a journal that failed, so that it holds every unsaved reading again. On failure the
    // journal stays as it was. Empty, or why not.
    QString rebuild(const ReadingLog &log, std::int64_t fromRow);

private:
    QString startIfNeeded();

    RecoveryJournal &m_journal;
    QString m_port;        // the link the readings come from
    QString m_journalPort; // the port the journal named last
};
