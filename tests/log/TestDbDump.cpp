// vorlatt-dbdump as users and our scripts run it: its three outputs, its refusals with the
// engine's message and exit status 1, and its note on a table a running window holds.

#include "TableFixtures.h"

#include "log/ReadingLog.h"
#include "log/engine/BatchMove.h"
#include "log/engine/Session.h"
#include "log/engine/Table.h"

#include <QtTest>

using table::FieldDef;
using table::FieldType;

namespace {

struct Run
{
    int exitCode = -1;
    QString out;
    QString err;
};

Run dump(const QStringList &args)
{
    QProcess p;
    p.start(VORLATT_DBDUMP, args);
    Run run;
    if (!p.waitForFinished())
        return run;
    run.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    run.out = QString::fromUtf8(p.readAllStandardOutput());
    run.err = QString::fromUtf8(p.readAllStandardError());
    return run;
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

const std::vector<FieldDef> kFields = {
    {"Not", FieldType::AutoIncrement, 4}, {"Time", FieldType::Time, 4},
    {"Value", FieldType::Alpha, 8},       {"Nval", FieldType::Number, 8},
    {"Unit", FieldType::Alpha, 2},
};

} // namespace

class TestDbDump : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void printsFieldNamesThenRecords();
    void printsSchemaAndCheckedIndex();
    void shippedLogTableHasTheLogsFields();
    void saysWhatStandsInTheWay_data();
    void saysWhatStandsInTheWay();

private:
    QTemporaryDir m_dir;
    QString path(const QString &name) const { return m_dir.filePath(name); }
};

void TestDbDump::init()
{
    QVERIFY(m_dir.isValid());
    const QByteArray records = fixtures::written(
        kFields, fixtures::store(kFields, {{"1", "10:00:01", "-1.234", "-1234", "mV"},
                                           {"2", "10:00:02", "OL", "6000", "*"},
                                           {"3", "", "", "", ""}}));
    writeFile(path("run.db"), records);
}

void TestDbDump::printsFieldNamesThenRecords()
{
    const Run run = dump({path("run.db")});
    QCOMPARE(run.err, QString());
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out, QString("Not\tTime\tValue\tNval\tUnit\n"
                              "1\t10:00:01\t-1.234\t-1234\tmV\n"
                              "2\t10:00:02\tOL\t6000\t*\n"
                              "3\t\t\t\t\n"));
}

void TestDbDump::printsSchemaAndCheckedIndex()
{
    table::Session session("s1");
    table::Table t(session);
    t.setTableName(path("run.db").toStdString());
    t.setExclusive(true);
    t.open();
    t.addPrimaryIndex({"Not"});
    t.close();

    const Run run = dump({"--schema", "--index", path("run.db")});
    QCOMPARE(run.err, QString());
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out, QString("Not\tautoincrement\t4\n"
                              "Time\ttime\t4\n"
                              "Value\talpha\t8\n"
                              "Nval\tnumber\t8\n"
                              "Unit\talpha\t2\n"
                              "primary index: Not; 1 level(s), root block 1, 1 block(s) of 1024 "
                              "bytes, 1 entries; checked\n"
                              "level\tblock\tkey\tpoints to\trecords\n"
                              "1\t1\t1\t1\t3\n"));
}

void TestDbDump::shippedLogTableHasTheLogsFields()
{
    const Run run = dump({"--schema", "--index", VORLATT_TARVODB});
    QCOMPARE(run.err, QString());
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out, QString("Not\tautoincrement\t4\n"
                              "No\tlong\t4\n"
                              "Time\ttime\t4\n"
                              "DC/AC\talpha\t2\n"
                              "Value\talpha\t8\n"
                              "Nval\tnumber\t8\n"
                              "Unit\talpha\t2\n"
                              "AUTO\talpha\t4\n"
                              "primary index: none\n"));
    QCOMPARE(dump({VORLATT_TARVODB}).out,
             QString("Not\tNo\tTime\tDC/AC\tValue\tNval\tUnit\tAUTO\n"));
}

// A refusal gives the engine's message; a table a window holds open (as the window holds its
// log: for its own use, readings kept in memory) is dumped as its file stands, with a note.
void TestDbDump::saysWhatStandsInTheWay_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("held"); // the table a window's log holds open meanwhile
    QTest::newRow("no file") << QStringList{} << 2 << "usage: vorlatt-dbdump" << QString();
    QTest::newRow("unknown option")
        << QStringList{"--all", "<run.db>"} << 2 << "usage: vorlatt-dbdump" << QString();
    QTest::newRow("missing file") << QStringList{"<none.db>"} << 1 << "none.db\" does not exist"
                                  << QString();
    QTest::newRow("not a table") << QStringList{"<text.db>"} << 1 << "text.db: not a Paradox table"
                                 << QString();
    QTest::newRow("damaged table")
        << QStringList{"<cut.db>"} << 1 << "cut.db: damaged table: block 1 lies beyond the end"
        << QString();
    QTest::newRow("index file missing")
        << QStringList{"--index", "<keyed.db>"} << 1 << "keyed.px\" of table" << QString();
    QTest::newRow("damaged index")
        << QStringList{"--index", "<broken.db>"} << 1 << "broken.px: damaged index:" << QString();
    QTest::newRow("held by a window")
        << QStringList{"<run.db>"} << 0
        << "run.db is in use by another program (a running window, for one); this is the table "
           "as its file stands at this moment"
        << "run.db";
    // Held or not, a damaged index is refused with its own reason.
    QTest::newRow("held by a window, its index damaged")
        << QStringList{"--index", "<broken.db>"} << 1 << "broken.px: damaged index:"
        << "broken.db";
}

void TestDbDump::saysWhatStandsInTheWay()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    QFETCH(QString, held);
    QFile::copy(path("run.db"), path("keyed.db"));
    QFile::copy(path("run.db"), path("broken.db"));
    for (const char *name : {"keyed.db", "broken.db"}) {
        table::Session session("s1");
        table::Table t(session);
        t.setTableName(path(name).toStdString());
        t.setExclusive(true);
        t.open();
        t.addPrimaryIndex({"Not"});
    }
    QFile::remove(path("keyed.px"));
    QFile px(path("broken.px"));
    QVERIFY(px.open(QIODevice::ReadWrite));
    px.seek(0x800 + 6 + 4); // the entry's block number
    px.write("\x80\x07");
    px.close();
    writeFile(path("text.db"), "No\tTime\r\n1\t10:00:00\r\n");
    QFile run(path("run.db"));
    QVERIFY(run.open(QIODevice::ReadOnly));
    writeFile(path("cut.db"), run.read(0x900));

    for (QString &arg : args) {
        if (arg.startsWith('<'))
            arg = path(arg.mid(1, arg.size() - 2));
    }
    ReadingLog window;
    if (!held.isEmpty()) {
        QCOMPARE(window.openFile(path(held)), QString());
        // Readings the window logs stay in its memory until it saves; the file holds none.
        window.table().append();
        window.table().setText("Value", "9.999");
        window.table().post();
    }
    const Run result = dump(args);
    QVERIFY2(result.exitCode == exitCode, qPrintable(result.err));
    QVERIFY2(result.err.contains(message), qPrintable(result.err));
    if (exitCode == 1)
        QCOMPARE(result.out, QString());
    if (held == "run.db")
        QCOMPARE(result.out, QString("Not\tTime\tValue\tNval\tUnit\n"
                                     "1\t10:00:01\t-1.234\t-1234\tmV\n"
                                     "2\t10:00:02\tOL\t6000\t*\n"
                                     "3\t\t\t\t\n"));
}

QTEST_GUILESS_MAIN(TestDbDump)
#include "TestDbDump.moc"
