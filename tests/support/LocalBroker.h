#pragma once

#include "tests/support/LocalPorts.h"

#include <QtTest>

#include <QByteArrayList>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>

#include <csignal>
#include <optional>

#include <pwd.h>
#include <sys/types.h>
#include <unistd.h>

// A Mosquitto broker of the test's own on 127.0.0.1, and a reader of what reaches it. Two kinds:
// an open broker (anyone may log in, or no one), for the connection's own tests; and a site's
// broker with logins, an ACL and persistence, for the logger's runs, read back by mosquitto_sub.

// The logins of a broker with users: the meter's writes under "lab/" (and Home Assistant's
// discovery configs); the reader reads everything and writes only its marker.
inline const QString kMeterUser = QStringLiteral("meter");
inline const QString kMeterPassword = QStringLiteral("s3cret");
inline const QString kReaderUser = QStringLiteral("reader");
inline const QString kReaderPassword = QStringLiteral("r3ader");

// Runs a program to its end; true when it exits with status 0.
inline bool runProgram(const QString &program, const QStringList &arguments)
{
    QProcess p;
    p.start(program, arguments);
    return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit &&
           p.exitCode() == 0;
}

inline bool writeFile(const QString &path, const QByteArray &bytes, QFile::Permissions permissions)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size() &&
           f.setPermissions(permissions);
}

// What a site's broker configuration decides (logins, persistence, queues) for a broker with
// users.
inline const QByteArray kSiteBrokerSettings = "allow_anonymous false\n"
                                              "persistence true\n"
                                              // The reader may fall behind a spool's backlog: the
                                              // broker keeps everything for it rather than drop
                                              // beyond its default of 1000.
                                              "max_queued_messages 1000000\n";

// The broker, on a port free when it was made, which it keeps across stop() and start().
class LocalBroker
{
public:
    // An open broker in a folder of its own: anyone may log in, or (anonymous false) no one.
    explicit LocalBroker(bool anonymous = true) : m_port(freePort())
    {
        m_dir = m_ownDir.path();
        m_readerPort = m_port;
        m_logins = false;
        const QByteArray conf = "listener " + QByteArray::number(m_port) + " 127.0.0.1\n" +
                                "allow_anonymous " + (anonymous ? "true" : "false") + "\n";
        m_ok = m_ownDir.isValid() && m_port > 0 &&
               writeFile(m_dir + QStringLiteral("/mosquitto.conf"), conf,
                         QFile::ReadOwner | QFile::WriteOwner);
    }

    // A broker with users, its files in `dir` (the password file is kept for a next broker made
    // on the same folder). With TLS, from dir's server.pem and server.key, the meter's listener
    // is encrypted and the reader has a plain one of its own. `settings` are the site's lines;
    // the files, the listeners and the users are the test's.
    LocalBroker(const QString &dir, bool tls = false,
                const QByteArray &settings = kSiteBrokerSettings)
        : m_dir(dir), m_port(freePort())
    {
        const QString passwd = m_dir + QStringLiteral("/passwd");
        if (!QFile::exists(passwd))
            m_ok = runProgram(QStringLiteral("mosquitto_passwd"),
                              {QStringLiteral("-c"), QStringLiteral("-b"), passwd, kMeterUser,
                               kMeterPassword}) &&
                   runProgram(QStringLiteral("mosquitto_passwd"),
                              {QStringLiteral("-b"), passwd, kReaderUser, kReaderPassword});
        QByteArray conf = settings + "password_file " + passwd.toUtf8() +
                          "\n"
                          "acl_file " +
                          m_dir.toUtf8() +
                          "/acl\n"
                          "persistence_location " +
                          m_dir.toUtf8() +
                          "/\n"
                          "log_dest stderr\n"
                          "per_listener_settings false\n"
                          // Run as root, the broker would otherwise become a user that cannot
                          // read the test's folder.
                          "user " +
                          QByteArray(::getpwuid(::getuid())->pw_name) + "\n";
        if (tls) {
            m_readerPort = freePort();
            conf += "listener " + QByteArray::number(m_port) +
                    " 127.0.0.1\n"
                    "certfile " +
                    m_dir.toUtf8() +
                    "/server.pem\n"
                    "keyfile " +
                    m_dir.toUtf8() +
                    "/server.key\n"
                    "listener " +
                    QByteArray::number(m_readerPort) + " 127.0.0.1\n";
        } else {
            m_readerPort = m_port;
            conf += "listener " + QByteArray::number(m_port) + " 127.0.0.1\n";
        }
        m_ok = m_ok && m_port > 0 && writeAcl() &&
               writeFile(m_dir + QStringLiteral("/mosquitto.conf"), conf,
                         QFile::ReadOwner | QFile::WriteOwner);
    }
    ~LocalBroker() { stop(); }
    LocalBroker(const LocalBroker &) = delete;
    LocalBroker &operator=(const LocalBroker &) = delete;

    // True once it listens (on both ports, with TLS).
    bool start()
    {
        m_process.setStandardOutputFile(QProcess::nullDevice());
        if (m_logins)
            m_process.setStandardErrorFile(m_dir + QStringLiteral("/broker.log"),
                                           QIODevice::Append);
        else
            m_process.setStandardErrorFile(QProcess::nullDevice());
        m_process.start(QStringLiteral("mosquitto"),
                        {QStringLiteral("-c"), m_dir + QStringLiteral("/mosquitto.conf")});
        for (int i = 0; m_ok && i < 200; ++i) {
            if (listening(m_port) && listening(m_readerPort))
                return true;
            QTest::qWait(50);
        }
        return false;
    }
    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        m_process.waitForFinished(10000);
    }
    // Lets the meter's user write under `topics` too, and has the broker read its ACL again.
    bool allowMeter(const QByteArray &topics)
    {
        m_meterTopics << topics;
        return writeAcl() && ::kill(pid_t(m_process.processId()), SIGHUP) == 0;
    }
    int port() const { return m_port; }
    int readerPort() const { return m_readerPort; }
    bool ok() const { return m_ok; }

private:
    bool writeAcl()
    {
        QByteArray acl = "user " + kMeterUser.toUtf8() + "\n";
        for (const QByteArray &topics : std::as_const(m_meterTopics))
            acl += "topic write " + topics + "\n";
        acl += "user " + kReaderUser.toUtf8() + "\ntopic read #\ntopic write lab/marker\n";
        return writeFile(m_dir + QStringLiteral("/acl"), acl, QFile::ReadOwner | QFile::WriteOwner);
    }

    QTemporaryDir m_ownDir;
    QString m_dir;
    QByteArrayList m_meterTopics = {"lab/#", "homeassistant/sensor/#"};
    int m_port = 0;
    int m_readerPort = 0;
    bool m_logins = true;
    bool m_ok = true;
    QProcess m_process;
};

struct MqttMessage
{
    QString topic;
    QByteArray payload;
};

// mosquitto_sub as the reader of a broker with users, with a session the broker keeps across
// its restarts and while it is away: a Subscriber with the same `clientId` takes the session up
// again.
class Subscriber
{
public:
    explicit Subscriber(int port, QString clientId = QString())
    {
        static int serial = 0;
        if (clientId.isEmpty())
            clientId = QStringLiteral("reader-%1-%2").arg(::getpid()).arg(++serial);
        m_process.start(QStringLiteral("mosquitto_sub"),
                        {QStringLiteral("-h"),
                         QStringLiteral("127.0.0.1"),
                         QStringLiteral("-p"),
                         QString::number(port),
                         QStringLiteral("-u"),
                         kReaderUser,
                         QStringLiteral("-P"),
                         kReaderPassword,
                         QStringLiteral("-q"),
                         QStringLiteral("1"),
                         QStringLiteral("-c"),
                         QStringLiteral("-i"),
                         clientId,
                         QStringLiteral("-t"),
                         QStringLiteral("lab/#"),
                         QStringLiteral("-t"),
                         QStringLiteral("homeassistant/#"),
                         QStringLiteral("-t"),
                         QStringLiteral("closed/#"),
                         QStringLiteral("-v")});
    }
    ~Subscriber()
    {
        m_process.terminate();
        m_process.waitForFinished(5000);
    }
    Subscriber(const Subscriber &) = delete;
    Subscriber &operator=(const Subscriber &) = delete;

    const QList<MqttMessage> &messages()
    {
        m_buffer += m_process.readAllStandardOutput();
        qsizetype end;
        while ((end = m_buffer.indexOf('\n')) >= 0) {
            const QByteArray line = m_buffer.left(end);
            m_buffer.remove(0, end + 1);
            const qsizetype space = line.indexOf(' ');
            m_messages.append({QString::fromUtf8(line.left(space)),
                               space < 0 ? QByteArray() : line.mid(space + 1)});
        }
        return m_messages;
    }
    // Published as the reader, to learn that everything sent before it has been seen.
    // The subscription may not be in place at first: the marker goes again every second.
    bool seesMarker(int port)
    {
        const QByteArray marker = QByteArray::number(++m_markers);
        for (int attempt = 0; attempt < 30; ++attempt) {
            if (!runProgram(QStringLiteral("mosquitto_pub"),
                            {QStringLiteral("-h"), QStringLiteral("127.0.0.1"),
                             QStringLiteral("-p"), QString::number(port), QStringLiteral("-u"),
                             kReaderUser, QStringLiteral("-P"), kReaderPassword,
                             QStringLiteral("-q"), QStringLiteral("1"), QStringLiteral("-t"),
                             QStringLiteral("lab/marker"), QStringLiteral("-m"),
                             QString::fromLatin1(marker)}))
                return false;
            for (int i = 0; i < 20; ++i) {
                for (const MqttMessage &m : messages())
                    if (m.topic == u"lab/marker" && m.payload == marker)
                        return true;
                QTest::qWait(50);
            }
        }
        return false;
    }
    // The readings, the first time each number came; the order of first arrival is kept.
    QList<QJsonObject> readings(const QString &id, const QString &prefix = QStringLiteral("lab"))
    {
        QList<QJsonObject> out;
        QSet<qint64> seen;
        for (const MqttMessage &m : messages()) {
            if (m.topic != QStringLiteral("%1/%2/reading").arg(prefix, id))
                continue;
            const QJsonObject o = QJsonDocument::fromJson(m.payload).object();
            if (!seen.contains(o.value(u"no").toInteger())) {
                seen.insert(o.value(u"no").toInteger());
                out << o;
            }
        }
        return out;
    }
    // Every reading as it came, repeats included.
    QList<QJsonObject> allReadings(const QString &id)
    {
        QList<QJsonObject> out;
        for (const MqttMessage &m : messages())
            if (m.topic == QStringLiteral("lab/%1/reading").arg(id))
                out << QJsonDocument::fromJson(m.payload).object();
        return out;
    }
    QStringList statuses(const QString &id)
    {
        QStringList out;
        for (const MqttMessage &m : messages())
            if (m.topic == QStringLiteral("lab/%1/status").arg(id))
                out << QString::fromUtf8(m.payload);
        return out;
    }

private:
    QProcess m_process;
    QByteArray m_buffer;
    QList<MqttMessage> m_messages;
    int m_markers = 0;
};

// How most runs against a broker with users begin: the broker running and a reader whose
// subscription is in place. With `away`, the broker stops once the reader's session is made, so
// that it keeps for the reader what comes when it is back. `fault` says which step failed.
struct BrokerWithReader
{
    explicit BrokerWithReader(const QString &dir, bool away = false, bool tls = false,
                              const QByteArray &settings = kSiteBrokerSettings)
        : broker(dir, tls, settings)
    {
        if (!broker.ok())
            fault = QStringLiteral("the broker's files could not be made");
        else if (!broker.start())
            fault = QStringLiteral("the broker did not start");
        else {
            reader.emplace(broker.readerPort());
            if (!reader->seesMarker(broker.readerPort()))
                fault = QStringLiteral("the reader's subscription is not in place");
            else if (away)
                broker.stop();
        }
    }
    bool ready() const { return fault.isEmpty(); }

    LocalBroker broker;
    std::optional<Subscriber> reader;
    QString fault;
};
