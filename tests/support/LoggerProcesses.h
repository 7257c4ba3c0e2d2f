#pragma once

#include "tests/support/LocalPorts.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>

#include <csignal>

#include <sys/types.h>

// The built programs a logger test runs: vorlatt-sim as the meter and vorlatt-log itself. The
// test's build gives their paths as VORLATT_SIM and VORLATT_LOG.

inline const QString kLog = QStringLiteral(VORLATT_LOG);
inline const QString kSim = QStringLiteral(VORLATT_SIM);
constexpr int kWaitMs = 60000;

// The simulator, started with `arguments`; the pseudo-terminal's path is its first line.
class Sim
{
public:
    explicit Sim(const QStringList &arguments)
    {
        m_process.start(kSim, arguments);
        if (m_process.waitForReadyRead(10000))
            m_path = QString::fromLocal8Bit(m_process.readLine()).trimmed();
    }
    ~Sim() { stop(); }
    Sim(const Sim &) = delete;
    Sim &operator=(const Sim &) = delete;
    // The meter goes silent: the simulator ends and its pseudo-terminal closes.
    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        m_process.waitForFinished(5000);
    }
    QString path() const { return m_path; }
    void signal(int number) { ::kill(pid_t(m_process.processId()), number); }

private:
    QProcess m_process;
    QString m_path;
};

// One run of vorlatt-log; what it writes on its standard streams is gathered as it comes.
class Logger
{
public:
    Logger() = default;
    Logger(const Logger &) = delete;
    Logger &operator=(const Logger &) = delete;
    ~Logger()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    void start(const QStringList &arguments) { m_process.start(kLog, arguments); }
    // With its own state folder (XDG_STATE_HOME), where the MQTT spool lives.
    void start(const QString &stateHome, const QStringList &arguments)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_STATE_HOME"), stateHome);
        m_process.setProcessEnvironment(env);
        start(arguments);
    }
    bool started() { return m_process.waitForStarted(kWaitMs); }
    QString err()
    {
        m_err += QString::fromUtf8(m_process.readAllStandardError());
        return m_err;
    }
    QByteArray out()
    {
        m_out += m_process.readAllStandardOutput();
        return m_out;
    }
    // The exit status, or -1 if it did not end in time or crashed.
    int wait()
    {
        if (!m_process.waitForFinished(kWaitMs) || m_process.exitStatus() != QProcess::NormalExit)
            return -1;
        err();
        out();
        return m_process.exitCode();
    }
    void signal(int number) { ::kill(pid_t(m_process.processId()), number); }
    void killHard()
    {
        signal(SIGKILL);
        m_process.waitForFinished(5000);
    }

private:
    QProcess m_process;
    QString m_err;
    QByteArray m_out;
};
