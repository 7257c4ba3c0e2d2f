#pragma once

#include <QFlags>

#include <array>

namespace protocol {

// The display annunciators that a frame's four status bytes switch on, one bit each.
enum class Annunciator : quint32
{
    AutoRange = 1u << 0,
    Dc = 1u << 1,
    Ac = 1u << 2,
    Relative = 1u << 3,
    Hold = 1u << 4,
    Maximum = 1u << 5,
    Minimum = 1u << 6,
    Battery = 1u << 7,
    Nano = 1u << 8,
    Micro = 1u << 9,
    Milli = 1u << 10,
    Kilo = 1u << 11,
    Mega = 1u << 12,
    Beeper = 1u << 13,
    Diode = 1u << 14,
    Percent = 1u << 15,
    Volt = 1u << 16,
    Ampere = 1u << 17,
    Ohm = 1u << 18,
    Hertz = 1u << 19,
    Farad = 1u << 20,
    Celsius = 1u << 21,
    Fahrenheit = 1u << 22,
};
Q_DECLARE_FLAGS(Annunciators, Annunciator)
Q_DECLARE_OPERATORS_FOR_FLAGS(Annunciators)

// Where each annunciator sits in a frame.
struct AnnunciatorBit
{
    Annunciator flag;
    int statusByte; // 1 to 4; status byte n is frame byte 7 + n (counted from 1)
    quint8 mask;    // the bit within that status byte
};

// Every annunciator the program reads, in bit order of the frame. Other status bits are ignored.
const std::array<AnnunciatorBit, 23> &annunciatorBits();

} // namespace protocol
