#pragma once

#include <cstdint>

// The serial driver's property types. Each is stored in one byte, and the declaration order is
// significant: the driver maps a value to the line through its ordinal.

enum class TComPortNumber : std::uint8_t
{
    pnCOM1,
    pnCOM2,
    pnCOM3,
    pnCOM4
};

enum class TComPortBaudRate : std::uint8_t
{
    br110,
    br300,
    br600,
    br1200,
    br2400,
    br4800,
    br9600,
    br14400,
    br19200,
    br38400,
    br56000,
    br57600,
    br115200
};

enum class TComPortDataBits : std::uint8_t
{
    db5BITS,
    db6BITS,
    db7BITS,
    db8BITS
};

enum class TComPortStopBits : std::uint8_t
{
    sb1BITS,
    sb1HALFBITS,
    sb2BITS
};

enum class TComPortParity : std::uint8_t
{
    ptNONE,
    ptODD,
    ptEVEN,
    ptMARK,
    ptSPACE
};

enum class TComPortHwHandshaking : std::uint8_t
{
    hhNONE,
    hhRTSCTS
};

enum class TComPortSwHandshaking : std::uint8_t
{
    shNONE,
    shXONXOFF
};

// Line speed in baud for a rate value.
int comPortBaudRateValue(TComPortBaudRate rate);
