// A table and its primary index replaced as a pair: a process killed with SIGKILL at any moment
// of a save leaves, once the next program on that name has tidied, the old pair or the new one,
// whole and matching; temporaries of dead processes are removed, those of running processes and
// every other file are left alone. The pair is read back by our engine and, where it is
// installed, by pxlib as an independent reader.

#include "log/LogTableLayout.h"
#include "log/engine/BatchMove.h"
#include "log/engine/EngineError.h"
#include "log/engine/Posix.h"
#include "log/engine/ReplacingFile.h"
#include "log/engine/Session.h"
#include "log/engine/Table.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#ifdef VORLATT_HAVE_PXLIB
extern "C" {
#include <paradox.h>
}
#endif

namespace {

// The old table is small, the new one large enough that a kill at a random moment can land in
// the middle of its write. Their "Nval" values differ in sign, so that a record of one never
// passes for a record of the other.
constexpr int kOldRecords = 1000;
constexpr int kNewRecords = 300000;

double nval(int row, bool isNew)
{
    return isNew ? row * 0.5 : -row * 0.5 - 1;
}

int g_pipe = -1;
table::CommitStage g_stopAt;

// In the child: tell the parent where the save stands, and wait there to be killed.
void stopHere(table::CommitStage stage)
{
    if (stage != g_stopAt)
        return;
    const char c = 's';
    (void)::write(g_pipe, &c, 1);
    for (;;)
        ::pause();
}

pid_t deadPid()
{
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(0);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return pid;
}

QStringList temporaries(const QString &dir)
{
    return QDir(dir).entryList({QStringLiteral(".*.tmp")}, QDir::Files | QDir::Hidden, QDir::Name);
}

} // namespace

class TestTableCommit : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void killDuringSaveLeavesAWholePair_data();
    void killDuringSaveLeavesAWholePair();
    void tidyTouchesOnlyDeadProcessesTemporaries_data();
    void tidyTouchesOnlyDeadProcessesTemporaries();
    void killedSaveIsSettledAtTheNextStart_data();
    void killedSaveIsSettledAtTheNextStart();
    void notesOfRunningProcessesStay();

private:
    QString path(const QString &name) const { return m_dir.filePath(name); }
    void fill(table::Table &t, const QString &name, int records, bool isNew);
    void save(table::Table &source, const QString &name);
    // Which table `name` holds ("old" or "new"), read by our engine and pxlib, after checking
    // that it is whole and that its index matches it; "" after a failed check.
    QString readBack(const QString &name);

    table::Session m_session{"commit"};
    QTemporaryDir m_dir;
    QTemporaryDir m_sources;
    table::Table m_old{m_session};
    table::Table m_new{m_session};
};

void TestTableCommit::initTestCase()
{
    QVERIFY(m_dir.isValid() && m_sources.isValid());
    fill(m_old, QDir(m_sources.path()).filePath(QStringLiteral("old.db")), kOldRecords, false);
    fill(m_new, QDir(m_sources.path()).filePath(QStringLiteral("new.db")), kNewRecords, true);
#ifdef VORLATT_HAVE_PXLIB
    PX_boot();
#endif
}

void TestTableCommit::fill(table::Table &t, const QString &name, int records, bool isNew)
{
    t.setTableName(name.toStdString());
    t.createTable(LogTableLayout::fields());
    t.setExclusive(true);
    t.setCachedUpdates(true);
    t.open();
    for (int row = 0; row < records; ++row) {
        t.append();
        t.setInteger("No", row + 1);
        t.setText("Time", "12:34:56");
        t.setText("DC/AC", "DC");
        t.setText("Value", std::to_string(row));
        t.setFloat("Nval", nval(row, isNew));
        t.setText("Unit", "mV");
        t.setText("AUTO", "AUTO");
        t.post();
    }
}

void TestTableCommit::save(table::Table &source, const QString &name)
{
    // As the window saves its log: a keyed copy, written with its index.
    table::Table dest(m_session);
    dest.setTableName(path(name).toStdString());
    dest.setExclusive(true);
    table::BatchMove copy;
    copy.setSource(&source);
    copy.setDestination(&dest);
    copy.setPrimaryKey({"Not"});
    copy.execute();
}

QString TestTableCommit::readBack(const QString &name)
{
    table::Table t(m_session);
    t.setTableName(path(name).toStdString());
    int records = 0;
    bool isNew = false;
    try {
        t.open();
        records = int(t.recordCount());
        if (records != kOldRecords && records != kNewRecords) {
            qWarning("our engine reads %d records", records);
            return {};
        }
        isNew = records == kNewRecords;
        const int nvalField = t.fieldIndex("Nval");
        for (int row = 0; row < records; ++row) {
            if (QString::fromStdString(t.text(row, nvalField)).toDouble() != nval(row, isNew)) {
                qWarning("record %d is not the %s table's", row, isNew ? "new" : "old");
                return {};
            }
        }
        const table::IndexReport index = t.checkPrimaryIndex();
        int indexed = 0;
        for (const table::IndexEntry &e : index.entries)
            indexed += e.level == 1 ? e.count : 0;
        if (indexed != records) {
            qWarning("the index counts %d records of %d", indexed, records);
            return {};
        }
    } catch (const table::EngineError &e) {
        qWarning("%s", e.what());
        return {};
    }
    t.close();
#ifdef VORLATT_HAVE_PXLIB
    // pxlib refuses an index whose record count is not its table's.
    pxdoc_t *db = PX_new();
    pxdoc_t *px = PX_new();
    const QString indexName = name.left(name.size() - 3) + QStringLiteral(".px");
    bool ok = PX_open_file(db, QFile::encodeName(path(name)).constData()) == 0 &&
              PX_open_file(px, QFile::encodeName(path(indexName)).constData()) == 0 &&
              PX_read_primary_index(px) == 0 && PX_add_primary_index(db, px) == 0 &&
              PX_get_num_records(db) == records;
    if (ok) {
        // The last record, as pxlib reads it.
        QByteArray record(PX_get_recordsize(db), '\0');
        ok = PX_get_record(db, records - 1, record.data()) != nullptr;
        double value = 0;
        const int offset = 4 + 4 + 4 + 2 + 8; // Not, No, Time, DC/AC, Value
        ok = ok && PX_get_data_double(db, record.data() + offset, 8, &value) > 0 &&
             value == nval(records - 1, isNew);
    }
    PX_close(db);
    PX_delete(db);
    PX_close(px);
    PX_delete(px);
    if (!ok) {
        qWarning("pxlib does not read the pair back as a whole table with its index");
        return {};
    }
#endif
    return isNew ? QStringLiteral("new") : QStringLiteral("old");
}

void TestTableCommit::killDuringSaveLeavesAWholePair_data()
{
    QTest::addColumn<int>("stage"); // a CommitStage, or -1 for a random moment
    QTest::addColumn<int>("seed");
    QTest::addColumn<QString>("expected");   // "old", "new" or "either"
    QTest::addColumn<bool>("indexLeftOver"); // what tidying has to put in place

    using S = table::CommitStage;
    QTest::newRow("temporaries just created") << int(S::Created) << 0 << "old" << false;
    QTest::newRow("both written, none renamed") << int(S::BeforeRenames) << 0 << "old" << false;
    QTest::newRow("between the two renames") << int(S::BetweenRenames) << 0 << "new" << true;
    QTest::newRow("after both renames") << int(S::AfterRenames) << 0 << "new" << false;
    for (int seed = 1; seed <= 6; ++seed)
        QTest::addRow("at a random moment, seed %d", seed) << -1 << seed << "either" << false;
}

void TestTableCommit::killDuringSaveLeavesAWholePair()
{
    QFETCH(int, stage);
    QFETCH(int, seed);
    QFETCH(QString, expected);
    QFETCH(bool, indexLeftOver);

    const QString name = QStringLiteral("run.db");
    save(m_old, name);
    QCOMPARE(readBack(name), QStringLiteral("old"));

    int fds[2];
    QCOMPARE(::pipe(fds), 0);
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        // The child saves the new table and is killed where the row says.
        ::close(fds[0]);
        g_pipe = fds[1];
        if (stage >= 0) {
            g_stopAt = table::CommitStage(stage);
            table::setCommitHook(stopHere);
        } else {
            const char c = 'g';
            (void)::write(g_pipe, &c, 1);
        }
        try {
            save(m_new, name);
        } catch (...) {
            ::_exit(2);
        }
        for (;;)
            ::pause();
    }
    ::close(fds[1]);
    char c = 0;
    QCOMPARE(::read(fds[0], &c, 1), ssize_t(1));
    ::close(fds[0]);
    if (stage < 0) {
        // Anywhere from before the first byte to after the last rename; the moment is not
        // asserted, only what it leaves.
        QRandomGenerator random{quint32(seed)};
        ::usleep(useconds_t(random.bounded(250000)));
    }
    ::kill(child, SIGKILL);
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY2(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL, "the save failed on its own");

    const QStringList left = temporaries(m_dir.path());
    if (indexLeftOver) {
        // The index's temporary alone: the table was put in place, its index was not yet.
        QCOMPARE(left.size(), 1);
        QVERIFY2(left[0].startsWith(QStringLiteral(".run.px.%1.").arg(child)), qPrintable(left[0]));
    }

    // The next program on this name tidies first.
    table::tidyStaleTemporaries(path(name).toStdString());
    QCOMPARE(temporaries(m_dir.path()), QStringList());
    const QString found = readBack(name);
    if (expected == u"either")
        QVERIFY2(found == u"old" || found == u"new", "neither the old pair nor the new one");
    else
        QCOMPARE(found, expected);

    // And the next save of the name works as ever.
    save(m_old, name);
    QCOMPARE(readBack(name), QStringLiteral("old"));
    QCOMPARE(temporaries(m_dir.path()), QStringList());
}

void TestTableCommit::tidyTouchesOnlyDeadProcessesTemporaries_data()
{
    QTest::addColumn<QString>("file");  // %1: the owner's process id
    QTest::addColumn<QString>("owner"); // "dead", "running" or "self"
    QTest::addColumn<bool>("removed");

    QTest::newRow("table's, dead process") << ".run.db.%1.7.tmp"
                                           << "dead" << true;
    QTest::newRow("table's, upper case, dead") << ".RUN.DB.%1.7.tmp"
                                               << "dead" << false;
    QTest::newRow("unsound index alone, dead") << ".run.px.%1.3.tmp"
                                               << "dead" << true;
    QTest::newRow("table's, running process") << ".run.db.%1.7.tmp"
                                              << "running" << false;
    QTest::newRow("index's, running process") << ".run.px.%1.7.tmp"
                                              << "running" << false;
    QTest::newRow("table's, this process") << ".run.db.%1.7.tmp"
                                           << "self" << false;
    QTest::newRow("another table's, dead") << ".other.db.%1.7.tmp"
                                           << "dead" << false;
    QTest::newRow("no leading dot") << "run.db.%1.7.tmp"
                                    << "dead" << false;
    QTest::newRow("no serial") << ".run.db.%1.tmp"
                               << "dead" << false;
    QTest::newRow("serial not a number") << ".run.db.%1.x7.tmp"
                                         << "dead" << false;
    QTest::newRow("another ending") << ".run.db.%1.7.temp"
                                    << "dead" << false;
}

void TestTableCommit::tidyTouchesOnlyDeadProcessesTemporaries()
{
    QFETCH(QString, file);
    QFETCH(QString, owner);
    QFETCH(bool, removed);

    pid_t running = -1;
    pid_t pid = ::getpid();
    if (owner == u"dead") {
        pid = deadPid();
    } else if (owner == u"running") {
        running = ::fork();
        if (running == 0) {
            for (;;)
                ::pause();
        }
        pid = running;
    }
    const QString name = file.arg(pid);
    {
        QFile f(path(name));
        QVERIFY(f.open(QIODevice::WriteOnly));
        QVERIFY(f.write("not a table") > 0);
    }
    // The next save of the name tidies, and leaves a sound pair.
    save(m_old, QStringLiteral("run.db"));
    const bool gone = !QFile::exists(path(name));
    if (running > 0) {
        ::kill(running, SIGKILL);
        ::waitpid(running, nullptr, 0);
    }
    QFile::remove(path(name));
    QCOMPARE(gone, removed);
    QCOMPARE(readBack(QStringLiteral("run.db")), QStringLiteral("old"));
}

void TestTableCommit::killedSaveIsSettledAtTheNextStart_data()
{
    QTest::addColumn<int>("stage"); // a CommitStage, or -1 for a text save killed mid-write
    QTest::addColumn<QString>("expected");
    using S = table::CommitStage;
    QTest::newRow("temporaries just created") << int(S::Created) << "old";
    QTest::newRow("both written, none renamed") << int(S::BeforeRenames) << "old";
    QTest::newRow("between the two renames") << int(S::BetweenRenames) << "new";
    QTest::newRow("text save half written") << -1 << "";
}

// A save killed half-way leaves its temporaries beside the file it saved, in a folder that may
// never be saved to again: the note it made first lets the next start of any program remove them
// (or put a lone index in place), with nothing of that name ever saved or opened again.
void TestTableCommit::killedSaveIsSettledAtTheNextStart()
{
    QFETCH(int, stage);
    QFETCH(QString, expected);
    QTemporaryDir notes;
    const QString name = stage >= 0 ? QStringLiteral("kept.db") : QStringLiteral("kept.txt");
    const QByteArray oldText = "the old text\n";
    if (stage >= 0) {
        save(m_old, name);
    } else {
        QFile f(path(name));
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(oldText) == oldText.size());
    }

    int fds[2];
    QCOMPARE(::pipe(fds), 0);
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        ::close(fds[0]);
        g_pipe = fds[1];
        table::setSaveNotesFolder(notes.path().toStdString());
        try {
            if (stage >= 0) {
                g_stopAt = table::CommitStage(stage);
                table::setCommitHook(stopHere);
                save(m_new, name);
            } else {
                // A text save as the window makes it, killed with half its text written.
                table::ReplacingFile out(path(name).toStdString(),
                                         table::ReplacingFile::Link::Follow);
                const QByteArray half(100000, 'x');
                (void)table::writeAll(out.fd(), half.constData(), std::size_t(half.size()));
                stopHere(table::CommitStage::Created);
            }
        } catch (...) {
            ::_exit(2);
        }
        ::_exit(3);
    }
    ::close(fds[1]);
    char c = 0;
    QCOMPARE(::read(fds[0], &c, 1), ssize_t(1));
    ::close(fds[0]);
    // The note is there while the save runs, and names the file saved.
    const QStringList noted = QDir(notes.path()).entryList(QDir::Files);
    QCOMPARE(noted.size(), 1);
    QVERIFY2(noted[0].startsWith(QStringLiteral("save-%1-").arg(child)), qPrintable(noted[0]));
    QFile note(QDir(notes.path()).filePath(noted[0]));
    QVERIFY(note.open(QIODevice::ReadOnly));
    QCOMPARE(note.readAll(), QFile::encodeName(path(name)) + '\n');
    // While the process runs, a start leaves its save alone.
    QCOMPARE(table::tidyNotedTemporaries(notes.path().toStdString()), 0);
    QVERIFY(!temporaries(m_dir.path()).isEmpty());

    ::kill(child, SIGKILL);
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY2(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL, "the save failed on its own");
    QVERIFY(!temporaries(m_dir.path()).isEmpty());

    // The next start, without any save or open of that name.
    QCOMPARE(table::tidyNotedTemporaries(notes.path().toStdString()), 1);
    QCOMPARE(temporaries(m_dir.path()), QStringList());
    QCOMPARE(QDir(notes.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
    if (stage >= 0) {
        QCOMPARE(readBack(name), expected);
    } else {
        QFile f(path(name));
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), oldText);
    }
}

// A finished save takes its note with it; the notes of running processes, their temporaries and
// any other file in the notes' folder stay.
void TestTableCommit::notesOfRunningProcessesStay()
{
    QTemporaryDir notes;
    const std::string folder = notes.path().toStdString();
    table::setSaveNotesFolder(folder);
    save(m_old, QStringLiteral("noted.db"));
    table::setSaveNotesFolder({});
    QCOMPARE(QDir(notes.path()).entryList(QDir::Files | QDir::Hidden), QStringList());

    const auto write = [](const QString &file, const QByteArray &bytes) {
        QFile f(file);
        return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
    };
    const pid_t dead = deadPid();
    // Process 1 runs as long as the system does; its temporary beside the noted file stays even
    // where a dead process's note names that file.
    const QString runningTemp = path(QStringLiteral(".noted.db.1.5.tmp"));
    const QString deadTemp = path(QStringLiteral(".noted.db.%1.6.tmp").arg(dead));
    QVERIFY(write(runningTemp, "running"));
    QVERIFY(write(deadTemp, "dead"));
    const QByteArray target = QFile::encodeName(path(QStringLiteral("noted.db"))) + '\n';
    const QDir dir(notes.path());
    QVERIFY(write(dir.filePath(QStringLiteral("save-1-0.note")), target));
    QVERIFY(write(dir.filePath(QStringLiteral("save-%1-0.note").arg(::getpid())), target));
    QVERIFY(write(dir.filePath(QStringLiteral("save-x1-0.note")), target));
    QVERIFY(write(dir.filePath(QStringLiteral("journal-1.tsv")), target));
    QVERIFY(write(dir.filePath(QStringLiteral("save-%1-3.note").arg(dead)), target));

    QCOMPARE(table::tidyNotedTemporaries(folder), 1);
    QVERIFY(QFile::exists(runningTemp));
    QVERIFY(!QFile::exists(deadTemp));
    QStringList stay = {QStringLiteral("journal-1.tsv"),
                        QStringLiteral("save-%1-0.note").arg(::getpid()),
                        QStringLiteral("save-1-0.note"), QStringLiteral("save-x1-0.note")};
    stay.sort();
    QCOMPARE(dir.entryList(QDir::Files, QDir::Name), stay);
    QFile::remove(runningTemp);
    QCOMPARE(readBack(QStringLiteral("noted.db")), QStringLiteral("old"));
}

QTEST_GUILESS_MAIN(TestTableCommit)
#include "TestTableCommit.moc"
