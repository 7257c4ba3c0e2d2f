#include "log/DurableLineFile.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

// The one file the journal, the logger's text outputs and the MQTT spool append their lines to,
// on real files: what a crash left, a second writer, a full disk and when the lines are synced.
class TestDurableLineFile : public QObject
{
    Q_OBJECT
private slots:
    void openKeepsWholeLinesOnly_data();
    void openKeepsWholeLinesOnly();
    void secondWriterIsRefused_data();
    void secondWriterIsRefused();
    void fullDiskLeavesWholeLines();
    void syncOnlyWhatIsNew();
};

namespace {

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

bool write(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size() && file.flush();
}

} // namespace

void TestDurableLineFile::openKeepsWholeLinesOnly_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("mustBeginWith");
    QTest::addColumn<int>("refusal");
    QTest::addColumn<QByteArray>("after"); // once "z\n" is appended
    QTest::addColumn<QByteArray>("lastLine");
    const int none = int(DurableLineFile::Refusal::None);
    const int foreign = int(DurableLineFile::Refusal::Foreign);
    QTest::newRow("new file") << QByteArray() << QByteArray() << none << QByteArray("z\n")
                              << QByteArray();
    QTest::newRow("whole lines") << QByteArray("a\nb\n") << QByteArray() << none
                                 << QByteArray("a\nb\nz\n") << QByteArray("b");
    QTest::newRow("half-written tail") << QByteArray("a\nb\nc1") << QByteArray() << none
                                       << QByteArray("a\nb\nz\n") << QByteArray("b");
    QTest::newRow("nothing but half a line") << QByteArray("abc") << QByteArray() << none
                                             << QByteArray("z\n") << QByteArray();
    QTest::newRow("CR LF lines") << QByteArray("h\r\n1\r\n2") << QByteArray("h\r\n") << none
                                 << QByteArray("h\r\n1\r\nz\n") << QByteArray("1");
    QTest::newRow("its start cut short") << QByteArray("No\tTi") << QByteArray("No\tTime\r\n")
                                         << none << QByteArray("z\n") << QByteArray();
    // Another kind of file is neither cut back nor appended to.
    QTest::newRow("foreign file") << QByteArray("PK\3\4zip\nbytes") << QByteArray("No\tTime\r\n")
                                  << foreign << QByteArray("PK\3\4zip\nbytes") << QByteArray();
}

void TestDurableLineFile::openKeepsWholeLinesOnly()
{
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, mustBeginWith);
    QFETCH(int, refusal);
    QFETCH(QByteArray, after);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("lines.txt"));
    if (!before.isEmpty())
        QVERIFY(write(path, before));
    DurableLineFile::Options options;
    options.mustBeginWith = mustBeginWith;
    DurableLineFile file;
    const DurableLineFile::Opened opened = file.open(path, options);
    QCOMPARE(int(opened.refusal), refusal);
    if (opened.ok()) {
        QCOMPARE(opened.created, before.isEmpty());
        QCOMPARE(opened.droppedBytes, before.size() - before.lastIndexOf('\n') - 1);
        QTEST(file.lastLine(), "lastLine");
        QCOMPARE(file.append("z\n"), QString());
        QCOMPARE(file.close(), QString());
    } else {
        QVERIFY2(opened.error.startsWith(path + u':'), qPrintable(opened.error));
        QVERIFY(!file.isOpen());
    }
    QCOMPARE(contents(path), after);
}

void TestDurableLineFile::secondWriterIsRefused_data()
{
    QTest::addColumn<bool>("otherProcess");
    // flock belongs to the open file: a second open in the same process conflicts too.
    QTest::newRow("another open in this process") << false;
    QTest::newRow("another process") << true;
}

void TestDurableLineFile::secondWriterIsRefused()
{
    QFETCH(bool, otherProcess);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("lines.txt"));
    QVERIFY(write(path, "a\nhalf"));

    DurableLineFile holder;
    int locked[2] = {-1, -1}, release[2] = {-1, -1};
    pid_t child = -1;
    if (otherProcess) {
        QCOMPARE(::pipe(locked), 0);
        QCOMPARE(::pipe(release), 0);
        child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            // Only system calls here: the child holds the lock until told to let go.
            const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR);
            char c = fd >= 0 && ::flock(fd, LOCK_EX) == 0 ? 'y' : 'n';
            (void)!::write(locked[1], &c, 1);
            (void)!::read(release[0], &c, 1);
            ::_exit(0);
        }
        char c = 0;
        QCOMPARE(::read(locked[0], &c, 1), ssize_t(1));
        QCOMPARE(c, 'y');
    } else {
        QVERIFY(holder.open(path, {}).ok());
    }

    DurableLineFile second;
    const DurableLineFile::Opened refused = second.open(path, {});
    QCOMPARE(int(refused.refusal), int(DurableLineFile::Refusal::InUse));
    QCOMPARE(refused.error, path + QStringLiteral(": in use by another program"));
    QVERIFY(!second.isOpen());
    if (!otherProcess)
        QCOMPARE(contents(path), QByteArray("a\n")); // the holder cut the half line
    else
        QCOMPARE(contents(path), QByteArray("a\nhalf")); // refused before touching it

    if (otherProcess) {
        QCOMPARE(::write(release[1], "x", 1), ssize_t(1));
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        for (int fd : {locked[0], locked[1], release[0], release[1]})
            ::close(fd);
    } else {
        QCOMPARE(holder.close(), QString());
    }
    // Let go, the file is anyone's again.
    QVERIFY(second.open(path, {}).ok());
    QCOMPARE(second.append("b\n"), QString());
    QCOMPARE(second.close(), QString());
    QCOMPARE(contents(path), QByteArray("a\nb\n"));
}

// A disk that fills up in the middle of a line: the system takes part of the line, refuses the
// rest, and the file is cut back to its last whole line, which is on the disk; the reason is the
// system's. Once there is room again, lines go on being appended.
void TestDurableLineFile::fullDiskLeavesWholeLines()
{
    QTemporaryDir dir;
    const QString disk = dir.filePath(QStringLiteral("disk"));
    QVERIFY(QDir().mkpath(disk));
    QProcess mount;
    mount.start(QStringLiteral("mount"), {QStringLiteral("-t"), QStringLiteral("tmpfs"),
                                          QStringLiteral("-o"), QStringLiteral("size=64k"),
                                          QStringLiteral("tmpfs"), disk});
    if (!mount.waitForFinished(30000) || mount.exitStatus() != QProcess::NormalExit ||
        mount.exitCode() != 0)
        QSKIP(qPrintable(QStringLiteral("cannot mount a small tmpfs here (needs the right to "
                                        "mount, as root in CI): ") +
                         QString::fromLocal8Bit(mount.readAllStandardError()).trimmed()));
    const auto unmount = qScopeGuard(
        [&] { QProcess::execute(QStringLiteral("umount"), {QStringLiteral("-l"), disk}); });

    // Room to free later.
    const QString filler = disk + QStringLiteral("/filler");
    QVERIFY(write(filler, QByteArray(16 * 1024, 'f')));

    const QString path = disk + QStringLiteral("/lines.txt");
    DurableLineFile file;
    QVERIFY(file.open(path, {}).ok());
    // 1000 bytes do not divide a page: the line that does not fit is written in part.
    const QByteArray line = QByteArray(999, 'x') + '\n';
    QString error;
    int written = 0;
    while (written < 1000 && (error = file.append(line)).isEmpty())
        ++written;
    QVERIFY2(written > 0 && written < 1000, qPrintable(QString::number(written)));
    QCOMPARE(error, path + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(ENOSPC)));
    QCOMPARE(file.size(), qint64(written) * line.size());
    QCOMPARE(file.linesAppended(), qint64(written));
    QCOMPARE(file.linesSynced(), qint64(written)); // the whole lines were synced at the failure
    QCOMPARE(contents(path), line.repeated(written));

    QVERIFY(QFile::remove(filler));
    QCOMPARE(file.append(line), QString());
    QCOMPARE(file.close(), QString());
    QCOMPARE(contents(path), line.repeated(written + 1));
}

// Appending never syncs; sync() syncs what is new and only that, so the owner's timer calling it
// every second costs nothing on a file with nothing new; close() syncs what is left.
void TestDurableLineFile::syncOnlyWhatIsNew()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("lines.txt"));
    DurableLineFile file;
    QVERIFY(file.open(path, {}).ok());
    QCOMPARE(file.append("1\n2\n"), QString());
    QCOMPARE(file.append("3\n"), QString());
    QCOMPARE(file.syncCalls(), qint64(0));
    QCOMPARE(file.unsyncedBytes(), qint64(6));
    QCOMPARE(file.linesSynced(), qint64(0));
    QCOMPARE(file.sync(), QString());
    QCOMPARE(file.sync(), QString());
    QCOMPARE(file.syncCalls(), qint64(1));
    QCOMPARE(file.linesSynced(), qint64(3));
    QCOMPARE(file.unsyncedBytes(), qint64(0));
    QCOMPARE(file.append("4\n"), QString());
    QVERIFY(file.append("no line end").contains(u"not a whole line"));
    QCOMPARE(file.close(), QString());
    QCOMPARE(file.syncCalls(), qint64(2));
    QCOMPARE(file.linesSynced(), qint64(4));
    QCOMPARE(contents(path), QByteArray("1\n2\n3\n4\n"));
}

QTEST_GUILESS_MAIN(TestDurableLineFile)
#include "TestDurableLineFile.moc"
