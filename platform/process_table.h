// The running processes and the file names of their executables.
#pragma once

#include "platform/text.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace varnelo {

struct ProcessEntry {
    std::uint32_t pid = 0;
    Utf16 exeName;  // the executable's file name without its folder, no terminating zero unit
};

class ProcessTable {
public:
    virtual ~ProcessTable() = default;
    // Every running process, in the system's listing order. Empty when the list cannot be read.
    virtual std::vector<ProcessEntry> Snapshot() = 0;
    // The executable file name of one process; nothing when no such process is listed.
    virtual std::optional<Utf16> ExeNameOf(std::uint32_t pid) = 0;
};

// The system's process table (/proc). The executable file name is the base name of the process's
// executable; when that cannot be read (a kernel thread, another user's process without the right
// to look), the base name of the first word of its command line, then its short command name.
std::unique_ptr<ProcessTable> MakeSystemProcessTable();

}  // namespace varnelo
