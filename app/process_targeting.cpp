#include "app/process_targeting.h"

namespace varnelo {
namespace {

char16_t FoldAscii(char16_t unit) {
    return (unit >= u'A' && unit <= u'Z') ? static_cast<char16_t>(unit + 32) : unit;
}

}  // namespace

bool NamesEqual(const Utf16& name, const Utf16& wanted, bool caseSensitive) {
    if (name.empty() || wanted.empty()) return false;
    for (std::size_t i = 0;; ++i) {
        char16_t a = i < name.size() ? name[i] : u'\0';
        char16_t b = i < wanted.size() ? wanted[i] : u'\0';
        if (!caseSensitive) {
            a = FoldAscii(a);
            b = FoldAscii(b);
        }
        if (a != b) return false;
        if (a == u'\0') return true;
    }
}

PidList FindPidsByName(ProcessTable& table, const Text& name, bool caseSensitive) {
    PidList pids;
    const Utf16 wanted = TextToUtf16(name);
    if (wanted.empty()) return pids;
    for (const ProcessEntry& entry : table.Snapshot()) {
        if (NamesEqual(entry.exeName, wanted, caseSensitive)) pids.push_back(entry.pid);
    }
    return pids;
}

Text ExeNameOfPid(ProcessTable& table, std::uint32_t pid) {
    auto name = table.ExeNameOf(pid);
    return name ? Utf16ToCp936(*name) : Text();
}

void RescanTarget(ProcessTable& table, const Text& targetName, ProxyEngine& engine) {
    for (std::uint32_t pid : FindPidsByName(table, targetName, false)) {
        engine.ProcessAddPid(static_cast<int>(pid));
    }
}

}  // namespace varnelo
