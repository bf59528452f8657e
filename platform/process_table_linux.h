// The pieces of the system's process table shared by its two implementations: the one that lists
// /proc on every call and the one kept up to date from the kernel's process events.
#pragma once

#include "platform/process_table.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace varnelo {

struct ProcessName {
    Utf16 name;
    // Taken from the executable's link (every child made by fork shares it until an exec); false
    // when it came from the command line or the short command name.
    bool fromExecutable = false;
};

// The name of one process, read through `procFd` (an open /proc folder): the base name of its
// executable without " (deleted)", else the first word of its command line, else its short
// command name. Nothing when the process is gone.
std::optional<ProcessName> ReadProcessName(int procFd, std::uint32_t pid);

// Every process listed in /proc with its name, in the listing's (pid) order. Empty when /proc
// cannot be listed.
std::vector<std::pair<std::uint32_t, ProcessName>> ScanProcesses(int procFd);

// The table that lists /proc on every Snapshot.
std::unique_ptr<ProcessTable> MakeScanningProcessTable();

// Opens a process-event socket: a file descriptor, or -1 when events cannot be had.
using EventSocketOpener = std::function<int()>;

// The event-driven table when `openEvents` gives a subscribed socket, else the scanning one.
std::unique_ptr<ProcessTable> MakeSystemProcessTableWith(const EventSocketOpener& openEvents);

}  // namespace varnelo
