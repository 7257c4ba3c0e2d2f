#include "FileDialogAnswer.h"
#include "tests/support/MessageBoxCloser.h"
#include "tests/support/PtyPort.h"
#include "app/LogCommands.h"
#include "app/TFCOMM.h"
#include "link/SerialPortDriver.h"
#include "log/engine/EngineError.h"
#include "log/engine/Table.h"
#include "protocol/DisplayState.h"
#include "ui_FCOMM.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QSocketNotifier>
#include <QtTest>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/types.h>
#include <unistd.h>

using protocol::Annunciator;

namespace {

const QString kCaption = QStringLiteral("Vorlatt Interface Program: 1.0.1");

// Reading `i` (from 1) of a test meter: i + 1000 counts shown as volts with the point after the
// first digit, so each reading tells its number ("1.007" is the 7th).
protocol::DisplayState reading(int i)
{
    protocol::DisplayState volts;
    volts.digits = QByteArray::number(1000 + i).rightJustified(4, '0');
    volts.point = 1;
    volts.annunciators = Annunciator::Dc | Annunciator::AutoRange | Annunciator::Volt;
    return volts;
}

QString valueText(int i)
{
    return QString::number(1000 + i).insert(1, u'.');
}

// What a meter sends before its first whole frame: the end of one, then the frames.
QByteArray frameStart()
{
    return "\r" + protocol::DisplayState().toFrame().right(1);
}

QByteArray frames(int from, int to)
{
    QByteArray bytes;
    for (int i = from; i <= to; ++i)
        bytes += reading(i).toFrame();
    return bytes;
}

QStringList tableCopies(const QString &folder)
{
    return QDir(folder).entryList({QStringLiteral("Tarvodb-*.DB")}, QDir::Files);
}

// The column `field` of every record of the table at `path`.
QStringList tableColumn(const QString &path, const char *field)
{
    table::Session session;
    table::Table t(session);
    t.setTableName(path.toStdString());
    t.open();
    QStringList values;
    for (t.first(); !t.eof(); t.next())
        values << QString::fromStdString(t.text(field));
    return values;
}

// The role of a child process: the program's window as the program starts it, connected to
// COM`port` (a test meter). On standard output it says "table PATH" (its copy of the log table),
// "connected" and "title TEXT", then, whenever it changes, "logged N": how many readings its log
// holds. The count is written between events, so a reading counted has been logged to the end,
// journal included. It also says "warning TEXT" for each warning about the recovery journal
// (left open), "panel TEXT" when the clock panel says the readings are not protected ("panel
// other" when it says something else again) and "journal ok" or "journal REASON" when the
// journal's state changes. Commands on standard input: "save PATH" (through the Save command and its
// dialog; answers "saved" or "not saved"), "disconnect" (answers with the title) and "quit"
// (the close box).
int runWindow(int argc, char **argv, int port)
{
    QApplication app(argc, argv);
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    auto say = [](const QString &line) {
        std::puts(qPrintable(line));
        std::fflush(stdout);
    };
    TFCOMM window;
    window.show();
    say(QStringLiteral("table ") + window.logCommands()->tableCopyPath());
    QTimer::singleShot(0, &window, &TFCOMM::offerRecovery);
    QTimer::singleShot(0, &window, [&] {
        if (port == 2)
            window.COM21Click();
        window.ui()->COMCon->click();
        say(window.serialDriver()->IsOpen() && window.logOpen() ? QStringLiteral("connected")
                                                                : QStringLiteral("not connected"));
        say(QStringLiteral("title ") + window.windowTitle());
    });
    QTimer reporter;
    qint64 reported = 0;
    QString panel = QStringLiteral("other");
    QString journal = QStringLiteral("ok");
    QList<QPointer<QWidget>> warnings;
    QObject::connect(&reporter, &QTimer::timeout, &window, [&] {
        const qint64 records = window.readingLog().table().recordCount();
        if (records != reported) {
            reported = records;
            say(QStringLiteral("logged %1").arg(records));
        }
        for (QWidget *w : QApplication::topLevelWidgets()) {
            auto *box = qobject_cast<QMessageBox *>(w);
            if (box && box->objectName() == u"JournalWarning" && !warnings.contains(box)) {
                warnings << box;
                say(QStringLiteral("warning ") + box->text());
            }
        }
        QString nowPanel = window.ui()->StatusPanel3->text();
        if (!nowPanel.startsWith(u"Readings not protected"))
            nowPanel = QStringLiteral("other");
        if (nowPanel != panel)
            say(QStringLiteral("panel ") + (panel = nowPanel));
        // The system's reason, after the journal's path.
        QString nowJournal = window.logCommands()->journalError();
        nowJournal = nowJournal.mid(nowJournal.lastIndexOf(QStringLiteral(": ")) + 1).trimmed();
        if (nowJournal.isEmpty())
            nowJournal = QStringLiteral("ok");
        if (nowJournal != journal)
            say(QStringLiteral("journal ") + (journal = nowJournal));
    });
    reporter.start(5);

    MessageBoxCloser boxes; // the save's "Scuss!"
    boxes.leaveOpen << QStringLiteral("JournalWarning");
    QByteArray input;
    QSocketNotifier commands(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&commands, &QSocketNotifier::activated, &window, [&] {
        char buffer[4096];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            commands.setEnabled(false);
            return;
        }
        input.append(buffer, n);
        for (qsizetype end; (end = input.indexOf('\n')) >= 0;) {
            const QString command = QString::fromLocal8Bit(input.left(end));
            input.remove(0, end + 1);
            if (command.startsWith(u"save ")) {
                answerFileDialog(command.mid(5));
                window.ui()->saveas->click();
                say(window.logCommands()->hasUnsaved() ? QStringLiteral("not saved")
                                                       : QStringLiteral("saved"));
            } else if (command == u"disconnect") {
                window.ui()->COMCon->click();
                say(QStringLiteral("title ") + window.windowTitle());
            } else if (command == u"quit") {
                window.close();
            }
        }
    });
    return app.exec();
}

// A window of the program in a process of its own (the test program in the role above): one
// process has one HID controller, so two windows need two processes, as they have in use.
class WindowProcess
{
public:
    WindowProcess(int port, const QByteArray &device)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("VORLATT_COM%1").arg(port), QString::fromLocal8Bit(device));
        m_process.setProcessEnvironment(env);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QCoreApplication::applicationFilePath(),
                        {QStringLiteral("--window"), QString::number(port)});
    }
    ~WindowProcess()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }
    WindowProcess(const WindowProcess &) = delete;
    WindowProcess &operator=(const WindowProcess &) = delete;

    QProcess &process() { return m_process; }
    // The whole lines said so far.
    QStringList lines()
    {
        m_said += m_process.readAllStandardOutput();
        QStringList all = QString::fromLocal8Bit(m_said).split(u'\n');
        all.removeLast(); // a line still being written, or ""
        return all;
    }
    bool said(const QString &line) { return lines().contains(line); }
    // What the last line beginning with `key` and a blank says after them, or "".
    QString last(const QString &key)
    {
        const QStringList all = lines();
        for (auto it = all.crbegin(); it != all.crend(); ++it)
            if (it->startsWith(key + u' '))
                return it->mid(key.size() + 1);
        return {};
    }
    int logged() { return last(QStringLiteral("logged")).toInt(); }
    void tell(const QString &command) { m_process.write(command.toLocal8Bit() + '\n'); }

private:
    QProcess m_process;
    QByteArray m_said;
};

// Shows `next` (a window of the next start) and restores every leftover journal it offers; the
// questions asked go to `questions`.
void restoreLeftovers(TFCOMM &next, QStringList &questions)
{
    next.show();
    QTimer answerer;
    QObject::connect(&answerer, &QTimer::timeout, &answerer, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        questions << box->text();
        for (QAbstractButton *b : box->buttons())
            if (box->objectName() == u"RecoveryQuestion"
                    ? b->text() == u"Restore"
                    : box->buttonRole(b) == QMessageBox::AcceptRole)
                b->click();
    });
    answerer.start(10);
    next.offerRecovery();
}

// The log of `window` holds readings 1 to `count` of the test meter, numbered from 1.
void verifyReadings(TFCOMM &window, int count)
{
    const table::Table &t = window.readingLog().table();
    QCOMPARE(int(t.recordCount()), count);
    for (int r = 0; r < count; ++r) {
        const int i = r + 1;
        QCOMPARE(QString::fromStdString(t.text(r, t.fieldIndex("No"))), QString::number(i));
        QCOMPARE(QString::fromStdString(t.text(r, t.fieldIndex("Value"))), valueText(i));
        QCOMPARE(QString::fromStdString(t.text(r, t.fieldIndex("Nval"))).toDouble(), 1000.0 + i);
        QCOMPARE(QString::fromStdString(t.text(r, t.fieldIndex("Unit"))), QStringLiteral("V"));
    }
}

// A command as root; true when it succeeded.
bool run(const QString &program, const QStringList &arguments)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedChannels);
    p.start(program, arguments);
    return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit &&
           p.exitCode() == 0;
}

} // namespace

// Windows of the program running side by side on one computer, each with a meter of its own,
// and a window killed while it logs.
class TestRunningCopies : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void twoWindowsLogSideBySide();
    void killedWindowIsRestored_data();
    void killedWindowIsRestored();
    void unwritableJournalIsSaidAndRebuilt_data();
    void unwritableJournalIsSaidAndRebuilt();

private:
    QTemporaryDir m_dir;
    QString m_state;
};

void TestRunningCopies::initTestCase()
{
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    QVERIFY(m_dir.isValid());
    // Tables and journals in the test's own folders, whatever the environment says.
    m_state = m_dir.filePath(QStringLiteral("state"));
    qputenv("XDG_STATE_HOME", QFile::encodeName(m_state));
    qputenv("XDG_RUNTIME_DIR", "");
}

// Each window logs into a table of its own, holds it for exclusive use, names its port in the
// title and saves its own readings; ended, it leaves no table behind.
void TestRunningCopies::twoWindowsLogSideBySide()
{
    const QString folder = m_state + QStringLiteral("/vorlatt");
    PtyPort meter1;
    PtyPort meter2;
    QVERIFY(meter1.isOpen() && meter2.isOpen());
    WindowProcess first(1, meter1.path());
    WindowProcess second(2, meter2.path());
    QTRY_VERIFY_WITH_TIMEOUT(first.said(QStringLiteral("connected")), 60000);
    QTRY_VERIFY_WITH_TIMEOUT(second.said(QStringLiteral("connected")), 60000);
    QCOMPARE(first.last(QStringLiteral("title")),
             kCaption + QStringLiteral(" - COM1 (%1)").arg(QString::fromLocal8Bit(meter1.path())));
    QCOMPARE(second.last(QStringLiteral("title")),
             kCaption + QStringLiteral(" - COM2 (%1)").arg(QString::fromLocal8Bit(meter2.path())));

    const QString firstTable = first.last(QStringLiteral("table"));
    const QString secondTable = second.last(QStringLiteral("table"));
    QCOMPARE(QFileInfo(firstTable).absolutePath(), folder);
    QCOMPARE(QFileInfo(secondTable).absolutePath(), folder);
    QVERIFY(firstTable != secondTable);
    QCOMPARE(tableCopies(folder).size(), 2);
    // Each held for exclusive use, as the log table always was.
    for (const QString &path : {firstTable, secondTable}) {
        table::Session session;
        table::Table intruder(session);
        intruder.setTableName(path.toStdString());
        QVERIFY_THROWS_EXCEPTION(table::EngineError, intruder.open());
    }

    QVERIFY(meter1.send(frameStart() + frames(1, 5)));
    QVERIFY(meter2.send(frameStart() + frames(101, 103)));
    QTRY_COMPARE_WITH_TIMEOUT(first.logged(), 5, 60000);
    QTRY_COMPARE_WITH_TIMEOUT(second.logged(), 3, 60000);

    // Each saves what its meter sent: one as text, one as a Paradox table.
    const QString text = m_dir.filePath(QStringLiteral("first.xls"));
    const QString db = m_dir.filePath(QStringLiteral("second.db"));
    first.tell(QStringLiteral("save ") + text);
    second.tell(QStringLiteral("save ") + db);
    QTRY_VERIFY_WITH_TIMEOUT(first.said(QStringLiteral("saved")), 60000);
    QTRY_VERIFY_WITH_TIMEOUT(second.said(QStringLiteral("saved")), 60000);
    QFile saved(text);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = saved.readAll().split('\n');
    QCOMPARE(lines.size(), 7); // the header, five records, the end of the last line
    for (int i = 1; i <= 5; ++i)
        QCOMPARE(QString::fromLatin1(lines[i].split('\t').value(3)), valueText(i));
    QCOMPARE(tableColumn(db, "Value"),
             (QStringList{valueText(101), valueText(102), valueText(103)}));
    QCOMPARE(tableColumn(db, "No"), (QStringList{"1", "2", "3"}));

    // Disconnected, the title is the caption again.
    first.tell(QStringLiteral("disconnect"));
    QTRY_COMPARE_WITH_TIMEOUT(first.lines().filter(QStringLiteral("title ")).size(), 2, 60000);
    QCOMPARE(first.last(QStringLiteral("title")), kCaption);

    // Ended by their close boxes, they take their tables with them.
    for (WindowProcess *w : {&first, &second}) {
        w->tell(QStringLiteral("quit"));
        QVERIFY(w->process().waitForFinished(60000));
        QCOMPARE(w->process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(w->process().exitCode(), 0);
    }
    QCOMPARE(tableCopies(folder), QStringList());
}

void TestRunningCopies::killedWindowIsRestored_data()
{
    QTest::addColumn<bool>("insideFrame");
    QTest::newRow("between frames") << false;
    QTest::newRow("inside a frame") << true;
}

// A window logging from a meter is killed at a random moment. The next start removes the table
// it left and offers its journal; restored, the log holds what the meter sent, by number and
// value, up to at least the last reading the killed window had logged.
void TestRunningCopies::killedWindowIsRestored()
{
    QFETCH(bool, insideFrame);
    QTemporaryDir state;
    qputenv("XDG_STATE_HOME", QFile::encodeName(state.path()));
    const auto back =
        qScopeGuard([this] { qputenv("XDG_STATE_HOME", QFile::encodeName(m_state)); });
    const QString folder = state.filePath(QStringLiteral("vorlatt"));
    PtyPort meter;
    QVERIFY(meter.isOpen());

    WindowProcess window(1, meter.path());
    QTRY_VERIFY_WITH_TIMEOUT(window.said(QStringLiteral("connected")), 60000);

    // Logging for sure before the random part begins.
    QVERIFY(meter.send(frameStart() + frames(1, 3)));
    QTRY_COMPARE_WITH_TIMEOUT(window.logged(), 3, 60000);
    const quint32 seed = QRandomGenerator::global()->generate();
    qInfo("random seed %u", seed);
    QRandomGenerator random(seed);
    const int total = random.bounded(4, 150);
    int sent = 3;
    while (sent < total) {
        const int burst = random.bounded(1, 6);
        QVERIFY(meter.send(frames(sent + 1, sent + burst)));
        sent += burst;
        QTest::qWait(random.bounded(0, 60));
    }
    if (insideFrame) // a part before its carriage return
        QVERIFY(meter.send(reading(sent + 1).toFrame().left(random.bounded(1, 12))));
    const int shown = window.logged();
    QCOMPARE(::kill(pid_t(window.process().processId()), SIGKILL), 0);
    QVERIFY(window.process().waitForFinished(60000));
    QCOMPARE(window.process().exitStatus(), QProcess::CrashExit);
    // Said before the kill, so logged before it too.
    const int loggedBeforeKill = std::max(shown, window.logged());
    QCOMPARE(tableCopies(folder).size(), 1);

    // The next start.
    QStringList questions;
    TFCOMM next;
    QCOMPARE(tableCopies(folder),
             QStringList{QFileInfo(next.logCommands()->tableCopyPath()).fileName()});
    restoreLeftovers(next, questions);
    const table::Table &t = next.readingLog().table();
    const int restored = int(t.recordCount());
    qInfo("sent %d readings, the window had logged %d, %d restored", sent, loggedBeforeKill,
          restored);
    QCOMPARE(questions,
             QStringList{QStringLiteral("A run that ended unexpectedly left %1 unsaved readings.")
                             .arg(restored)});
    QVERIFY2(restored >= loggedBeforeKill, qPrintable(QString::number(restored)));
    QVERIFY(restored <= sent);
    verifyReadings(next, restored);
    QCOMPARE(next.readingLog().NextRecordNo, restored + 1);
    QVERIFY(next.logCommands()->hasUnsaved());
}

void TestRunningCopies::unwritableJournalIsSaidAndRebuilt_data()
{
    QTest::addColumn<bool>("fullDisk");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QString>("panelReason"); // short enough for the panel's designed width
    QTest::newRow("read-only folder")
        << false << QStringLiteral("Read-only file system") << QStringLiteral("read-only");
    QTest::newRow("full disk") << true << QStringLiteral("No space left on device")
                               << QStringLiteral("disk full");
}

// The journal's folder becomes read-only, or its disk full, under a window that logs: the window
// logs on, says so once in a box (which stays open while readings go on behind it) and in the
// clock panel; once the folder takes files again the journal is written whole from the log, so
// that a kill then loses nothing: the next start restores every reading the meter sent.
void TestRunningCopies::unwritableJournalIsSaidAndRebuilt()
{
    QFETCH(bool, fullDisk);
    QFETCH(QString, reason);
    QFETCH(QString, panelReason);
    QTemporaryDir state;
    qputenv("XDG_STATE_HOME", QFile::encodeName(state.path()));
    const auto back =
        qScopeGuard([this] { qputenv("XDG_STATE_HOME", QFile::encodeName(m_state)); });
    const QString folder = state.filePath(QStringLiteral("vorlatt"));
    PtyPort meter;
    QVERIFY(meter.isOpen());
    WindowProcess window(1, meter.path());
    QTRY_VERIFY_WITH_TIMEOUT(window.said(QStringLiteral("connected")), 60000);
    int sent = 0;
    const auto sendUpTo = [&](int last) {
        const bool ok = meter.send((sent == 0 ? frameStart() : QByteArray()) +
                                   frames(sent + 1, last));
        sent = last;
        return ok;
    };

    // The folder changes under the running window, as a disk or a mount does.
    bool mounted = false;
    const auto unmount = qScopeGuard([&] {
        if (mounted)
            run(QStringLiteral("umount"), {QStringLiteral("-l"), folder});
    });
    QFile filler(folder + QStringLiteral("/filler"));
    if (fullDisk) {
        mounted = run(QStringLiteral("mount"), {QStringLiteral("-t"), QStringLiteral("tmpfs"),
                                                QStringLiteral("-o"), QStringLiteral("size=64k"),
                                                QStringLiteral("tmpfs"), folder});
        if (!mounted)
            QSKIP("cannot mount a small tmpfs for the full disk (the test needs root)");
        // A journal that works at first, then the disk fills.
        QVERIFY(sendUpTo(3));
        QTRY_COMPARE_WITH_TIMEOUT(window.logged(), 3, 60000);
        QVERIFY(filler.open(QIODevice::WriteOnly));
        const QByteArray block(4096, 'x');
        while (filler.write(block) == block.size() && filler.flush()) {
        }
        filler.close();
    } else {
        mounted = run(QStringLiteral("mount"), {QStringLiteral("--bind"), folder, folder});
        if (!mounted ||
            !run(QStringLiteral("mount"), {QStringLiteral("-o"), QStringLiteral("remount,bind,ro"),
                                           folder}))
            QSKIP("cannot mount the state folder read-only (the test needs root)");
    }

    // More than a page of the tmpfs, which the journal's last page may still have room for.
    QVERIFY(sendUpTo(sent + 100));
    QTRY_COMPARE_WITH_TIMEOUT(window.logged(), sent, 60000);
    QTRY_VERIFY_WITH_TIMEOUT(window.said(QStringLiteral("journal ") + reason), 60000);
    QTRY_VERIFY_WITH_TIMEOUT(
        window.said(QStringLiteral("panel Readings not protected: ") + panelReason), 60000);
    QTRY_COMPARE_WITH_TIMEOUT(window.lines().filter(QStringLiteral("warning ")),
                              QStringList{QStringLiteral("warning Readings are not protected: "
                                                         "the recovery journal cannot be "
                                                         "written.")},
                              60000);
    // The box stays open; readings go on behind it, and the retries each second bring no other.
    QVERIFY(sendUpTo(sent + 20));
    QTRY_COMPARE_WITH_TIMEOUT(window.logged(), sent, 60000);
    QTest::qWait(2500);
    QCOMPARE(window.lines().filter(QStringLiteral("warning ")).size(), 1);
    QCOMPARE(window.last(QStringLiteral("journal")), reason);

    // Writable again: the journal is written whole and the panel goes back.
    if (fullDisk)
        QVERIFY(filler.remove());
    else
        QVERIFY(run(QStringLiteral("mount"),
                    {QStringLiteral("-o"), QStringLiteral("remount,bind,rw"), folder}));
    QTRY_COMPARE_WITH_TIMEOUT(window.last(QStringLiteral("journal")), QStringLiteral("ok"),
                              60000);
    QTRY_COMPARE_WITH_TIMEOUT(window.last(QStringLiteral("panel")), QStringLiteral("other"),
                              60000);
    QVERIFY(sendUpTo(sent + 10));
    QTRY_COMPARE_WITH_TIMEOUT(window.logged(), sent, 60000);
    QCOMPARE(window.lines().filter(QStringLiteral("warning ")).size(), 1);

    QCOMPARE(::kill(pid_t(window.process().processId()), SIGKILL), 0);
    QVERIFY(window.process().waitForFinished(60000));

    // One journal is left (the one that failed went when the whole one took its place), and it
    // holds every reading the meter sent.
    QStringList questions;
    TFCOMM next;
    restoreLeftovers(next, questions);
    qInfo("sent %d readings, %d restored", sent, int(next.readingLog().table().recordCount()));
    QCOMPARE(questions,
             QStringList{QStringLiteral("A run that ended unexpectedly left %1 unsaved readings.")
                             .arg(sent)});
    verifyReadings(next, sent);
}

int main(int argc, char *argv[])
{
    if (argc > 2 && std::strcmp(argv[1], "--window") == 0)
        return runWindow(argc, argv, std::atoi(argv[2]));
    QApplication app(argc, argv);
    TestRunningCopies test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "TestRunningCopies.moc"
