#include "Annunciator.h"

namespace protocol {

const std::array<AnnunciatorBit, 23> &annunciatorBits()
{
    static const std::array<AnnunciatorBit, 23> kBits{{
        {Annunciator::AutoRange, 1, 0x20},
        {Annunciator::Dc, 1, 0x10},
        {Annunciator::Ac, 1, 0x08},
        {Annunciator::Relative, 1, 0x04},
        {Annunciator::Hold, 1, 0x02},
        {Annunciator::Maximum, 2, 0x20},
        {Annunciator::Minimum, 2, 0x10},
        {Annunciator::Battery, 2, 0x04},
        {Annunciator::Nano, 2, 0x02},
        {Annunciator::Micro, 3, 0x80},
        {Annunciator::Milli, 3, 0x40},
        {Annunciator::Kilo, 3, 0x20},
        {Annunciator::Mega, 3, 0x10},
        {Annunciator::Beeper, 3, 0x08},
        {Annunciator::Diode, 3, 0x04},
        {Annunciator::Percent, 3, 0x02},
        {Annunciator::Volt, 4, 0x80},
        {Annunciator::Ampere, 4, 0x40},
        {Annunciator::Ohm, 4, 0x20},
        {Annunciator::Hertz, 4, 0x08},
        {Annunciator::Farad, 4, 0x04},
        {Annunciator::Celsius, 4, 0x02},
        {Annunciator::Fahrenheit, 4, 0x01},
    }};
    return kBits;
}

} // namespace protocol
