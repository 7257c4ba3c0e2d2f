#pragma once

#include <QByteArray>
#include <QtTest>

#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

// A pseudo-terminal standing in for the meter's port: COM1 names its device side for as long as
// the object lives, and send() writes bytes as the meter would. With `link`, COM1 names that
// symbolic link to the device side instead, as a udev rule names an adapter: a PtyPort made
// afresh with the same link is the adapter plugged in again, and the link goes with the object,
// as the device node goes with an adapter pulled out.
class PtyPort
{
public:
    explicit PtyPort(const QByteArray &link = {})
    {
        char path[128] = {};
        if (::openpty(&m_master, &m_slave, path, nullptr, nullptr) != 0)
            return;
        termios raw{};
        ::tcgetattr(m_slave, &raw);
        ::cfmakeraw(&raw);
        ::tcsetattr(m_slave, TCSANOW, &raw);
        m_path = QByteArray(path);
        if (!link.isEmpty()) {
            ::unlink(link.constData());
            if (::symlink(path, link.constData()) != 0)
                m_path.clear();
            m_link = link;
        }
        qputenv("VORLATT_COM1", m_link.isEmpty() ? m_path : m_link);
    }
    ~PtyPort()
    {
        qunsetenv("VORLATT_COM1");
        if (!m_link.isEmpty())
            ::unlink(m_link.constData());
        ::close(m_slave);
        ::close(m_master);
    }
    PtyPort(const PtyPort &) = delete;
    PtyPort &operator=(const PtyPort &) = delete;

    bool isOpen() const { return !m_path.isEmpty(); }
    QByteArray path() const { return m_path; }

    bool send(const QByteArray &bytes) const
    {
        return ::write(m_master, bytes.constData(), size_t(bytes.size())) == ssize_t(bytes.size());
    }
    // True once the program has read everything sent so far.
    bool drained() const
    {
        int pending = 0;
        return ::ioctl(m_slave, FIONREAD, &pending) == 0 && pending == 0;
    }

private:
    int m_master = -1;
    int m_slave = -1;
    QByteArray m_path;
    QByteArray m_link;
};
