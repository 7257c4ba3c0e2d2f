#pragma once

#include <string>

namespace table {

// Table names come from a world of case-insensitive file names: a saved "RUN.DB" is opened as
// "run.db", and the program itself may turn a chosen path into upper case. These helpers let
// such names find their files on a case-sensitive file system.

// `path` itself if it exists; otherwise the one existing path that matches it component by
// component without regard to letter case; otherwise an empty string (also when several match).
std::string findIgnoringCase(const std::string &path);

// The primary index file of a .DB file: an existing sibling with the extension .PX in any case,
// otherwise the name with .PX (or .px beside a lower-case .db).
std::string primaryIndexPath(const std::string &tablePath);

std::string asciiLower(std::string text);

} // namespace table
