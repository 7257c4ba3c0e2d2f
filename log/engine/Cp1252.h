#pragma once

#include <string>
#include <string_view>

namespace table {

// Alpha fields and field names are stored in the single-byte Windows code page 1252, the code
// page our tables declare; the engine's interface speaks UTF-8.

// Every byte has a meaning, so decoding cannot fail. The five bytes the code page leaves
// unassigned decode to the control characters of the same number, so that they survive a copy.
std::string cp1252ToUtf8(std::string_view bytes);

// False if text is not valid UTF-8 or holds a character the code page has no byte for.
bool utf8ToCp1252(std::string_view text, std::string &bytes);

} // namespace table
