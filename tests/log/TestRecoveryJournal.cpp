#include "log/RecoveryJournal.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

class TestRecoveryJournal : public QObject
{
    Q_OBJECT
private slots:
    void linesReadBackWhole();
    void cutLastLineIsDropped_data();
    void cutLastLineIsDropped();
    void runningCopiesKeepTheirJournals();
    void retiredJournalIsGone();
    void folderFromTheEnvironment();
    void folderIsPrivateWhateverTheUmask();
};

void TestRecoveryJournal::linesReadBackWhole()
{
    QTemporaryDir dir;
    {
        RecoveryJournal journal;
        QCOMPARE(journal.start(dir.path(), "No\tTime"), QString());
        QCOMPARE(journal.append("1\t10:00:00"), QString());
        QCOMPARE(journal.append("2\t10:00:01"), QString());
        QCOMPARE(journal.sync(), QString());
        struct stat st;
        QCOMPARE(::stat(QFile::encodeName(journal.path()).constData(), &st), 0);
        QCOMPARE(st.st_mode & 0777, 0600u); // readings are the user's own
        // Destroyed without retire(): as if the program ended without saving.
    }
    QList<RecoveryJournal::Leftover> left = RecoveryJournal::leftovers(dir.path());
    QCOMPARE(left.size(), 1);
    QCOMPARE(left[0].lines, (QList<QByteArray>{"No\tTime", "1\t10:00:00", "2\t10:00:01"}));
    QCOMPARE(RecoveryJournal::removeLeftover(left[0]), QString());
    QVERIFY(RecoveryJournal::leftovers(dir.path()).isEmpty());
}

void TestRecoveryJournal::cutLastLineIsDropped_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<int>("lines");
    QTest::newRow("whole") << QByteArray("h\n1\t2\n") << 2;
    QTest::newRow("cut mid-record") << QByteArray("h\n1\t2\n2\t1") << 2;
    QTest::newRow("cut in the header") << QByteArray("h") << 0;
    QTest::newRow("empty") << QByteArray() << 0;
    QTest::newRow("CR LF ends") << QByteArray("h\r\n1\r\n") << 2;
}

void TestRecoveryJournal::cutLastLineIsDropped()
{
    QFETCH(QByteArray, contents);
    const QList<QByteArray> lines = RecoveryJournal::wholeLines(contents);
    QTEST(int(lines.size()), "lines");
    for (const QByteArray &line : lines)
        QVERIFY(!line.contains('\n') && !line.contains('\r'));
}

// A journal held by a running copy is not offered to another; once that copy is gone it is.
void TestRecoveryJournal::runningCopiesKeepTheirJournals()
{
    QTemporaryDir dir;
    auto running = std::make_unique<RecoveryJournal>();
    QCOMPARE(running->start(dir.path(), "h"), QString());
    RecoveryJournal second;
    QCOMPARE(second.start(dir.path(), "h"), QString());
    QVERIFY(running->path() != second.path());
    QVERIFY(RecoveryJournal::leftovers(dir.path()).isEmpty());

    running.reset(); // the first copy ends without saving
    QList<RecoveryJournal::Leftover> left = RecoveryJournal::leftovers(dir.path());
    QCOMPARE(left.size(), 1);
    // While one start holds the leftover, another start does not offer it too.
    QVERIFY(RecoveryJournal::leftovers(dir.path()).isEmpty());
    RecoveryJournal::releaseLeftover(left[0]);
    QCOMPARE(RecoveryJournal::leftovers(dir.path()).size(), 1);
}

void TestRecoveryJournal::retiredJournalIsGone()
{
    QTemporaryDir dir;
    RecoveryJournal journal;
    QCOMPARE(journal.start(dir.path(), "h"), QString());
    const QString path = journal.path();
    QCOMPARE(journal.append("1"), QString());
    QCOMPARE(journal.retire(), QString());
    QVERIFY(!QFile::exists(path));
    QVERIFY(!journal.isStarted());
    QVERIFY(!journal.append("2").isEmpty()); // nothing is written to a retired journal
}

void TestRecoveryJournal::folderFromTheEnvironment()
{
    const QByteArray old = qgetenv("XDG_STATE_HOME");
    qputenv("XDG_STATE_HOME", "/var/tmp/state");
    QCOMPARE(RecoveryJournal::defaultFolder(), QStringLiteral("/var/tmp/state/vorlatt"));
    qputenv("XDG_STATE_HOME", "relative/ignored");
    QCOMPARE(RecoveryJournal::defaultFolder(), QDir::homePath() + "/.local/state/vorlatt");
    qputenv("XDG_STATE_HOME", old);
}

// Every folder made on the way to the journal is the user's alone, also under a umask that
// lets everyone in; the journal's own folder is made private when it was there, the folders above
// it that were there are not touched.
void TestRecoveryJournal::folderIsPrivateWhateverTheUmask()
{
    QTemporaryDir dir;
    const auto mode = [](const QString &path) {
        struct stat st;
        return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
    };
    const mode_t oldMask = ::umask(0);
    {
        RecoveryJournal journal;
        QCOMPARE(journal.start(dir.filePath(QStringLiteral("state/vorlatt")), "No"), QString());
        QCOMPARE(mode(dir.filePath(QStringLiteral("state"))), 0700);
        QCOMPARE(mode(dir.filePath(QStringLiteral("state/vorlatt"))), 0700);
        QCOMPARE(journal.retire(), QString());
    }
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("shared/vorlatt")));
    QCOMPARE(mode(dir.filePath(QStringLiteral("shared/vorlatt"))), 0777);
    {
        RecoveryJournal journal;
        QCOMPARE(journal.start(dir.filePath(QStringLiteral("shared/vorlatt")), "No"), QString());
        QCOMPARE(mode(dir.filePath(QStringLiteral("shared"))), 0777);
        QCOMPARE(mode(dir.filePath(QStringLiteral("shared/vorlatt"))), 0700);
        QCOMPARE(journal.retire(), QString());
    }
    ::umask(oldMask);
    // A file where the folder should be.
    QFile file(dir.filePath(QStringLiteral("file")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    RecoveryJournal journal;
    QCOMPARE(journal.start(dir.filePath(QStringLiteral("file/vorlatt")), "No"),
             QStringLiteral("cannot make the folder ") +
                 dir.filePath(QStringLiteral("file/vorlatt")));
}

QTEST_MAIN(TestRecoveryJournal)
#include "TestRecoveryJournal.moc"
