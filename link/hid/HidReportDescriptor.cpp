#include "HidReportDescriptor.h"

#include <algorithm>
#include <array>

namespace {

// The kernel's own limit for one report; larger sums are a malformed descriptor.
constexpr std::int64_t kMaxReportBits = 16384 * 8;
constexpr int kMaxPushDepth = 16;

struct Globals
{
    std::int64_t reportSize = 0;
    std::int64_t reportCount = 0;
    int reportId = 0;
};

} // namespace

HidReportLayout parseHidReportDescriptor(const std::uint8_t *data, std::size_t size)
{
    HidReportLayout layout;
    std::array<std::int64_t, 256> inputBits{};
    std::array<Globals, kMaxPushDepth> stack{};
    int depth = 0;
    Globals g;
    std::size_t i = 0;
    while (i < size) {
        const std::uint8_t prefix = data[i];
        if (prefix == 0xFE) { // long item: size byte, tag byte, data
            if (i + 2 >= size)
                return layout;
            const std::size_t skip = 3 + std::size_t(data[i + 1]);
            if (skip > size - i)
                return layout;
            i += skip;
            continue;
        }
        static constexpr std::size_t kDataBytes[] = {0, 1, 2, 4};
        const std::size_t n = kDataBytes[prefix & 0x03];
        if (n > size - i - 1)
            return layout;
        std::uint32_t value = 0;
        for (std::size_t b = 0; b < n; ++b)
            value |= std::uint32_t(data[i + 1 + b]) << (8 * b);
        i += 1 + n;

        const int type = (prefix >> 2) & 0x03;
        const int tag = prefix >> 4;
        if (type == 0 && tag == 0x8) { // Input
            std::int64_t &bits = inputBits[std::size_t(g.reportId)];
            bits = std::min(kMaxReportBits, bits + g.reportSize * g.reportCount);
        } else if (type == 1) {
            switch (tag) {
            case 0x7:
                g.reportSize = std::min<std::int64_t>(value, kMaxReportBits);
                break;
            case 0x9:
                g.reportCount = std::min<std::int64_t>(value, kMaxReportBits);
                break;
            case 0x8:
                if (value == 0 || value > 255)
                    return layout;
                g.reportId = int(value);
                layout.hasReportIds = true;
                break;
            case 0xA: // Push
                if (depth == kMaxPushDepth)
                    return layout;
                stack[std::size_t(depth++)] = g;
                break;
            case 0xB: // Pop
                if (depth == 0)
                    return layout;
                g = stack[std::size_t(--depth)];
                break;
            default:
                break;
            }
        }
    }
    std::int64_t maxBits = 0;
    for (std::int64_t bits : inputBits)
        maxBits = std::max(maxBits, bits);
    layout.maxInputBytes = int((maxBits + 7) / 8);
    layout.valid = true;
    return layout;
}
