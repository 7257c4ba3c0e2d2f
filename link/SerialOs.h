#pragma once

#include "ComPortTypes.h"

#include <QString>

#include <optional>

struct termios;

// Thin wrappers over the Linux serial-port calls (open/flock/termios/ioctl) that the driver uses.
// They keep errno handling and the system headers out of the driver.
namespace serialos {

// The line as the driver wants it, in the driver's own terms.
struct LineSettings
{
    int baudRate = 9600;
    TComPortDataBits dataBits = TComPortDataBits::db8BITS;
    TComPortStopBits stopBits = TComPortStopBits::sb1BITS;
    TComPortParity parity = TComPortParity::ptNONE;
    bool rtsCts = false;
    bool xonXoff = false;
    bool dtr = true;
};

struct OpenResult
{
    int fd = -1;
    QString error;       // why the open failed; empty on success
    int errorNumber = 0; // the failure as an errno value (EBUSY: in use, ENOTTY: no terminal)
};

struct ModemLines
{
    bool dtr = false;
    bool rts = false;
};

// Opens a terminal device for exclusive, non-blocking use. Fails when the path is not a
// terminal or another open file (in this or another program) holds the port.
OpenResult openExclusive(const QString &device);

// Releases the exclusive claim and closes; safe to call with -1.
void closePort(int fd);

// Puts the port in raw 8-bit mode with the given settings and sets DTR and RTS to match.
// Each call that the device refuses (pseudo-terminals refuse several) is skipped silently, so the
// rest still takes effect.
void applyLineSettings(int fd, const LineSettings &settings);

// The terminal attributes applyLineSettings writes, given the port's current ones. Speeds that
// have no termios constant are set to the nearest standard one here; applyLineSettings then asks
// the kernel for the exact rate.
void makeRawTermios(termios &t, const LineSettings &settings);

// Discards pending input and/or output; failures are ignored.
void purge(int fd, bool input, bool output);

// Reads what is waiting, at most maxSize bytes, without blocking. Returns the number of bytes
// read, 0 when nothing was waiting or the far side has gone, and -1 on a read error.
qint64 readAvailable(int fd, char *buffer, qint64 maxSize);

// Whether the line has hung up: the far side of a pseudo-terminal closed, a USB adapter
// unplugged. Such a port reads as empty, not as failed, for good.
bool hungUp(int fd);

// The DTR and RTS lines as the port reports them; nothing when the device has no modem lines.
std::optional<ModemLines> modemLines(int fd);

// The exact-rate calls (termios2) live in their own file: the kernel header that declares them
// cannot be included together with <termios.h>.

// Sets input and output speed to any rate the device accepts; false if it refuses.
bool setExactBaudRate(int fd, int baudRate);

// The output speed in baud, also for rates without a termios constant; -1 if unreadable.
int lineBaudRate(int fd);

} // namespace serialos
