#include "log/LogTableCopy.h"

#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray contents(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// The number of a process that has ended.
qint64 endedProcess()
{
    QProcess p;
    p.start(QStringLiteral("true"), {});
    if (!p.waitForStarted())
        return 0;
    const qint64 pid = p.processId();
    p.waitForFinished();
    return pid;
}

} // namespace

// The table each window logs into: made from the shipped one under a name of its process, and
// removed again by it or, once that process is gone, by the next start.
class TestLogTableCopy : public QObject
{
    Q_OBJECT
private slots:
    void folderFromTheEnvironment_data();
    void folderFromTheEnvironment();
    void windowsOfOneProcessGetCopiesOfTheirOwn();
    void failedCopyLeavesNothing();
    void onlyStaleCopiesAreRemoved();
};

void TestLogTableCopy::folderFromTheEnvironment_data()
{
    QTest::addColumn<QString>("runtime");
    QTest::addColumn<QString>("planted"); // what is at @/vorlatt before the start
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("warning");
    // "@" stands for an existing folder of the test, "$" for the state folder.
    QTest::newRow("runtime folder") << "@" << "" << "@/vorlatt" << "";
    QTest::newRow("our folder there") << "@" << "ours" << "@/vorlatt" << "";
    QTest::newRow("no runtime folder") << "" << "" << "$/vorlatt" << "";
    QTest::newRow("relative runtime folder") << "run/user" << "" << "$/vorlatt" << "";
    QTest::newRow("runtime folder missing") << "@/gone" << "" << "$/vorlatt" << "";
    // A shared runtime folder: what another user left there is not taken.
    QTest::newRow("symbolic link planted")
        << "@" << "link" << "$/vorlatt" << "it is a symbolic link";
    QTest::newRow("folder open to others")
        << "@" << "0755" << "$/vorlatt" << "other users have access to it (mode 0755)";
    QTest::newRow("another user's folder")
        << "@" << "nobody" << "$/vorlatt" << "it belongs to another user (65534)";
    QTest::newRow("a file in its place") << "@" << "file" << "$/vorlatt" << "it is not a folder";
}

void TestLogTableCopy::folderFromTheEnvironment()
{
    QFETCH(QString, runtime);
    QFETCH(QString, planted);
    QFETCH(QString, expected);
    QFETCH(QString, warning);
    QTemporaryDir runtimeDir;
    QTemporaryDir stateDir;
    QTemporaryDir elsewhere; // where a planted link leads
    const auto restore = [](const char *name) {
        const bool wasSet = qEnvironmentVariableIsSet(name);
        const QByteArray old = qgetenv(name);
        return qScopeGuard([=] { wasSet ? qputenv(name, old) : qunsetenv(name); });
    };
    const auto restoreRuntime = restore("XDG_RUNTIME_DIR");
    const auto restoreState = restore("XDG_STATE_HOME");
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.replace(u'@', runtimeDir.path())));
    qputenv("XDG_STATE_HOME", QFile::encodeName(stateDir.path()));
    const QString inRuntime = runtimeDir.filePath(QStringLiteral("vorlatt"));
    const QByteArray place = QFile::encodeName(inRuntime);
    if (planted == u"link") {
        QVERIFY(QFile::link(elsewhere.path(), inRuntime));
    } else if (planted == u"file") {
        QVERIFY(writeFile(inRuntime, "not a folder"));
    } else if (!planted.isEmpty()) {
        QCOMPARE(::mkdir(place.constData(), 0700), 0);
        if (planted == u"0755")
            QCOMPARE(::chmod(place.constData(), 0755), 0);
        if (planted == u"nobody" && (::geteuid() != 0 || ::chown(place.constData(), 65534, 65534)))
            QSKIP("only root can give a folder to another user");
    }
    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg,
                             qPrintable(QStringLiteral("vorlatt: %1 is not used: %2; the log "
                                                       "table's copy goes to %3/vorlatt instead")
                                            .arg(inRuntime, warning, stateDir.path())));
    QCOMPARE(LogTableCopy::defaultFolder(),
             expected.replace(u'@', runtimeDir.path()).replace(u'$', stateDir.path()));
    if (expected.startsWith(runtimeDir.path())) {
        // Made or found, it is the user's own.
        struct stat st;
        QCOMPARE(::lstat(place.constData(), &st), 0);
        QVERIFY(S_ISDIR(st.st_mode));
        QCOMPARE(st.st_mode & 0777, 0700u);
    }
    // Nothing of ours went where the link leads, and the folder left there keeps its mode.
    QVERIFY(QDir(elsewhere.path()).isEmpty());
    if (planted == u"0755") {
        struct stat st;
        QCOMPARE(::lstat(place.constData(), &st), 0);
        QCOMPARE(st.st_mode & 0777, 0755u);
    }
}

void TestLogTableCopy::windowsOfOneProcessGetCopiesOfTheirOwn()
{
    QTemporaryDir dir;
    const QString shipped = dir.filePath(QStringLiteral("Tarvodb.DB"));
    const QByteArray table("the shipped table's bytes\0and more", 34);
    QVERIFY(writeFile(shipped, table));
    const QString folder = dir.filePath(QStringLiteral("runtime/vorlatt"));
    const QString pid = QString::number(::getpid());

    QString firstPath;
    {
        LogTableCopy first;
        LogTableCopy second;
        QCOMPARE(first.make(shipped, folder), QString());
        QCOMPARE(second.make(shipped, folder), QString());
        QCOMPARE(first.path(), folder + QStringLiteral("/Tarvodb-%1-0.DB").arg(pid));
        QCOMPARE(second.path(), folder + QStringLiteral("/Tarvodb-%1-1.DB").arg(pid));
        QCOMPARE(contents(first.path()), table);
        QCOMPARE(contents(second.path()), table);
        struct stat st;
        QCOMPARE(::stat(QFile::encodeName(first.path()).constData(), &st), 0);
        QCOMPARE(st.st_mode & 0777, 0600u);
        QCOMPARE(::stat(QFile::encodeName(folder).constData(), &st), 0);
        QCOMPARE(st.st_mode & 0777, 0700u);
        // The shipped table stays as it was.
        QCOMPARE(contents(shipped), table);

        QCOMPARE(second.remove(), QString());
        QVERIFY(second.path().isEmpty());
        QCOMPARE(QDir(folder).entryList(QDir::Files),
                 QStringList{QFileInfo(first.path()).fileName()});
        firstPath = first.path();
    }
    // Gone with the object that made it.
    QVERIFY(!QFile::exists(firstPath));
    QCOMPARE(QDir(folder).entryList(QDir::Files), QStringList());
}

void TestLogTableCopy::failedCopyLeavesNothing()
{
    QTemporaryDir dir;
    LogTableCopy copy;
    const QString missing = dir.filePath(QStringLiteral("Tarvodb.DB"));
    const QString error = copy.make(missing, dir.filePath(QStringLiteral("copies")));
    QVERIFY2(error.startsWith(missing), qPrintable(error));
    QVERIFY(copy.path().isEmpty());
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("copies"))) ||
            QDir(dir.filePath(QStringLiteral("copies"))).isEmpty());

    // A file where the folder should be.
    QVERIFY(writeFile(missing, "table"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("blocked")), "not a folder"));
    QVERIFY(!copy.make(missing, dir.filePath(QStringLiteral("blocked/vorlatt"))).isEmpty());
    QVERIFY(copy.path().isEmpty());
}

// A copy goes only when its process has ended and nobody holds it; names that are not copies,
// copies of running processes (this one included) and another user's files stay.
void TestLogTableCopy::onlyStaleCopiesAreRemoved()
{
    QTemporaryDir dir;
    const QString folder = dir.path();
    const qint64 ended = endedProcess();
    QVERIFY(ended > 0);
    auto name = [&](qint64 pid, int n) {
        return QStringLiteral("%1/Tarvodb-%2-%3.DB").arg(folder).arg(pid).arg(n);
    };
    const QString stale = name(ended, 0);
    const QString held = name(ended, 1);
    const QString running = name(1, 0); // process 1 runs as long as the system does
    const QString ours = name(::getpid(), 7);
    const QStringList others = {folder + QStringLiteral("/Tarvodb.DB"),
                                folder + QStringLiteral("/Tarvodb-x1-0.DB"),
                                folder + QStringLiteral("/journal-20260101-120000-1-0.tsv")};
    for (const QString &path : QStringList{stale, held, running, ours} + others)
        QVERIFY(writeFile(path, "table"));
    const QString foreign = name(ended, 2);
    QVERIFY(writeFile(foreign, "another user's table"));
    const bool otherUser =
        ::geteuid() == 0 && ::chown(QFile::encodeName(foreign).constData(), 65534, 65534) == 0;
    if (!otherUser)
        QFile::remove(foreign);

    // Held as a window holds its table, whatever the name says.
    const int lock = ::open(QFile::encodeName(held).constData(), O_RDONLY | O_CLOEXEC);
    QVERIFY(lock >= 0);
    const auto unlock = qScopeGuard([lock] { ::close(lock); });
    QCOMPARE(::flock(lock, LOCK_EX | LOCK_NB), 0);

    QCOMPARE(LogTableCopy::removeStale(folder), 1);
    QVERIFY(!QFile::exists(stale));
    for (const QString &path : QStringList{held, running, ours} + others)
        QVERIFY2(QFile::exists(path), qPrintable(path));
    if (otherUser)
        QCOMPARE(contents(foreign), QByteArray("another user's table"));
    else
        qInfo("not run as root: another user's copy is not tried");
}

QTEST_GUILESS_MAIN(TestLogTableCopy)
#include "TestLogTableCopy.moc"
