// A process that holds an engine with a captured process and then waits to be killed: the tests
// kill it with SIGKILL to leave the engine's table and cgroup behind, as a crash would. With
// "exit" after the pid it ends at once through exit() instead, without releasing the engine.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <type_traits>

#include "engine/library_exports.h"

#define VARNELO_DECLARE_EXPORT(name, type) extern "C" std::type_identity_t<type> name;
VARNELO_SUNNYNET_EXPORTS(VARNELO_DECLARE_EXPORT)
#undef VARNELO_DECLARE_EXPORT

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) return 2;
    ::alarm(120);  // bounded even when nobody kills it
    int ctx = CreateSunnyNet();
    SunnyNetSetPort(ctx, 0);
    if (!SunnyNetStart(ctx) || !OpenDrive(ctx, 2)) return 1;
    ProcessAddPid(ctx, std::atoi(argv[1]));
    if (argc == 3) std::exit(0);
    for (;;) ::pause();
}
