// vorlatt-log --http: the built program, reading the simulator on a pseudo-terminal, serves its
// readings and its state; a port it cannot have ends the run before it starts.

#include "tests/support/LoggerProcesses.h"
#include "tests/support/ReadingSchema.h"
#include "tests/support/RawHttp.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <arpa/inet.h>

using namespace rawhttp;

namespace {

// The port vorlatt-log says it serves on, once it has said it.
int servedPort(::Logger &logger)
{
    static const QRegularExpression said(QStringLiteral("live page on http://127\\.0\\.0\\.1:(\\d+)/"));
    int port = 0;
    (void)QTest::qWaitFor(
        [&] {
            const QRegularExpressionMatch m = said.match(logger.err());
            port = m.hasMatch() ? m.captured(1).toInt() : 0;
            return port > 0;
        },
        kWaitMs);
    return port;
}

// A port of 127.0.0.1 held by a socket of the test: listening, or refusing connections.
class HeldPort
{
public:
    explicit HeldPort(bool listening = true)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(m_fd, reinterpret_cast<sockaddr *>(&address), length) == 0 &&
            (!listening || ::listen(m_fd, 1) == 0) &&
            ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
            m_port = ntohs(address.sin_port);
    }
    ~HeldPort() { ::close(m_fd); }
    int port() const { return m_port; }

private:
    int m_fd = -1;
    int m_port = 0;
};

} // namespace

class TestLoggerHttp : public QObject
{
    Q_OBJECT

private slots:
    void servesTheMetersReadings();
    void pageShowsEveryReadingWhateverTheRulesTake();
    void mqttSpoolShowsOnThePage();
    void openAddressWarns();
    void portInUseEndsTheRunBeforeItStarts();
    void wrongHttpOptions_data();
    void wrongHttpOptions();
};

void TestLoggerHttp::servesTheMetersReadings()
{
    // A pause of the meter shows on the page as "no data since", then live again.
    Sim sim({QStringLiteral("--rate"), QStringLiteral("50"), QStringLiteral("--pause"),
             QStringLiteral("3,5")});
    QVERIFY(!sim.path().isEmpty());
    ::Logger logger;
    logger.start({QStringLiteral("--port"), sim.path(), QStringLiteral("--quiet"),
                  QStringLiteral("--http"), QStringLiteral("127.0.0.1:0")});
    const int port = servedPort(logger);
    QVERIFY2(port > 0, qPrintable(logger.err()));

    QVERIFY(QTest::qWaitFor(
        [&] { return QJsonDocument::fromJson(get(port, "/api/readings").body).array().size() >= 20; },
        kWaitMs));
    const QJsonArray readings = QJsonDocument::fromJson(get(port, "/api/readings").body).array();
    QTemporaryDir dir;
    QFile lines(dir.filePath(QStringLiteral("readings.jsonl")));
    QVERIFY(lines.open(QIODevice::WriteOnly));
    for (int i = 0; i < readings.size(); ++i) {
        lines.write(QJsonDocument(readings[i].toObject()).toJson(QJsonDocument::Compact) + '\n');
        QCOMPARE(readings[i].toObject().value(u"no").toInt(), i + 1);
    }
    lines.close();
    const SchemaCheck check = checkAgainstReadingSchema(lines.fileName());
    QCOMPARE(check.faults, QStringList());
    QCOMPARE(check.valid, readings.size());

    // Without --mqtt-id the meter is named as MQTT would name it: host name and source.
    const QJsonObject status = statusOf(port);
    QVERIFY2(status.value(u"meter").toString().endsWith(u'-' + QFileInfo(sim.path()).fileName()),
             qPrintable(status.value(u"meter").toString()));
    QCOMPARE(status.value(u"port").toString(), sim.path());
    QVERIFY(status.value(u"mqtt").isNull());
    const Answer metrics = get(port, "/metrics");
    QCOMPARE(metrics.status, 200);
    QVERIFY(metrics.body.contains("vorlatt_readings_total{meter=\""));

    // The event stream goes on with the readings as they are logged.
    Raw stream(port);
    stream.send("GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    QVERIFY(stream.readUntil(
        [](const QByteArray &in) { return countWith(events(in), QStringLiteral("id")) >= 5; }));

    // The pause: silent after the logger's silence time, then live again.
    QVERIFY(QTest::qWaitFor([&] { return statusOf(port).value(u"link").toString() == u"silent"; }, kWaitMs));
    QVERIFY(statusOf(port).value(u"link_text").toString().startsWith(u"no data since "));
    QCOMPARE(statusOf(port).value(u"link_losses").toInt(), 1);
    QVERIFY(QTest::qWaitFor([&] { return statusOf(port).value(u"link").toString() == u"live"; }, kWaitMs));
    QVERIFY(stream.readUntil([](const QByteArray &in) {
        int statuses = 0;
        for (const auto &e : events(in))
            statuses += e.value(QStringLiteral("event")) == u"status" ? 1 : 0;
        return statuses >= 3; // the opening one, silent, live
    }));

    logger.signal(SIGTERM);
    QCOMPARE(logger.wait(), 0);
    // The port is free again, and the stream was ended.
    QVERIFY(stream.readToClose());
    Raw after(port);
    QVERIFY(!after.connected());
}

// With a sampling interval the log takes one reading in ten seconds, while the page and
// vorlatt_readings_total follow every reading the meter sends, as in the window; the log's own
// count is vorlatt_records_total.
void TestLoggerHttp::pageShowsEveryReadingWhateverTheRulesTake()
{
    Sim sim({QStringLiteral("--rate"), QStringLiteral("50")});
    QVERIFY(!sim.path().isEmpty());
    QTemporaryDir dir;
    const QString csv = dir.filePath(QStringLiteral("sampled.csv"));
    ::Logger logger;
    logger.start({QStringLiteral("--port"), sim.path(), QStringLiteral("--quiet"),
                  QStringLiteral("--interval"), QStringLiteral("10"), QStringLiteral("--format"),
                  QStringLiteral("csv"), QStringLiteral("--output"), csv, QStringLiteral("--http"),
                  QStringLiteral("127.0.0.1:0")});
    const int port = servedPort(logger);
    QVERIFY2(port > 0, qPrintable(logger.err()));
    QVERIFY(QTest::qWaitFor(
        [&] { return QJsonDocument::fromJson(get(port, "/api/readings").body).array().size() >= 40; },
        kWaitMs));
    const QJsonObject status = statusOf(port);
    const QJsonArray readings = QJsonDocument::fromJson(get(port, "/api/readings").body).array();
    for (int i = 0; i < readings.size(); ++i)
        QCOMPARE(readings[i].toObject().value(u"no").toInt(), i + 1);
    QVERIFY(status.value(u"readings").toInt() >= 40);
    QCOMPARE(status.value(u"records").toInt(), 1); // the first reading, at once; the next in 10 s
    const Answer metrics = get(port, "/metrics");
    QVERIFY(QRegularExpression(QStringLiteral("\nvorlatt_records_total\\{meter=\"[^\"]+\"\\} 1\n"))
                .match(QString::fromUtf8(metrics.body))
                .hasMatch());
    const int records = statusOf(port).value(u"records").toInt();
    logger.signal(SIGTERM);
    QCOMPARE(logger.wait(), 0);
    QFile file(csv);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll().count('\n'), records + 1); // the header and the records counted
}

void TestLoggerHttp::mqttSpoolShowsOnThePage()
{
    // A broker that cannot be reached: the readings wait in the spool, and the page says so.
    HeldPort refusing(false);
    QVERIFY(refusing.port() > 0);
    Sim sim({QStringLiteral("--rate"), QStringLiteral("50")});
    QVERIFY(!sim.path().isEmpty());
    QTemporaryDir state;
    ::Logger logger;
    logger.start(state.path(),
                 {QStringLiteral("--port"), sim.path(), QStringLiteral("--quiet"),
                  QStringLiteral("--mqtt"), QStringLiteral("mqtt://127.0.0.1:%1/lab").arg(refusing.port()),
                  QStringLiteral("--mqtt-id"), QStringLiteral("bench1"),
                  QStringLiteral("--mqtt-drain-seconds"), QStringLiteral("0"),
                  QStringLiteral("--http"), QStringLiteral("127.0.0.1:0")});
    const int port = servedPort(logger);
    QVERIFY2(port > 0, qPrintable(logger.err()));
    QVERIFY(QTest::qWaitFor(
        [&] {
            return statusOf(port).value(u"mqtt").toObject().value(u"unacknowledged").toInt() >= 10;
        },
        kWaitMs));
    const QJsonObject status = statusOf(port);
    QCOMPARE(status.value(u"meter").toString(), QStringLiteral("bench1"));
    QVERIFY(status.value(u"mqtt").toObject().value(u"spool_bytes").toInt() > 0);
    const QJsonArray outputs = status.value(u"outputs").toArray();
    QCOMPARE(outputs.size(), 1);
    QVERIFY(outputs[0].toObject().value(u"name").toString().startsWith(u"MQTT mqtt://127.0.0.1:"));
    const QByteArray metrics = get(port, "/metrics").body;
    QVERIFY(metrics.contains("vorlatt_mqtt_unacknowledged{meter=\"bench1\"} "));
    QVERIFY(metrics.contains("vorlatt_reading{meter=\"bench1\",unit=\""));
    QProcess promtool;
    promtool.start(QStringLiteral("promtool"), {QStringLiteral("check"), QStringLiteral("metrics")});
    QVERIFY(promtool.waitForStarted(kWaitMs));
    promtool.write(metrics);
    promtool.closeWriteChannel();
    QVERIFY(promtool.waitForFinished(kWaitMs));
    QVERIFY2(promtool.exitCode() == 0, promtool.readAll().constData());
    logger.signal(SIGTERM);
    QCOMPARE(logger.wait(), 0);
}

void TestLoggerHttp::openAddressWarns()
{
    Sim sim({QStringLiteral("--rate"), QStringLiteral("50")});
    QVERIFY(!sim.path().isEmpty());
    ::Logger logger;
    logger.start({QStringLiteral("--port"), sim.path(), QStringLiteral("--quiet"),
                  QStringLiteral("--count"), QStringLiteral("3"), QStringLiteral("--http"),
                  QStringLiteral("0.0.0.0:0"), QStringLiteral("--http-open")});
    QCOMPARE(logger.wait(), 0);
    QVERIFY2(logger.err().contains(QStringLiteral("warning: --http-open: anyone who can reach "
                                                  "0.0.0.0 may read the readings")),
             qPrintable(logger.err()));
    QVERIFY(logger.err().contains(QStringLiteral("live page on http://127.0.0.1:")));
}

void TestLoggerHttp::portInUseEndsTheRunBeforeItStarts()
{
    HeldPort held;
    QVERIFY(held.port() > 0);
    Sim sim({QStringLiteral("--rate"), QStringLiteral("50")});
    QVERIFY(!sim.path().isEmpty());
    QTemporaryDir dir;
    const QString out = dir.filePath(QStringLiteral("run.csv"));
    ::Logger logger;
    logger.start({QStringLiteral("--port"), sim.path(), QStringLiteral("--http"),
                  QStringLiteral("127.0.0.1:%1").arg(held.port()), QStringLiteral("--output"), out,
                  QStringLiteral("--format"), QStringLiteral("csv")});
    QCOMPARE(logger.wait(), 1);
    QCOMPARE(logger.err(), QStringLiteral("vorlatt-log: cannot serve --http on 127.0.0.1:%1: "
                                          "Address already in use\n")
                               .arg(held.port()));
    QCOMPARE(logger.out(), QByteArray());
    QVERIFY(!QFile::exists(out));
}

void TestLoggerHttp::wrongHttpOptions_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("error");
    using L = QStringList;
    QTest::newRow("open without http") << L{"--http-open"} << "need --http";
    QTest::newRow("all addresses, no token") << L{"--http", "0.0.0.0:8080"} << "--http-open";
    QTest::newRow("bad port") << L{"--http", "80800"} << "port from 0 to 65535";
    QTest::newRow("name") << L{"--http", "example.org:80"} << "IP address";
    QTest::newRow("missing token file")
        << L{"--http", "8080", "--http-token-file", "/nonexistent/token"} << "No such file";
    QTest::newRow("token and open") << L{"--http", "8080", "--http-token-file", "/etc/passwd",
                                         "--http-open"}
                                    << "not both";
    QTest::newRow("token file a folder")
        << L{"--http", "8080", "--http-token-file", "/tmp"} << "not a regular file";
    QTest::newRow("bad origin") << L{"--http", "8080", "--http-allow-origin", "*"}
                                << "one origin";
    QTest::newRow("id without http or mqtt") << L{"--mqtt-id", "bench1"} << "need --mqtt";
}

void TestLoggerHttp::wrongHttpOptions()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, error);
    ::Logger logger;
    logger.start(QStringList{QStringLiteral("--port"), QStringLiteral("/dev/null")} + arguments);
    QCOMPARE(logger.wait(), 2);
    const QStringList lines = logger.err().split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 2);
    QVERIFY2(lines[0].startsWith(u"vorlatt-log: ") && lines[0].contains(error),
             qPrintable(lines[0]));
    QCOMPARE(lines[1], QStringLiteral("Try 'vorlatt-log --help'."));
}

QTEST_GUILESS_MAIN(TestLoggerHttp)
#include "TestLoggerHttp.moc"
