#include "SerialOs.h"

#include <QFile>

#include <array>
#include <cerrno>
#include <cstdlib>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace serialos {

namespace {

struct SpeedEntry
{
    int rate = 0;
    speed_t constant = B0;
};

constexpr std::array<SpeedEntry, 19> kSpeeds{{{50, B50},
                                              {75, B75},
                                              {110, B110},
                                              {134, B134},
                                              {150, B150},
                                              {200, B200},
                                              {300, B300},
                                              {600, B600},
                                              {1200, B1200},
                                              {1800, B1800},
                                              {2400, B2400},
                                              {4800, B4800},
                                              {9600, B9600},
                                              {19200, B19200},
                                              {38400, B38400},
                                              {57600, B57600},
                                              {115200, B115200},
                                              {230400, B230400},
                                              {460800, B460800}}};

// The standard rate nearest to baudRate; ties go to the faster one.
const SpeedEntry &nearestSpeed(int baudRate)
{
    const SpeedEntry *best = &kSpeeds.front();
    for (const SpeedEntry &e : kSpeeds) {
        const int d = std::abs(e.rate - baudRate);
        const int bestD = std::abs(best->rate - baudRate);
        if (d < bestD || (d == bestD && e.rate > best->rate))
            best = &e;
    }
    return *best;
}

QString systemError(const QString &device, int error)
{
    return QStringLiteral("%1: %2").arg(device, qt_error_string(error));
}

void setModemLine(int fd, int line, bool on)
{
    (void)::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line);
}

} // namespace

OpenResult openExclusive(const QString &device)
{
    OpenResult result;
    if (device.isEmpty()) {
        result.error = QStringLiteral("No device for this port");
        result.errorNumber = ENODEV;
        return result;
    }
    // Non-blocking, so that neither the open (a modem waiting for carrier) nor a poll can stall
    // the GUI thread; no controlling terminal, so the far side cannot signal this process.
    const QByteArray path = QFile::encodeName(device);
    const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        result.errorNumber = error;
        result.error = error == EBUSY ? QStringLiteral("%1: in use by another program").arg(device)
                                      : systemError(device, error);
        return result;
    }
    // A path from the environment may name anything; reading a plain file or a pipe as meter
    // data would only show garbage.
    if (!::isatty(fd)) {
        ::close(fd);
        result.errorNumber = ENOTTY;
        result.error = QStringLiteral("%1: not a serial port").arg(device);
        return result;
    }
    // The lock is per open file, so it also keeps out a second open in this process, and holders
    // with root rights, whom TIOCEXCL does not stop.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        result.errorNumber = error == EWOULDBLOCK ? EBUSY : error;
        result.error = error == EWOULDBLOCK
                           ? QStringLiteral("%1: in use by another program").arg(device)
                           : systemError(device, error);
        return result;
    }
    // Programs that do not take the lock are refused by the kernel from here on.
    (void)::ioctl(fd, TIOCEXCL);
    result.fd = fd;
    return result;
}

void closePort(int fd)
{
    if (fd < 0)
        return;
    (void)::ioctl(fd, TIOCNXCL);
    ::close(fd);
}

void makeRawTermios(termios &t, const LineSettings &settings)
{
    // No echo, no line editing, no signals, no CR/LF translation: every byte of a frame,
    // 0x0D included, must reach the reader unchanged and nothing may go back to the meter.
    ::cfmakeraw(&t);
    t.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    t.c_cflag |= CREAD | CLOCAL;

    switch (settings.dataBits) {
    case TComPortDataBits::db5BITS:
        t.c_cflag |= CS5;
        break;
    case TComPortDataBits::db6BITS:
        t.c_cflag |= CS6;
        break;
    case TComPortDataBits::db7BITS:
        t.c_cflag |= CS7;
        break;
    case TComPortDataBits::db8BITS:
        t.c_cflag |= CS8;
        break;
    }
    // The parity bit is sent, but received parity is not checked (no INPCK): a byte with a parity
    // error is delivered as it came.
    switch (settings.parity) {
    case TComPortParity::ptNONE:
        break;
    case TComPortParity::ptODD:
        t.c_cflag |= PARENB | PARODD;
        break;
    case TComPortParity::ptEVEN:
        t.c_cflag |= PARENB;
        break;
    case TComPortParity::ptMARK:
        t.c_cflag |= PARENB | CMSPAR | PARODD;
        break;
    case TComPortParity::ptSPACE:
        t.c_cflag |= PARENB | CMSPAR;
        break;
    }
    // termios knows one or two stop bits; UARTs send one and a half when two are asked for with
    // five data bits, which is the only case where 1.5 is defined.
    if (settings.stopBits != TComPortStopBits::sb1BITS)
        t.c_cflag |= CSTOPB;
    if (settings.rtsCts)
        t.c_cflag |= CRTSCTS;
    if (settings.xonXoff) {
        t.c_iflag |= IXON | IXOFF;
        t.c_cc[VSTART] = 0x11;
        t.c_cc[VSTOP] = 0x13;
    }
    // A read returns at once with whatever has arrived, possibly nothing.
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;

    const speed_t speed = nearestSpeed(settings.baudRate).constant;
    ::cfsetispeed(&t, speed);
    ::cfsetospeed(&t, speed);
}

void applyLineSettings(int fd, const LineSettings &settings)
{
    termios t{};
    if (::tcgetattr(fd, &t) != 0)
        return; // hung up or not a terminal: there is nothing left to set
    makeRawTermios(t, settings);
    (void)::tcsetattr(fd, TCSANOW, &t);
    // 14400 and 56000 baud have no termios constant. Ask for the exact rate; a device that
    // refuses keeps the nearest standard rate set above.
    if (nearestSpeed(settings.baudRate).rate != settings.baudRate)
        (void)setExactBaudRate(fd, settings.baudRate);

    setModemLine(fd, TIOCM_DTR, settings.dtr);
    // Without hardware handshaking RTS is held off; with it, raised so the far side may send
    // (the kernel then drops it itself when our input queue fills).
    setModemLine(fd, TIOCM_RTS, settings.rtsCts);
}

void purge(int fd, bool input, bool output)
{
    if (input && output)
        (void)::tcflush(fd, TCIOFLUSH);
    else if (input)
        (void)::tcflush(fd, TCIFLUSH);
    else if (output)
        (void)::tcflush(fd, TCOFLUSH);
}

qint64 readAvailable(int fd, char *buffer, qint64 maxSize)
{
    // One read may return less than is waiting (the line discipline hands its buffer over in
    // pieces), so read until the buffer is full or nothing is left. Every pass either adds bytes
    // or ends the loop, so this is bounded by maxSize.
    qint64 total = 0;
    int interruptions = 0;
    while (total < maxSize) {
        const ssize_t n = ::read(fd, buffer + total, static_cast<size_t>(maxSize - total));
        if (n > 0) {
            total += n;
            continue;
        }
        if (n < 0 && errno == EINTR && ++interruptions < 3)
            continue;
        if (n < 0 && errno != EAGAIN && total == 0)
            return -1;
        break; // 0: nothing waiting, or the far side hung up
    }
    return total;
}

bool hungUp(int fd)
{
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 0) < 0)
        return false;
    return (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

std::optional<ModemLines> modemLines(int fd)
{
    int status = 0;
    if (::ioctl(fd, TIOCMGET, &status) != 0)
        return std::nullopt;
    ModemLines lines;
    lines.dtr = (status & TIOCM_DTR) != 0;
    lines.rts = (status & TIOCM_RTS) != 0;
    return lines;
}

} // namespace serialos
