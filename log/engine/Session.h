#pragma once

#include <string>

namespace table {

// How a table name is read: Paradox whatever the extension, or by the extension (".db", or
// none, means Paradox; the engine knows no other type).
enum class TableType
{
    Default,
    Paradox
};

// The context tables are opened in: a name and its two folders. Locks are taken on the table
// files themselves (see LockedFile) and temporary files are written beside the file they
// replace, so that the replacement is one rename; the folders are kept for the program to set
// and show, and are checked to exist.
class Session
{
public:
    explicit Session(std::string name = {}) : m_name(std::move(name)) {}

    void setSessionName(std::string name) { m_name = std::move(name); }
    const std::string &sessionName() const { return m_name; }

    // Both throw EngineError if `dir` is not an existing folder.
    void setNetFileDir(const std::string &dir);
    const std::string &netFileDir() const { return m_netFileDir; }
    void setPrivateDir(const std::string &dir);
    const std::string &privateDir() const { return m_privateDir; }

    // The file a table name stands for. A name without folder, such as "Tarvodb", and any other
    // relative name are taken in the process's current folder; a name without extension gets
    // ".DB". When no file has that exact name but one differs only in letter case, that one is
    // meant. Throws EngineError for an empty name, or when `type` is Default and the extension
    // is not ".db".
    std::string tablePath(const std::string &tableName, TableType type) const;

private:
    std::string m_name;
    std::string m_netFileDir;
    std::string m_privateDir;
};

} // namespace table
