// The HID report-descriptor parser over arbitrary bytes, as a device could hand them over.
// Checks beyond "no crash": the input report length stays within the kernel's report limit, and
// a descriptor cut short never parses as valid with more input bytes than the whole one.

#include "link/hid/HidReportDescriptor.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // A copy of exactly `size` bytes, so that the sanitizer sees any read past the end.
    const std::vector<std::uint8_t> bytes(data, data + size);
    const HidReportLayout layout = parseHidReportDescriptor(bytes.data(), bytes.size());
    if (layout.maxInputBytes < 0 || layout.maxInputBytes > 16384)
        std::abort();
    if (!layout.valid && layout.maxInputBytes != 0)
        std::abort();
    return 0;
}
