#pragma once

#include <cstddef>
#include <cstdint>

// What the read side needs from a HID report descriptor: whether reports carry an identifier
// byte, and the length of the largest input report. The descriptor comes from the device, so the
// parser trusts none of its sizes: it never reads past `size` bytes and caps every count.
struct HidReportLayout
{
    bool valid = false; // the descriptor parsed to its end
    bool hasReportIds = false;
    int maxInputBytes = 0; // largest input report, identifier byte not counted
    // Bytes of the largest input report as the read thread receives it: the identifier byte (a
    // 0 in front when the reports have none) and the report.
    int inputReportByteLength() const { return maxInputBytes > 0 ? maxInputBytes + 1 : 0; }
};

HidReportLayout parseHidReportDescriptor(const std::uint8_t *data, std::size_t size);
