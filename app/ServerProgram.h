#pragma once
// The server program's entry sequence and exit order, shared by the two
// programs built from the same modules:
// - instrument-server: the instruments through the vendor's D2XX library
//   when it can be loaded, otherwise none (every library call then fails and
//   the log says so); never simulated instruments;
// - instrument-server-sim: the same server on a simulated bench with three
//   instruments of different families, a "Simulated bench" window to plug and
//   unplug instruments while it runs, and the same on standard input
//   (SimBenchCommands.h). Plugging and unplugging raise the device-change
//   broadcast exactly as a real instrument does.
//
// Sequence: the modules are initialised (the pipes module's thread support
// first, so it is finalised last), the application window is made and the
// single-instance guard asked (a refused start ends here with 0 after asking
// the running copy to come to the front), the application object is made
// with the title "InstrumentServer", the main window is created (its creation
// handler starts the server and runs the USB Test) and shown, and the main
// loop runs until the window has closed. Then the guard withdraws its
// registration, the window and its pipe server are destroyed (the pipe
// threads end), the D2XX backend is released, and the thread support is
// finalised last.
//
// While the program runs, every log line is also written to standard error
// with a time stamp, and SIGTERM or SIGINT close the main window the normal
// way (clients released, the pause, exit code 0).

namespace app {

enum class TServerProgramKind { Production, SimulatedBench };

// Runs the program; returns its exit code. A failure before the main window
// exists (for example the guard's record cannot be made) is written to
// standard error and ends the program with 1.
int RunServerProgram(int argc, char** argv, TServerProgramKind kind);

}  // namespace app
