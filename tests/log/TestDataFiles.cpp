#include "LogFolder.h"
#include "log/DataFiles.h"
#include "log/ReadingLog.h"

#include <QProcess>
#include <QScopeGuard>
#include <QtTest>

#include <memory>

namespace {

// Takes `room` bytes, then fails every write, as a full disk does.
class FailingDevice : public QIODevice
{
public:
    explicit FailingDevice(qint64 room) : m_room(room) { open(QIODevice::WriteOnly); }

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *, qint64 len) override
    {
        if (len > m_room)
            return -1;
        m_room -= len;
        return len;
    }

private:
    qint64 m_room = 0;
};

QByteArray contents(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

} // namespace

class TestDataFiles : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void paradoxOnlyForLowerCaseDb_data();
    void paradoxOnlyForLowerCaseDb();
    void textLayout_data();
    void textLayout();
    void failedTextSaveKeepsTheOldFile();
    void paradoxCopyIsIndexedAndReadsBack();
    void failedIndexStepLeavesTheCopyAndLaterSavesWork();
    void fullDiskKeepsTheOldFiles_data();
    void fullDiskKeepsTheOldFiles();

private:
    void log(int readings, const QString &unit = QStringLiteral("V"));
    std::unique_ptr<LogFolder> m_folder;
    std::unique_ptr<ReadingLog> m_log;
};

void TestDataFiles::init()
{
    m_folder = std::make_unique<LogFolder>();
    int second = 0;
    m_log = std::make_unique<ReadingLog>([second]() mutable { return QTime(9, 5, second++); });
    openAsAtStartUp(*m_log);
}

void TestDataFiles::cleanup()
{
    m_log.reset();
    m_folder.reset();
}

void TestDataFiles::log(int readings, const QString &unit)
{
    for (int i = 0; i < readings; ++i) {
        const protocol::MeterReading r{QString::number(-1.5 + i, 'f', 3), float(-1500 + 1000 * i),
                                       i % 2 ? QStringLiteral("AC") : QStringLiteral("DC"), unit,
                                       QStringLiteral("AUTO")};
        QVERIFY(m_log->INDataToTable(r, LogSettings()).logged);
    }
}

void TestDataFiles::paradoxOnlyForLowerCaseDb_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("paradox");
    QTest::newRow(".db") << "/tmp/run.db" << true;
    QTest::newRow(".DB is text") << "/tmp/run.DB" << false;
    QTest::newRow(".Db is text") << "/tmp/run.Db" << false;
    QTest::newRow("no extension") << "/tmp/run" << false;
    QTest::newRow(".xls") << "/tmp/run.xls" << false;
    QTest::newRow("a .db folder") << "/tmp/old.db/run.txt" << false;
    QTest::newRow("two extensions") << "/tmp/run.db.xls" << false;
}

void TestDataFiles::paradoxOnlyForLowerCaseDb()
{
    QFETCH(QString, path);
    QTEST(DataFiles::isParadoxName(path), "paradox");
}

void TestDataFiles::textLayout_data()
{
    QTest::addColumn<int>("readings");
    QTest::addColumn<QString>("unit");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("empty log: the header alone")
        << 0 << "V" << QByteArray("No\tTime\tDC/AC\tValue\tUnit\tAUTO\r\n");
    // The degree sign is one byte, 0xB0, in the single-byte code page.
    QTest::newRow("records in table order, code page bytes")
        << 3 << QString::fromUtf8("\u00B0C")
        << QByteArray("No\tTime\tDC/AC\tValue\tUnit\tAUTO\r\n"
                      "1\t09:05:00\tDC\t-1.500\t\xB0"
                      "C\tAUTO\r\n"
                      "2\t09:05:01\tAC\t-0.500\t\xB0"
                      "C\tAUTO\r\n"
                      "3\t09:05:02\tDC\t0.500\t\xB0"
                      "C\tAUTO\r\n");
}

void TestDataFiles::textLayout()
{
    QFETCH(int, readings);
    QFETCH(QString, unit);
    log(readings, unit);
    m_log->table().first();
    DataFiles files(m_log->session());
    const QString path = m_folder->path(QStringLiteral("run.xls"));
    const DataFiles::TextResult r = files.SaveTableAsText(m_log->table(), path);
    QCOMPARE(r.kind, DataFiles::TextResult::Kind::Saved);
    QCOMPARE(r.message, QStringLiteral("save table to specified file: ") + path + " Scuss!");
    QTEST(contents(path), "bytes");
    // The walk leaves the last record current, as the grid shows it.
    QCOMPARE(m_log->table().currentRow(), qint64(readings) - 1);
}

void TestDataFiles::failedTextSaveKeepsTheOldFile()
{
    log(50);
    // The writer reports a device that fails part way.
    FailingDevice full(100);
    QVERIFY(!DataFiles::writeText(m_log->table(), &full));

    DataFiles files(m_log->session());
    const QString nowhere = m_folder->path(QStringLiteral("no/such/folder/run.xls"));
    const DataFiles::TextResult r = files.SaveTableAsText(m_log->table(), nowhere);
    QCOMPARE(r.kind, DataFiles::TextResult::Kind::WriteFailed);
    // The message says which file, then why.
    QVERIFY2(r.message.startsWith(QStringLiteral("Could not save table to specified file: ") +
                                  nowhere + QStringLiteral("\n\n")),
             qPrintable(r.message));
    QVERIFY(r.message.size() > r.message.indexOf(u'\n') + 2);

    // A table without a field of the layout: the engine's error, and nothing is written.
    const QString old = m_folder->path(QStringLiteral("old.xls"));
    QFile f(old);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("earlier export\r\n");
    f.close();
    table::Table other(m_log->session());
    other.setTableName(m_folder->path(QStringLiteral("other.db")).toStdString());
    other.createTable({{"No", table::FieldType::Long, 4}, {"Value", table::FieldType::Alpha, 8}});
    QCOMPARE(m_log->openOldFile(m_folder->path(QStringLiteral("other.db"))), QString());
    const DataFiles::TextResult missing = files.SaveTableAsText(m_log->table(), old);
    QCOMPARE(missing.kind, DataFiles::TextResult::Kind::EngineError);
    QVERIFY2(missing.message.contains(u"Time"), qPrintable(missing.message));
    QCOMPARE(contents(old), QByteArray("earlier export\r\n"));
    QCOMPARE(QDir(m_folder->path(QString())).entryList({QStringLiteral("old.xls*")}, QDir::Files),
             QStringList{QStringLiteral("old.xls")});
}

void TestDataFiles::paradoxCopyIsIndexedAndReadsBack()
{
    log(40);
    DataFiles files(m_log->session());
    const QString path = m_folder->path(QStringLiteral("run.db"));
    for (int save = 0; save < 2; ++save) { // the second save replaces the first
        if (save)
            log(2);
        QCOMPARE(files.SaveTableAsDb(m_log->table(), path), QString());
        QVERIFY(!files.Tdest().isOpen());
    }
    table::Table copy(m_log->session());
    copy.setTableName(path.toStdString());
    copy.setExclusive(true);
    copy.open();
    QCOMPARE(copy.recordCount(), 42);
    QCOMPARE(copy.fields().size(), m_log->table().fields().size());
    for (qint64 row : {0, 41})
        for (int f = 0; f < int(copy.fields().size()); ++f)
            QCOMPARE(copy.text(row, f), m_log->table().text(row, f));
    const table::IndexReport index = copy.checkPrimaryIndex();
    Q_UNUSED(index);
    QVERIFY(QFile::exists(m_folder->path(QStringLiteral("run.px"))));
}

// A log without "Not" (an old data file of another make): the copy is written, the index step
// fails with the engine's message, and the copy table does not stay open to block the next save.
void TestDataFiles::failedIndexStepLeavesTheCopyAndLaterSavesWork()
{
    table::Table other(m_log->session());
    other.setTableName(m_folder->path(QStringLiteral("plain.db")).toStdString());
    other.createTable({{"No", table::FieldType::Long, 4},
                       {"Time", table::FieldType::Time, 4},
                       {"DC/AC", table::FieldType::Alpha, 2},
                       {"Value", table::FieldType::Alpha, 8},
                       {"Nval", table::FieldType::Number, 8},
                       {"Unit", table::FieldType::Alpha, 2},
                       {"AUTO", table::FieldType::Alpha, 4}});
    QCOMPARE(m_log->openOldFile(m_folder->path(QStringLiteral("plain.db"))), QString());
    log(3);
    DataFiles files(m_log->session());
    const QString first = m_folder->path(QStringLiteral("first.db"));
    const QString error = files.SaveTableAsDb(m_log->table(), first);
    QVERIFY2(error.contains(u"Not"), qPrintable(error));
    QVERIFY(!files.Tdest().isOpen());
    QVERIFY(QFile::exists(first));
    QVERIFY(!QFile::exists(m_folder->path(QStringLiteral("first.px"))));
    // The copy is there, unindexed, and the next save is not blocked by it.
    QVERIFY(files.SaveTableAsDb(m_log->table(), m_folder->path(QStringLiteral("second.db")))
                .contains(u"Not"));
    table::Table copy(m_log->session());
    copy.setTableName(first.toStdString());
    copy.setExclusive(true);
    copy.open();
    QCOMPARE(copy.recordCount(), 3);
}

// A small real filesystem, nearly full: a save that does not fit says so and leaves the file it
// would have replaced as it was, for a short text (which the save file would only write at its
// commit) and for a Paradox table.
void TestDataFiles::fullDiskKeepsTheOldFiles_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("short text") << "old.xls";
    QTest::newRow("Paradox table") << "old.db";
}

void TestDataFiles::fullDiskKeepsTheOldFiles()
{
    QFETCH(QString, name);
    const QString disk = m_folder->path(QStringLiteral("disk"));
    QVERIFY(QDir().mkpath(disk));
    QProcess mount;
    mount.start(QStringLiteral("mount"), {QStringLiteral("-t"), QStringLiteral("tmpfs"),
                                          QStringLiteral("-o"), QStringLiteral("size=64k"),
                                          QStringLiteral("tmpfs"), disk});
    if (!mount.waitForFinished() || mount.exitCode() != 0)
        QSKIP("a small filesystem cannot be mounted here (needs root and tmpfs)");
    const auto unmount = qScopeGuard([&] { QProcess::execute(QStringLiteral("umount"), {disk}); });

    log(20);
    DataFiles files(m_log->session());
    const QString path = disk + u'/' + name;
    // The old file, saved while there was room.
    if (DataFiles::isParadoxName(path))
        QCOMPARE(files.SaveTableAsDb(m_log->table(), path), QString());
    else
        QCOMPARE(files.SaveTableAsText(m_log->table(), path).kind,
                 DataFiles::TextResult::Kind::Saved);
    const auto contents = [](const QString &file) {
        QFile f(file);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(missing)");
    };
    const QByteArray before = contents(path);
    const QString index = disk + QStringLiteral("/old.px");
    const QByteArray indexBefore = contents(index);
    // Fill the disk to the last block.
    QFile filler(disk + QStringLiteral("/filler"));
    QVERIFY(filler.open(QIODevice::WriteOnly));
    const QByteArray block(512, 'x');
    while (filler.write(block) == block.size() && filler.flush()) {
    }
    filler.close();

    log(5);
    if (DataFiles::isParadoxName(path)) {
        QVERIFY(!files.SaveTableAsDb(m_log->table(), path).isEmpty());
        QCOMPARE(contents(index), indexBefore);
    } else {
        const DataFiles::TextResult r = files.SaveTableAsText(m_log->table(), path);
        QCOMPARE(r.kind, DataFiles::TextResult::Kind::WriteFailed);
        QVERIFY2(r.message.contains(u"No space left on device"), qPrintable(r.message));
    }
    QCOMPARE(contents(path), before);
}

QTEST_GUILESS_MAIN(TestDataFiles)
#include "TestDataFiles.moc"
