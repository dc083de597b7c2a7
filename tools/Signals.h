// Signal handling of the command-line host. A closed output pipe must surface as a write error
// (not kill the process with the plug-in object alive), and a first Ctrl-C asks a read to end
// so that the object is still stopped, closed and destroyed; a second one ends the process.
#pragma once

namespace cli {

// Call once, before any output.
void installSignalHandlers();

// Whether SIGINT or SIGTERM arrived since installSignalHandlers.
bool interruptRequested();

}  // namespace cli
