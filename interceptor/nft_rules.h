// The engine's nftables table: the rules that send the captured processes' TCP connections to the
// engine's listeners, loaded and removed through libnftables.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct nft_ctx;

namespace varnelo::interceptor {

struct CaptureRules {
    std::string table;           // table name in the inet family
    std::string cgroupRelative;  // the cgroup as nft wants it: relative to /sys/fs/cgroup
    int cgroupLevel = 1;         // its depth below the cgroup2 root
    uint32_t mark = 0;           // sockets with this mark (the engine's own) pass untouched
    uint16_t port = 0;           // the engine's listeners; 0 = not known yet: captured TCP is dropped
    bool captureAll = false;     // every process's connections, not only the cgroup's
};

// One nft batch that replaces the table (creates it when missing) with the capture rules:
// the machine's own addresses and marked sockets go direct, every other TCP connection of the
// cgroup is redirected to `port`. Empty when a name or path cannot be written safely in nft syntax.
std::string BuildRuleset(const CaptureRules& rules);

// A libnftables context. Every batch is applied whole or not at all.
class Nftables {
public:
    Nftables();
    ~Nftables();
    Nftables(const Nftables&) = delete;
    Nftables& operator=(const Nftables&) = delete;

    // false + nft's error text (or the reason the context could not be made) on failure;
    // `output` (optional) receives what the commands print.
    bool Run(std::string_view commands, std::string* output, std::string* error);

    bool DeleteTable(std::string_view table, std::string* error);  // inet family
    std::vector<std::string> InetTables();                        // names; empty on failure

private:
    ::nft_ctx* ctx_;
};

}  // namespace varnelo::interceptor
