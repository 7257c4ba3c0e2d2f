#pragma once

#include <QString>

// Where the programs keep files of their own between runs, and while they run.
namespace statefolders {

// Files that must outlive a crash or a power cut (the recovery journal, the MQTT spool):
// $XDG_STATE_HOME/vorlatt, else ~/.local/state/vorlatt. A relative XDG_STATE_HOME is ignored,
// as the XDG base directories say.
QString state();

// Files of one run only (the window's copy of the log table): $XDG_RUNTIME_DIR/vorlatt when that
// folder is set, absolute and exists (the system empties it at log-out), else the state folder.
QString runtime();

} // namespace statefolders
