#include "DisplayState.h"

namespace protocol {

QByteArray DisplayState::toFrame() const
{
    QByteArray frame(14, '\0');
    frame[0] = negative ? '-' : '+';
    for (int i = 0; i < 4; ++i)
        frame[1 + i] = i < digits.size() ? digits.at(i) : '0';
    if (overload)
        frame[1] = '?';
    frame[5] = ' ';
    static constexpr char kPointCodes[] = {'0', '1', '2', '4'};
    frame[6] = point >= 1 && point <= 3 ? kPointCodes[point] : '0';
    for (const AnnunciatorBit &bit : annunciatorBits()) {
        if (annunciators.testFlag(bit.flag))
            frame[6 + bit.statusByte] = static_cast<char>(frame.at(6 + bit.statusByte) | bit.mask);
    }
    frame[11] = '\0';
    frame[12] = '\r';
    frame[13] = '\n';
    return frame;
}

} // namespace protocol
