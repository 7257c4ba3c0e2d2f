#pragma once

#include <stdexcept>

namespace table {

// Every failure of the engine. The message is written for the user: the program shows it as it
// is in its error box, so it names the table or field and says what is wrong.
class EngineError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// The table's file is locked by another program (or another table of this one) in a way that
// keeps this opener out: a running window, for one, holds the table it logs into for its own use.
class TableInUse : public EngineError
{
public:
    using EngineError::EngineError;
};

} // namespace table
