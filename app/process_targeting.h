// Finding the processes of the target program by executable file name, and the name of a process.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/proxy_engine.h"
#include "platform/process_table.h"
#include "platform/text.h"

namespace varnelo {

using PidList = std::vector<std::uint32_t>;

// Compares two zero-terminated UTF-16 strings unit by unit up to the terminator (a buffer without
// one ends where it ends). Without caseSensitive, A-Z and a-z count as equal; nothing else is
// folded. An empty buffer equals nothing, not even another empty one.
bool NamesEqual(const Utf16& name, const Utf16& wanted, bool caseSensitive);

// The processes whose executable file name (without folder) equals name, in the table's order.
// The empty name finds nothing (and takes no snapshot).
PidList FindPidsByName(ProcessTable& table, const Text& name, bool caseSensitive);

// The executable file name of process pid as text, or the empty text when it is not listed.
Text ExeNameOfPid(ProcessTable& table, std::uint32_t pid);

// Registers every process named targetName (letter case of A-Z ignored) with the engine, in order,
// again on every run; nothing is unregistered.
void RescanTarget(ProcessTable& table, const Text& targetName, ProxyEngine& engine);

}  // namespace varnelo
