// The live page's server, running for real on 127.0.0.1 (port 0), spoken to over raw sockets so
// that requests no browser would send can be sent too.

#include "tests/support/ReadingSchema.h"
#include "tests/support/RawHttp.h"
#include "web/HttpOptions.h"
#include "web/HttpService.h"
#include "web/LiveFeed.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <memory>
#include <numeric>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace rawhttp;

namespace {

LogRecord record(qint32 no, const QString &value, const QString &acdc, const QString &unit,
                 qint64 when = 1765440000000)
{
    LogRecord r;
    r.no = no;
    r.when = when + no * 100;
    r.reading.ValueText = value;
    r.reading.AcDcText = acdc;
    r.reading.UnitText = unit;
    r.reading.RangeText = QStringLiteral("AUTO");
    return r;
}

// A server with its feed, for one test.
struct Served
{
    explicit Served(HttpOptions options = {}, int capacity = LiveFeed::kDefaultCapacity)
        : feed(capacity)
    {
        if (options.port < 0)
            options.port = 0;
        service = std::make_unique<HttpService>(feed, options);
        error = service->start();
        feed.setSource(QStringLiteral("bench1"), QStringLiteral("/dev/ttyUSB0"));
    }
    int port() const { return service->port(); }
    // Adds records numbered from `first`.
    void take(qint32 first, int count)
    {
        for (int i = 0; i < count; ++i)
            feed.take(record(first + i, QStringLiteral("12.3%1").arg(i % 10), QStringLiteral("DC"),
                             QStringLiteral("V")));
    }

    LiveFeed feed;
    std::unique_ptr<HttpService> service;
    QString error;
};

bool promtoolAccepts(const QByteArray &metrics, QString *why)
{
    QProcess promtool;
    promtool.start(QStringLiteral("promtool"), {QStringLiteral("check"), QStringLiteral("metrics")});
    if (!promtool.waitForStarted(10000)) {
        *why = QStringLiteral("promtool did not start");
        return false;
    }
    promtool.write(metrics);
    promtool.closeWriteChannel();
    promtool.waitForFinished(60000);
    *why = QString::fromUtf8(promtool.readAllStandardOutput() + promtool.readAllStandardError());
    return promtool.exitStatus() == QProcess::NormalExit && promtool.exitCode() == 0;
}

// Connections to `port` that the server holds a descriptor for: the system's table of TCP
// sockets, those on the server's side whose socket is still open (an inode; a connection not
// accepted yet, or closed by the server and still ending, has none), the listening one left out.
int serverConnections(int port)
{
    QFile table(QStringLiteral("/proc/net/tcp"));
    if (!table.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray local = ':' + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    int count = 0;
    for (const QByteArray &line : table.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 9 && fields[1].endsWith(local) && fields[3] != "0A" &&
            fields[9] != "0")
            ++count;
    }
    return count;
}

// The times each of this process's threads named `name` (the server names its own) has gone to
// sleep and been woken since it started, from the system's count of its voluntary switches.
QList<qint64> wakeups(const QByteArray &name)
{
    QList<qint64> counts;
    const QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(tasks.filePath(task + QStringLiteral("/comm")));
        QFile status(tasks.filePath(task + QStringLiteral("/status")));
        if (!comm.open(QIODevice::ReadOnly) || comm.readAll().trimmed() != name ||
            !status.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &line : status.readAll().split('\n'))
            if (line.startsWith("voluntary_ctxt_switches:"))
                counts << line.mid(line.indexOf(':') + 1).trimmed().toLongLong();
    }
    return counts;
}

qint64 total(const QList<qint64> &counts)
{
    return std::accumulate(counts.begin(), counts.end(), qint64(0));
}

} // namespace

class TestHttpService : public QObject
{
    Q_OBJECT

private slots:
    void feedKeepsTheNewestReadings();
    void routesAnswerWithTheFeed();
    void readingsValidateAgainstTheSchema();
    void metricsPassPromtool_data();
    void metricsPassPromtool();
    void eventStreamReplays_data();
    void eventStreamReplays();
    void eventStreamTellsLinkChanges();
    void idleServerHoldsNoWorkerAndQuietStreamsSleep();
    void badRequestsGetACleanStatus_data();
    void badRequestsGetACleanStatus();
    void tokenGuardsEveryRoute_data();
    void tokenGuardsEveryRoute();
    void crossOriginOnlyWhenAllowed();
    void eventStreamsAreBounded();
    void clientThatStopsReadingIsDropped();
    void floodLeavesThePageToItsUsers_data();
    void floodLeavesThePageToItsUsers();
    void portInUseIsRefused();
    void addressOptions_data();
    void addressOptions();
    void tokenFileChecks_data();
    void tokenFileChecks();
};

void TestHttpService::feedKeepsTheNewestReadings()
{
    LiveFeed feed(4);
    // Numbered from 5 on, as a log appended to goes on after its last record.
    for (qint32 no = 5; no < 15; ++no)
        feed.take(record(no, QStringLiteral("1.000"), QStringLiteral("DC"), QStringLiteral("V")));
    QCOMPARE(feed.oldestPlace(), 6);
    QCOMPARE(feed.endPlace(), 10);
    auto numbers = [](const LiveFeed::Batch &batch) {
        QList<qint32> out;
        for (const LiveFeed::Reading &r : batch.readings)
            out << r.no;
        return out;
    };
    // A reader whose place left the ring is told so, and gets what is left.
    const LiveFeed::Batch behind = feed.readingsFrom(2);
    QVERIFY(behind.fellBehind);
    QCOMPARE(numbers(behind), (QList<qint32>{11, 12, 13, 14}));
    QCOMPARE(behind.next, 10);
    const LiveFeed::Batch some = feed.readingsFrom(7, 2);
    QVERIFY(!some.fellBehind);
    QCOMPARE(numbers(some), (QList<qint32>{12, 13}));
    QCOMPARE(feed.readingsFrom(10).readings.size(), std::size_t(0));
    QCOMPARE(feed.placeAfterNumber(12), 8);
    QCOMPARE(feed.placeAfterNumber(14), 10);
    QCOMPARE(feed.placeAfterNumber(3), 6);  // older than the ring: all of it
    QCOMPARE(feed.placeAfterNumber(15), 6); // another run's number: all of it
    // The JSON line is the one schema's.
    QCOMPARE(feed.readingsFrom(9).readings.at(0).json,
             logrecord::readingJson(record(14, QStringLiteral("1.000"), QStringLiteral("DC"),
                                           QStringLiteral("V"))));
}

void TestHttpService::routesAnswerWithTheFeed()
{
    Served s;
    QVERIFY2(s.error.isEmpty(), qPrintable(s.error));
    QVERIFY(s.port() > 0);
    s.feed.frameSeen(QDateTime::currentMSecsSinceEpoch());
    s.feed.setOutputs({{QStringLiteral("standard output"), true, {}},
                       {QStringLiteral("run.csv"), false, QStringLiteral("disk full")}});
    s.take(1, 3);

    const Answer page = get(s.port(), "/");
    QCOMPARE(page.status, 200);
    QVERIFY(page.headers.value("content-type").startsWith("text/html"));
    QVERIFY(page.body.contains("live.js"));
    // On every answer: nothing cached, no type guessed, no script from elsewhere, no other
    // site let in.
    QCOMPARE(page.headers.value("cache-control"), QByteArray("no-store"));
    QCOMPARE(page.headers.value("x-content-type-options"), QByteArray("nosniff"));
    QVERIFY(page.headers.value("content-security-policy").startsWith("default-src 'self'"));
    QVERIFY(!page.headers.contains("access-control-allow-origin"));
    for (const char *file :
         {"/live.js", "/live.css", "/dygraph.min.js", "/dygraph.min.css", "/favicon.ico"})
        QVERIFY2(get(s.port(), file).status == 200, file);
    QVERIFY(get(s.port(), "/live.js").headers.value("content-type").startsWith("text/javascript"));
    // The icon the browser asks for: the page names it, and it is one (an ICO file's header).
    QVERIFY(page.body.contains("href=\"favicon.ico\""));
    const Answer icon = get(s.port(), "/favicon.ico");
    QCOMPARE(icon.headers.value("content-type"), QByteArray("image/x-icon"));
    QVERIFY(icon.body.startsWith(QByteArray("\0\0\1\0", 4)));

    // Two requests sent at once on one connection: both answered, in order.
    {
        Raw raw(s.port());
        raw.send("GET /api/status HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
                 "GET /live.css HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
        QVERIFY(raw.readToClose());
        QCOMPARE(raw.in().count("HTTP/1.1 200 "), 2);
        QVERIFY(raw.in().indexOf("application/json") < raw.in().indexOf("text/css"));
    }

    // HEAD: the same head, no body.
    const Answer head = request(s.port(), "HEAD", "/api/status");
    QCOMPARE(head.status, 200);
    QVERIFY(head.body.isEmpty());

    const QJsonObject st = statusOf(s.port());
    QCOMPARE(st.value(u"meter").toString(), QStringLiteral("bench1"));
    QCOMPARE(st.value(u"port").toString(), QStringLiteral("/dev/ttyUSB0"));
    QCOMPARE(st.value(u"link").toString(), QStringLiteral("live"));
    QCOMPARE(st.value(u"link_text").toString(), QStringLiteral("live"));
    QCOMPARE(st.value(u"readings").toInt(), 3);
    QCOMPARE(st.value(u"last_no").toInt(), 3);
    QVERIFY(st.value(u"mqtt").isNull());
    QVERIFY(!st.value(u"run").toString().isEmpty());
    QCOMPARE(st.value(u"outputs").toArray().size(), 2);
    QCOMPARE(st.value(u"outputs").toArray()[1].toObject().value(u"ok").toBool(), false);

    const qint64 stopped = QDateTime::currentMSecsSinceEpoch();
    s.feed.linkSilent(stopped);
    QCOMPARE(statusOf(s.port()).value(u"link_text").toString(),
             QStringLiteral("no data since ") +
                 QDateTime::fromMSecsSinceEpoch(stopped).time().toString(u"HH:mm:ss"));
    s.feed.linkLost(QStringLiteral("device removed"));
    QCOMPARE(statusOf(s.port()).value(u"link_text").toString(),
             QStringLiteral("link lost: device removed"));
    QCOMPARE(statusOf(s.port()).value(u"link_losses").toInt(), 1);

    // The readings after a number, and a number that is none.
    const QJsonArray after = QJsonDocument::fromJson(get(s.port(), "/api/readings?since=1").body).array();
    QCOMPARE(after.size(), 2);
    QCOMPARE(after[0].toObject().value(u"no").toInt(), 2);
    QCOMPARE(QJsonDocument::fromJson(get(s.port(), "/api/readings?since=3").body).array().size(), 0);
    for (const char *bad : {"abc", "-1", "1.5", ""}) {
        const Answer a = get(s.port(), QByteArray("/api/readings?since=") + bad);
        QCOMPARE(a.status, 400);
        QVERIFY(QJsonDocument::fromJson(a.body).object().contains(u"error"));
    }
}

void TestHttpService::readingsValidateAgainstTheSchema()
{
    Served s;
    QVERIFY2(s.error.isEmpty(), qPrintable(s.error));
    const QList<LogRecord> records = {
        record(1, QStringLiteral("-46.20"), QStringLiteral("DC"), QStringLiteral("mV")),
        record(2, QStringLiteral("230.1"), QStringLiteral("AC"), QStringLiteral("V")),
        record(3, QStringLiteral("0.L"), QString(), QStringLiteral("M*")),
        record(4, QStringLiteral("21.5"), QString(), QStringLiteral("#")),
    };
    for (const LogRecord &r : records)
        s.feed.take(r);
    const Answer a = get(s.port(), "/api/readings");
    QCOMPARE(a.status, 200);
    QCOMPARE(a.headers.value("content-type"), QByteArray("application/json"));
    const QJsonArray array = QJsonDocument::fromJson(a.body).array();
    QCOMPARE(array.size(), records.size());
    QTemporaryDir dir;
    QFile lines(dir.filePath(QStringLiteral("readings.jsonl")));
    QVERIFY(lines.open(QIODevice::WriteOnly));
    for (const QJsonValue &v : array)
        lines.write(QJsonDocument(v.toObject()).toJson(QJsonDocument::Compact) + '\n');
    lines.close();
    const SchemaCheck check = checkAgainstReadingSchema(lines.fileName());
    QVERIFY2(check.faults.isEmpty(), qPrintable(check.faults.join(u'\n')));
    QCOMPARE(check.valid, records.size());
    // The same objects as the one schema's line of each record.
    for (qsizetype i = 0; i < records.size(); ++i)
        QCOMPARE(QJsonDocument(array[i].toObject()).toJson(QJsonDocument::Compact),
                 QJsonDocument::fromJson(logrecord::readingJson(records[i]))
                     .toJson(QJsonDocument::Compact));
}

void TestHttpService::metricsPassPromtool_data()
{
    QTest::addColumn<bool>("mqtt");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("unit");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<QByteArray>("absent");
    QTest::newRow("a reading, MQTT off")
        << false << QStringLiteral("-46.20") << QStringLiteral("mV")
        << QByteArray("vorlatt_reading{meter=\"bench1\",unit=\"V\",acdc=\"DC\"} -0.0462\n")
        << QByteArray("vorlatt_mqtt_spool_bytes");
    QTest::newRow("a reading, MQTT on")
        << true << QStringLiteral("4.700") << QStringLiteral("k*")
        << QByteArray("vorlatt_mqtt_spool_bytes{meter=\"bench1\"} 2048\n"
                      "# HELP vorlatt_mqtt_unacknowledged")
        << QByteArray("vorlatt_reading_overload{meter=\"bench1\",unit=\"\xce\xa9\",acdc=\"DC\"} 1");
    // A reading with a number says so, rather than leaving the overload without a sample.
    QTest::newRow("a reading is no overload")
        << false << QStringLiteral("4.700") << QStringLiteral("k*")
        << QByteArray("vorlatt_reading_overload{meter=\"bench1\",unit=\"\xce\xa9\",acdc=\"DC\"} 0\n")
        << QByteArray("vorlatt_reading_overload{meter=\"bench1\",unit=\"\xce\xa9\",acdc=\"DC\"} 1");
    QTest::newRow("before any reading")
        << false << QString() << QString()
        << QByteArray("# TYPE vorlatt_reading gauge\n# HELP vorlatt_reading_overload")
        << QByteArray("vorlatt_reading_timestamp_seconds{");
    QTest::newRow("an overload")
        << true << QStringLiteral("0.L") << QStringLiteral("M*")
        << QByteArray("vorlatt_reading_overload{meter=\"bench1\",unit=\"\xce\xa9\",acdc=\"DC\"} 1\n")
        << QByteArray("vorlatt_reading{");
    // The display shows "- 0L.": the digits "0L." and the sign apart, kept in the counts.
    QTest::newRow("an overload below the range")
        << true << QStringLiteral("-0L.") << QStringLiteral("M*")
        << QByteArray("vorlatt_reading_overload{meter=\"bench1\",unit=\"\xce\xa9\",acdc=\"DC\"} -1\n")
        << QByteArray("vorlatt_reading{");
}

void TestHttpService::metricsPassPromtool()
{
    QFETCH(bool, mqtt);
    QFETCH(QString, value);
    QFETCH(QString, unit);
    QFETCH(QByteArray, expected);
    QFETCH(QByteArray, absent);
    Served s;
    QVERIFY2(s.error.isEmpty(), qPrintable(s.error));
    s.feed.setMqtt(mqtt, 2048, 7);
    s.feed.framesRejected(2);
    s.feed.frameSeen(QDateTime::currentMSecsSinceEpoch());
    const int records = value.isEmpty() ? 0 : 3;
    if (records) {
        s.take(1, 2);
        LogRecord r = record(3, value, QStringLiteral("DC"), unit);
        if (value.startsWith(u"-0L")) {
            r.reading.ValueText = value.mid(1);
            r.reading.NumericValue = -6001;
        }
        s.feed.take(r);
    }

    const Answer a = get(s.port(), "/metrics");
    QCOMPARE(a.status, 200);
    QVERIFY(a.headers.value("content-type").startsWith("text/plain; version=0.0.4"));
    QVERIFY2(a.body.contains(expected), a.body.constData());
    QVERIFY2(!a.body.contains(absent), a.body.constData());
    QVERIFY(a.body.contains("vorlatt_readings_total{meter=\"bench1\"} " +
                            QByteArray::number(records) + '\n'));
    QVERIFY(a.body.contains("vorlatt_frames_rejected_total{meter=\"bench1\"} 2\n"));
    QVERIFY(a.body.contains("vorlatt_link_up{meter=\"bench1\"} 1\n"));
    if (records)
        QVERIFY(a.body.contains(
            "vorlatt_reading_timestamp_seconds{meter=\"bench1\"} 1765440000.300\n"));
    QString why;
    QVERIFY2(promtoolAccepts(a.body, &why), qPrintable(why + u'\n' + QString::fromUtf8(a.body)));
}

void TestHttpService::eventStreamReplays_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QByteArray>("headers");
    QTest::addColumn<int>("firstNo"); // the first reading sent; 0: none before the next one
    QTest::newRow("Last-Event-ID") << QByteArray("/events") << QByteArray("Last-Event-ID: 7\r\n")
                                   << 8;
    QTest::newRow("since") << QByteArray("/events?since=5") << QByteArray() << 6;
    // A browser that saw reading 90 of a run before the program restarted.
    QTest::newRow("another run's id") << QByteArray("/events")
                                      << QByteArray("Last-Event-ID: 90\r\n") << 1;
    QTest::newRow("the header over since")
        << QByteArray("/events?since=2") << QByteArray("Last-Event-ID: 9\r\n") << 10;
    QTest::newRow("new readings only") << QByteArray("/events") << QByteArray() << 0;
}

void TestHttpService::eventStreamReplays()
{
    QFETCH(QByteArray, target);
    QFETCH(QByteArray, headers);
    QFETCH(int, firstNo);
    Served s;
    QVERIFY2(s.error.isEmpty(), qPrintable(s.error));
    s.take(1, 10);
    Raw raw(s.port());
    raw.send("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers + "\r\n");
    const int replayed = firstNo == 0 ? 0 : 10 - firstNo + 1;
    // The opening status, then the replay.
    QVERIFY(raw.readUntil([&](const QByteArray &in) {
        return countWith(events(in), QStringLiteral("id")) >= replayed &&
               countWith(events(in), QStringLiteral("event")) >= 1;
    }));
    s.take(11, 1);
    QVERIFY(raw.readUntil([&](const QByteArray &in) {
        return countWith(events(in), QStringLiteral("id")) >= replayed + 1;
    }));
    const Answer head = parseHead(raw.in());
    QCOMPARE(head.status, 200);
    QCOMPARE(head.headers.value("content-type"), QByteArray("text/event-stream"));
    QVERIFY(!head.headers.contains("content-encoding"));
    const auto list = events(raw.in());
    QCOMPARE(list.value(0).value(QStringLiteral("retry")), QStringLiteral("2000"));
    QCOMPARE(list.value(1).value(QStringLiteral("event")), QStringLiteral("status"));
    QCOMPARE(QJsonDocument::fromJson(list.value(1).value(QStringLiteral("data")).toUtf8())
                 .object()
                 .value(u"meter")
                 .toString(),
             QStringLiteral("bench1"));
    QList<int> ids;
    for (const auto &e : list) {
        if (!e.contains(QStringLiteral("id")))
            continue;
        ids << e.value(QStringLiteral("id")).toInt();
        QCOMPARE(QJsonDocument::fromJson(e.value(QStringLiteral("data")).toUtf8())
                     .object()
                     .value(u"no")
                     .toInt(),
                 ids.last());
    }
    QList<int> expected;
    for (int no = firstNo == 0 ? 11 : firstNo; no <= 11; ++no)
        expected << no;
    QCOMPARE(ids, expected);
}

void TestHttpService::eventStreamTellsLinkChanges()
{
    Served s;
    QVERIFY2(s.error.isEmpty(), qPrintable(s.error));
    Raw raw(s.port());
    raw.send("GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept-Encoding: gzip, br\r\n\r\n");
    auto statuses = [&](const QByteArray &in) {
        QStringList links;
        for (const auto &e : events(in))
            if (e.value(QStringLiteral("event")) == u"status")
                links << QJsonDocument::fromJson(e.value(QStringLiteral("data")).toUtf8())
                             .object()
                             .value(u"link")
                             .toString();
        return links;
    };
    QVERIFY(raw.readUntil([&](const QByteArray &in) { return statuses(in).size() == 1; }));
    QCOMPARE(statuses(raw.in()), QStringList{QStringLiteral("waiting")});
    // A browser asks for compression: the events still come one by one, uncompressed.
    QVERIFY(!parseHead(raw.in()).headers.contains("content-encoding"));
    s.feed.frameSeen(QDateTime::currentMSecsSinceEpoch());
    QVERIFY(raw.readUntil([&](const QByteArray &in) { return statuses(in).size() == 2; }));
    s.feed.linkLost(QStringLiteral("device removed"));
    QVERIFY(raw.readUntil([&](const QByteArray &in) { return statuses(in).size() == 3; }));
    QCOMPARE(statuses(raw.in()),
             (QStringList{QStringLiteral("waiting"), QStringLiteral("live"), QStringLiteral("lost")}));
    // Counts alone are no change of the link.
    s.feed.framesRejected(5);
    s.take(1, 1);
    QVERIFY(raw.readUntil(
        [&](const QByteArray &in) { return countWith(events(in), QStringLiteral("id")) == 1; }));
    QCOMPARE(statuses(raw.in()).size(), 3);
}

void TestHttpService::idleServerHoldsNoWorkerAndQuietStreamsSleep()
{
    Served s;
    QVERIFY2(s.error.isEmpty(), qPrintable(s.error));
    // Serving, asked nothing: no worker thread (there were 72 from the start).
    QCOMPARE(wakeups("http-worker").size(), 0);
    Raw raw(s.port());
    raw.send("GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    QVERIFY(raw.readUntil([](const QByteArray &in) { return in.contains("event: status"); }));
    // (A thread has its maker's name until it names itself.)
    QTRY_COMPARE_WITH_TIMEOUT(wakeups("http-worker").size(), 1, kPatienceMs);
    QTRY_COMPARE_WITH_TIMEOUT(wakeups("live-feed-bells").size(), 1, kPatienceMs);

    // Nothing new: after a quiet second the feed's ringer sleeps, and the stream's thread sleeps
    // throughout (one that looked for readings every 50 ms woke 20 times a second).
    qint64 ringer = total(wakeups("live-feed-bells"));
    bool ringerAsleep = false;
    for (int waited = 0; waited < kPatienceMs && !ringerAsleep; waited += 1000) {
        QTest::qWait(1000);
        const qint64 now = total(wakeups("live-feed-bells"));
        ringerAsleep = now == ringer;
        ringer = now;
    }
    QVERIFY(ringerAsleep);
    const qint64 streamBefore = total(wakeups("http-worker"));
    QTest::qWait(1000);
    QCOMPARE(total(wakeups("http-worker")), streamBefore);
    QCOMPARE(total(wakeups("live-feed-bells")), ringer);

    // News wakes both: a reading, then a change of the link.
    s.take(1, 1);
    QVERIFY(raw.readUntil([](const QByteArray &in) { return in.contains("id: 1\n"); }));
    s.feed.frameSeen(QDateTime::currentMSecsSinceEpoch());
    QVERIFY(raw.readUntil([](const QByteArray &in) { return in.contains("\"link\":\"live\""); }));
}

void TestHttpService::badRequestsGetACleanStatus_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("status"); // 0: closed without an answer
    // Each asks the server to close after its answer, so that nothing more can come.
    const QByteArray host = "Host: 127.0.0.1\r\nConnection: close\r\n";
    QTest::newRow("unknown path") << QByteArray("GET /etc/passwd HTTP/1.1\r\n" + host + "\r\n")
                                  << 404;
    QTest::newRow("dot-dot path") << QByteArray("GET /../../../etc/passwd HTTP/1.1\r\n" + host +
                                                "\r\n")
                                  << 404;
    QTest::newRow("encoded dot-dot")
        << QByteArray("GET /%2e%2e/%2e%2e/etc/passwd HTTP/1.1\r\n" + host + "\r\n") << 404;
    QTest::newRow("dot-dot to a page file")
        << QByteArray("GET /x/../live.js/../../usr/share/javascript/dygraphs/dygraph.js "
                      "HTTP/1.1\r\n" +
                      host + "\r\n")
        << 404;
    QTest::newRow("huge URI") << QByteArray("GET /" + QByteArray(20000, 'a') + " HTTP/1.1\r\n" +
                                            host + "\r\n")
                              << 414;
    QTest::newRow("huge header")
        << QByteArray("GET / HTTP/1.1\r\n" + host + "X-Big: " + QByteArray(100000, 'b') +
                      "\r\n\r\n")
        << 431;
    QByteArray many = "GET / HTTP/1.1\r\n" + host;
    for (int i = 0; i < 100; ++i)
        many += "X-H" + QByteArray::number(i) + ": v\r\n";
    QTest::newRow("too many headers") << QByteArray(many + "\r\n") << 431;
    // Header lines without end: refused long before memory grows.
    QByteArray endless = "GET / HTTP/1.1\r\n" + host;
    for (int i = 0; i < 200000; ++i)
        endless += "X-E: " + QByteArray::number(i) + "\r\n";
    QTest::newRow("endless header lines") << endless << 431;
    // Bare line feeds are no line ends to the parser: they do not end the head for the limits
    // either.
    QByteArray bare = "GET / HTTP/1.1\r\n" + host + "\n";
    for (int i = 0; i < 100; ++i)
        bare += "X-L: " + QByteArray::number(i) + "\r\n";
    QTest::newRow("bare line feed, then many headers") << bare << 431;
    QTest::newRow("never ends") << QByteArray("GET /api/status HTTP/1.1\r\n" + host) << 408;
    QTest::newRow("POST") << QByteArray("POST /api/status HTTP/1.1\r\n" + host +
                                        "Content-Length: 0\r\n\r\n")
                          << 405;
    QTest::newRow("POST with a body") << QByteArray("POST / HTTP/1.1\r\n" + host +
                                                    "Content-Length: 5\r\n\r\nhello")
                                      << 405;
    QTest::newRow("DELETE") << QByteArray("DELETE /api/readings HTTP/1.1\r\n" + host + "\r\n")
                            << 405;
    QTest::newRow("OPTIONS without CORS")
        << QByteArray("OPTIONS /api/status HTTP/1.1\r\n" + host + "\r\n") << 405;
    QTest::newRow("GET with a body") << QByteArray("GET /api/status HTTP/1.1\r\n" + host +
                                                   "Content-Length: 5\r\n\r\nhello")
                                     << 413;
    QTest::newRow("GET with a chunked body")
        << QByteArray("GET /api/status HTTP/1.1\r\n" + host +
                      "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n")
        << 413;
    QTest::newRow("garbage") << QByteArray("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03\r\n\r\n",
                                           15)
                             << 400;
    // Bodies framed so that a proxy before the server and the server could read them apart: the
    // bytes after the head must not be served as a request of their own. No "Connection: close"
    // here: the server must close on its own.
    const QByteArray smuggled =
        "GET /api/readings HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    const QByteArray length = QByteArray::number(smuggled.size());
    QTest::newRow("two Content-Length, the first 0")
        << QByteArray("GET /api/status HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 0\r\n"
                      "Content-Length: " +
                      length + "\r\n\r\n" + smuggled)
        << 400;
    QTest::newRow("a space before the colon of Transfer-Encoding")
        << QByteArray("GET /api/status HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                      "Transfer-Encoding : chunked\r\n\r\n0\r\n\r\n" +
                      smuggled)
        << 400;
    QTest::newRow("Content-Length and Transfer-Encoding")
        << QByteArray("GET /api/status HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 0\r\n"
                      "Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n" +
                      smuggled)
        << 400;
    // A page of another site whose name was made to point here (DNS rebinding).
    QTest::newRow("foreign host name")
        << QByteArray("GET /api/readings HTTP/1.1\r\nHost: evil.example:8080\r\nConnection: close\r\n\r\n")
        << 421;
}

void TestHttpService::badRequestsGetACleanStatus()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, status);
    Served s;
    QVERIFY2(s.error.isEmpty(), qPrintable(s.error));
    s.take(1, 5);
    {
        Raw raw(s.port());
        // The server may close before it has read all of a refused request.
        raw.send(bytes);
        QVERIFY(raw.readToClose());
        const QByteArray &in = raw.in();
        QVERIFY2(in.startsWith("HTTP/1.1 " + QByteArray::number(status) + ' '), in.left(200));
        // One answer and nothing more.
        QCOMPARE(in.count("HTTP/1.1 "), 1);
        QVERIFY(in.size() < 2000);
        QVERIFY(!in.contains("EXCEPTION_WHAT"));
    }
    // Nothing else changed: the feed goes on, and the server answers the next one.
    s.take(6, 1);
    const QJsonObject st = statusOf(s.port());
    QCOMPARE(st.value(u"readings").toInt(), 6);
    QCOMPARE(QJsonDocument::fromJson(get(s.port(), "/api/readings").body).array().size(), 6);
}

void TestHttpService::tokenGuardsEveryRoute_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QByteArray>("headers");
    QTest::addColumn<int>("status");
    // Bound to every address (reachable from other machines), spoken to on loopback; and on
    // loopback with a token all the same.
    for (const QString &address : {QStringLiteral("0.0.0.0"), QStringLiteral("127.0.0.1")}) {
        const QByteArray a = address.toLatin1() + ": ";
        QTest::newRow(a + "no token") << address << QByteArray("/api/status") << QByteArray() << 401;
        // The page's own files hold no reading: a browser loads them without the token, which
        // the page then carries on to its requests for readings.
        QTest::newRow(a + "no token, page") << address << QByteArray("/") << QByteArray() << 200;
        QTest::newRow(a + "no token, page script")
            << address << QByteArray("/live.js") << QByteArray() << 200;
        QTest::newRow(a + "no token, events") << address << QByteArray("/events") << QByteArray()
                                              << 401;
        QTest::newRow(a + "wrong bearer")
            << address << QByteArray("/metrics") << QByteArray("Authorization: Bearer s3cret\r\n")
            << 401;
        QTest::newRow(a + "longer bearer")
            << address << QByteArray("/metrics")
            << QByteArray("Authorization: Bearer s3cret-t0ken-x\r\n") << 401;
        QTest::newRow(a + "wrong query token")
            << address << QByteArray("/api/readings?token=nope") << QByteArray() << 401;
        QTest::newRow(a + "bearer") << address << QByteArray("/metrics")
                                    << QByteArray("Authorization: Bearer s3cret-t0ken\r\n") << 200;
        QTest::newRow(a + "query token")
            << address << QByteArray("/api/readings?since=0&token=s3cret-t0ken") << QByteArray()
            << 200;
        QTest::newRow(a + "page with token")
            << address << QByteArray("/?token=s3cret-t0ken") << QByteArray() << 200;
    }
}

void TestHttpService::tokenGuardsEveryRoute()
{
    QFETCH(QString, address);
    QFETCH(QByteArray, target);
    QFETCH(QByteArray, headers);
    QFETCH(int, status);
    HttpOptions options;
    options.address = address;
    options.token = "s3cret-t0ken";
    Served s(options);
    QVERIFY2(s.error.isEmpty(), qPrintable(s.error));
    s.take(1, 2);
    const Answer a = get(s.port(), target, headers);
    QCOMPARE(a.status, status);
    if (status == 401) {
        QCOMPARE(a.headers.value("www-authenticate"), QByteArray("Bearer"));
        QVERIFY(!a.body.contains("\"no\""));
        QVERIFY(!a.body.contains("bench1"));
    }
}

void TestHttpService::crossOriginOnlyWhenAllowed()
{
    HttpOptions options;
    options.allowOrigin = QStringLiteral("https://dash.example.org");
    Served s(options);
    QVERIFY2(s.error.isEmpty(), qPrintable(s.error));
    const Answer a = get(s.port(), "/api/status", "Origin: https://dash.example.org\r\n");
    QCOMPARE(a.status, 200);
    QCOMPARE(a.headers.value("access-control-allow-origin"),
             QByteArray("https://dash.example.org"));
    const Answer preflight =
        request(s.port(), "OPTIONS", "/events",
                "Origin: https://dash.example.org\r\nAccess-Control-Request-Method: GET\r\n");
    QCOMPARE(preflight.status, 204);
    QVERIFY(preflight.headers.value("access-control-allow-headers").contains("Last-Event-ID"));

    Served closed;
    QVERIFY(!get(closed.port(), "/api/status", "Origin: https://dash.example.org\r\n")
                 .headers.contains("access-control-allow-origin"));
}

void TestHttpService::eventStreamsAreBounded()
{
    Served s;
    QVERIFY2(s.error.isEmpty(), qPrintable(s.error));
    std::vector<std::unique_ptr<Raw>> open;
    for (int i = 0; i < HttpService::kMaxEventStreams; ++i) {
        open.push_back(std::make_unique<Raw>(s.port()));
        open.back()->send("GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        QVERIFY(open.back()->readUntil(
            [](const QByteArray &in) { return in.contains("event: status"); }));
    }
    QCOMPARE(s.service->eventStreams(), HttpService::kMaxEventStreams);
    const Answer refused = get(s.port(), "/events");
    QCOMPARE(refused.status, 503);
    QVERIFY(refused.headers.contains("retry-after"));
    // The other routes still answer, and every stream goes on.
    QCOMPARE(statusOf(s.port()).value(u"event_streams").toInt(), HttpService::kMaxEventStreams);
    s.take(1, 1);
    for (auto &raw : open)
        QVERIFY(raw->readUntil([](const QByteArray &in) { return in.contains("id: 1\n"); }));
    // A stream that ends makes room for another.
    open.pop_back();
    QVERIFY(QTest::qWaitFor(
        [&] { return s.service->eventStreams() == HttpService::kMaxEventStreams - 1; },
        kPatienceMs));
    Raw again(s.port());
    again.send("GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    QVERIFY(again.readUntil([](const QByteArray &in) { return in.contains("event: status"); }));
    open.clear();
    QVERIFY(QTest::qWaitFor([&] { return s.service->eventStreams() == 1; }, kPatienceMs));
}

void TestHttpService::clientThatStopsReadingIsDropped()
{
    // A buffer large enough that the client cannot fall behind it: it is dropped because its
    // writes block, not because readings left the buffer.
    Served s({}, 400000);
    QVERIFY2(s.error.isEmpty(), qPrintable(s.error));
    Raw stuck(s.port(), 4096);
    stuck.send("GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    QVERIFY(QTest::qWaitFor([&] { return s.service->eventStreams() == 1; }, kPatienceMs));
    Raw reading(s.port());
    reading.send("GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    QVERIFY(QTest::qWaitFor([&] { return s.service->eventStreams() == 2; }, kPatienceMs));
    // The recorder goes on taking readings, far more than the stuck client's socket holds,
    // until the server gives up on it; the reading client gets them all.
    qint32 no = 1;
    const QString wide = QStringLiteral("-12.345");
    while (s.service->eventStreams() == 2 && no < 390000) {
        for (int i = 0; i < 1000; ++i, ++no)
            s.feed.take(record(no, wide, QStringLiteral("DC"), QStringLiteral("mV")));
        reading.readUntil([](const QByteArray &) { return false; }, 5);
        QTest::qWait(1);
    }
    QVERIFY(QTest::qWaitFor([&] { return s.service->eventStreams() == 1; }, kPatienceMs));
    const QByteArray last = "id: " + QByteArray::number(no - 1) + '\n';
    QVERIFY(reading.readUntil([&](const QByteArray &in) { return in.contains(last); }));
    QCOMPARE(statusOf(s.port()).value(u"readings").toInt(), no - 1);
}

void TestHttpService::floodLeavesThePageToItsUsers_data()
{
    QTest::addColumn<int>("idle");      // connections that send nothing
    QTest::addColumn<int>("trickling"); // that send a head a byte every 2 s, without end
    QTest::addColumn<bool>("token");
    QTest::newRow("idle") << 500 << 0 << false;
    QTest::newRow("trickling") << 0 << 500 << false;
    // Without the token, on a server that wants it: the flood's heads never come whole, so the
    // server cannot know whether they carry it.
    QTest::newRow("idle and trickling, token") << 250 << 250 << true;
}

void TestHttpService::floodLeavesThePageToItsUsers()
{
    QFETCH(int, idle);
    QFETCH(int, trickling);
    QFETCH(bool, token);
    // Each connection is a descriptor at both of its ends, both in this process.
    QVERIFY2(raiseDescriptorLimit(rlim_t(4 * (idle + trickling))),
             "too few file descriptors allowed (ulimit -n)");
    HttpOptions options;
    if (token)
        options.token = "s3cret-t0ken";
    const QByteArray authorization = token ? "Authorization: Bearer s3cret-t0ken\r\n" : "";
    Served s(options);
    QVERIFY2(s.error.isEmpty(), qPrintable(s.error));
    // A browser's event stream, open before the flood: it is in work, never let go as idle.
    Raw stream(s.port());
    stream.send("GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n" + authorization + "\r\n");
    QVERIFY(stream.readUntil([](const QByteArray &in) { return in.contains("event: status"); }));

    Flood flood(s.port(), idle, trickling);
    QVERIFY2(flood.waitUntilOpen(), qPrintable(QStringLiteral("%1 open").arg(flood.open())));
    // Long enough for the tricklers to have begun their heads and the server to be crowded.
    QTest::qWait(1500);
    // Each try on a connection of its own, as the flood's: answered, neither refused nor
    // dropped.
    int mostHeld = 0;
    for (int i = 0; i < 20; ++i) {
        if (i % 5 == 0) // the system's table is slow to read during the flood
            mostHeld = std::max(mostHeld, serverConnections(s.port()));
        const Answer a = get(s.port(), "/api/status", authorization);
        QVERIFY2(a.status == 200, qPrintable(QStringLiteral("try %1: status %2").arg(i).arg(a.status)));
        QCOMPARE(QJsonDocument::fromJson(a.body).object().value(u"meter").toString(),
                 QStringLiteral("bench1"));
        QTest::qWait(50);
    }
    // The server held no more of the flood than its bound: it let connections go, and kept
    // descriptors for the rest of the program.
    QVERIFY(flood.dropped() > 0);
    QVERIFY2(mostHeld > 0 && mostHeld <= HttpService::kMaxConnections,
             qPrintable(QString::number(mostHeld)));
    s.take(1, 1);
    QVERIFY(stream.readUntil([](const QByteArray &in) { return in.contains("id: 1\n"); }));
    QVERIFY(!stream.closedByServer());
    QCOMPARE(s.service->eventStreams(), 1);
}

void TestHttpService::portInUseIsRefused()
{
    Served first;
    QVERIFY2(first.error.isEmpty(), qPrintable(first.error));
    HttpOptions options;
    options.port = first.port();
    LiveFeed feed;
    HttpService second(feed, options);
    const QString error = second.start();
    QVERIFY2(error.contains(QStringLiteral("in use")), qPrintable(error));
    QVERIFY(error.contains(QStringLiteral("127.0.0.1:%1").arg(first.port())));
    QVERIFY(!second.isRunning());
    // The first one still serves, alone.
    QCOMPARE(get(first.port(), "/api/status").status, 200);
}

void TestHttpService::addressOptions_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("error"); // a part of it
    using L = QStringList;
    QTest::newRow("port") << L{"--http", "8080"} << "127.0.0.1" << 8080 << "";
    QTest::newRow("any port") << L{"--http", "127.0.0.1:0"} << "127.0.0.1" << 0 << "";
    QTest::newRow("address") << L{"--http", "127.0.0.2:80"} << "127.0.0.2" << 80 << "";
    QTest::newRow("IPv6") << L{"--http", "[::1]:8080"} << "::1" << 8080 << "";
    QTest::newRow("localhost") << L{"--http", "localhost:9"} << "127.0.0.1" << 9 << "";
    QTest::newRow("all, open") << L{"--http", "0.0.0.0:8080", "--http-open"} << "0.0.0.0" << 8080
                               << "";
    QTest::newRow("all, no token") << L{"--http", "0.0.0.0:8080"} << "" << -1
                                   << "--http-token-file FILE, or --http-open";
    QTest::newRow("IPv6 all, no token")
        << L{"--http", "[::]:8080"} << "" << -1 << "can be reached from other machines";
    QTest::newRow("port too big") << L{"--http", "65536"} << "" << -1 << "port from 0 to 65535";
    QTest::newRow("negative port") << L{"--http", "-1"} << "" << -1 << "port from 0 to 65535";
    QTest::newRow("no port") << L{"--http", "127.0.0.1:"} << "" << -1 << "port from 0 to 65535";
    QTest::newRow("name") << L{"--http", "example.org:80"} << "" << -1 << "IP address";
    QTest::newRow("short IPv4") << L{"--http", "127.1:80"} << "" << -1 << "IP address";
    QTest::newRow("IPv6 without brackets") << L{"--http", "::1:80"} << "" << -1 << "brackets";
    QTest::newRow("bad IPv6") << L{"--http", "[::g]:80"} << "" << -1 << "no IPv6 address";
    QTest::newRow("open without http") << L{"--http-open"} << "" << -1 << "need --http";
    QTest::newRow("origin") << L{"--http", "80", "--http-allow-origin", "http://host:3000"}
                            << "127.0.0.1" << 80 << "";
    QTest::newRow("origin with a path")
        << L{"--http", "80", "--http-allow-origin", "http://host:3000/x"} << "" << -1
        << "one origin";
    QTest::newRow("origin wildcard")
        << L{"--http", "80", "--http-allow-origin", "*"} << "" << -1 << "one origin";
}

void TestHttpService::addressOptions()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, address);
    QFETCH(int, port);
    QFETCH(QString, error);
    HttpOptions o;
    QString fault;
    for (qsizetype i = 0; i < arguments.size() && fault.isEmpty(); ++i) {
        const bool hasValue = arguments[i] != u"--http-open";
        QVERIFY(httpoptions::take(arguments[i], hasValue ? arguments.value(i + 1) : QString(), &o,
                                  &fault));
        i += hasValue ? 1 : 0;
    }
    if (fault.isEmpty())
        fault = httpoptions::finish(&o);
    if (error.isEmpty()) {
        QVERIFY2(fault.isEmpty(), qPrintable(fault));
        QCOMPARE(o.address, address);
        QCOMPARE(o.port, port);
    } else {
        QVERIFY2(fault.contains(error), qPrintable(fault));
        QVERIFY(!fault.contains(u'\n'));
    }
}

void TestHttpService::tokenFileChecks_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("mode"); // -1: a folder; -2: no file
    QTest::addColumn<QByteArray>("token");
    QTest::addColumn<QString>("error");
    QTest::newRow("good") << QByteArray("s3cret\n") << 0600 << QByteArray("s3cret") << "";
    QTest::newRow("read-only, CR LF, more lines")
        << QByteArray("s3cret\r\nsecond line\n") << 0400 << QByteArray("s3cret") << "";
    QTest::newRow("group may read") << QByteArray("s3cret\n") << 0640 << QByteArray()
                                    << "other users may read or change it (mode 0640)";
    QTest::newRow("others may read") << QByteArray("s3cret\n") << 0604 << QByteArray()
                                     << "chmod 600";
    QTest::newRow("empty") << QByteArray("\nx\n") << 0600 << QByteArray() << "empty";
    QTest::newRow("spaces") << QByteArray("two words\n") << 0600 << QByteArray() << "spaces";
    QTest::newRow("too long") << QByteArray(5000, 'x') << 0600 << QByteArray() << "longer";
    QTest::newRow("a folder") << QByteArray() << -1 << QByteArray() << "not a regular file";
    QTest::newRow("missing") << QByteArray() << -2 << QByteArray() << "No such file";
}

void TestHttpService::tokenFileChecks()
{
    QFETCH(QByteArray, content);
    QFETCH(int, mode);
    QFETCH(QByteArray, token);
    QFETCH(QString, error);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("token"));
    if (mode == -1) {
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("token")));
        ::chmod(QFile::encodeName(path).constData(), 0700);
    } else if (mode >= 0) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
        file.close();
        QCOMPARE(::chmod(QFile::encodeName(path).constData(), mode_t(mode)), 0);
    }
    HttpOptions o;
    QString fault;
    QVERIFY(httpoptions::take(QStringLiteral("--http"), QStringLiteral("0.0.0.0:0"), &o, &fault));
    QVERIFY(httpoptions::take(QStringLiteral("--http-token-file"), path, &o, &fault));
    fault = httpoptions::finish(&o);
    if (error.isEmpty()) {
        QVERIFY2(fault.isEmpty(), qPrintable(fault));
        QCOMPARE(o.token, token);
    } else {
        QVERIFY2(fault.contains(error), qPrintable(fault));
        QVERIFY(fault.startsWith(QStringLiteral("--http-token-file ") + path));
        QVERIFY(o.token.isEmpty());
    }
}

QTEST_GUILESS_MAIN(TestHttpService)
#include "TestHttpService.moc"
