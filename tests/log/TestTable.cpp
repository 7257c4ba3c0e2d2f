// The engine's operations as the reading log and the save command use them: session and table
// names, exclusive use, cached updates, appending by field name, walking, emptying, batch copy
// and the primary index of saved copies.

#include "TableFixtures.h"

#include "log/engine/BatchMove.h"
#include "log/engine/EngineError.h"
#include "log/engine/Session.h"
#include "log/engine/Table.h"

#include <QtTest>

using table::FieldDef;
using table::FieldType;
using table::Table;
using table::TableType;

namespace {

const std::vector<FieldDef> kLogFields = {
    {"Not", FieldType::AutoIncrement, 4}, {"No", FieldType::Long, 4},
    {"Time", FieldType::Time, 4},         {"DC/AC", FieldType::Alpha, 2},
    {"Value", FieldType::Alpha, 8},       {"Nval", FieldType::Number, 8},
    {"Unit", FieldType::Alpha, 2},        {"AUTO", FieldType::Alpha, 4},
};

QByteArray contents(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

void createTable(table::Session &session, const QString &path,
                 const std::vector<FieldDef> &fields = kLogFields, int blockSize = 4096)
{
    Table t(session);
    t.setTableName(path.toStdString());
    t.setBlockSize(blockSize);
    t.createTable(fields);
}

// The log's table as the program opens it: by bare name, for exclusive use, with cached updates.
void openAsTheProgramDoes(Table &log)
{
    log.setTableName("Tarvodb");
    log.setTableType(TableType::Paradox);
    log.setExclusive(true);
    log.setCachedUpdates(true);
    log.open();
}

// The steps of logging one reading, in the order the log takes them, with its spelling of the
// field names.
void logReading(Table &log, int no, const std::string &value, float counts)
{
    log.append();
    log.setText("value", value);
    log.setFloat("Nval", counts);
    log.setTime("time", table::TimeOfDay{10, no / 60 % 60, no % 60, 0});
    log.setInteger("no", no);
    log.setText("DC/AC", "DC");
    log.setText("unit", "mV");
    log.setText("Auto", "AUTO");
    log.post();
}

QStringList column(Table &t, const char *field)
{
    QStringList texts;
    for (t.first(); !t.eof(); t.next())
        texts << QString::fromStdString(t.text(field));
    return texts;
}

QString errorOf(const std::function<void()> &f)
{
    try {
        f();
    } catch (const table::EngineError &e) {
        return QString::fromUtf8(e.what());
    }
    return QString();
}

struct Recorder : table::TableListener
{
    QStringList events;
    void aboutToAppend(std::int64_t row) override
    {
        events << QStringLiteral("aboutToAppend %1").arg(row);
    }
    void appended(std::int64_t row) override { events << QStringLiteral("appended %1").arg(row); }
    void aboutToReset() override { events << "aboutToReset"; }
    void reset() override { events << "reset"; }
    void currentChanged(std::int64_t row) override
    {
        events << QStringLiteral("current %1").arg(row);
    }
};

} // namespace

class TestTable : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void tableNamesFindTheirFile_data();
    void tableNamesFindTheirFile();
    void cachedUpdatesNeverWriteTheFile();
    void loggedReadingsReadBackByName();
    void autoIncrementContinuesAboveEveryNumber();
    void exclusiveUseKeepsOtherOpenersOut();
    void exclusiveUseKeepsOtherProgramsOut();
    void writeThroughTablesUpdateTheirFile();
    void batchCopyWritesEveryRecordTheLogShows();
    void batchCopyReplacesOnlyAFreeFile();
    void savedCopyGetsAPrimaryIndexOverNot();
    void primaryIndexRefusals_data();
    void primaryIndexRefusals();
    void recordsOutOfKeyOrderAreSortedForTheIndex();
    void keyedWriteThroughTableKeepsItsIndex();
    void misuseIsRefusedWithAMessage();
    void listenerHearsChangesInOrder();

private:
    QTemporaryDir *m_dir = nullptr;
    QString m_oldCwd;
    table::Session m_session{"s1"};
    QString path(const QString &name) const { return m_dir->filePath(name); }
};

void TestTable::init()
{
    m_dir = new QTemporaryDir;
    QVERIFY(m_dir->isValid());
    m_oldCwd = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_dir->path()));
}

void TestTable::cleanup()
{
    QDir::setCurrent(m_oldCwd);
    delete m_dir;
}

void TestTable::tableNamesFindTheirFile_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("error");
    QTest::newRow("bare name in the current folder") << "Run1" << int(TableType::Paradox) << "";
    QTest::newRow("other letter case") << "run1.db" << int(TableType::Default) << "";
    QTest::newRow("path in upper case") << "<DIR>/RUN1.DB" << int(TableType::Paradox) << "";
    QTest::newRow("relative path") << "./sub/../Run1.DB" << int(TableType::Paradox) << "";
    QTest::newRow("type from the extension")
        << "Run1.dbf" << int(TableType::Default) << "only Paradox tables (.db) are supported";
    QTest::newRow("missing") << "Run2" << int(TableType::Paradox) << "Run2.DB\" does not exist";
    QTest::newRow("folder") << "sub.db" << int(TableType::Paradox)
                            << "is a folder, not a table file";
    QTest::newRow("no name") << "" << int(TableType::Paradox) << "no table name given";
}

void TestTable::tableNamesFindTheirFile()
{
    QFETCH(QString, name);
    QFETCH(int, type);
    QFETCH(QString, error);
    createTable(m_session, path("Run1.DB"));
    QVERIFY(QDir(m_dir->path()).mkpath("sub"));
    QVERIFY(QDir(m_dir->path()).mkpath("sub.db"));
    name.replace("<DIR>", m_dir->path().toUpper());
    Table t(m_session);
    t.setTableName(name.toStdString());
    t.setTableType(TableType(type));
    const QString message = errorOf([&] { t.open(); });
    if (error.isEmpty()) {
        QVERIFY2(message.isEmpty(), qPrintable(message));
        QCOMPARE(QString::fromStdString(t.filePath()), path("Run1.DB"));
    } else {
        QVERIFY2(message.contains(error), qPrintable(message));
        QVERIFY(!t.isOpen());
    }
}

void TestTable::cachedUpdatesNeverWriteTheFile()
{
    createTable(m_session, path("Tarvodb.DB"));
    const QByteArray before = contents(path("Tarvodb.DB"));
    Table log(m_session);
    openAsTheProgramDoes(log);
    for (int i = 1; i <= 500; ++i)
        logReading(log, i, "1.234", 1234);
    QCOMPARE(log.recordCount(), 500);
    log.emptyTable();
    QCOMPARE(log.recordCount(), 0);
    QVERIFY(log.eof());
    logReading(log, 1, "OL", 6000);
    QCOMPARE(log.recordCount(), 1);
    log.close();
    QCOMPARE(contents(path("Tarvodb.DB")), before);
    log.open();
    QCOMPARE(log.recordCount(), 0);
}

void TestTable::loggedReadingsReadBackByName()
{
    createTable(m_session, path("Tarvodb.DB"));
    Table log(m_session);
    log.setTableName("Tarvodb");
    log.setTableType(TableType::Paradox);
    log.setCachedUpdates(true);
    log.open();
    QVERIFY(log.eof());
    QCOMPARE(log.text("Value"), std::string());
    logReading(log, 1, "-1.234", -1234);
    logReading(log, 2, "0.000", 0);
    logReading(log, 3, "OL", 6000);
    QCOMPARE(log.currentRow(), 2);
    QCOMPARE(log.text("VALUE"), std::string("OL"));

    QCOMPARE(column(log, "No"), QStringList({"1", "2", "3"}));
    QCOMPARE(log.currentRow(), 2); // a walk ends on the last record
    QCOMPARE(column(log, "Not"), QStringList({"1", "2", "3"}));
    QCOMPARE(column(log, "Time"), QStringList({"10:00:01", "10:00:02", "10:00:03"}));
    QCOMPARE(column(log, "Value"), QStringList({"-1.234", "0.000", "OL"}));
    QCOMPARE(column(log, "Nval"), QStringList({"-1234", "0", "6000"}));
    QCOMPARE(column(log, "DC/AC") + column(log, "Unit") + column(log, "AUTO"),
             QStringList({"DC", "DC", "DC", "mV", "mV", "mV", "AUTO", "AUTO", "AUTO"}));
}

void TestTable::autoIncrementContinuesAboveEveryNumber()
{
    // A file from elsewhere whose counter lags behind the numbers its records carry.
    const std::vector<FieldDef> fields = {{"Not", FieldType::AutoIncrement, 4},
                                          {"No", FieldType::Long, 4}};
    QByteArray file = fixtures::handMade(
        12, 1, fields,
        {{fixtures::record(fields, {"5", "1"}), fixtures::record(fields, {"9", "2"})}}, {1});
    table::putLe32(reinterpret_cast<std::uint8_t *>(file.data()) + 0x49, 3);
    writeFile(path("old.db"), file);

    Table t(m_session);
    t.setTableName("old.db");
    t.setCachedUpdates(true);
    t.open();
    t.append();
    QCOMPARE(t.text("Not"), std::string("10"));
    t.cancel();
    t.append();
    t.post();
    t.append();
    t.post();
    QCOMPARE(column(t, "Not"), QStringList({"5", "9", "10", "11"}));
}

void TestTable::exclusiveUseKeepsOtherOpenersOut()
{
    createTable(m_session, path("Tarvodb.DB"));
    const auto opener = [&](bool exclusive) {
        auto t = std::make_unique<Table>(m_session);
        t->setTableName("Tarvodb");
        t->setExclusive(exclusive);
        t->setCachedUpdates(true);
        return t;
    };
    auto log = opener(true);
    log->open();
    auto second = opener(false);
    QVERIFY(errorOf([&] { second->open(); }).contains("is in use by another program"));
    log->close();
    second->open();
    auto third = opener(false);
    third->open(); // shared opens share
    QVERIFY(errorOf([&] { log->open(); }).contains("is in use by another program"));
    second->close();
    third->close();
    log->open();
}

void TestTable::exclusiveUseKeepsOtherProgramsOut()
{
    createTable(m_session, path("Tarvodb.DB"));
    Table log(m_session);
    log.setTableName("Tarvodb");
    log.setExclusive(true);
    log.setCachedUpdates(true);
    log.open();
    QProcess dump;
    dump.start(VORLATT_DBDUMP, {path("Tarvodb.DB")});
    QVERIFY(dump.waitForFinished());
    // The dump tool only reads: it sees the lock and reads the file without taking one.
    QCOMPARE(dump.exitCode(), 0);
    QVERIFY(dump.readAllStandardError().contains("is in use by another program"));
    log.close();
    dump.start(VORLATT_DBDUMP, {path("Tarvodb.DB")});
    QVERIFY(dump.waitForFinished());
    QCOMPARE(dump.exitCode(), 0);
    QCOMPARE(dump.readAllStandardError(), QByteArray());
}

void TestTable::writeThroughTablesUpdateTheirFile()
{
    createTable(m_session, path("direct.db"), kLogFields, 1024);
    Table t(m_session);
    t.setTableName("direct.db");
    t.setExclusive(true);
    t.open();
    for (int i = 1; i <= 100; ++i) // 36-byte records: 28 to a block, so four blocks
        logReading(t, i, std::to_string(i), float(i));
    t.close();
    QCOMPARE(contents(path("direct.db")).size(), 0x800 + 4 * 1024);
    t.open();
    QCOMPARE(t.recordCount(), 100);
    QCOMPARE(column(t, "No").last(), QString("100"));
    logReading(t, 101, "101", 101);
    t.emptyTable();
    QCOMPARE(contents(path("direct.db")).size(), 0x800);
    logReading(t, 1, "again", 1);
    t.close();
    t.open();
    QCOMPARE(column(t, "Value"), QStringList({"again"}));
    QCOMPARE(column(t, "Not"), QStringList({"102"}));
}

void TestTable::batchCopyWritesEveryRecordTheLogShows()
{
    // The log holds records from its file and cached ones.
    createTable(m_session, path("Tarvodb.DB"));
    {
        Table filler(m_session);
        filler.setTableName("Tarvodb");
        filler.setExclusive(true);
        filler.open();
        logReading(filler, 1, "from", 1);
    }
    Table log(m_session);
    openAsTheProgramDoes(log);
    for (int i = 2; i <= 3000; ++i)
        logReading(log, i, std::to_string(i), float(-i));
    log.append(); // a pending record is posted before the copy
    log.setInteger("no", 3001);

    Table dest(m_session);
    dest.setTableName(path("saved.db").toStdString());
    table::BatchMove copy;
    copy.setSource(&log);
    copy.setDestination(&dest);
    copy.setMode(table::BatchMode::Copy);
    copy.execute();
    QVERIFY(!dest.isOpen());

    dest.open();
    QCOMPARE(dest.recordCount(), 3001);
    QCOMPARE(dest.fields().size(), kLogFields.size());
    for (std::size_t i = 0; i < kLogFields.size(); ++i) {
        QCOMPARE(dest.fields()[i].name, kLogFields[i].name);
        QCOMPARE(dest.fields()[i].type, kLogFields[i].type);
        QCOMPARE(dest.fields()[i].size, kLogFields[i].size);
    }
    for (std::int64_t row = 0; row < log.recordCount(); ++row) {
        for (int f = 0; f < int(kLogFields.size()); ++f)
            QCOMPARE(dest.text(row, f), log.text(row, f));
    }
    dest.close();
    dest.setCachedUpdates(true);
    dest.open();
    dest.append();
    QCOMPARE(dest.text("Not"), std::string("3002"));
}

void TestTable::batchCopyReplacesOnlyAFreeFile()
{
    createTable(m_session, path("Tarvodb.DB"));
    Table log(m_session);
    log.setTableName("Tarvodb");
    log.setCachedUpdates(true);
    log.open();
    logReading(log, 1, "1", 1);

    // An earlier keyed copy of the same name: its index would describe other records.
    writeFile(path("saved.db"), "old");
    writeFile(path("saved.px"), "old index");
    Table dest(m_session);
    dest.setTableName("saved.db");
    table::BatchMove copy;
    copy.setSource(&log);
    copy.setDestination(&dest);
    copy.execute();
    QVERIFY(!QFile::exists(path("saved.px")));

    Table holder(m_session);
    holder.setTableName("saved.db");
    holder.open();
    const QByteArray before = contents(path("saved.db"));
    logReading(log, 2, "2", 2);
    QVERIFY(errorOf([&] { copy.execute(); }).contains("is in use by another program"));
    QCOMPARE(contents(path("saved.db")), before);
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files | QDir::Hidden).size(),
             2); // no temporary file left

    copy.setDestination(&log);
    QVERIFY(errorOf([&] { copy.execute(); }).contains("onto itself"));
    Table closed(m_session);
    copy.setSource(&closed);
    copy.setDestination(&dest);
    QVERIFY(errorOf([&] { copy.execute(); }).contains("it is not open"));
}

void TestTable::savedCopyGetsAPrimaryIndexOverNot()
{
    createTable(m_session, path("Tarvodb.DB"));
    Table log(m_session);
    log.setTableName("Tarvodb");
    log.setCachedUpdates(true);
    log.open();
    for (int i = 1; i <= 2000; ++i)
        logReading(log, i, std::to_string(i), float(i));

    Table dest(m_session);
    dest.setTableName(path("keyed.db").toStdString());
    table::BatchMove copy;
    copy.setSource(&log);
    copy.setDestination(&dest);
    copy.execute();
    dest.close();
    dest.setExclusive(true);
    dest.open();
    dest.addPrimaryIndex({"Not"});
    dest.close();
    QVERIFY(QFile::exists(path("keyed.px")));

    dest.setExclusive(false);
    dest.open();
    QVERIFY(dest.header().keyed);
    const table::IndexReport report = dest.checkPrimaryIndex();
    QCOMPARE(report.keyFields, std::vector<std::string>{"Not"});
    QCOMPARE(report.levels, 1);
    QCOMPARE(column(dest, "No").size(), 2000);
    dest.close();

    // A copy left open by the batch copy, indexed without reading it back, gives the same files.
    Table open(m_session);
    open.setTableName(path("fresh.db").toStdString());
    copy.setDestination(&open);
    copy.setOpenDestination(true);
    QVERIFY_THROWS_EXCEPTION(table::EngineError, copy.execute()); // not for exclusive use
    open.setExclusive(true);
    copy.execute();
    QVERIFY(open.isOpen());
    QCOMPARE(column(open, "No").size(), 2000);
    open.addPrimaryIndex({"Not"});
    open.close();
    auto bytes = [](const QString &file) {
        QFile f(file);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    };
    QByteArray keyed = bytes(path("keyed.db"));
    QByteArray opened = bytes(path("fresh.db"));
    QVERIFY(!keyed.isEmpty());
    // The header names its own file; the rest is the same to the byte.
    QCOMPARE(opened.replace("fresh.db", "keyed.db"), keyed);
    QCOMPARE(bytes(path("fresh.px")).replace("fresh.db", "keyed.db"), bytes(path("keyed.px")));

    // Keyed as it is written, straight from the log's records: the same files again, and the
    // destination is left closed.
    Table streamed(m_session);
    streamed.setTableName(path("strmd.db").toStdString());
    streamed.setExclusive(true);
    table::BatchMove keyedCopy;
    keyedCopy.setSource(&log);
    keyedCopy.setDestination(&streamed);
    keyedCopy.setPrimaryKey({"Not"});
    keyedCopy.execute();
    QVERIFY(!streamed.isOpen());
    QCOMPARE(bytes(path("strmd.db")).replace("strmd.db", "keyed.db"), keyed);
    QCOMPARE(bytes(path("strmd.px")).replace("strmd.db", "keyed.db"), bytes(path("keyed.px")));
}

void TestTable::primaryIndexRefusals_data()
{
    QTest::addColumn<bool>("exclusive");
    QTest::addColumn<bool>("cached");
    QTest::addColumn<QStringList>("fields");
    QTest::addColumn<QString>("message");
    QTest::newRow("shared use") << false << false << QStringList{"Not"}
                                << "needs the table opened for exclusive use";
    QTest::newRow("cached updates") << true << true << QStringList{"Not"} << "with cached updates";
    QTest::newRow("no fields") << true << false << QStringList{}
                               << "a primary index needs at least one field";
    QTest::newRow("missing field")
        << true << false << QStringList{"Nope"} << "has no field \"Nope\"";
    QTest::newRow("not the leading field")
        << true << false << QStringList{"No"}
        << "a primary index covers the leading fields of a table: \"No\" is field 2";
    QTest::newRow("leading fields out of order")
        << true << false << QStringList{"No", "Not"} << "\"No\" is field 2";
    QTest::newRow("duplicate key") << true << false << QStringList{"Not", "No"} << "";
}

void TestTable::primaryIndexRefusals()
{
    QFETCH(bool, exclusive);
    QFETCH(bool, cached);
    QFETCH(QStringList, fields);
    QFETCH(QString, message);
    const std::vector<FieldDef> byNo = {{"No", FieldType::Long, 4}, {"Not", FieldType::Long, 4}};
    const bool duplicates = message.isEmpty();
    const auto &defs = duplicates ? byNo : kLogFields;
    if (duplicates) {
        fields = QStringList{"No"};
        message =
            "duplicate key in table \"" + path("t.db") + "\": records 2 and 4 both have No = 7";
    }
    QByteArray file = fixtures::written(
        defs, fixtures::store(defs, {{"1", "1"}, {"7", "2"}, {"3", "3"}, {"7", "4"}}));
    writeFile(path("t.db"), file);
    Table t(m_session);
    t.setTableName("t.db");
    t.setExclusive(exclusive);
    t.setCachedUpdates(cached);
    t.open();
    std::vector<std::string> names;
    for (const QString &f : fields)
        names.push_back(f.toStdString());
    const QString error = errorOf([&] { t.addPrimaryIndex(names); });
    QVERIFY2(error.contains(message), qPrintable(error));
    QVERIFY(!t.header().keyed);
    QVERIFY(!QFile::exists(path("t.px")));
    t.close();
    QCOMPARE(contents(path("t.db")), file);
}

void TestTable::recordsOutOfKeyOrderAreSortedForTheIndex()
{
    const std::vector<FieldDef> fields = {{"Id", FieldType::Number, 8},
                                          {"Name", FieldType::Alpha, 5}};
    writeFile(path("t.db"),
              fixtures::written(fields,
                                fixtures::store(fields, {{"3", "c"}, {"-1.5", "a"}, {"2", "b"}})));
    Table t(m_session);
    t.setTableName("t.db");
    t.setExclusive(true);
    t.open();
    t.addPrimaryIndex({"ID"});
    QCOMPARE(column(t, "Name"), QStringList({"a", "b", "c"}));
    t.close();
    t.open();
    QCOMPARE(column(t, "Id"), QStringList({"-1.5", "2", "3"}));
    QCOMPARE(t.checkPrimaryIndex().entries.front().key, std::string("-1.5"));
}

void TestTable::keyedWriteThroughTableKeepsItsIndex()
{
    const std::vector<FieldDef> fields = {{"Id", FieldType::Long, 4},
                                          {"Name", FieldType::Alpha, 60}};
    createTable(m_session, path("k.db"), fields, 1024);
    Table t(m_session);
    t.setTableName("k.db");
    t.setExclusive(true);
    t.open();
    t.addPrimaryIndex({"Id"});
    for (int i = 1; i <= 300; ++i) { // 15 records to a block: 20 blocks
        t.append();
        t.setInteger("Id", i * 2);
        t.setText("Name", "n" + std::to_string(i));
        t.post();
    }
    QCOMPARE(t.checkPrimaryIndex().entries.size(), std::size_t(20));
    t.append();
    t.setInteger("Id", 5);
    QVERIFY(errorOf([&] { t.post(); }).contains("key violation"));
    t.cancel();
    t.emptyTable();
    QVERIFY(t.checkPrimaryIndex().entries.empty());
}

void TestTable::misuseIsRefusedWithAMessage()
{
    createTable(m_session, path("Tarvodb.DB"));
    Table t(m_session);
    t.setTableName("Tarvodb");
    QVERIFY(errorOf([&] { t.text("No"); }).contains("is not open"));
    QCOMPARE(t.recordCount(), 0);
    t.setReadOnly(true);
    t.open();
    QVERIFY(errorOf([&] { t.setTableName("other"); }).contains("cannot change the name of table"));
    QVERIFY(errorOf([&] { t.setExclusive(true); }).contains("while it is open"));
    QVERIFY(errorOf([&] { t.append(); }).contains("is read-only"));
    QVERIFY(errorOf([&] { t.checkPrimaryIndex(); }).contains("has no primary index"));
    t.close();
    t.setReadOnly(false);
    t.open();
    QVERIFY(errorOf([&] {
                t.append();
            }).contains("is open for shared use: writing to its file needs exclusive use"));
    t.close();
    t.setCachedUpdates(true);
    t.open();
    QVERIFY(errorOf([&] { t.setText("No", "1"); }).contains("call append() first"));
    t.append();
    QVERIFY(errorOf([&] { t.setText("Nope", "1"); }).contains("has no field \"Nope\""));
    QVERIFY(errorOf([&] {
                t.setText("no", "x1");
            }).contains("'x1' is not a valid whole number for field \"No\""));
    QVERIFY(errorOf([&] { t.setInteger("Not", 1); }).contains("the table assigns them"));
    QVERIFY(errorOf([&] { t.moveTo(5); }).contains("has no record 6"));
    Table orphan;
    orphan.setTableName("Tarvodb");
    QVERIFY(errorOf([&] { orphan.open(); }).contains("belongs to no session"));
    QVERIFY(errorOf([&] {
                m_session.setPrivateDir(path("nowhere").toStdString());
            }).contains("is not an existing folder"));
}

void TestTable::listenerHearsChangesInOrder()
{
    createTable(m_session, path("Tarvodb.DB"));
    Table log(m_session);
    Recorder recorder;
    log.setListener(&recorder);
    log.setTableName("Tarvodb");
    log.setCachedUpdates(true);
    log.open();
    logReading(log, 1, "1", 1);
    logReading(log, 2, "2", 2);
    log.first();
    log.emptyTable();
    log.close();
    QCOMPARE(recorder.events,
             QStringList({"aboutToReset", "reset", "current -1", "aboutToAppend 0", "appended 0",
                          "current 0", "aboutToAppend 1", "appended 1", "current 1", "current 0",
                          "aboutToReset", "reset", "current -1", "aboutToReset", "reset"}));
}

QTEST_GUILESS_MAIN(TestTable)
#include "TestTable.moc"
