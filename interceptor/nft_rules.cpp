#include "interceptor/nft_rules.h"

#include <nftables/libnftables.h>

#include <cstdio>
#include <mutex>

namespace varnelo::interceptor {

namespace {

bool SafeName(std::string_view name) {
    if (name.empty() || name.size() > 200) return false;
    for (char c : name) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '_';
        if (!ok) return false;
    }
    return true;
}

// Inside nft's double quotes only the quote itself and control characters cannot appear.
bool SafeQuoted(std::string_view text) {
    if (text.empty()) return false;
    for (unsigned char c : text) {
        if (c == '"' || c == '\\' || c < 0x20) return false;
    }
    return true;
}

// libnftables keeps global state in its parser; contexts in different threads must not run
// batches at the same time.
std::mutex& NftMutex() {
    static std::mutex mutex;
    return mutex;
}

}  // namespace

std::string BuildRuleset(const CaptureRules& rules) {
    if (!SafeName(rules.table)) return {};
    if (!rules.captureAll && !SafeQuoted(rules.cgroupRelative)) return {};
    char mark[16];
    std::snprintf(mark, sizeof mark, "0x%08x", rules.mark);
    std::string t = "inet " + rules.table;
    std::string out;
    // "add" then "delete" makes the replacement work whether or not the table exists.
    out += "add table " + t + "\n";
    out += "delete table " + t + "\n";
    out += "table " + t + " {\n";
    out += "  chain out {\n";
    out += "    type nat hook output priority -100; policy accept;\n";
    if (rules.captureAll) {
        out += "    jump captured\n";
    } else {
        out += "    socket cgroupv2 level " + std::to_string(rules.cgroupLevel) + " \"" +
               rules.cgroupRelative + "\" jump captured\n";
    }
    out += "  }\n";
    out += "  chain captured {\n";
    out += "    fib daddr type local return\n";
    out += "    meta mark " + std::string(mark) + " return\n";
    if (rules.port != 0) {
        out += "    meta l4proto tcp redirect to :" + std::to_string(rules.port) + "\n";
    } else {
        out += "    meta l4proto tcp drop\n";
    }
    out += "  }\n";
    out += "}\n";
    return out;
}

Nftables::Nftables() : ctx_(nft_ctx_new(NFT_CTX_DEFAULT)) {
    if (ctx_) {
        nft_ctx_buffer_output(ctx_);
        nft_ctx_buffer_error(ctx_);
    }
}

Nftables::~Nftables() {
    if (ctx_) nft_ctx_free(ctx_);
}

bool Nftables::Run(std::string_view commands, std::string* output, std::string* error) {
    if (!ctx_) {
        if (error) *error = "cannot create an nftables context";
        return false;
    }
    std::lock_guard lock(NftMutex());
    std::string text(commands);
    int rc = nft_run_cmd_from_buffer(ctx_, text.c_str());
    const char* out = nft_ctx_get_output_buffer(ctx_);
    const char* err = nft_ctx_get_error_buffer(ctx_);
    if (output) *output = out ? out : "";
    if (rc != 0 && error) {
        *error = err && *err ? err : "nftables refused the rules";
        while (!error->empty() && error->back() == '\n') error->pop_back();
    }
    return rc == 0;
}

bool Nftables::DeleteTable(std::string_view table, std::string* error) {
    if (!SafeName(table)) {
        if (error) *error = "bad table name";
        return false;
    }
    return Run("delete table inet " + std::string(table) + "\n", nullptr, error);
}

std::vector<std::string> Nftables::InetTables() {
    std::vector<std::string> names;
    std::string output;
    if (!Run("list tables inet\n", &output, nullptr)) return names;
    size_t pos = 0;
    static constexpr std::string_view kPrefix = "table inet ";
    while (pos < output.size()) {
        size_t end = output.find('\n', pos);
        if (end == std::string::npos) end = output.size();
        std::string_view line(output.data() + pos, end - pos);
        if (line.starts_with(kPrefix)) names.emplace_back(line.substr(kPrefix.size()));
        pos = end + 1;
    }
    return names;
}

}  // namespace varnelo::interceptor
