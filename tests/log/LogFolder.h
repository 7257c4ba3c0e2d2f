#pragma once

#include "log/ReadingLog.h"
#include "log/ReadingRecorder.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

// A private folder holding a copy of the shipped log table "Tarvodb.DB", made the current
// folder for the test's lifetime: the log opens its table for exclusive use, so tests running
// side by side must not share one.
class LogFolder
{
public:
    LogFolder() : m_oldCwd(QDir::currentPath())
    {
        QVERIFY(m_dir.isValid());
        QVERIFY(QFile::copy(QStringLiteral(VORLATT_TARVODB), path(QStringLiteral("Tarvodb.DB"))));
        QFile::setPermissions(path(QStringLiteral("Tarvodb.DB")),
                              QFile::ReadOwner | QFile::WriteOwner);
        QVERIFY(QDir::setCurrent(m_dir.path()));
    }
    ~LogFolder() { QDir::setCurrent(m_oldCwd); }

    QString path(const QString &name) const { return m_dir.filePath(name); }

private:
    QTemporaryDir m_dir;
    QString m_oldCwd;
};

// Opens the log as start-up does: "Tarvodb" from the current folder, numbering from 1, the
// limit 10000.
inline void openAsAtStartUp(ReadingLog &log)
{
    log.cs123(QDir::currentPath());
    QCOMPARE(log.open({}), QString());
    log.rules().NextRecordNo = 1;
    log.rules().RecordLimit = 10000;
}

// Readings into the log alone, as the window's recorder hands them on: the log's rules decide
// and `clock` stamps the records (the system's clock unless a test hands in its own, which then
// counts on from reading to reading). A closed or full log is offered nothing, as in the window.
class LogFeed
{
public:
    struct Offered
    {
        bool logged = false;
        QString error; // the rules' or the log's
    };

    explicit LogFeed(ReadingLog &log, ReadingRecorder::Clock clock = {})
        : m_log(log), m_recorder(log.rules(), std::move(clock))
    {
        m_recorder.addOutput(&log);
    }

    Offered offer(const protocol::MeterReading &reading, const LogSettings &settings = {},
                  const QString &fullUnit = {})
    {
        if (!m_log.isOpen() || m_log.tableFull())
            return {};
        const ReadingRecorder::Outcome outcome = m_recorder.offer(reading, settings, fullUnit);
        if (!outcome.ruleError.isEmpty())
            return {false, outcome.ruleError};
        if (!outcome.failures.empty())
            return {false, outcome.failures.front().error};
        return {outcome.recorded, {}};
    }

private:
    ReadingLog &m_log;
    ReadingRecorder m_recorder;
};
