#pragma once

#include <QByteArray>
#include <QTest>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

// A real pseudo-terminal in raw mode whose far end the serial driver opens as COM1: tests write
// the meter's bytes into it. Lives from a test's init() to its cleanup().
class PseudoTerminal
{
public:
    PseudoTerminal()
    {
        char name[128] = {};
        QVERIFY(openpty(&m_master, &m_slave, name, nullptr, nullptr) == 0);
        termios raw{};
        tcgetattr(m_slave, &raw);
        cfmakeraw(&raw);
        tcsetattr(m_slave, TCSANOW, &raw);
        qputenv("VORLATT_COM1", name);
    }
    ~PseudoTerminal()
    {
        ::close(m_slave);
        ::close(m_master);
        qunsetenv("VORLATT_COM1");
    }
    PseudoTerminal(const PseudoTerminal &) = delete;
    PseudoTerminal &operator=(const PseudoTerminal &) = delete;

    void send(const QByteArray &bytes)
    {
        QCOMPARE(::write(m_master, bytes.constData(), size_t(bytes.size())), ssize_t(bytes.size()));
    }

private:
    int m_master = -1;
    int m_slave = -1;
};
