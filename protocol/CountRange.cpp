#include "CountRange.h"

#include <array>

namespace protocol {

namespace {

struct CodeRow
{
    const char16_t *code;
    qint32 full, tenth, hundredth, fiftieth;
};

constexpr std::array<CodeRow, 6> kCodes{{
    {u"4", 4000, 400, 40, 80},
    {u"6", 6000, 600, 60, 120},
    {u"34", 3400, 340, 34, 68},
    {u"10", 1000, 1000, 100, 200},
    {u"1", 100, 100, 10, 20},
    {u"13", 1000, 1000, 100, 200},
}};

} // namespace

std::optional<CountRange> CountRange::fromCode(QStringView code)
{
    for (const CodeRow &row : kCodes) {
        if (code == QStringView(row.code))
            return CountRange{QString::fromUtf16(row.code), row.full, row.tenth, row.hundredth,
                              row.fiftieth};
    }
    return std::nullopt;
}

CountRange CountRange::forUnit(QStringView unitText)
{
    QStringView code = u"6";
    if (unitText == u"Hz")
        code = u"10";
    else if (unitText == u"%")
        code = u"1";
    else if (unitText == u"#" || unitText == u"?")
        code = u"13";
    return *fromCode(code);
}

} // namespace protocol
