#include "ComPortTypes.h"

#include <array>

int comPortBaudRateValue(TComPortBaudRate rate)
{
    static constexpr std::array<int, 13> kRates{110,   300,   600,   1200,  2400,  4800,  9600,
                                                14400, 19200, 38400, 56000, 57600, 115200};
    const auto index = static_cast<std::size_t>(rate);
    return index < kRates.size() ? kRates[index] : kRates[6];
}
