#include "LoggerOptions.h"
#include "mqtt/MqttSpool.h"
#include "tests/support/LocalBroker.h"
#include "tests/support/LoggerProcesses.h"
#include "tests/support/ReadingSchema.h"

#include <QtTest>

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <cerrno>
#include <csignal>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

// vorlatt-log --mqtt against a real Mosquitto broker that each case starts on 127.0.0.1 with a
// free port, a password file and an ACL letting the meter's user write only under "lab/" (and
// the discovery configs of Home Assistant). A mosquitto_sub with a persistent session reads
// everything back, also across broker restarts; the logger's own --output file of the same run
// is what the published readings are checked against.

namespace {

// Whether the broker of a BrokerWithReader stays up once the reader's session is made, or goes
// away so that the first readings wait in the spool.
constexpr bool kUp = false;
constexpr bool kAway = true;
constexpr bool kTls = true;

// The simulator's arguments for `rate` readings a second.
QStringList atRate(int rate)
{
    return {QStringLiteral("--rate"), QString::number(rate)};
}

// The site's lines of the broker configuration that docs/mqtt.md gives, so the test runs the
// broker as the documentation tells users to: its block under `/etc/mosquitto/conf.d/vorlatt.conf`
// without the listener and the files, which are the test's own.
QByteArray documentedBrokerSettings()
{
    QFile doc(QDir(QStringLiteral(VORLATT_SOURCE_DIR)).filePath(QStringLiteral("docs/mqtt.md")));
    if (!doc.open(QIODevice::ReadOnly))
        return {};
    const QByteArrayList lines = doc.readAll().split('\n');
    QByteArray settings;
    bool found = false, inBlock = false;
    for (const QByteArray &line : lines) {
        if (!found) {
            found = line.startsWith("`/etc/mosquitto/conf.d/vorlatt.conf`");
            continue;
        }
        if (line.startsWith("```")) {
            if (inBlock)
                break;
            inBlock = true;
            continue;
        }
        const QByteArray setting = line.trimmed();
        if (!inBlock || setting.isEmpty() || setting.startsWith('#') ||
            setting.startsWith("listener ") || setting.startsWith("password_file ") ||
            setting.startsWith("acl_file "))
            continue;
        settings += setting + '\n';
    }
    return settings;
}

// The records of a jsonl output file, in its order.
QList<QJsonObject> fileRecords(const QString &path)
{
    QList<QJsonObject> out;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return out;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (!line.trimmed().isEmpty())
            out << QJsonDocument::fromJson(line).object();
    return out;
}

QList<qint64> numbersOf(const QList<QJsonObject> &readings)
{
    QList<qint64> out;
    for (const QJsonObject &o : readings)
        out << o.value(u"no").toInteger();
    return out;
}

QList<qint64> range(qint64 from, qint64 to)
{
    QList<qint64> out;
    for (qint64 i = from; i <= to; ++i)
        out << i;
    return out;
}

qint64 lastNumber(const QList<QJsonObject> &readings)
{
    return readings.isEmpty() ? 0 : readings.constLast().value(u"no").toInteger();
}

// The reading numbers a notice names: "reading no. 7", "3 readings, no. 5 to 7" or
// "6 readings, no. 98 to 99, 1 to 4"; empty when the count and the numbers disagree.
QList<qint64> namedNumbers(const QString &text)
{
    static const QRegularExpression one(QStringLiteral("^reading no\\. (\\d+)$"));
    static const QRegularExpression many(QStringLiteral("^(\\d+) readings, no\\. (.+)$"));
    if (const QRegularExpressionMatch m = one.match(text); m.hasMatch())
        return {m.captured(1).toLongLong()};
    const QRegularExpressionMatch m = many.match(text);
    if (!m.hasMatch())
        return {};
    QList<qint64> out;
    for (const QString &part : m.captured(2).split(QStringLiteral(", "))) {
        const QStringList ends = part.split(QStringLiteral(" to "));
        for (qint64 no = ends.constFirst().toLongLong(); no <= ends.constLast().toLongLong(); ++no)
            out << no;
    }
    return out.size() == m.captured(1).toLongLong() ? out : QList<qint64>();
}

} // namespace

class TestLoggerMqtt : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void badOptionsAreRefused_data();
    void badOptionsAreRefused();
    void idDefaultsToHostAndSource();
    void helpAndManPageSayTheSame();
    void spoolKeepsOrderAcrossSegmentsAndRuns();
    void roundTripMatchesTheOutputFile();
    void homeAssistantShowsEveryReadingRight();
    void documentedBrokerKeepsReadingsForAnAbsentReader();
    void brokerRestartLosesNothing();
    void brokerAbsentAtStartGetsTheSpool();
    void killedRunsSpoolGoesFirstNextRun();
    void refusedReadingsStayInTheSpool();
    void refusedCredentials_data();
    void refusedCredentials();
    void statusFollowsTheMeterAndTheLastWill();
    void tls_data();
    void tls();
    void fullSpoolSaysSoAndDropsNothingSilently();
    void secondRunWithTheSameIdSaysSoOnce();
    void damagedSpoolLinesAreSkippedAndTold_data();
    void damagedSpoolLinesAreSkippedAndTold();
    void damagedSpoolIsNeverPublished_data();
    void damagedSpoolIsNeverPublished();
    void shortenedSpoolIsTold_data();
    void shortenedSpoolIsTold();
    void cutSpoolCostsExactlyWhatIsTold_data();
    void cutSpoolCostsExactlyWhatIsTold();
    void fullDiskUnderTheSpool_data();
    void fullDiskUnderTheSpool();
    void runEndGivesTheBrokerALastChance_data();
    void runEndGivesTheBrokerALastChance();

private:
    QString file(const QString &name) const { return m_dir->filePath(name); }
    QString state() const { return m_dir->filePath(QStringLiteral("state")); }
    QString passwordFile(const QString &password = kMeterPassword)
    {
        const QString path = file(QStringLiteral("password"));
        return writeFile(path, password.toUtf8() + '\n', QFile::ReadOwner | QFile::WriteOwner)
                   ? path
                   : QString();
    }
    QStringList mqttArguments(int port, const QString &id, const QString &scheme = "mqtt",
                              QString output = QString())
    {
        if (output.isEmpty())
            output = id;
        return {QStringLiteral("--mqtt"),
                QStringLiteral("%1://127.0.0.1:%2/lab").arg(scheme).arg(port),
                QStringLiteral("--mqtt-id"),
                id,
                QStringLiteral("--mqtt-user"),
                kMeterUser,
                QStringLiteral("--mqtt-password-file"),
                passwordFile(),
                QStringLiteral("--quiet"),
                QStringLiteral("--output"),
                file(output + QStringLiteral(".jsonl")),
                QStringLiteral("--format"),
                QStringLiteral("jsonl")};
    }
    // The records of the --output file of the run that published as `id`.
    QList<QJsonObject> outputOf(const QString &id) const
    {
        return fileRecords(file(id + QStringLiteral(".jsonl")));
    }
    // A run of vorlatt-log on `sim`, publishing as `id` to the broker on `port`, with `extra`
    // options before the MQTT ones; its --output file is named after `output`, or else `id`.
    void startLogger(Logger &logger, const Sim &sim, int port, const QString &id,
                     const QStringList &extra = {}, const QString &output = QString())
    {
        logger.start(state(), QStringList{QStringLiteral("--port"), sim.path()} + extra +
                                  mqttArguments(port, id, QStringLiteral("mqtt"), output));
    }
    // The meter stops; still connected, the logger gets every reading out before it ends.
    void endOnceAllAreOut(Sim &sim, Logger &logger, Subscriber &sub, const QString &id,
                          const QString &prefix = QStringLiteral("lab"))
    {
        sim.stop();
        QTRY_VERIFY_WITH_TIMEOUT(logger.err().contains(u"link lost"), kWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(lastNumber(sub.readings(id, prefix)), qint64(outputOf(id).size()),
                                  kWaitMs);
        logger.signal(SIGTERM);
        QCOMPARE(logger.wait(), 0);
    }
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestLoggerMqtt::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestLoggerMqtt::badOptionsAreRefused_data()
{
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<QString>("message");
    const QString base = QStringLiteral("--port /dev/ttyS0 ");
    QTest::newRow("not an MQTT URL") << base + "--mqtt http://h/lab"
                                     << "mqtt://HOST[:PORT]/PREFIX";
    QTest::newRow("no prefix") << base + "--mqtt mqtt://h"
                               << "needs a topic prefix";
    QTest::newRow("wildcard in the prefix") << base + "--mqtt mqtt://h/a/+"
                                            << "without '+'";
    QTest::newRow("port 0") << base + "--mqtt mqtt://h:0/lab"
                            << "from 1 to 65535";
    QTest::newRow("port too large") << base + "--mqtt mqtt://h:70000/lab"
                                    << "mqtt://HOST[:PORT]";
    QTest::newRow("password in the URL") << base + "--mqtt mqtt://u:p@h/lab"
                                         << "--mqtt-password-file";
    QTest::newRow("id with a slash") << base + "--mqtt mqtt://h/lab --mqtt-id a/b"
                                     << "1 to 64 letters, digits, '-' and '_'";
    QTest::newRow("spool of 0 MB") << base + "--mqtt mqtt://h/lab --mqtt-spool-max 0"
                                   << "from 1 to 1048576, not '0'";
    QTest::newRow("spool not a number") << base + "--mqtt mqtt://h/lab --mqtt-spool-max lots"
                                        << "from 1 to 1048576, not 'lots'";
    QTest::newRow("drain of an hour") << base + "--mqtt mqtt://h/lab --mqtt-drain-seconds 3600"
                                      << "--mqtt-drain-seconds takes seconds from 0 to 600, not "
                                         "'3600'";
    QTest::newRow("MQTT option without --mqtt") << base + "--mqtt-discovery"
                                                << "need --mqtt URL";
    QTest::newRow("password without user") << base + "--mqtt mqtt://h/lab --mqtt-password-file f"
                                           << "needs --mqtt-user";
    QTest::newRow("CA without TLS") << base + "--mqtt mqtt://h/lab --mqtt-ca ca.pem"
                                    << "for mqtts:// only";
    QTest::newRow("insecure without TLS") << base + "--mqtt mqtt://h/lab --mqtt-insecure"
                                          << "for mqtts:// only";
    QTest::newRow("no value") << base + "--mqtt"
                              << "--mqtt needs a value";
}

void TestLoggerMqtt::badOptionsAreRefused()
{
    QFETCH(QString, arguments);
    QFETCH(QString, message);
    const ParsedCommandLine parsed =
        parseLoggerCommandLine(arguments.split(u' ', Qt::SkipEmptyParts));
    QCOMPARE(parsed.action, ParsedCommandLine::Action::Error);
    QVERIFY2(parsed.error.contains(message), qPrintable(parsed.error));
}

void TestLoggerMqtt::idDefaultsToHostAndSource()
{
    const ParsedCommandLine parsed = parseLoggerCommandLine(
        {QStringLiteral("--port"), QStringLiteral("/dev/serial/by-id/usb-FTDI_x+y#z-port0"),
         QStringLiteral("--mqtt"), QStringLiteral("mqtts://broker.example:9000/site/lab2/")});
    QCOMPARE(parsed.action, ParsedCommandLine::Action::Run);
    const MqttOptions &o = parsed.options.mqtt;
    QVERIFY(o.tls);
    QCOMPARE(o.host, QStringLiteral("broker.example"));
    QCOMPARE(o.port, 9000);
    QCOMPARE(o.prefix, QStringLiteral("site/lab2"));
    QCOMPARE(o.spoolMaxMb, 512);
    // Only letters, digits, '-' and '_' remain: nothing a topic filter would read as a level or
    // a wildcard.
    QVERIFY2(QRegularExpression(QStringLiteral("^[A-Za-z0-9_-]+-usb-FTDI_x_y_z-port0$"))
                 .match(o.id)
                 .hasMatch(),
             qPrintable(o.id));
    const ParsedCommandLine usb = parseLoggerCommandLine(
        {QStringLiteral("--usb"), QStringLiteral("--mqtt"), QStringLiteral("mqtt://h/lab")});
    QVERIFY2(usb.options.mqtt.id.endsWith(QStringLiteral("-usb")), qPrintable(usb.options.mqtt.id));
    QCOMPARE(usb.options.mqtt.port, 1883);
}

// Every MQTT option is described in the same words by --help and by the manual page.
void TestLoggerMqtt::helpAndManPageSayTheSame()
{
    auto words = [](QString text) {
        static const QRegularExpression roff(QStringLiteral("\\\\f[BIRP]"));
        text.remove(roff);
        if (text.startsWith(QStringLiteral(".B ")))
            text.remove(0, 3);
        text.replace(QStringLiteral("\\-"), QStringLiteral("-"));
        text.replace(QStringLiteral("\\(lq"), QStringLiteral("\""));
        text.replace(QStringLiteral("\\(rq"), QStringLiteral("\""));
        text.replace(QStringLiteral("\\e"), QStringLiteral("\\"));
        return text.simplified();
    };
    // The manual: each ".TP" of an --mqtt option, its tag line and its paragraph.
    QFile man(QStringLiteral(VORLATT_SOURCE_DIR "/packaging/man/vorlatt-log.1"));
    QVERIFY(man.open(QIODevice::ReadOnly));
    const QStringList manLines = QString::fromUtf8(man.readAll()).split(u'\n');
    QMap<QString, QString> fromMan;
    for (qsizetype i = 0; i + 1 < manLines.size(); ++i) {
        if (manLines.at(i) != u".TP" || !words(manLines.at(i + 1)).startsWith(u"--mqtt"))
            continue;
        QString text;
        for (qsizetype j = i + 2; j < manLines.size() && !manLines.at(j).startsWith(u'.'); ++j)
            text += manLines.at(j) + u' ';
        fromMan.insert(words(manLines.at(i + 1)), words(text));
    }
    // The help: an option at two spaces, its words after a gap or on the lines below.
    const QStringList helpLines = loggerHelp().split(u'\n');
    QMap<QString, QString> fromHelp;
    static const QRegularExpression entry(
        QStringLiteral("^  (--mqtt\\S*(?: [A-Z]+)?)(?:\\s{2,}(.*))?$"));
    for (qsizetype i = 0; i < helpLines.size(); ++i) {
        const QRegularExpressionMatch m = entry.match(helpLines.at(i));
        if (!m.hasMatch())
            continue;
        QString text = m.captured(2);
        for (qsizetype j = i + 1;
             j < helpLines.size() && helpLines.at(j).startsWith(QString(10, u' ')); ++j)
            text += u' ' + helpLines.at(j);
        fromHelp.insert(m.captured(1), words(text));
    }
    QCOMPARE(fromHelp.size(), 9);
    // The manual writes sentences: a capital first, a full stop last.
    for (QMap<QString, QString> *map : {&fromMan, &fromHelp})
        for (auto it = map->begin(); it != map->end(); ++it) {
            QString &text = it.value();
            if (text.endsWith(u'.'))
                text.chop(1);
            if (!text.isEmpty())
                text[0] = text.at(0).toLower();
        }
    QCOMPARE(fromMan, fromHelp);
}

// The simulator's whole tour (every unit, an overload) through the broker: every reading, in
// order, with the fields of the logger's own file.
void TestLoggerMqtt::roundTripMatchesTheOutputFile()
{
    BrokerWithReader bench(m_dir->path());
    QVERIFY2(bench.ready(), qPrintable(bench.fault));
    LocalBroker &broker = bench.broker;
    Subscriber &sub = *bench.reader;
    const int count = 1100;
    Sim sim(atRate(800));
    QVERIFY(!sim.path().isEmpty());
    Logger logger;
    startLogger(
        logger, sim, broker.port(), QStringLiteral("m1"),
        {QStringLiteral("--count"), QString::number(count), QStringLiteral("--mqtt-discovery")});
    QCOMPARE(logger.wait(), 0);
    QVERIFY2(!logger.err().contains(u"spool"), qPrintable(logger.err()));

    const QList<QJsonObject> records = outputOf(QStringLiteral("m1"));
    QCOMPARE(records.size(), count);
    QTRY_COMPARE_WITH_TIMEOUT(sub.allReadings(QStringLiteral("m1")).size(), count, kWaitMs);
    const QList<QJsonObject> readings = sub.allReadings(QStringLiteral("m1"));
    QCOMPARE(numbersOf(readings), range(1, count));

    // One schema for both: each payload is the file's line for its reading, and both pass the
    // shipped schema, overloads and every unit of the tour among them.
    QByteArray payloads;
    for (const MqttMessage &m : sub.messages())
        if (m.topic == u"lab/m1/reading")
            payloads += m.payload + '\n';
    QFile output(file(QStringLiteral("m1.jsonl")));
    QVERIFY(output.open(QIODevice::ReadOnly));
    QCOMPARE(payloads, output.readAll());
    const QString published = file(QStringLiteral("published.jsonl"));
    QVERIFY(writeFile(published, payloads, QFile::ReadOwner | QFile::WriteOwner));
    for (const QString &path : {published, output.fileName()}) {
        const SchemaCheck check = checkAgainstReadingSchema(path);
        QCOMPARE(check.faults, QStringList());
        QCOMPARE(check.valid, count);
    }
    int overloads = 0;
    QSet<QString> units;
    for (const QJsonObject &r : readings) {
        units << r.value(u"unit").toString();
        overloads += r.contains(u"overload");
    }
    QVERIFY(overloads > 0);
    QVERIFY(units.contains(QStringLiteral("kHz")));
    QVERIFY2(units.size() >= 12, qPrintable(QStringList(units.values()).join(u' ')));

    // The payload's keys in their order, as consumers written against it expect.
    static const QRegularExpression key(QStringLiteral("\"([a-z_]+)\":"));
    for (const MqttMessage &m : sub.messages()) {
        if (m.topic != u"lab/m1/reading")
            continue;
        QStringList keys;
        for (auto it = key.globalMatch(QString::fromUtf8(m.payload)); it.hasNext();)
            keys << it.next().captured(1);
        const QString middle = m.payload.contains("overload") ? "overload" : "base_value";
        QCOMPARE(keys, QStringList({"no", "time", "acdc", "value", "unit", "plain_unit", middle,
                                    "base_unit", "range"}));
    }

    // The run's state, and the discovery configs of the units it met.
    QCOMPARE(sub.statuses(QStringLiteral("m1")).value(0), QStringLiteral("online"));
    QTRY_COMPARE_WITH_TIMEOUT(sub.statuses(QStringLiteral("m1")).constLast(),
                              QStringLiteral("offline"), kWaitMs);
    QJsonObject volts;
    for (const MqttMessage &m : sub.messages())
        if (m.topic == u"homeassistant/sensor/m1/V_DC/config")
            volts = QJsonDocument::fromJson(m.payload).object();
    QCOMPARE(volts.value(u"unit_of_measurement").toString(), QStringLiteral("V"));
    QCOMPARE(volts.value(u"state_topic").toString(), QStringLiteral("lab/m1/reading"));
    QCOMPARE(volts.value(u"availability").toArray().at(0).toObject().value(u"topic").toString(),
             QStringLiteral("lab/m1/status"));
}

// Home Assistant's view of the simulator's whole tour with --mqtt-discovery: each sensor's
// template rendered over every reading as Home Assistant renders it (jinja2, by
// ha_templates.py). A sensor with a unit only ever gets a number, of its own unit and coupling,
// never from an overload; every reading with a value shows in exactly one of them; the display
// says OL. Configs of an earlier release that the broker still retains: those that took AC and
// DC alike are removed, the others replaced under the same unique id.
void TestLoggerMqtt::homeAssistantShowsEveryReadingRight()
{
    const QString id = QStringLiteral("ha1");
    BrokerWithReader bench(m_dir->path());
    QVERIFY2(bench.ready(), qPrintable(bench.fault));
    const int port = bench.broker.port();
    const QString discovery = QStringLiteral("homeassistant/sensor/%1/").arg(id);
    for (const QString &unit : {QStringLiteral("V"), QStringLiteral("A"), QStringLiteral("ohm")}) {
        const QJsonObject old{
            {"name", "Reading in " + unit},
            {"unique_id", QStringLiteral("vorlatt_%1_%2").arg(id, unit)},
            {"state_topic", QStringLiteral("lab/%1/reading").arg(id)},
            {"unit_of_measurement", unit},
            {"value_template", "{% if value_json.base_unit == '" + unit +
                                   "' %}{{ value_json.base_value }}{% else %}{{ this.state }}"
                                   "{% endif %}"}};
        QVERIFY(runProgram(QStringLiteral("mosquitto_pub"),
                    {QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
                     QString::number(port), QStringLiteral("-u"), kMeterUser, QStringLiteral("-P"),
                     kMeterPassword, QStringLiteral("-q"), QStringLiteral("1"), QStringLiteral("-r"),
                     QStringLiteral("-t"), discovery + unit + QStringLiteral("/config"),
                     QStringLiteral("-m"),
                     QString::fromUtf8(QJsonDocument(old).toJson(QJsonDocument::Compact))}));
    }

    const int count = 1100; // the whole tour: every function, its overloads
    Sim sim(atRate(800));
    QVERIFY(!sim.path().isEmpty());
    Logger logger;
    startLogger(
        logger, sim, port, id,
        {QStringLiteral("--count"), QString::number(count), QStringLiteral("--mqtt-discovery")});
    QCOMPARE(logger.wait(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(bench.reader->allReadings(id).size(), count, kWaitMs);

    // What the broker retains now, as Home Assistant finds it when it starts.
    Subscriber later(bench.broker.readerPort());
    QVERIFY(later.seesMarker(bench.broker.readerPort()));
    QJsonObject configs;
    QMap<QString, QJsonObject> bySlug;
    for (const MqttMessage &m : later.messages()) {
        if (!m.topic.startsWith(discovery) || m.payload.isEmpty())
            continue;
        const QJsonObject config = QJsonDocument::fromJson(m.payload).object();
        configs.insert(m.topic, config);
        bySlug.insert(m.topic.section(u'/', 3, 3), config);
    }
    // Stable topics and unique ids, one per sensor: the old "V" and "A" are gone, "ohm" stays.
    const QMap<QString, QString> deviceClasses{
        {"display", ""},   {"V_DC", "voltage"}, {"V_AC", "voltage"},       {"V_none", "voltage"},
        {"A_DC", "current"}, {"A_AC", "current"}, {"ohm", ""},             {"Hz", "frequency"},
        {"F", ""},         {"degC", "temperature"}, {"degF", "temperature"}, {"_", ""}};
    QCOMPARE(bySlug.keys(), deviceClasses.keys());
    for (auto it = bySlug.cbegin(); it != bySlug.cend(); ++it) {
        QCOMPARE(it->value(u"unique_id").toString(),
                 QStringLiteral("vorlatt_%1_%2").arg(id, it.key()));
        QCOMPARE(it->value(u"device_class").toString(), deviceClasses.value(it.key()));
        QCOMPARE(it->value(u"state_topic").toString(), QStringLiteral("lab/%1/reading").arg(id));
        QCOMPARE(it->value(u"availability").toArray().at(0).toObject().value(u"topic").toString(),
                 QStringLiteral("lab/%1/status").arg(id));
        QVERIFY(!it->value(u"value_template").toString().contains(u"this.state"));
    }

    // Every reading, in the order it came, through every sensor's template.
    QByteArray payloads;
    for (const MqttMessage &m : bench.reader->messages())
        if (m.topic == QStringLiteral("lab/%1/reading").arg(id))
            payloads += m.payload + '\n';
    const QString configsPath = file(QStringLiteral("configs.json"));
    const QString readingsPath = file(QStringLiteral("readings.jsonl"));
    QVERIFY(writeFile(configsPath, QJsonDocument(configs).toJson(), QFile::ReadOwner | QFile::WriteOwner));
    QVERIFY(writeFile(readingsPath, payloads, QFile::ReadOwner | QFile::WriteOwner));
    QProcess python;
    python.start(QStringLiteral("python3"),
                 {QDir(QStringLiteral(VORLATT_SOURCE_DIR))
                      .filePath(QStringLiteral("tests/logger/ha_templates.py")),
                  configsPath, readingsPath});
    QVERIFY(python.waitForFinished(kWaitMs));
    QVERIFY2(python.exitStatus() == QProcess::NormalExit && python.exitCode() == 0,
             python.readAllStandardError().constData());
    const QJsonObject result = QJsonDocument::fromJson(python.readAllStandardOutput()).object();
    QCOMPARE(result.value(u"readings").toInt(), count);
    const int overloads = result.value(u"overloads").toInt();
    QVERIFY(overloads > 0);

    int shown = 0;
    for (const QJsonValue &value : result.value(u"sensors").toArray()) {
        const QJsonObject s = value.toObject();
        const QString slug = s.value(u"topic").toString().section(u'/', 3, 3);
        const QJsonObject acdc = s.value(u"acdc").toObject();
        qInfo("%-7s %-16s %4d numeric, %d non-numeric, %d of another unit, %d overloads, "
              "DC/AC/none %d/%d/%d, %d kept, %d errors%s",
              qPrintable(slug), qPrintable(s.value(u"name").toString()),
              s.value(u"numeric").toInt(), s.value(u"non_numeric").toInt(),
              s.value(u"wrong_unit").toInt(), s.value(u"overload").toInt(),
              acdc.value(u"DC").toInt(), acdc.value(u"AC").toInt(), acdc.value(u"").toInt(),
              s.value(u"kept").toInt(), s.value(u"errors").toInt(),
              slug == u"display" ? qPrintable(QStringLiteral(", %1 say OL (of %2 overloads)")
                                                  .arg(s.value(u"ol").toInt())
                                                  .arg(overloads))
                                 : "");
        QVERIFY2(s.value(u"errors").toInt() == 0,
                 qPrintable(slug + ": " + s.value(u"first_error").toString()));
        if (slug == u"display") {
            // Every reading shows, an overload as OL.
            QCOMPARE(s.value(u"kept").toInt(), 0);
            QCOMPARE(s.value(u"ol").toInt(), overloads);
            continue;
        }
        QVERIFY2(s.value(u"non_numeric").toInt() == 0,
                 qPrintable(slug + ": " + s.value(u"first_non_numeric").toString()));
        QCOMPARE(s.value(u"wrong_unit").toInt(), 0);
        QCOMPARE(s.value(u"overload").toInt(), 0);
        QVERIFY2(s.value(u"numeric").toInt() > 0, qPrintable(slug));
        // Volts and amperes: one coupling per sensor.
        const QString coupling = slug.section(u'_', 1);
        if (slug.startsWith(u"V_") || slug.startsWith(u"A_"))
            for (const QString &other : {QStringLiteral("DC"), QStringLiteral("AC"), QString()})
                if (other != (coupling == u"none" ? QString() : coupling))
                    QVERIFY2(acdc.value(other).toInt() == 0, qPrintable(slug + " took " + other));
        shown += s.value(u"numeric").toInt();
    }
    QCOMPARE(shown, result.value(u"numeric_readings").toInt());
    qInfo("%d readings, %d with a value and a unit, %d overloads; %d numeric states in all",
          count, result.value(u"numeric_readings").toInt(), overloads, shown);
}

// docs/mqtt.md says that a reader with a persistent session gets the readings that came while
// it was away. Its broker configuration, taken from the documentation itself, against 5,000
// readings published while the reader is away: all of them arrive when it is back, in order.
void TestLoggerMqtt::documentedBrokerKeepsReadingsForAnAbsentReader()
{
    const QString id = QStringLiteral("away1");
    const QByteArray settings = documentedBrokerSettings();
    QVERIFY2(settings.contains("\nmax_queued_messages ") && settings.contains("\nmax_queued_bytes "),
             settings.constData());
    LocalBroker broker(m_dir->path(), false, settings);
    QVERIFY(broker.ok());
    QVERIFY(broker.start());
    const QString reader = QStringLiteral("away-reader-%1").arg(::getpid());
    {
        Subscriber first(broker.readerPort(), reader);
        QVERIFY(first.seesMarker(broker.readerPort()));
    } // and away

    const int count = 5000;
    Sim sim(atRate(2000));
    QVERIFY(!sim.path().isEmpty());
    Logger logger;
    startLogger(logger, sim, broker.port(), id,
                {QStringLiteral("--count"), QString::number(count)});
    QCOMPARE(logger.wait(), 0);
    // The broker has acknowledged every one.
    QVERIFY2(!logger.err().contains(u"spool"), qPrintable(logger.err()));
    QCOMPARE(outputOf(id).size(), count);

    // Back: what the broker kept comes before the marker sent now.
    Subscriber back(broker.readerPort(), reader);
    QVERIFY(back.seesMarker(broker.readerPort()));
    QCOMPARE(numbersOf(back.readings(id)), range(1, count));
}

// The broker goes away for five seconds in the middle of a run and comes back.
void TestLoggerMqtt::brokerRestartLosesNothing()
{
    const QString id = QStringLiteral("m2");
    BrokerWithReader bench(m_dir->path());
    QVERIFY2(bench.ready(), qPrintable(bench.fault));
    LocalBroker &broker = bench.broker;
    Subscriber &sub = *bench.reader;
    Sim sim(atRate(100));
    Logger logger;
    startLogger(logger, sim, broker.port(), id);
    QTRY_VERIFY_WITH_TIMEOUT(sub.readings(id).size() >= 50, kWaitMs);
    broker.stop();
    QTRY_VERIFY_WITH_TIMEOUT(logger.err().contains(u"unreachable"), kWaitMs);
    QTest::qWait(5000);
    QVERIFY(broker.start());
    QTRY_VERIFY_WITH_TIMEOUT(logger.err().contains(u"back: out from"), kWaitMs);
    const qsizetype before = sub.readings(id).size();
    QTRY_VERIFY_WITH_TIMEOUT(sub.readings(id).size() > before + 50, kWaitMs);
    endOnceAllAreOut(sim, logger, sub, id);
    if (QTest::currentTestFailed())
        return;

    const qsizetype logged = outputOf(id).size();
    QTRY_COMPARE_WITH_TIMEOUT(sub.readings(id).size(), logged, kWaitMs);
    QCOMPARE(numbersOf(sub.readings(id)), range(1, logged));
    // The outage on standard error: its start, its end and what was spooled meanwhile.
    static const QRegularExpression outage(
        QStringLiteral("back: out from (\\S+) to (\\S+), (\\d+) readings? spooled"));
    const QRegularExpressionMatch m = outage.match(logger.err());
    QVERIFY2(m.hasMatch(), qPrintable(logger.err()));
    QVERIFY(QDateTime::fromString(m.captured(1), Qt::ISODateWithMs) <
            QDateTime::fromString(m.captured(2), Qt::ISODateWithMs));
    QVERIFY(m.captured(3).toInt() > 0);
}

// No broker when the run starts: the readings wait in the spool, private to the user, and all
// go out once it is there.
void TestLoggerMqtt::brokerAbsentAtStartGetsTheSpool()
{
    const QString id = QStringLiteral("m3");
    // The reader's session is made first, so the broker keeps what comes while it is away.
    BrokerWithReader bench(m_dir->path(), kAway);
    QVERIFY2(bench.ready(), qPrintable(bench.fault));
    LocalBroker &broker = bench.broker;
    Subscriber &sub = *bench.reader;

    Sim sim(atRate(100));
    Logger logger;
    startLogger(logger, sim, broker.port(), id);
    QTRY_VERIFY_WITH_TIMEOUT(logger.err().contains(u"unreachable"), kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(outputOf(id).size() >= 100, kWaitMs);
    const QString folder = state() + QStringLiteral("/vorlatt/mqtt/") + id;
    const QFileInfoList spool =
        QDir(folder).entryInfoList({QStringLiteral("*.spool")}, QDir::Files);
    QVERIFY(!spool.isEmpty());
    const auto mode = [](const QString &path) {
        struct stat st
        {
        };
        return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
    };
    QCOMPARE(mode(spool.first().filePath()), 0600);
    QCOMPARE(mode(folder), 0700);

    QVERIFY(broker.start());
    QTRY_VERIFY_WITH_TIMEOUT(logger.err().contains(u"back: out from"), kWaitMs);
    endOnceAllAreOut(sim, logger, sub, id);
    if (QTest::currentTestFailed())
        return;
    const qsizetype logged = outputOf(id).size();
    QTRY_COMPARE_WITH_TIMEOUT(sub.readings(id).size(), logged, kWaitMs);
    QCOMPARE(numbersOf(sub.readings(id)), range(1, logged));
}

// kill -9 while the broker is away: the next run with the same id sends the spooled readings
// first, at least every one the killed run's output file holds.
void TestLoggerMqtt::killedRunsSpoolGoesFirstNextRun()
{
    const QString id = QStringLiteral("m4");
    BrokerWithReader bench(m_dir->path(), kAway);
    QVERIFY2(bench.ready(), qPrintable(bench.fault));
    LocalBroker &broker = bench.broker;
    Subscriber &sub = *bench.reader;

    Sim sim(atRate(100));
    Logger first;
    startLogger(first, sim, broker.port(), id);
    QTRY_VERIFY_WITH_TIMEOUT(outputOf(id).size() >= 100, kWaitMs);
    first.killHard();
    const qsizetype onDisk = outputOf(id).size();
    const QDateTime secondStart = QDateTime::currentDateTime();

    QVERIFY(broker.start());
    Logger second;
    startLogger(second, sim, broker.port(), id, {QStringLiteral("--count"), QStringLiteral("20")},
                QStringLiteral("second"));
    QCOMPARE(second.wait(), 0);
    QVERIFY2(second.err().contains(u"left in the spool by an earlier run"),
             qPrintable(second.err()));
    QTRY_VERIFY_WITH_TIMEOUT(
        !sub.allReadings(id).isEmpty() &&
            QDateTime::fromString(sub.allReadings(id).constLast().value(u"time").toString(),
                                  Qt::ISODateWithMs) >= secondStart &&
            sub.allReadings(id).constLast().value(u"no").toInt() == 20,
        kWaitMs);
    // The killed run's readings all come before the new run's.
    QList<qint64> killedRun, newRun;
    QSet<qint64> seen;
    for (const QJsonObject &r : sub.allReadings(id)) {
        const bool isNew =
            QDateTime::fromString(r.value(u"time").toString(), Qt::ISODateWithMs) >= secondStart;
        if (!isNew) {
            QVERIFY2(newRun.isEmpty(), "a reading of the killed run came after the new run's");
            if (!seen.contains(r.value(u"no").toInteger()))
                killedRun << r.value(u"no").toInteger();
            seen.insert(r.value(u"no").toInteger());
        } else if (newRun.isEmpty() || newRun.constLast() != r.value(u"no").toInteger()) {
            newRun << r.value(u"no").toInteger();
        }
    }
    QVERIFY2(
        killedRun.size() >= onDisk,
        qPrintable(QStringLiteral("%1 spooled, %2 in the file").arg(killedRun.size()).arg(onDisk)));
    QCOMPARE(killedRun, range(1, killedRun.size()));
    QCOMPARE(newRun, range(1, 20));
}

// The broker lets the logger in but will not take its readings (its ACL): none counts as
// delivered, they wait in the spool, and all go out once the ACL lets them.
void TestLoggerMqtt::refusedReadingsStayInTheSpool()
{
    const QString id = QStringLiteral("m9");
    const QString prefix = QStringLiteral("closed");
    BrokerWithReader bench(m_dir->path());
    QVERIFY2(bench.ready(), qPrintable(bench.fault));
    LocalBroker &broker = bench.broker;
    Subscriber &sub = *bench.reader;
    Sim sim(atRate(100));
    QStringList arguments = mqttArguments(broker.port(), id);
    arguments[1] = QStringLiteral("mqtt://127.0.0.1:%1/%2").arg(broker.port()).arg(prefix);
    Logger logger;
    logger.start(state(), QStringList{QStringLiteral("--port"), sim.path()} + arguments);
    QTRY_VERIFY2_WITH_TIMEOUT(logger.err().contains(u"refuses readings on closed/m9/reading"),
                              qPrintable(logger.err()), kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(outputOf(id).size() >= 100, kWaitMs);
    QVERIFY(sub.seesMarker(broker.readerPort()));
    QCOMPARE(sub.readings(id, prefix).size(), 0);

    QVERIFY(broker.allowMeter("closed/#"));
    QTRY_VERIFY_WITH_TIMEOUT(logger.err().contains(u"back: out from"), kWaitMs);
    endOnceAllAreOut(sim, logger, sub, id, prefix);
    if (QTest::currentTestFailed())
        return;
    const qsizetype logged = outputOf(id).size();
    QCOMPARE(numbersOf(sub.readings(id, prefix)), range(1, logged));
    // Said once, not at every retry.
    QCOMPARE(logger.err().count(u"refuses readings"), 1);
}

void TestLoggerMqtt::refusedCredentials_data()
{
    QTest::addColumn<QString>("password");
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("message");
    QTest::newRow("wrong password") << "wrong" << 0600 << "refused the login as meter";
    QTest::newRow("password file readable by others")
        << QString(kMeterPassword) << 0644 << "can be read by other users (mode 0644)";
    QTest::newRow("password file readable by the group")
        << QString(kMeterPassword) << 0640 << "chmod 600";
}

// Status 1, a clear message, no output file and nothing published; never a try without them.
void TestLoggerMqtt::refusedCredentials()
{
    QFETCH(QString, password);
    QFETCH(int, mode);
    QFETCH(QString, message);
    BrokerWithReader bench(m_dir->path());
    QVERIFY2(bench.ready(), qPrintable(bench.fault));
    LocalBroker &broker = bench.broker;
    Subscriber &sub = *bench.reader;
    Sim sim(atRate(100));
    QStringList arguments = QStringList{QStringLiteral("--port"), sim.path()} +
                            mqttArguments(broker.port(), QStringLiteral("m5"));
    const QString secret = file(QStringLiteral("password"));
    QVERIFY(writeFile(secret, password.toUtf8() + '\n', QFile::ReadOwner | QFile::WriteOwner));
    QVERIFY(::chmod(QFile::encodeName(secret).constData(), mode_t(mode)) == 0);
    Logger logger;
    logger.start(state(), arguments);
    QCOMPARE(logger.wait(), 1);
    QVERIFY2(logger.err().contains(message), qPrintable(logger.err()));
    QVERIFY(!QFile::exists(file(QStringLiteral("m5.jsonl"))));
    QVERIFY(sub.seesMarker(broker.readerPort()));
    for (const MqttMessage &m : sub.messages())
        QVERIFY2(!m.topic.startsWith(u"lab/m5"), qPrintable(m.topic));
}

// online while the meter sends, lost while it is silent, online again, and the Last Will's
// offline when the logger is killed.
void TestLoggerMqtt::statusFollowsTheMeterAndTheLastWill()
{
    const QString id = QStringLiteral("m6");
    BrokerWithReader bench(m_dir->path());
    QVERIFY2(bench.ready(), qPrintable(bench.fault));
    LocalBroker &broker = bench.broker;
    Subscriber &sub = *bench.reader;
    Sim sim({QStringLiteral("--rate"), QStringLiteral("50"), QStringLiteral("--pause"),
             QStringLiteral("3600,5")});
    Logger logger;
    startLogger(logger, sim, broker.port(), id);
    QTRY_VERIFY_WITH_TIMEOUT(sub.readings(id).size() >= 20, kWaitMs);
    QCOMPARE(sub.statuses(id), QStringList{QStringLiteral("online")});
    sim.signal(SIGUSR1);
    QTRY_COMPARE_WITH_TIMEOUT(sub.statuses(id).constLast(), QStringLiteral("lost"), kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(sub.statuses(id).constLast(), QStringLiteral("online"), kWaitMs);
    logger.killHard();
    QTRY_COMPARE_WITH_TIMEOUT(sub.statuses(id).constLast(), QStringLiteral("offline"), kWaitMs);
    QCOMPARE(sub.statuses(id), QStringList({"online", "lost", "online", "offline"}));
}

void TestLoggerMqtt::tls_data()
{
    QTest::addColumn<bool>("rightCa");
    QTest::newRow("the broker's CA: verified") << true;
    QTest::newRow("another CA: refused") << false;
}

// A CA of the test's own signs the broker's certificate.
void TestLoggerMqtt::tls()
{
    QFETCH(bool, rightCa);
    const QString d = m_dir->path() + u'/';
    QVERIFY(writeFile(d + QStringLiteral("ext"), "subjectAltName=IP:127.0.0.1,DNS:localhost\n",
                      QFile::ReadOwner | QFile::WriteOwner));
    const QString openssl = QStringLiteral("openssl");
    const QStringList ec = {
        QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
        QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes")};
    for (const QString &ca : {QStringLiteral("ca"), QStringLiteral("other")})
        QVERIFY(runProgram(openssl, QStringList{QStringLiteral("req"), QStringLiteral("-x509")} + ec +
                                 QStringList{QStringLiteral("-keyout"), d + ca + ".key",
                                             QStringLiteral("-out"), d + ca + ".pem",
                                             QStringLiteral("-days"), QStringLiteral("2"),
                                             QStringLiteral("-subj"), "/CN=vorlatt test " + ca}));
    QVERIFY(
        runProgram(openssl, QStringList{QStringLiteral("req")} + ec +
                         QStringList{QStringLiteral("-keyout"), d + "server.key",
                                     QStringLiteral("-out"), d + "server.csr",
                                     QStringLiteral("-subj"), QStringLiteral("/CN=127.0.0.1")}));
    QVERIFY(runProgram(openssl, {QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"),
                          d + "server.csr", QStringLiteral("-CA"), d + "ca.pem",
                          QStringLiteral("-CAkey"), d + "ca.key", QStringLiteral("-CAcreateserial"),
                          QStringLiteral("-out"), d + "server.pem", QStringLiteral("-days"),
                          QStringLiteral("2"), QStringLiteral("-extfile"), d + "ext"}));

    BrokerWithReader bench(m_dir->path(), kUp, kTls);
    QVERIFY2(bench.ready(), qPrintable(bench.fault));
    LocalBroker &broker = bench.broker;
    Subscriber &sub = *bench.reader;
    Sim sim(atRate(200));
    Logger logger;
    logger.start(state(),
                 QStringList{QStringLiteral("--port"), sim.path(), QStringLiteral("--count"),
                             QStringLiteral("50"), QStringLiteral("--mqtt-ca"),
                             d + (rightCa ? "ca.pem" : "other.pem")} +
                     mqttArguments(broker.port(), QStringLiteral("m7"), QStringLiteral("mqtts")));
    if (!rightCa) {
        QCOMPARE(logger.wait(), 1);
        QVERIFY2(logger.err().contains(u"certificate could not be verified"),
                 qPrintable(logger.err()));
        QVERIFY(sub.seesMarker(broker.readerPort()));
        QCOMPARE(sub.allReadings(QStringLiteral("m7")).size(), 0);
        return;
    }
    QCOMPARE(logger.wait(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(sub.readings(QStringLiteral("m7")).size(), 50, kWaitMs);
    QCOMPARE(numbersOf(sub.readings(QStringLiteral("m7"))), range(1, 50));
}

// A spool of 1 MB fills while the broker is away: said once, the readings taken into it all
// arrive, the ones turned away are named, and the output file has every one.
void TestLoggerMqtt::fullSpoolSaysSoAndDropsNothingSilently()
{
    const QString id = QStringLiteral("m8");
    BrokerWithReader bench(m_dir->path(), kAway);
    QVERIFY2(bench.ready(), qPrintable(bench.fault));
    LocalBroker &broker = bench.broker;
    Subscriber &sub = *bench.reader;

    Sim sim(atRate(800));
    Logger logger;
    startLogger(logger, sim, broker.port(), id,
                {QStringLiteral("--mqtt-spool-max"), QStringLiteral("1")});
    QTRY_VERIFY_WITH_TIMEOUT(logger.err().contains(u"the MQTT spool is full"), kWaitMs);
    QVERIFY(broker.start());
    QTRY_VERIFY_WITH_TIMEOUT(logger.err().contains(u"takes readings again"), kWaitMs);
    endOnceAllAreOut(sim, logger, sub, id);
    if (QTest::currentTestFailed())
        return;
    QVERIFY2(logger.err().count(u"the MQTT spool is full") == 1, qPrintable(logger.err()));

    static const QRegularExpression full(
        QStringLiteral("spool is full \\(1 MB, --mqtt-spool-max\\): from no\\. (\\d+) on"));
    static const QRegularExpression again(
        QStringLiteral("takes readings again from no\\. (\\d+); (\\d+) readings? from no\\. (\\d+) "
                       "on were not published"));
    const QRegularExpressionMatch f = full.match(logger.err());
    const QRegularExpressionMatch a = again.match(logger.err());
    QVERIFY2(f.hasMatch() && a.hasMatch(), qPrintable(logger.err()));
    const qint64 firstAway = f.captured(1).toLongLong();
    const qint64 back = a.captured(1).toLongLong();
    QCOMPARE(a.captured(3).toLongLong(), firstAway);
    QCOMPARE(a.captured(2).toLongLong(), back - firstAway);

    const QList<QJsonObject> records = outputOf(id);
    for (qsizetype i = 0; i < records.size(); ++i)
        QCOMPARE(records.at(i).value(u"no").toInteger(), i + 1);
    const QList<qint64> expected = range(1, firstAway - 1) + range(back, records.size());
    QTRY_COMPARE_WITH_TIMEOUT(sub.readings(id).size(), expected.size(), kWaitMs);
    QCOMPARE(numbersOf(sub.readings(id)), expected);
    QVERIFY(sub.statuses(id).contains(QStringLiteral("spool-full")));
}

// The spool on its own: lines in order across segment files, what is acknowledged gone for
// good, the rest found again by the next run, a half line left by a kill cut off, a second
// run on the same folder refused, the bound kept.
void TestLoggerMqtt::spoolKeepsOrderAcrossSegmentsAndRuns()
{
    const QString folder = file(QStringLiteral("spool"));
    const auto line = [](int i) { return QByteArray("{\"no\":") + QByteArray::number(i) + '}'; };
    const auto segments = [&folder] {
        return QDir(folder).entryList({QStringLiteral("*.spool")}, QDir::Files).size();
    };
    {
        MqttSpool spool;
        QCOMPARE(spool.open(folder, 1024 * 1024), QString());
        MqttSpool second;
        QVERIFY(second.open(folder, 1024 * 1024).contains(u"another run"));
        for (int i = 1; i <= 12000; ++i)
            QCOMPARE(spool.append(line(i)), MqttSpool::Append::Spooled);
        QVERIFY(segments() > 1);
        QByteArray text;
        MqttSpool::Position end;
        for (int i = 1; i <= 7000; ++i) {
            QVERIFY(spool.next(&text, &end));
            QCOMPARE(text, line(i));
        }
        spool.acknowledge(end, 7000);
        QCOMPARE(spool.sync(), QString());
        QCOMPARE(spool.pendingLines(), 5000);
        // Handed out but not acknowledged: they come again.
        spool.rewind();
        QVERIFY(spool.next(&text, &end));
        QCOMPARE(text, line(7001));
    }
    // A kill in the middle of a write leaves half a line at the end.
    QStringList names =
        QDir(folder).entryList({QStringLiteral("*.spool")}, QDir::Files, QDir::Name);
    QFile last(folder + u'/' + names.constLast());
    QVERIFY(last.open(QIODevice::Append));
    QVERIFY(last.write("{\"no\":120") == 9);
    last.close();

    MqttSpool spool;
    QCOMPARE(spool.open(folder, 1024 * 1024), QString());
    QCOMPARE(spool.pendingLines(), 5000);
    QByteArray text;
    MqttSpool::Position end;
    for (int i = 7001; i <= 12000; ++i) {
        QVERIFY(spool.next(&text, &end));
        QCOMPARE(text, line(i));
    }
    QVERIFY(!spool.next(&text, &end));
    QCOMPARE(spool.append(line(12001)), MqttSpool::Append::Spooled);
    QVERIFY(spool.next(&text, &end));
    QCOMPARE(text, line(12001));
    spool.acknowledge(end, 5001);
    QCOMPARE(spool.sync(), QString());
    QCOMPARE(spool.pendingLines(), 0);
    QCOMPARE(spool.pendingBytes(), 0);
    // Only the segment written to is left.
    QCOMPARE(segments(), 1);

    // The bound: nothing is taken past it, and everything before it is still there.
    qint64 taken = 0;
    while (spool.append(line(int(taken))) == MqttSpool::Append::Spooled)
        ++taken;
    QCOMPARE(spool.append(line(0)), MqttSpool::Append::Full);
    QVERIFY(spool.pendingBytes() <= 1024 * 1024);
    QVERIFY(spool.pendingBytes() > 1024 * 1024 - 100);
    QCOMPARE(spool.pendingLines(), taken);
    // One line out makes room for one more, but the spool waits for a sixteenth of its size
    // rather than open a gap at every line.
    QVERIFY(spool.next(&text, &end));
    spool.acknowledge(end, 1);
    QCOMPARE(spool.append(line(0)), MqttSpool::Append::Full);
    qint64 out = 1;
    while (spool.pendingBytes() + line(0).size() + 1 > 1024 * 1024 - 1024 * 1024 / 16) {
        QVERIFY(spool.next(&text, &end));
        spool.acknowledge(end, 1);
        ++out;
    }
    QCOMPARE(spool.append(line(0)), MqttSpool::Append::Spooled);
    QCOMPARE(spool.pendingLines(), taken - out + 1);
}

// A second run with the id of one still running is refused with the reason alone, not also a
// word on a spool it never had.
void TestLoggerMqtt::secondRunWithTheSameIdSaysSoOnce()
{
    const QString id = QStringLiteral("m11");
    const int noBroker = freePort();
    Sim sim(atRate(100));
    Logger first;
    startLogger(first, sim, noBroker, id);
    QTRY_VERIFY_WITH_TIMEOUT(first.err().contains(u"unreachable"), kWaitMs);
    Sim otherMeter(atRate(100));
    Logger second;
    startLogger(second, otherMeter, noBroker, id, {}, QStringLiteral("second"));
    QCOMPARE(second.wait(), 1);
    QVERIFY2(second.err().contains(u"another run publishes with this id"),
             qPrintable(second.err()));
    QVERIFY2(second.err().count(u'\n') == 1, qPrintable(second.err()));
    first.signal(SIGTERM);
    QCOMPARE(first.wait(), 0);
}

void TestLoggerMqtt::damagedSpoolLinesAreSkippedAndTold_data()
{
    // Two segments as a crash, a disk or a hand left them; the spool hands out the readings
    // alone, in order, and tells once what the damage cost.
    QTest::addColumn<QByteArray>("first");
    QTest::addColumn<QByteArray>("second");
    QTest::addColumn<QList<qint64>>("handedOut");
    QTest::addColumn<QString>("notice");
    const auto lines = [](int from, int to) {
        QByteArray out;
        for (int i = from; i <= to; ++i)
            out += "{\"no\":" + QByteArray::number(i) + ",\"value\":\"1.234\"}\n";
        return out;
    };
    QByteArray overwritten = lines(1, 10);
    overwritten.replace(overwritten.indexOf("{\"no\":5") + 3, 6, "\xff\xfe\x00AB\x80");
    QTest::newRow("bytes overwritten in a line")
        << overwritten << QByteArray() << (range(1, 4) + range(6, 10)) << "reading no. 5 lost";
    QByteArray across = lines(1, 10);
    across.replace(across.indexOf("{\"no\":6") - 5, 10, QByteArray(10, 'x'));
    QTest::newRow("bytes overwritten across a line end")
        << across << QByteArray() << (range(1, 4) + range(7, 10))
        << "1 damaged line in the MQTT spool (%1/000000000001.spool) skipped, not published: "
           "2 readings, no. 5 to 6 lost";
    QTest::newRow("a line of no reading")
        << (lines(1, 3) + "{\"No\":4}\n[4]\n\"x\"\n{\"no\":\"4\"}\n" + lines(4, 5)) << QByteArray()
        << range(1, 5) << "4 damaged lines";
    QTest::newRow("the last line damaged")
        << (lines(1, 4) + "{\"no\":5,\"val") << lines(6, 7) << (range(1, 4) + range(6, 7))
        << "reading no. 5 lost";
    QByteArray lastDamaged = lines(3, 5);
    lastDamaged.replace(lastDamaged.size() - 4, 2, "\xc3\x28");
    QTest::newRow("damage at the end") << lines(1, 2) << lastDamaged << range(1, 4)
                                       << "readings after no. 4 are lost";
}

void TestLoggerMqtt::damagedSpoolLinesAreSkippedAndTold()
{
    QFETCH(QByteArray, first);
    QFETCH(QByteArray, second);
    QFETCH(QList<qint64>, handedOut);
    QFETCH(QString, notice);
    const QString folder = file(QStringLiteral("spool"));
    QVERIFY(QDir().mkpath(folder));
    QVERIFY(writeFile(folder + QStringLiteral("/000000000001.spool"), first,
                      QFile::ReadOwner | QFile::WriteOwner));
    if (!second.isEmpty())
        QVERIFY(writeFile(folder + QStringLiteral("/000000000002.spool"), second,
                          QFile::ReadOwner | QFile::WriteOwner));
    MqttSpool spool;
    QCOMPARE(spool.open(folder, 1024 * 1024), QString());
    QCOMPARE(spool.pendingLines(), handedOut.size());
    const QStringList notices = spool.takeNotices();
    QVERIFY2(notices.size() == 1 && notices[0].contains(notice.replace(QStringLiteral("%1"), folder)),
             qPrintable(notices.join(u'\n')));
    for (int pass = 0; pass < 2; ++pass) {
        QList<qint64> numbers;
        QByteArray line;
        MqttSpool::Position end;
        while (spool.next(&line, &end)) {
            qint64 no = -1;
            QVERIFY(MqttSpool::readingNumber(line, &no));
            numbers << no;
        }
        QCOMPARE(numbers, handedOut);
        QCOMPARE(spool.takeNotices(), QStringList()); // told once
        spool.rewind();
    }
}

// The fault as it was found: a run killed while the broker was away, 64 bytes in the middle of
// its spool overwritten; the next run published "{\"no" and the raw bytes as a reading. Now what
// goes out is JSON, every reading the damage did not touch arrives, and the lost ones are named.
void TestLoggerMqtt::damagedSpoolIsNeverPublished_data()
{
    QTest::addColumn<bool>("cut");
    QTest::newRow("64 bytes overwritten") << false;
    // Cut mid-line: the next run delivered 147 of 181 without a word.
    QTest::newRow("segment cut short") << true;
}

void TestLoggerMqtt::damagedSpoolIsNeverPublished()
{
    QFETCH(bool, cut);
    const QString id = QStringLiteral("m12");
    BrokerWithReader bench(m_dir->path(), kAway);
    QVERIFY2(bench.ready(), qPrintable(bench.fault));
    LocalBroker &broker = bench.broker;
    Subscriber &sub = *bench.reader;

    Sim sim(atRate(100));
    Logger first;
    startLogger(first, sim, broker.port(), id);
    // A few seconds of readings, the last of them written after the last once-a-second sync.
    QTRY_VERIFY_WITH_TIMEOUT(outputOf(id).size() >= 300, kWaitMs);
    first.killHard();
    const QString folder = state() + QStringLiteral("/vorlatt/mqtt/") + id;
    const QStringList names =
        QDir(folder).entryList({QStringLiteral("*.spool")}, QDir::Files, QDir::Name);
    QCOMPARE(names.size(), 1);
    QFile segment(folder + u'/' + names[0]);
    QVERIFY(segment.open(QIODevice::ReadWrite));
    const QByteArray before = segment.readAll();
    qsizetype at = before.size() / 3;
    if (before.at(at - 1) == '\n')
        ++at; // mid-line
    if (cut) {
        QVERIFY(segment.resize(at));
        segment.close();
        const qint64 kept = before.left(at).count('\n');
        QVERIFY(broker.start());
        Logger second;
        startLogger(second, sim, broker.port(), id,
                    {QStringLiteral("--count"), QStringLiteral("5")}, QStringLiteral("second"));
        QCOMPARE(second.wait(), 0);
        static const QRegularExpression told(QStringLiteral(
            "segment \\S+ is shorter than it was written \\((\\d+) of (\\d+) bytes\\): (\\d+) "
            "readings, no\\. (\\d+) to (\\d+) are lost, not published"));
        const QRegularExpressionMatch m = told.match(second.err());
        QVERIFY2(m.hasMatch(), qPrintable(second.err()));
        QCOMPARE(m.captured(1).toLongLong(), before.left(at).lastIndexOf('\n') + 1);
        QCOMPARE(m.captured(4).toLongLong(), kept + 1);
        // Up to the last reading the killed run spooled, synced or not.
        QCOMPARE(m.captured(5).toLongLong(), before.count('\n'));
        QCOMPARE(m.captured(3).toLongLong(), m.captured(5).toLongLong() - kept);
        QVERIFY(sub.seesMarker(broker.readerPort()));
        QSet<qint64> numbers;
        for (const QJsonObject &r : sub.allReadings(id))
            numbers << r.value(u"no").toInteger();
        QSet<qint64> expected;
        for (qint64 no = 1; no <= kept; ++no)
            expected << no;
        QCOMPARE(numbers, expected); // with the new run's 1 to 5
        return;
    }
    QByteArray junk(64, '\0');
    for (int i = 0; i < junk.size(); ++i)
        junk[i] = char(0x80 + (i * 37) % 128);
    QVERIFY(segment.seek(at) && segment.write(junk) == junk.size());
    segment.close();
    // The readings the 64 bytes touched: from the line they start in to the one they end in.
    const qint64 firstHit = before.left(at).count('\n') + 1;
    const qint64 lastHit = before.left(at + junk.size()).count('\n') + 1;
    const qint64 spooled = before.count('\n');

    QVERIFY(broker.start());
    Logger second;
    startLogger(second, sim, broker.port(), id, {QStringLiteral("--count"), QStringLiteral("5")},
                QStringLiteral("second"));
    QCOMPARE(second.wait(), 0);
    const QString lost = firstHit == lastHit
                             ? QStringLiteral("reading no. %1 lost").arg(firstHit)
                             : QStringLiteral("%1 readings, no. %2 to %3 lost")
                                   .arg(lastHit - firstHit + 1)
                                   .arg(firstHit)
                                   .arg(lastHit);
    QVERIFY2(second.err().count(u"damaged line") == 1 && second.err().contains(lost),
             qPrintable(lost + u'\n' + second.err()));
    QVERIFY(sub.seesMarker(broker.readerPort()));
    QSet<qint64> killedRun;
    for (const MqttMessage &m : sub.messages()) {
        if (m.topic != QStringLiteral("lab/%1/reading").arg(id))
            continue;
        QJsonParseError error;
        const QJsonDocument reading = QJsonDocument::fromJson(m.payload, &error);
        QVERIFY2(error.error == QJsonParseError::NoError && reading.isObject(),
                 m.payload.constData());
        killedRun << reading.object().value(u"no").toInteger(); // with the new run's 1 to 5
    }
    QSet<qint64> expected;
    for (qint64 no = 1; no <= spooled; ++no)
        if (no < firstHit || no > lastHit)
            expected << no;
    QCOMPARE(killedRun, expected);
}

void TestLoggerMqtt::shortenedSpoolIsTold_data()
{
    QTest::addColumn<QString>("harm");
    QTest::addColumn<QString>("notice");
    QTest::addColumn<qint64>("pending");
    QTest::newRow("untouched") << "" << "" << qint64(12000);
    QTest::newRow("last segment cut mid-line")
        << "cut last" << "is shorter than it was written (%1 of %2 bytes): %3 readings, no. %4 to "
                         "12000 are lost, not published"
        << qint64(-1);
    // A spool of a release without indexes, its mark in the short form: "segments" tells.
    QTest::newRow("last segment cut mid-line, left by an earlier release")
        << "cut last, earlier release"
        << "is shorter than it was written (%1 of %2 bytes): %3 readings, no. %4 to "
           "12000 are lost, not published"
        << qint64(-1);
    QTest::newRow("first segment gone")
        << "remove first" << "is gone: %1 readings, no. 1 to %2 it held are lost, not published"
        << qint64(-1);
}

// Segments cut short or gone (a full disk, a hand, a tidy-up) are told with the readings they
// cost; the rest go out as usual.
void TestLoggerMqtt::shortenedSpoolIsTold()
{
    QFETCH(QString, harm);
    QFETCH(QString, notice);
    QFETCH(qint64, pending);
    const QString folder = file(QStringLiteral("spool"));
    {
        MqttSpool spool;
        QCOMPARE(spool.open(folder, 1024 * 1024), QString());
        for (int i = 1; i <= 12000; ++i)
            QCOMPARE(spool.append("{\"no\":" + QByteArray::number(i) + '}'),
                     MqttSpool::Append::Spooled);
        QCOMPARE(spool.sync(), QString());
    }
    const QStringList names =
        QDir(folder).entryList({QStringLiteral("*.spool")}, QDir::Files, QDir::Name);
    QVERIFY(names.size() > 1);
    const QString first = folder + u'/' + names.constFirst();
    const QString last = folder + u'/' + names.constLast();
    const auto read = [](const QString &path) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    };
    const QByteArray firstBytes = read(first);
    const QByteArray lastBytes = read(last);
    const qint64 inFirst = firstBytes.count('\n');
    qint64 kept = 0;
    if (harm.endsWith(u"earlier release")) {
        for (const QString &index :
             QDir(folder).entryList({QStringLiteral("*.index")}, QDir::Files))
            QVERIFY(QFile::remove(folder + u'/' + index));
        QVERIFY(writeFile(folder + QStringLiteral("/acked"), "1 0\n",
                          QFile::ReadOwner | QFile::WriteOwner));
    }
    if (harm.startsWith(u"cut last")) {
        const qsizetype at = lastBytes.size() / 2 + 1;
        QVERIFY(lastBytes.at(at - 1) != '\n');
        QVERIFY(QFile::resize(last, at));
        const qint64 whole = lastBytes.left(at).lastIndexOf('\n') + 1;
        kept = lastBytes.left(at).count('\n');
        notice = notice.arg(whole).arg(lastBytes.size()).arg(lastBytes.count('\n') - kept);
        notice = notice.arg(12000 - lastBytes.count('\n') + kept + 1);
        pending = 12000 - lastBytes.count('\n') + kept;
    } else if (harm == u"remove first") {
        QVERIFY(QFile::remove(first));
        notice = notice.arg(inFirst).arg(inFirst);
        pending = 12000 - inFirst;
    }
    for (int run = 0; run < 2; ++run) {
        MqttSpool spool;
        QCOMPARE(spool.open(folder, 1024 * 1024), QString());
        const QStringList notices = spool.takeNotices();
        // Told once: the next run finds the spool as this one left it.
        if (notice.isEmpty() || run == 1)
            QCOMPARE(notices, QStringList());
        else
            QVERIFY2(notices.size() == 1 && notices[0].contains(notice),
                     qPrintable(notice + u'\n' + notices.join(u'\n')));
        QCOMPARE(spool.pendingLines(), pending);
        QCOMPARE(spool.sync(), QString());
    }
    if (!harm.endsWith(u"earlier release"))
        return;
    // The earlier release's spool has its indexes now: a further cut is told from them.
    const QByteArray now = read(last);
    const qsizetype at = now.left(now.size() / 2).lastIndexOf('\n') + 1;
    QVERIFY(QFile::resize(last, at));
    const qint64 lost = now.mid(at).count('\n');
    MqttSpool spool;
    QCOMPARE(spool.open(folder, 1024 * 1024), QString());
    const QString told = QStringLiteral("is shorter than it was written (%1 of %2 bytes): %3 "
                                        "readings, no. %4 to %5 are lost, not published")
                             .arg(at)
                             .arg(now.size())
                             .arg(lost)
                             .arg(pending - lost + 1)
                             .arg(pending);
    const QStringList notices = spool.takeNotices();
    QVERIFY2(notices.size() == 1 && notices[0].contains(told),
             qPrintable(told + u'\n' + notices.join(u'\n')));
    QCOMPARE(spool.pendingLines(), pending - lost);
}

void TestLoggerMqtt::cutSpoolCostsExactlyWhatIsTold_data()
{
    // Where the killed run's one segment is cut: among the readings the broker had acknowledged
    // before it went away, or among those waiting for it; in a line's middle or at its start.
    QTest::addColumn<QString>("among");
    QTest::addColumn<bool>("midLine");
    QTest::newRow("mid-line, among the waiting") << "waiting" << true;
    QTest::newRow("at a line boundary, among the waiting") << "waiting" << false;
    // The mark of what was acknowledged lay past the new end: the whole segment went out again.
    QTest::newRow("mid-line, among the acknowledged") << "acknowledged" << true;
    QTest::newRow("at a line boundary, among the acknowledged") << "acknowledged" << false;
    QTest::newRow("to zero length") << "all" << false;
}

// The fault as it was found: broker stopped, logger killed with -9 during the outage, its spool
// segment cut in the middle. The next run named the wrong readings (those spooled after the last
// once-a-second record were not counted), and a cut before the acknowledged mark sent the
// acknowledged readings again. Now the readings named lost are exactly those the reader never
// got, and none it got comes twice.
void TestLoggerMqtt::cutSpoolCostsExactlyWhatIsTold()
{
    QFETCH(QString, among);
    QFETCH(bool, midLine);
    const QString id = QStringLiteral("m15");
    BrokerWithReader bench(m_dir->path());
    QVERIFY2(bench.ready(), qPrintable(bench.fault));
    LocalBroker &broker = bench.broker;
    Subscriber &sub = *bench.reader;

    Sim sim(atRate(100));
    Logger first;
    startLogger(first, sim, broker.port(), id);
    QTRY_VERIFY_WITH_TIMEOUT(sub.readings(id).size() >= 60, kWaitMs);
    // The broker goes away once the reader has every reading so far: a reading it delivers in
    // the moment it stops may come to the reader once more from the broker itself (QoS 1
    // between the two), which is no fault of the logger's.
    sim.signal(SIGSTOP);
    QTRY_COMPARE_WITH_TIMEOUT(lastNumber(sub.readings(id)), qint64(outputOf(id).size()), kWaitMs);
    QVERIFY(sub.seesMarker(broker.readerPort()));
    const qint64 seen = lastNumber(sub.readings(id));
    broker.stop();
    sim.signal(SIGCONT);
    QTRY_VERIFY_WITH_TIMEOUT(first.err().contains(u"unreachable"), kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(outputOf(id).size() >= seen + 80, kWaitMs);
    first.killHard();

    const QString folder = state() + QStringLiteral("/vorlatt/mqtt/") + id;
    const QStringList names =
        QDir(folder).entryList({QStringLiteral("*.spool")}, QDir::Files, QDir::Name);
    QCOMPARE(names.size(), 1);
    QFile segment(folder + u'/' + names[0]);
    QVERIFY(segment.open(QIODevice::ReadWrite));
    const QByteArray before = segment.readAll();
    QList<qint64> spooled;
    QList<qsizetype> starts;
    for (qsizetype at = 0; at < before.size(); at = before.indexOf('\n', at) + 1) {
        qint64 no = -1;
        QVERIFY(MqttSpool::readingNumber(before.mid(at, before.indexOf('\n', at) - at), &no));
        spooled << no;
        starts << at;
    }
    QCOMPARE(spooled, range(1, spooled.size()));
    QVERIFY(spooled.size() > seen + 40);
    qsizetype cut = 0;
    if (among != u"all") {
        const qsizetype line = among == u"waiting" ? (seen + spooled.size()) / 2 : seen / 2;
        cut = starts[line] + (midLine ? (starts[line + 1] - starts[line]) / 2 : 0);
    }
    QVERIFY(segment.resize(cut));
    segment.close();

    QVERIFY(broker.start());
    const QDateTime secondStart = QDateTime::currentDateTime();
    Logger second;
    startLogger(second, sim, broker.port(), id, {QStringLiteral("--count"), QStringLiteral("5")},
                QStringLiteral("second"));
    QCOMPARE(second.wait(), 0);
    static const QRegularExpression told(
        QStringLiteral("segment \\S+ is shorter than it was written \\((\\d+) of (\\d+) "
                       "bytes\\): (.+) (is|are) lost, not published"));
    const QRegularExpressionMatch m = told.match(second.err());
    QVERIFY2(m.hasMatch() && second.err().count(u"lost") == 1, qPrintable(second.err()));
    QCOMPARE(m.captured(1).toLongLong(), before.left(cut).lastIndexOf('\n') + 1);
    QCOMPARE(m.captured(2).toLongLong(), before.size());
    const QList<qint64> named = namedNumbers(m.captured(3));
    QVERIFY2(!named.isEmpty(), qPrintable(m.captured(3)));

    QVERIFY(sub.seesMarker(broker.readerPort()));
    QHash<qint64, int> arrived;
    QList<qint64> secondRun;
    for (const QJsonObject &r : sub.allReadings(id)) {
        if (QDateTime::fromString(r.value(u"time").toString(), Qt::ISODateWithMs) >= secondStart)
            secondRun << r.value(u"no").toInteger();
        else
            ++arrived[r.value(u"no").toInteger()];
    }
    for (auto it = arrived.cbegin(); it != arrived.cend(); ++it)
        QVERIFY2(
            it.value() == 1,
            qPrintable(QStringLiteral("no. %1 arrived %2 times").arg(it.key()).arg(it.value())));
    QList<qint64> neverArrived;
    for (qint64 no : std::as_const(spooled))
        if (!arrived.contains(no))
            neverArrived << no;
    QCOMPARE(named, neverArrived);
    // The output file holds every reading of the killed run: each one arrived or is named lost,
    // but for one the run may have been killed between the file and the spool.
    const QList<qint64> logged = numbersOf(outputOf(id));
    QVERIFY(logged.size() >= spooled.size());
    for (qint64 no : logged)
        QVERIFY2(arrived.contains(no) || named.contains(no) || no == logged.constLast(),
                 qPrintable(QStringLiteral("no. %1 neither arrived nor named lost").arg(no)));
    QCOMPARE(secondRun, range(1, 5));
}

void TestLoggerMqtt::fullDiskUnderTheSpool_data()
{
    QTest::addColumn<bool>("brokerUp");
    QTest::addColumn<bool>("fileToo");
    QTest::addColumn<bool>("roomAgain");
    QTest::newRow("broker away, a file output too") << false << true << false;
    QTest::newRow("broker there, a file output too") << true << true << false;
    QTest::newRow("room again during the run") << false << true << true;
    QTest::newRow("MQTT the only output") << false << false << false;
}

// The state folder on a full disk: the run went on for one record and then ended, the healthy
// file output with it. Now the run goes on when another output keeps the readings, and the
// spool's failure is said once, with what it cost; with MQTT alone the run ends and says how
// many readings it kept nowhere.
void TestLoggerMqtt::fullDiskUnderTheSpool()
{
    QFETCH(bool, brokerUp);
    QFETCH(bool, fileToo);
    QFETCH(bool, roomAgain);
    const QString id = QStringLiteral("m13");
    QVERIFY(QDir().mkpath(state()));
    QProcess mount;
    mount.start(QStringLiteral("mount"), {QStringLiteral("-t"), QStringLiteral("tmpfs"),
                                          QStringLiteral("-o"), QStringLiteral("size=64k"),
                                          QStringLiteral("tmpfs"), state()});
    if (!mount.waitForFinished(kWaitMs) || mount.exitStatus() != QProcess::NormalExit ||
        mount.exitCode() != 0)
        QSKIP(qPrintable(QStringLiteral("cannot mount a small tmpfs here (needs the right to "
                                        "mount, as root in CI): ") +
                         QString::fromLocal8Bit(mount.readAllStandardError()).trimmed()));
    const auto unmount = qScopeGuard(
        [&] { QProcess::execute(QStringLiteral("umount"), {QStringLiteral("-l"), state()}); });
    QVERIFY(QDir().mkpath(state() + QStringLiteral("/vorlatt/mqtt")));
    {
        QFile filler(state() + QStringLiteral("/filler"));
        QVERIFY(filler.open(QIODevice::WriteOnly));
        const QByteArray block(4096, 'f');
        while (filler.write(block) == block.size() && filler.flush()) {
        }
    }

    BrokerWithReader bench(m_dir->path(), brokerUp ? kUp : kAway);
    QVERIFY2(bench.ready(), qPrintable(bench.fault));
    LocalBroker &broker = bench.broker;
    Subscriber &sub = *bench.reader;

    Sim sim(atRate(100));
    const int count = roomAgain ? 300 : 30;
    QStringList arguments = QStringList{QStringLiteral("--port"), sim.path(),
                                        QStringLiteral("--count"), QString::number(count)} +
                            mqttArguments(broker.port(), id);
    if (!fileToo)
        arguments = arguments.mid(0, arguments.indexOf(QStringLiteral("--output")));
    Logger logger;
    logger.start(state(), arguments);
    const QString noSpace = QString::fromLocal8Bit(std::strerror(ENOSPC));
    if (!fileToo) {
        QCOMPARE(logger.wait(), 1);
        static const QRegularExpression nowhere(
            QStringLiteral("(\\d+) readings? from no\\. 1 on (is|are) kept nowhere"));
        const QRegularExpressionMatch m = nowhere.match(logger.err());
        QVERIFY2(logger.err().contains(u"cannot keep the MQTT spool") &&
                     logger.err().contains(noSpace) && m.hasMatch(),
                 qPrintable(logger.err()));
        // The count at the end leaves them out.
        QVERIFY2(logger.err().contains(QStringLiteral("; %1 more read could not be written")
                                           .arg(m.captured(1))),
                 qPrintable(logger.err()));
        return;
    }
    if (roomAgain) {
        QTRY_VERIFY_WITH_TIMEOUT(logger.err().contains(u"the MQTT spool cannot be written"),
                                 kWaitMs);
        QVERIFY(QFile::remove(state() + QStringLiteral("/filler")));
        QCOMPARE(logger.wait(), 0);
        static const QRegularExpression again(QStringLiteral(
            "spool takes readings again from no\\. (\\d+); (\\d+) readings? from no\\. 1 on were "
            "not spooled: 0 sent straight from memory, (\\d+) not published"));
        static const QRegularExpression stay(
            QStringLiteral("(\\d+) readings? not yet acknowledged stay in"));
        const QRegularExpressionMatch a = again.match(logger.err());
        const QRegularExpressionMatch m = stay.match(logger.err());
        QVERIFY2(a.hasMatch() && m.hasMatch(), qPrintable(logger.err()));
        QCOMPARE(a.captured(2).toInt(), a.captured(1).toInt() - 1);
        QCOMPARE(m.captured(1).toInt(), count - a.captured(1).toInt() + 1);
        QCOMPARE(outputOf(id).size(), count);
        return;
    }
    QCOMPARE(logger.wait(), 0);
    const QString err = logger.err();
    QVERIFY2(err.count(u"the MQTT spool cannot be written") == 1 &&
                 err.contains(QStringLiteral("cannot be written: cannot write ")) &&
                 err.contains(noSpace) && err.contains(u"from no. 1 on"),
             qPrintable(err));
    QCOMPARE(outputOf(id).size(), 30);
    QVERIFY2(err.contains(QStringLiteral("30 readings from no. 1 on were not spooled: %1 sent "
                                         "straight from memory, %2 not published")
                              .arg(brokerUp ? 30 : 0)
                              .arg(brokerUp ? 0 : 30)),
             qPrintable(err));
    if (brokerUp) {
        QTRY_COMPARE_WITH_TIMEOUT(numbersOf(sub.readings(id)), range(1, 30), kWaitMs);
        QVERIFY(sub.statuses(id).contains(QStringLiteral("spool-full")));
    }
}

void TestLoggerMqtt::runEndGivesTheBrokerALastChance_data()
{
    QTest::addColumn<bool>("brokerBack");
    QTest::newRow("broker back just before the end") << true;
    QTest::newRow("broker still away") << false;
}

// A run that ended within the reconnect back-off left the readings of the broker's last seconds
// in the spool until a next run with its id. Now the end tries once more, for
// --mqtt-drain-seconds, and says what stays.
void TestLoggerMqtt::runEndGivesTheBrokerALastChance()
{
    QFETCH(bool, brokerBack);
    const QString id = QStringLiteral("m14");
    BrokerWithReader bench(m_dir->path(), kAway);
    QVERIFY2(bench.ready(), qPrintable(bench.fault));
    LocalBroker &broker = bench.broker;
    Subscriber &sub = *bench.reader;

    Sim sim(atRate(100));
    Logger logger;
    startLogger(logger, sim, broker.port(), id,
                {QStringLiteral("--mqtt-drain-seconds"),
                 brokerBack ? QStringLiteral("10") : QStringLiteral("1")});
    QTRY_VERIFY_WITH_TIMEOUT(logger.err().contains(u"unreachable"), kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(outputOf(id).size() >= 150, kWaitMs);
    if (brokerBack)
        QVERIFY(broker.start());
    logger.signal(SIGTERM);
    QCOMPARE(logger.wait(), 0);
    const qsizetype logged = outputOf(id).size();
    if (brokerBack) {
        QVERIFY2(!logger.err().contains(u"stay in"), qPrintable(logger.err()));
        QTRY_COMPARE_WITH_TIMEOUT(sub.readings(id).size(), logged, kWaitMs);
        QCOMPARE(numbersOf(sub.readings(id)), range(1, logged));
        QCOMPARE(sub.statuses(id).constLast(), QStringLiteral("offline"));
    } else {
        QVERIFY2(logger.err().contains(QStringLiteral("%1 readings not yet acknowledged stay in")
                                           .arg(logged)),
                 qPrintable(logger.err()));
    }
}

QTEST_GUILESS_MAIN(TestLoggerMqtt)
#include "TestLoggerMqtt.moc"
