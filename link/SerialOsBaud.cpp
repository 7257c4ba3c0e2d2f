// The kernel's termios2 interface sets any baud rate, not just those with a termios constant.
// Its header redefines struct termios, so this file must not see <termios.h> (nor SerialOs.h,
// which names that struct); the two functions are declared again below.
#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace serialos {

bool setExactBaudRate(int fd, int baudRate);
int lineBaudRate(int fd);

bool setExactBaudRate(int fd, int baudRate)
{
    if (baudRate <= 0)
        return false;
    struct termios2 t
    {
    };
    if (::ioctl(fd, TCGETS2, &t) != 0)
        return false;
    // No input speed bits: the input runs at the output speed.
    t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= BOTHER;
    t.c_ispeed = static_cast<speed_t>(baudRate);
    t.c_ospeed = static_cast<speed_t>(baudRate);
    return ::ioctl(fd, TCSETS2, &t) == 0;
}

int lineBaudRate(int fd)
{
    struct termios2 t
    {
    };
    if (::ioctl(fd, TCGETS2, &t) != 0)
        return -1;
    return static_cast<int>(t.c_ospeed);
}

} // namespace serialos
