#include "tests/support/RawHttp.h"
#include "tests/support/LoggerProcesses.h"
#include "protocol/DisplayState.h"
#include "tests/support/PtyPort.h"

#include <QtTest>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// A real Prometheus, started by each case on 127.0.0.1 with a configuration of the test's own,
// scrapes vorlatt-log's --http /metrics while a pseudo-terminal plays the meter; the test asks
// Prometheus's query API for the reading, so what is checked is what Prometheus made of the
// exposition, not the text alone.

namespace {

using protocol::Annunciator;
using protocol::Annunciators;

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size() &&
           f.setPermissions(QFile::ReadOwner | QFile::WriteOwner) && f.flush();
}

// Prometheus with one scrape job per target given, every second.
class Prometheus
{
public:
    struct Job
    {
        QByteArray name;
        int port = 0;
        QString credentialsFile; // "" sends no Authorization header
    };

    Prometheus(const QString &dir, const QList<Job> &jobs) : m_dir(dir), m_port(freePort())
    {
        QByteArray conf = "global:\n"
                          "  scrape_interval: 1s\n"
                          "  scrape_timeout: 1s\n"
                          "  evaluation_interval: 1s\n"
                          "scrape_configs:\n";
        for (const Job &job : jobs) {
            conf += "  - job_name: " + job.name + "\n"
                    "    static_configs:\n"
                    "      - targets: ['127.0.0.1:" + QByteArray::number(job.port) + "']\n";
            if (!job.credentialsFile.isEmpty())
                conf += "    authorization:\n"
                        "      credentials_file: " + job.credentialsFile.toUtf8() + "\n";
        }
        m_ok = m_port > 0 && writeFile(m_dir + QStringLiteral("/prometheus.yml"), conf);
    }
    ~Prometheus()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(20000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
    bool start()
    {
        if (!m_ok)
            return false;
        m_process.setStandardOutputFile(QProcess::nullDevice());
        m_process.setStandardErrorFile(m_dir + QStringLiteral("/prometheus.log"));
        m_process.start(QStringLiteral("prometheus"),
                        {QStringLiteral("--config.file=") + m_dir + QStringLiteral("/prometheus.yml"),
                         QStringLiteral("--storage.tsdb.path=") + m_dir + QStringLiteral("/data"),
                         QStringLiteral("--web.listen-address=127.0.0.1:%1").arg(m_port)});
        if (!m_process.waitForStarted(kWaitMs))
            return false;
        for (int i = 0; i < 1200 && m_process.state() == QProcess::Running; ++i) {
            if (rawhttp::get(m_port, "/-/ready").status == 200)
                return true;
            QTest::qWait(50);
        }
        return false;
    }
    // The instant vector of `query`, or an empty array while Prometheus has none.
    QJsonArray query(const QByteArray &query) const
    {
        const rawhttp::Answer a =
            rawhttp::get(m_port, "/api/v1/query?query=" + query.toPercentEncoding());
        const QJsonObject o = QJsonDocument::fromJson(a.body).object();
        return o.value(u"data").toObject().value(u"result").toArray();
    }
    QString log() const
    {
        QFile f(m_dir + QStringLiteral("/prometheus.log"));
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll().right(3000)) : QString();
    }

private:
    QString m_dir;
    int m_port = 0;
    bool m_ok = false;
    QProcess m_process;
};

// The value and labels of the one sample in `result`, as "labels=value" text for a compare
// that shows all of it when it fails.
QString sampleText(const QJsonArray &result)
{
    QStringList samples;
    for (const QJsonValue &v : result) {
        const QJsonObject metric = v.toObject().value(u"metric").toObject();
        QStringList labels;
        for (const QString &name : {QStringLiteral("meter"), QStringLiteral("unit"),
                                    QStringLiteral("acdc")})
            labels << name + u'=' + metric.value(name).toString();
        samples << labels.join(u',') + u' ' +
                       v.toObject().value(u"value").toArray().at(1).toString();
    }
    return samples.join(u';');
}

protocol::DisplayState display(const char *digits, int point, bool negative, Annunciators flags)
{
    protocol::DisplayState s;
    s.digits = digits;
    s.point = point;
    s.negative = negative;
    s.annunciators = flags;
    return s;
}

} // namespace

class TestLoggerPrometheus : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void prometheusGetsTheReading_data();
    void prometheusGetsTheReading();
};

void TestLoggerPrometheus::initTestCase()
{
    if (QStandardPaths::findExecutable(QStringLiteral("prometheus")).isEmpty())
        QSKIP("prometheus is not installed (a test package)");
}

void TestLoggerPrometheus::prometheusGetsTheReading_data()
{
    QTest::addColumn<bool>("token");
    QTest::newRow("open loopback") << false;
    QTest::newRow("bearer token from a credentials file") << true;
}

// The meter shows one reading, then another of another function: Prometheus's answer follows
// with the value in the base unit and the labels of each. With a token, a job that scrapes
// without it is refused (its target is down) while the one with the credentials file is not.
void TestLoggerPrometheus::prometheusGetsTheReading()
{
    QFETCH(bool, token);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const int port = freePort();
    QVERIFY(port > 0);

    QStringList arguments = {QStringLiteral("--quiet"), QStringLiteral("--mqtt-id"),
                             QStringLiteral("bench1"), QStringLiteral("--http"),
                             QStringLiteral("127.0.0.1:%1").arg(port)};
    QList<Prometheus::Job> jobs;
    const QString tokenFile = dir.filePath(QStringLiteral("token"));
    if (token) {
        QVERIFY(writeFile(tokenFile, "k3y-for-the-lab-9f2c\n"));
        arguments << QStringLiteral("--http-token-file") << tokenFile;
        jobs << Prometheus::Job{"meter", port, tokenFile} << Prometheus::Job{"stranger", port, {}};
    } else {
        jobs << Prometheus::Job{"meter", port, {}};
    }

    PtyPort pty;
    QVERIFY(pty.isOpen());
    // The meter sends its display about five times a second, as long as the case runs.
    protocol::DisplayState shown = display("1234", 2, true, Annunciator::Dc | Annunciator::Milli |
                                                                Annunciator::Volt);
    QTimer meter;
    QObject::connect(&meter, &QTimer::timeout, [&] { pty.send(shown.toFrame()); });
    meter.start(200);

    Logger logger;
    logger.start(QStringList{QStringLiteral("--port"), QString::fromLocal8Bit(pty.path())} +
                 arguments);
    QVERIFY(logger.started());
    Prometheus prometheus(dir.path(), jobs);
    QVERIFY2(prometheus.start(), qPrintable(prometheus.log()));

    const QByteArray query = "vorlatt_reading{job=\"meter\"}";
    QTRY_COMPARE_WITH_TIMEOUT(sampleText(prometheus.query(query)),
                              QStringLiteral("meter=bench1,unit=V,acdc=DC -0.01234"), kWaitMs);

    shown = display("2301", 3, false, Annunciator::Ac | Annunciator::Volt);
    QTRY_COMPARE_WITH_TIMEOUT(sampleText(prometheus.query(query)),
                              QStringLiteral("meter=bench1,unit=V,acdc=AC 230.1"), kWaitMs);

    QTRY_COMPARE_WITH_TIMEOUT(sampleText(prometheus.query("vorlatt_link_up{job=\"meter\"}")),
                              QStringLiteral("meter=bench1,unit=,acdc= 1"), kWaitMs);
    if (token) {
        QTRY_COMPARE_WITH_TIMEOUT(sampleText(prometheus.query("up{job=\"stranger\"}")),
                                  QStringLiteral("meter=,unit=,acdc= 0"), kWaitMs);
        QCOMPARE(sampleText(prometheus.query("up{job=\"meter\"}")),
                 QStringLiteral("meter=,unit=,acdc= 1"));
        QCOMPARE(prometheus.query("vorlatt_reading{job=\"stranger\"}").size(), 0);
    }
    meter.stop();
    logger.signal(SIGTERM);
    QCOMPARE(logger.wait(), 0);
    QVERIFY2(!logger.err().contains(u"k3y"), qPrintable(logger.err())); // the token stays secret
}

QTEST_GUILESS_MAIN(TestLoggerPrometheus)
#include "TestLoggerPrometheus.moc"
