// Start-up and exit of the program.
#pragma once

#include <memory>

#include "app/main_window.h"
#include "app/program_state.h"
#include "engine/connection_ops.h"
#include "engine/proxy_engine.h"

namespace varnelo {

// What the exit handler releases: the process-wide objects of one run. Lives until the process
// ends, so that a handler that ends the program (std::exit through FatalExit) still finds it.
struct ProgramObjects {
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<ProxyEngine> engine;
    std::unique_ptr<ConnectionOps> connection;
    ProgramState state;
    bool exited = false;
};

// The run's objects (one per process).
ProgramObjects& Objects();

// Registers RunExitHandler with std::atexit (once).
void RegisterExitHandler();

// The whole program: the Qt application, the engine object (its construction checks for the
// library file and may end the program with a box), the connection object, the exit handler, the
// process-wide values, the main window and its message loop. Returns the exit code (0).
int RunProgram(int argc, char** argv);

// The exit handler: closes nothing visible, destroys the main window if it still exists, then
// releases the target name, the engine object (ReleaseSunnyNet), the version, notice and update
// texts and the connection object. Runs once, however often it is called: at the end of
// RunProgram and, through std::atexit, when the program ends from inside a handler.
void RunExitHandler();

}  // namespace varnelo
