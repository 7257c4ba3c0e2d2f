#include "TablePaths.h"

#include <filesystem>

namespace fs = std::filesystem;

namespace table {

std::string asciiLower(std::string text)
{
    for (char &c : text) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

std::string findIgnoringCase(const std::string &path)
{
    std::error_code ec;
    if (fs::exists(path, ec))
        return path;
    const fs::path wanted(path);
    fs::path found = wanted.root_path();
    for (const fs::path &part : wanted.relative_path()) {
        const fs::path exact = found / part;
        if (fs::exists(exact, ec)) {
            found = exact;
            continue;
        }
        const std::string name = asciiLower(part.string());
        fs::path match;
        int matches = 0;
        fs::directory_iterator it(found.empty() ? fs::path(".") : found, ec);
        for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
            if (asciiLower(it->path().filename().string()) == name) {
                match = found / it->path().filename();
                ++matches;
            }
        }
        if (matches != 1)
            return {};
        found = match;
    }
    return found.string();
}

std::string primaryIndexPath(const std::string &tablePath)
{
    fs::path index(tablePath);
    const std::string ext = index.extension().string();
    const bool lowerCase = !ext.empty() && asciiLower(ext) == ext;
    index.replace_extension(lowerCase ? ".px" : ".PX");
    const std::string existing = findIgnoringCase(index.string());
    return existing.empty() ? index.string() : existing;
}

} // namespace table
