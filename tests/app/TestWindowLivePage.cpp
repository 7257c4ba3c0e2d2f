#include "tests/support/MessageBoxCloser.h"
#include "tests/support/PtyPort.h"
#include "app/LivePage.h"
#include "app/TFCOMM.h"
#include "link/SerialPortDriver.h"
#include "protocol/DisplayState.h"
#include "tests/support/RawHttp.h"
#include "ui_FCOMM.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageBox>
#include <QTimer>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using protocol::Annunciator;
using protocol::Annunciators;

// The window's --http: frames written into a real pseudo-terminal reach the page's routes,
// served on 127.0.0.1 by the page's own server and read by a plain HTTP client, whatever the
// log does with them.
class TestWindowLivePage : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void pageShowsEveryReadingWhateverTheLogTakes_data();
    void pageShowsEveryReadingWhateverTheLogTakes();
    void linkStatesAndGarbledFrames();
    void portInUseLeavesTheWindowWithoutThePage();

private:
    std::unique_ptr<PtyPort> m_port;
};

namespace {

protocol::DisplayState display(const char *digits, int point, Annunciators flags)
{
    protocol::DisplayState s;
    s.digits = digits;
    s.point = point;
    s.annunciators = flags;
    return s;
}

QJsonObject status(const LivePage &page)
{
    return QJsonDocument::fromJson(rawhttp::get(page.port(), "/api/status").body).object();
}

QJsonArray readings(const LivePage &page)
{
    return QJsonDocument::fromJson(rawhttp::get(page.port(), "/api/readings").body).array();
}

// "no value unit acdc" of each reading.
QStringList readingTexts(const QJsonArray &array)
{
    QStringList texts;
    for (const QJsonValue &v : array) {
        const QJsonObject o = v.toObject();
        texts << QStringLiteral("%1 %2 %3 %4")
                     .arg(o.value(u"no").toInteger())
                     .arg(o.value(u"value").toString(), o.value(u"unit").toString(),
                          o.value(u"acdc").toString());
    }
    return texts;
}

QString outputText(const QJsonObject &status, const QString &name)
{
    for (const QJsonValue &v : status.value(u"outputs").toArray())
        if (v.toObject().value(u"name").toString() == name)
            return QStringLiteral("%1 %2")
                .arg(v.toObject().value(u"ok").toBool() ? u"ok" : u"failed",
                     v.toObject().value(u"detail").toString());
    return QStringLiteral("absent");
}

std::unique_ptr<LivePage> startedPage()
{
    HttpOptions options;
    options.port = 0;
    auto page = std::make_unique<LivePage>(options);
    const QString error = page->start();
    if (!error.isEmpty())
        qWarning("%s", qPrintable(error));
    return error.isEmpty() ? std::move(page) : nullptr;
}

} // namespace

void TestWindowLivePage::init()
{
    m_port = std::make_unique<PtyPort>();
    QVERIFY(m_port->isOpen());
}

void TestWindowLivePage::cleanup()
{
    m_port.reset();
}

void TestWindowLivePage::pageShowsEveryReadingWhateverTheLogTakes_data()
{
    QTest::addColumn<QString>("logState");
    QTest::addColumn<QString>("logHealth"); // what the page says of the log at the end (a pattern)
    // Records the log takes of the five readings, after the one that primed the line.
    QTest::addColumn<int>("logged");

    QTest::newRow("log takes them") << "all" << "^ok $" << 5;
    QTest::newRow("log stopped at its limit") << "limit" << "^ok Logging stopped: limit 0$" << 0;
    QTest::newRow("log samples every hour") << "interval" << "^ok $" << 0;
    QTest::newRow("log skips repeats") << "no repeat" << "^ok $" << 3;
    QTest::newRow("log's interval text is no number")
        << "bad interval" << "^failed 'x' is not a valid integer value$" << 0;
    QTest::newRow("log table missing") << "no table" << "^failed .*Tarvodb" << 0;
}

// Five readings, repeats and a kilohertz one among them: the page has them all, numbered from 1
// for the window's run, with the unit as the display shows it, and says how the log is.
void TestWindowLivePage::pageShowsEveryReadingWhateverTheLogTakes()
{
    QFETCH(QString, logState);
    QFETCH(QString, logHealth);
    QFETCH(int, logged);

    MessageBoxCloser closer; // the log's failures are said in boxes
    // Without a log table where the window looks for one, the log never opens.
    QTemporaryDir empty;
    const QString folder = QDir::currentPath();
    if (logState == u"no table") {
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("Tarvodb")));
        QVERIFY(QDir::setCurrent(empty.path()));
    }
    const auto back = qScopeGuard([&] { QDir::setCurrent(folder); });
    // The page outlives the window, as in the program: the window tells it of the link to the end.
    std::unique_ptr<LivePage> page = startedPage();
    QVERIFY(page);
    TFCOMM w;
    w.setLivePage(page.get());
    QCOMPARE(status(*page).value(u"link").toString(), QStringLiteral("waiting"));
    QCOMPARE(status(*page).value(u"meter").toString(), httpoptions::machineName());
    // The title says where the page is, before and after the port it names.
    QVERIFY2(w.windowTitle().endsWith(QStringLiteral(" - live page ") + page->url()),
             qPrintable(w.windowTitle()));

    Ui::FCOMM *ui = w.ui();
    if (logState == u"limit")
        w.readingLog().RecordLimit = 0; // a limit of L takes L + 1 readings
    else if (logState == u"interval") {
        ui->RecordSI->setChecked(true);
        ui->RecordSITime->setText(QStringLiteral("3600"));
    } else if (logState == u"no repeat")
        ui->RepeatSet->setChecked(false);
    else if (logState == u"bad interval")
        ui->RecordSITime->setText(QStringLiteral("x"));
    QCOMPARE(w.logOpen(), logState != u"no table");
    const auto records = [&] { return w.logOpen() ? w.readingLog().table().recordCount() : 0; };
    const qint64 before = records();

    ui->COMCon->click();
    QVERIFY(w.serialDriver()->IsOpen());
    QVERIFY2(w.windowTitle().endsWith(QStringLiteral(") - live page ") + page->url()),
             qPrintable(w.windowTitle()));
    // The first frame after the port opens may be cut: it primes the line and is no reading.
    const protocol::DisplayState primer = display("9999", 0, Annunciator::Volt);
    QVERIFY(m_port->send(primer.toFrame() + primer.toFrame()));
    QTRY_COMPARE(w.reading().ValueText, QStringLiteral("9999"));
    QTRY_VERIFY(m_port->drained());
    const qsizetype primed = readings(*page).size();
    const qint64 primedLogged = records() - before;

    const protocol::DisplayState volts = display("1234", 2, Annunciator::Dc | Annunciator::Volt);
    const protocol::DisplayState kilohertz =
        display("1234", 1, Annunciator::Hertz | Annunciator::Kilo);
    QVERIFY(m_port->send(volts.toFrame() + volts.toFrame() + kilohertz.toFrame() +
                         volts.toFrame() + volts.toFrame()));
    QTRY_COMPARE(readings(*page).size(), primed + 5);

    const QStringList texts = readingTexts(readings(*page)).mid(primed);
    const auto no = [&](int i) { return QString::number(primed + i); };
    QCOMPARE(texts, (QStringList{no(1) + " 12.34 V DC", no(2) + " 12.34 V DC",
                                 no(3) + " 1.234 kHz ", no(4) + " 12.34 V DC",
                                 no(5) + " 12.34 V DC"}));
    QCOMPARE(readingTexts(readings(*page)).value(0).section(u' ', 0, 0), QStringLiteral("1"));
    QCOMPARE(records() - before - primedLogged, qint64(logged));

    w.Timer1Timer(); // the clock's tick tells the page how the outputs are
    const QJsonObject s = status(*page);
    QCOMPARE(s.value(u"link").toString(), QStringLiteral("live"));
    QCOMPARE(s.value(u"port").toString(),
              QStringLiteral("COM1 (%1)").arg(QString::fromLocal8Bit(m_port->path())));
    // Named after the machine and the port read, so that two windows are told apart.
    QCOMPARE(s.value(u"meter").toString(), httpoptions::machineName() + QStringLiteral("-com1"));
    QCOMPARE(s.value(u"readings").toInteger(), primed + 5);
    QCOMPARE(s.value(u"last_no").toInteger(), primed + 5);
    // The log's own count beside every reading's.
    QCOMPARE(s.value(u"records").toInteger(), primedLogged + logged);
    QVERIFY(rawhttp::get(page->port(), "/metrics")
                .body.contains("vorlatt_records_total{meter=\"" +
                               s.value(u"meter").toString().toUtf8() + "\"} " +
                               QByteArray::number(primedLogged + logged) + '\n'));
    QVERIFY2(QRegularExpression(logHealth).match(outputText(s, QStringLiteral("log"))).hasMatch(),
             qPrintable(outputText(s, QStringLiteral("log"))));
    QCOMPARE(outputText(s, QStringLiteral("journal")), QStringLiteral("ok "));
    ui->COMCon->click();
}

// Garbled frames are counted as the window rejects them; the watchdog's silence, the user's
// disconnect and the serial line's hang-up each show as the link's state. The watchdog is
// driven tick by tick.
void TestWindowLivePage::linkStatesAndGarbledFrames()
{
    // The page outlives the window, as in the program: the window tells it of the link to the end.
    std::unique_ptr<LivePage> page = startedPage();
    QVERIFY(page);
    TFCOMM w;
    w.setLivePage(page.get());
    auto *conTimer = w.findChild<QTimer *>(QStringLiteral("ConTimer"));
    QVERIFY(conTimer);
    conTimer->stop();
    w.ui()->COMCon->click();

    const protocol::DisplayState good = display("0042", 0, Annunciator::Volt);
    const protocol::DisplayState bad = display("1:34", 0, Annunciator::Volt);
    QVERIFY(m_port->send(good.toFrame() + good.toFrame() + bad.toFrame() + bad.toFrame() +
                         bad.toFrame() + good.toFrame()));
    QTRY_VERIFY(m_port->drained());
    QTRY_COMPARE(status(*page).value(u"frames_rejected").toInteger(), 3);
    QTRY_COMPARE(openBoxes().size(), 1); // the window's own box for the run of failures
    openBoxes().first()->accept();
    QVERIFY(rawhttp::get(page->port(), "/metrics")
                .body.contains("vorlatt_frames_rejected_total{meter=\"" +
                               httpoptions::machineName().toUtf8() + "-com1\"} 3"));
    QCOMPARE(status(*page).value(u"link").toString(), QStringLiteral("live"));

    for (int i = 0; i < 3; ++i)
        w.ConTimerTimer();
    QJsonObject s = status(*page);
    QCOMPARE(s.value(u"link").toString(), QStringLiteral("silent"));
    QCOMPARE(s.value(u"link_text").toString(),
             ReadingStatus::noDataSince(w.readingStatus().lastFrame()));
    QCOMPARE(s.value(u"link_text").toString(), w.ui()->StatusPanel3->text());

    QVERIFY(m_port->send(good.toFrame()));
    QTRY_COMPARE(status(*page).value(u"link").toString(), QStringLiteral("live"));

    w.ui()->COMCon->click(); // the user disconnects: no link loss
    s = status(*page);
    QCOMPARE(s.value(u"link").toString(), QStringLiteral("lost"));
    QCOMPARE(s.value(u"link_text").toString(),
             QStringLiteral("link lost: ") + LiveFeed::kClosedReason);
    QCOMPARE(s.value(u"port").toString(), QString());
    QCOMPARE(s.value(u"link_losses").toInteger(), 0);

    // Connected again, the line hangs up under the window (the meter's end goes away).
    w.ui()->COMCon->click();
    QCOMPARE(status(*page).value(u"link").toString(), QStringLiteral("waiting"));
    QVERIFY(m_port->send(good.toFrame() + good.toFrame()));
    QTRY_COMPARE(status(*page).value(u"link").toString(), QStringLiteral("live"));
    m_port.reset();
    QTRY_COMPARE(status(*page).value(u"link").toString(), QStringLiteral("lost"));
    QVERIFY2(status(*page).value(u"link_text").toString().startsWith(u"link lost: the "),
             qPrintable(status(*page).value(u"link_text").toString()));
    QCOMPARE(status(*page).value(u"link_losses").toInteger(), 1);
    // The watchdog's silence that follows says less than the loss: the page keeps the loss.
    for (int i = 0; i < 3; ++i)
        w.ConTimerTimer();
    QVERIFY(w.readingStatus().stale());
    QCOMPARE(status(*page).value(u"link").toString(), QStringLiteral("lost"));
}

// A port another program holds: the reason on standard error and in a box over the window,
// which goes on reading the meter without the page.
void TestWindowLivePage::portInUseLeavesTheWindowWithoutThePage()
{
    const int holder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    QVERIFY(::bind(holder, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0);
    QVERIFY(::listen(holder, 1) == 0);
    QVERIFY(::getsockname(holder, reinterpret_cast<sockaddr *>(&a), &size) == 0);
    HttpOptions options;
    options.port = ntohs(a.sin_port);

    TFCOMM w;
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression(QStringLiteral("^vorlatt: .*%1.*; the window runs "
                                                           "without the live page$")
                                                .arg(options.port)));
    std::unique_ptr<LivePage> page = LivePage::startFor(options, {}, &w);
    QVERIFY(!page);
    w.setLivePage(page.get());
    w.show();
    QTRY_COMPARE(openBoxes().size(), 1);
    QMessageBox *box = openBoxes().first();
    QCOMPARE(box->objectName(), QStringLiteral("LivePageFailure"));
    QVERIFY2(box->informativeText().contains(QStringLiteral("127.0.0.1:%1: Address already in use")
                                                  .arg(options.port)),
             qPrintable(box->informativeText()));
    box->accept();
    ::close(holder);

    w.ui()->COMCon->click();
    const protocol::DisplayState volts = display("0077", 0, Annunciator::Volt);
    QVERIFY(m_port->send(volts.toFrame() + volts.toFrame()));
    QTRY_COMPARE(w.reading().ValueText, QStringLiteral("0077"));
}

QTEST_MAIN(TestWindowLivePage)
#include "TestWindowLivePage.moc"
