#pragma once

#include <string>

namespace table {

// Writes a file under a temporary name in the target's folder and puts it in place with one
// rename, so a failed or interrupted write leaves the old file (or none) instead of half a
// table. The temporary file is removed unless commit() succeeds.
class ReplacingFile
{
public:
    // Throws EngineError when the folder does not take a new file.
    explicit ReplacingFile(std::string targetPath);
    ~ReplacingFile();
    ReplacingFile(const ReplacingFile &) = delete;
    ReplacingFile &operator=(const ReplacingFile &) = delete;

    int fd() const { return m_fd; }
    const std::string &targetPath() const { return m_target; }
    // Flushes the data to disk and renames the file over the target.
    void commit();

private:
    std::string m_target;
    std::string m_temp;
    int m_fd = -1;
};

} // namespace table
