#pragma once
// Starting another program the way the desktop shell does.
//
// ShellExecute with the verb "open" starts the program named by file: a name
// without a slash is looked up along the search path (PATH, or the system's
// default path when PATH is unset), a name with a slash is used as it stands.
// The program gets file as its only argument (argv[0]), this process's
// environment, working directory and standard streams, and runs on its own:
// it is not a child of the caller and lives in a session of its own, so it
// never becomes a zombie of the caller and outlives it.
//
// Returns 0 when the program was started, otherwise the error number (ENOENT
// when it is not found, EACCES when it may not be run, EINVAL for another verb
// or an empty name, ...). Nothing is logged. Any thread may call it; it
// returns once the program has been started or has failed to start.

#include <string>

namespace platform {

constexpr int SW_SHOWNORMAL = 1;

int ShellExecute(const std::string& verb, const std::string& file, int showCmd = SW_SHOWNORMAL);

}  // namespace platform
