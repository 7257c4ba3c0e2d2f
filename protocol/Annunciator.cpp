#include "Annunciator.h"

namespace protocol {

const std::array<AnnunciatorBit, 23> &annunciatorBits()
{
    static const std::array<AnnunciatorBit, 23> kBits{{
        {Annunciator::AutoRange, 1, 0x20, "LcdAuto", 6},
        {Annunciator::Dc, 1, 0x10, "LcdDc1", 5},
        {Annunciator::Ac, 1, 0x08, "LcdAC", 5},
        {Annunciator::Relative, 1, 0x04, "LCDREL", 5},
        {Annunciator::Hold, 1, 0x02, "LCDHold", 5},
        {Annunciator::Maximum, 2, 0x20, "Labmax", 5},
        {Annunciator::Minimum, 2, 0x10, "Labmin", 5},
        {Annunciator::Battery, 2, 0x04, "LCDBATT", 5},
        {Annunciator::Nano, 2, 0x02, "LCDn", 10},
        {Annunciator::Micro, 3, 0x80, "LCDu", 10},
        {Annunciator::Milli, 3, 0x40, "Lcdm", 10},
        {Annunciator::Kilo, 3, 0x20, "LCDk", 10},
        {Annunciator::Mega, 3, 0x10, "LCDM1", 10},
        {Annunciator::Beeper, 3, 0x08, "LCDFm", 5},
        {Annunciator::Diode, 3, 0x04, "LCDDI", 5},
        {Annunciator::Percent, 3, 0x02, "LCDBF", 5},
        {Annunciator::Volt, 4, 0x80, "LcdV", 5},
        {Annunciator::Ampere, 4, 0x40, "LCDA", 10},
        {Annunciator::Ohm, 4, 0x20, "LCDohm", 5},
        {Annunciator::Hertz, 4, 0x08, "LCDHz", 5},
        {Annunciator::Farad, 4, 0x04, "LCDF", 5},
        {Annunciator::Celsius, 4, 0x02, "LCDCS", 5},
        {Annunciator::Fahrenheit, 4, 0x01, "LCDFS", 5},
    }};
    return kBits;
}

} // namespace protocol
