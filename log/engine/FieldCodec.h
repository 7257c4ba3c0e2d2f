#pragma once

#include "FieldDef.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace table {

struct TimeOfDay
{
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
};

// Values in their stored form. `data` points at storedSize(field) bytes of a record. Numbers
// are stored high byte first with the sign bit inverted (negative floating-point numbers with
// all bits inverted), so that stored keys sort like their values and all-zero bytes read as a
// blank value in every type.

bool isBlankValue(const FieldDef &field, const std::uint8_t *data);

// The field's default text: alpha as stored, whole numbers in decimal, numbers with up to 15
// significant digits, currency with two decimals, dates "YYYY-MM-DD", times "HH:MM:SS" (with
// ".zzz" when there are milliseconds), timestamps "YYYY-MM-DD HH:MM:SS", logicals "True" or
// "False", bytes in hexadecimal; a blank value gives "". Memo and blob fields throw
// EngineError, their data lives outside the table file; so does a BCD value whose digits are
// not decimal.
std::string fieldText(const FieldDef &field, const std::uint8_t *data);
// Appends fieldText() to `out`; whole numbers, dates and times without a temporary string, for
// writers of many records.
void appendFieldText(std::string &out, const FieldDef &field, const std::uint8_t *data);

// Convert a value to the field's type and store it. A value that does not fit the field, or that
// the field's type cannot take, throws EngineError with a message naming the field, and `data`
// is left as it was. Autoincrement fields take no values: the table assigns them.
// Empty text stores a blank value in every type.
void storeText(const FieldDef &field, std::string_view text, std::uint8_t *data);
void storeInteger(const FieldDef &field, std::int32_t value, std::uint8_t *data);
void storeFloat(const FieldDef &field, double value, std::uint8_t *data);
void storeTime(const FieldDef &field, const TimeOfDay &time, std::uint8_t *data);

// Whole numbers in the stored form of short (2 bytes) and long, time, date and autoincrement
// fields (4 bytes). Reading a blank value gives 0.
void putStoredInteger(std::uint8_t *data, int bytes, std::int64_t value);
std::int64_t storedInteger(const std::uint8_t *data, int bytes);

// Date fields count days from 1 for the first of January of the year 1.
std::int64_t dayNumber(int year, int month, int day);

} // namespace table
