#include "interceptor/proxy_url.h"

#include <algorithm>
#include <cctype>

namespace varnelo::interceptor {
namespace {

constexpr std::string_view kScheme = "socks5://";
constexpr size_t kMaxField = 255;  // RFC 1929 length bytes, RFC 1928 domain length byte

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    return std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
    });
}

std::optional<uint16_t> ParsePort(std::string_view text) {
    if (text.empty() || text.size() > 5) return std::nullopt;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value == 0 || value > 65535) return std::nullopt;
    return static_cast<uint16_t>(value);
}

bool HostCharactersAllowed(std::string_view host) {
    return std::none_of(host.begin(), host.end(), [](char c) {
        return static_cast<unsigned char>(c) <= ' ' || c == '/' || c == '@' || c == '[' || c == ']';
    });
}

}  // namespace

std::optional<Upstream> ParseProxyUrl(std::string_view url) {
    if (!StartsWithNoCase(url, kScheme)) return std::nullopt;
    std::string_view rest = url.substr(kScheme.size());

    Upstream upstream;
    // The password may itself hold "@" and ":", so only the last "@" closes the credentials.
    if (size_t at = rest.rfind('@'); at != std::string_view::npos) {
        std::string_view credentials = rest.substr(0, at);
        rest = rest.substr(at + 1);
        size_t colon = credentials.find(':');
        upstream.user = std::string(credentials.substr(0, colon));
        if (colon != std::string_view::npos) upstream.password = std::string(credentials.substr(colon + 1));
        if (upstream.user.size() > kMaxField || upstream.password.size() > kMaxField) return std::nullopt;
    }

    // One trailing "/" is how the program ends the address; a path is not ours to ignore.
    if (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
    if (rest.find('/') != std::string_view::npos) return std::nullopt;

    std::string_view host;
    std::string_view port;
    if (!rest.empty() && rest.front() == '[') {
        size_t close = rest.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        host = rest.substr(1, close - 1);
        std::string_view after = rest.substr(close + 1);
        if (after.empty() || after.front() != ':') return std::nullopt;
        port = after.substr(1);
        if (host.find(':') == std::string_view::npos) return std::nullopt;  // brackets are for IPv6
    } else {
        size_t colon = rest.rfind(':');
        if (colon == std::string_view::npos) return std::nullopt;
        host = rest.substr(0, colon);
        port = rest.substr(colon + 1);
        if (host.find(':') != std::string_view::npos) return std::nullopt;  // IPv6 without brackets
    }
    if (host.empty() || host.size() > kMaxField || !HostCharactersAllowed(host)) return std::nullopt;
    std::optional<uint16_t> number = ParsePort(port);
    if (!number) return std::nullopt;

    upstream.host = std::string(host);
    upstream.port = *number;
    return upstream;
}

}  // namespace varnelo::interceptor
