#include "Session.h"

#include "EngineError.h"
#include "TablePaths.h"

#include <filesystem>

namespace fs = std::filesystem;

namespace table {

namespace {

void checkFolder(const std::string &session, const std::string &what, const std::string &dir)
{
    std::error_code ec;
    if (!fs::is_directory(dir, ec))
        throw EngineError("session \"" + session + "\": the " + what + " \"" + dir +
                          "\" is not an existing folder");
}

} // namespace

void Session::setNetFileDir(const std::string &dir)
{
    checkFolder(m_name, "lock-control folder", dir);
    m_netFileDir = dir;
}

void Session::setPrivateDir(const std::string &dir)
{
    checkFolder(m_name, "private folder", dir);
    m_privateDir = dir;
}

std::string Session::tablePath(const std::string &tableName, TableType type) const
{
    if (tableName.empty())
        throw EngineError("no table name given");
    fs::path path(tableName);
    if (path.is_relative()) {
        std::error_code ec;
        const fs::path here = fs::current_path(ec);
        if (ec)
            throw EngineError("cannot find table \"" + tableName +
                              "\": the current folder is not accessible");
        path = here / path;
    }
    if (!path.has_extension())
        path += ".DB";
    if (type == TableType::Default && asciiLower(path.extension().string()) != ".db")
        throw EngineError("cannot tell the type of table \"" + tableName +
                          "\" from its extension: only Paradox tables (.db) are supported");
    path = path.lexically_normal();
    const std::string existing = findIgnoringCase(path.string());
    return existing.empty() ? path.string() : existing;
}

} // namespace table
