#pragma once

#include "log/ReadingLog.h"

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
    log.NextRecordNo = 1;
    log.RecordLimit = 10000;
}
