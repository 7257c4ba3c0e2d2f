#pragma once

#include <QtTest>

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// A Mosquitto broker of the test's own on 127.0.0.1, on a port free when it was made, which it
// keeps across stop() and start().
class LocalBroker
{
public:
    explicit LocalBroker(bool anonymous = true) : m_port(freePort())
    {
        const QByteArray conf = "listener " + QByteArray::number(m_port) + " 127.0.0.1\n" +
                                "allow_anonymous " + (anonymous ? "true" : "false") + "\n";
        QFile f(m_dir.filePath(QStringLiteral("mosquitto.conf")));
        m_ok = m_dir.isValid() && f.open(QIODevice::WriteOnly) && f.write(conf) == conf.size() &&
               f.flush();
    }
    ~LocalBroker() { stop(); }

    bool start()
    {
        m_process.setStandardOutputFile(QProcess::nullDevice());
        m_process.setStandardErrorFile(QProcess::nullDevice());
        m_process.start(QStringLiteral("mosquitto"),
                        {QStringLiteral("-c"), m_dir.filePath(QStringLiteral("mosquitto.conf"))});
        for (int i = 0; m_ok && i < 200; ++i) {
            if (listening(m_port))
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
    int port() const { return m_port; }

    static bool listening(int port)
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(quint16(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
        ::close(fd);
        return ok;
    }

private:
    static int freePort()
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof a;
        int port = 0;
        if (::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &size) == 0)
            port = ntohs(a.sin_port);
        ::close(fd);
        return port;
    }

    QTemporaryDir m_dir;
    int m_port = 0;
    bool m_ok = false;
    QProcess m_process;
};
