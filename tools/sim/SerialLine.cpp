#include "SerialLine.h"

#include "FrameClock.h"
#include "SimSignals.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// How long drain() waits for the reader to take the last frames.
constexpr long long kDrainNs = 1000LL * 1000000LL;

// 2400 baud, 8 data bits, no parity, one stop bit, nothing translated. A pseudo-terminal ignores
// the speed but keeps the raw mode, which is what matters to the reader.
void makeRaw(int fd)
{
    termios tio{};
    if (tcgetattr(fd, &tio) != 0)
        return; // not a terminal: write the bytes as they are
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&tio, B2400);
    cfsetospeed(&tio, B2400);
    tcsetattr(fd, TCSANOW, &tio);
}

} // namespace

bool SerialLine::openPseudoTerminal()
{
    int master = -1, slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        std::fprintf(stderr, "vorlatt-sim: cannot open a pseudo-terminal: %s\n",
                     std::strerror(errno));
        return false;
    }
    makeRaw(slave);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    m_fd = master;
    m_readerEnd = slave;
    m_path = ttyname(slave) ? ttyname(slave) : "";
    return true;
}

bool SerialLine::openDevice(const std::string &path)
{
    m_fd = ::open(path.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK);
    if (m_fd < 0) {
        std::fprintf(stderr, "vorlatt-sim: cannot open %s: %s\n", path.c_str(),
                     std::strerror(errno));
        return false;
    }
    makeRaw(m_fd);
    m_path = path;
    return true;
}

int SerialLine::backlog() const
{
    int waiting = 0;
    if (m_readerEnd >= 0)
        return ioctl(m_readerEnd, FIONREAD, &waiting) == 0 ? waiting : 0;
    return ioctl(m_fd, TIOCOUTQ, &waiting) == 0 ? waiting : 0;
}

SerialLine::Sent SerialLine::send(const QByteArray &frame, int maxBacklog)
{
    if (backlog() + frame.size() > maxBacklog)
        return Sent::Dropped;
    const ssize_t written = ::write(m_fd, frame.constData(), static_cast<size_t>(frame.size()));
    if (written == frame.size())
        return Sent::Whole;
    if (written >= 0 || errno == EAGAIN || errno == EINTR)
        return Sent::Dropped;
    std::fprintf(stderr, "vorlatt-sim: write to %s failed: %s\n", m_path.c_str(),
                 std::strerror(errno));
    return Sent::Failed;
}

// Bytes written a moment ago may still be on their way into the queue that backlog() sees, so
// the line counts as drained only when it is found empty twice in a row.
void SerialLine::drain()
{
    using namespace frameclock;
    const timespec giveUp = addNanoseconds(now(), kDrainNs);
    int emptyChecks = 0;
    while (!simsignals::stopRequested() && emptyChecks < 2 && before(now(), giveUp)) {
        sleepUntil(addNanoseconds(now(), 20 * 1000000LL));
        emptyChecks = backlog() > 0 ? 0 : emptyChecks + 1;
    }
}

void SerialLine::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    if (m_readerEnd >= 0)
        ::close(m_readerEnd);
    m_fd = m_readerEnd = -1;
}

bool LineLink::pointAt(const std::string &target)
{
    if (m_path.empty())
        return true;
    const std::string temporary = m_path + ".new";
    ::unlink(temporary.c_str());
    if (::symlink(target.c_str(), temporary.c_str()) != 0 ||
        ::rename(temporary.c_str(), m_path.c_str()) != 0) {
        std::fprintf(stderr, "vorlatt-sim: cannot link %s: %s\n", m_path.c_str(),
                     std::strerror(errno));
        ::unlink(temporary.c_str());
        return false;
    }
    m_made = true;
    return true;
}

void LineLink::remove()
{
    if (m_made)
        ::unlink(m_path.c_str());
    m_made = false;
}
