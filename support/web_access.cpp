#include "support/web_access.h"

#include <curl/curl.h>

#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <vector>

#include "platform/memory_hint.h"
#include "support/cookies.h"
#include "support/request_headers.h"
#include "support/response_charset.h"
#include "support/web_access_settings.h"

namespace varnelo {
namespace {

bool TransportReady() {
    static const bool ready = [] {
        if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return false;
        const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
        bool http = false;
        bool https = false;
        for (const char* const* p = info->protocols; p != nullptr && *p != nullptr; ++p) {
            http = http || std::string_view(*p) == "http";
            https = https || std::string_view(*p) == "https";
        }
        return http && https && (info->features & CURL_VERSION_SSL) != 0;
    }();
    return ready;
}

// ---------------------------------------------------------------------------------------------
// Messages

enum class Failure {
    k700,
    k701,
    k702,
    k703,
    k704,
    k705,
    k707,
    kCertificate,
    k708,
    k709,
    k710,
    k711,
    k712,
    k713
};

Text Message(Failure failure) {
    switch (failure) {
        case Failure::k700:
            return "700 当前系统不支持WinHttp服务!"_cp936;
        case Failure::k701:
            return "701 解析URL地址失败!"_cp936;
        case Failure::k702:
            return "702 创建WinHttp会话失败!"_cp936;
        case Failure::k703:
            return "703 创建WinHttp连接失败!"_cp936;
        case Failure::k704:
            return "704 创建WinHttp请求失败!"_cp936;
        case Failure::k705:
            return "705 设置超时时间失败!"_cp936;
        case Failure::k707:
            return "707 设置代理凭证失败!"_cp936;
        case Failure::kCertificate:
            return "忽略错误/证书错误  失败！"_cp936;
        case Failure::k708:
            return "708 禁止自动设置Cookies失败!"_cp936;
        case Failure::k709:
            return "709 重定向设置失败!"_cp936;
        case Failure::k710:
            return "710 设置协议头失败!"_cp936;
        case Failure::k711:
            return "711 发送请求失败!"_cp936;
        case Failure::k712:
            return "712 服务器未响应!"_cp936;
        case Failure::k713:
            return "713 读取数据失败!"_cp936;
    }
    return {};
}

// These failures end the call at once, without the pending-messages hook.
bool ReturnsImmediately(Failure failure) {
    return failure == Failure::k707 || failure == Failure::kCertificate ||
           failure == Failure::k708 || failure == Failure::k709;
}

// ---------------------------------------------------------------------------------------------
// URL and proxy

struct UrlFree {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
using UrlPtr = std::unique_ptr<CURLU, UrlFree>;

std::string UrlPart(CURLU* url, CURLUPart part, unsigned flags = 0) {
    char* value = nullptr;
    if (curl_url_get(url, part, &value, flags) != CURLUE_OK || value == nullptr) return {};
    std::string out(value);
    curl_free(value);
    return out;
}

// The URL as the transport takes it: UTF-8, bytes outside ASCII and blanks percent-encoded,
// credentials and fragment removed. Empty when it is not an absolute http or https URL.
std::string PrepareUrl(const Text& url, bool& secure) {
    std::string escaped;
    for (std::uint8_t byte : Cp936ToUtf8(url)) {
        static const char* kHex = "0123456789ABCDEF";
        if (byte >= 0x80 || byte == ' ') {
            escaped += '%';
            escaped += kHex[byte >> 4];
            escaped += kHex[byte & 15];
        } else {
            escaped += static_cast<char>(byte);
        }
    }
    UrlPtr parsed(curl_url());
    if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, escaped.c_str(), 0) != CURLUE_OK) {
        return {};
    }
    std::string scheme = UrlPart(parsed.get(), CURLUPART_SCHEME);
    if ((scheme != "http" && scheme != "https") || UrlPart(parsed.get(), CURLUPART_HOST).empty()) {
        return {};
    }
    secure = scheme == "https";
    // Credentials written inside a URL are not used.
    curl_url_set(parsed.get(), CURLUPART_USER, nullptr, 0);
    curl_url_set(parsed.get(), CURLUPART_PASSWORD, nullptr, 0);
    curl_url_set(parsed.get(), CURLUPART_FRAGMENT, nullptr, 0);
    return UrlPart(parsed.get(), CURLUPART_URL);
}

// The proxy for this URL out of a proxy list ("host:port", "http://host:port" or entries such as
// "http=host:port;https=host2:port2" separated by ";" or blanks): the first entry for the URL's
// scheme, else the first entry without a scheme. Returns "http://host:port" (port 80 when none is
// given), or empty when no entry is usable.
std::string ChooseProxy(const Text& proxyList, bool secure) {
    std::string chosen;
    std::string fallback;
    std::string own = secure ? "https=" : "http=";
    std::string entry;
    auto consider = [&](std::string candidate) {
        if (candidate.empty()) return;
        std::size_t equals = candidate.find('=');
        if (equals == std::string::npos) {
            if (fallback.empty()) fallback = candidate;
        } else if (chosen.empty() && candidate.compare(0, own.size(), own) == 0) {
            chosen = candidate.substr(own.size());
        }
    };
    for (char c : proxyList) {
        if (c == ';' || c == ' ') {
            consider(entry);
            entry.clear();
        } else {
            entry += c;
        }
    }
    consider(entry);
    std::string address = chosen.empty() ? fallback : chosen;
    if (address.empty()) return {};
    if (address.find("://") == std::string::npos) address = "http://" + address;
    UrlPtr parsed(curl_url());
    if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, address.c_str(), 0) != CURLUE_OK ||
        UrlPart(parsed.get(), CURLUPART_SCHEME) != "http") {
        return {};
    }
    std::string host = UrlPart(parsed.get(), CURLUPART_HOST);
    std::string port = UrlPart(parsed.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT);
    if (host.empty() || port.empty()) return {};
    return "http://" + host + ":" + port;
}

// ---------------------------------------------------------------------------------------------
// One transfer

struct EasyFree {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct ListFree {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

struct Transfer {
    // Upload state.
    const std::uint8_t* body = nullptr;
    std::size_t bodySize = 0;
    std::size_t sent = 0;
    std::size_t chunkSize = kDefaultUploadChunkSize;
    std::function<void(std::size_t)> observer;

    // The response currently being received: every new status line starts it over, so that only
    // the final response of a redirect chain remains.
    std::vector<Text> headerLines;
    std::size_t headerBytes = 0;
    bool headersComplete = false;
    int status = 0;
    ByteSet received;
};

constexpr std::size_t kReserveLimit = 256u << 20;
// A response whose header block grows beyond this is not an HTTP answer worth waiting for.
constexpr std::size_t kHeaderBlockLimit = 1u << 20;

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    std::size_t length = size * count;
    std::string_view line(data, length);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    if (line.substr(0, 5) == "HTTP/") {
        transfer->headerLines.clear();
        transfer->headerBytes = 0;
        transfer->received.clear();
        transfer->headersComplete = false;
        std::size_t space = line.find(' ');
        transfer->status = space == std::string_view::npos
                               ? 0
                               : std::atoi(Text(line.substr(space + 1, 3)).c_str());
    }
    if (line.empty()) {
        // A 1xx block is followed by the real response.
        transfer->headersComplete = transfer->status >= 200;
        return length;
    }
    constexpr std::string_view kLength = "content-length:";
    if (FindText(line, kLength, 0, /*ignoreCase=*/true) == 0) {
        unsigned long long announced =
            std::strtoull(Text(line.substr(kLength.size())).c_str(), nullptr, 10);
        transfer->received.reserve(
            static_cast<std::size_t>(std::min<unsigned long long>(announced, kReserveLimit)));
        HintLargeBuffer(transfer->received.data(), transfer->received.capacity());
    }
    transfer->headerBytes += line.size();
    if (transfer->headerBytes > kHeaderBlockLimit) return 0;  // ends the transfer
    transfer->headerLines.emplace_back(line);
    return length;
}

size_t OnBody(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    std::size_t length = size * count;
    transfer->received.insert(transfer->received.end(), reinterpret_cast<std::uint8_t*>(data),
                              reinterpret_cast<std::uint8_t*>(data) + length);
    return length;
}

// Hands the body over in pieces that never cross a chunk boundary, so that no single hand-off is
// larger than the upload chunk size.
size_t OnUpload(char* buffer, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    std::size_t chunkEnd = (transfer->sent / transfer->chunkSize + 1) * transfer->chunkSize;
    std::size_t available = std::min(chunkEnd, transfer->bodySize) - transfer->sent;
    std::size_t n = std::min(available, size * count);
    std::copy_n(transfer->body + transfer->sent, n, buffer);
    transfer->sent += n;
    if (n > 0 && transfer->observer) transfer->observer(n);
    return n;
}

// A redirect that keeps the body (307, 308) or an authentication retry sends it again.
int OnSeek(void* user, curl_off_t offset, int origin) {
    auto* transfer = static_cast<Transfer*>(user);
    if (origin != SEEK_SET || offset < 0 || static_cast<std::size_t>(offset) > transfer->bodySize) {
        return CURL_SEEKFUNC_CANTSEEK;
    }
    transfer->sent = static_cast<std::size_t>(offset);
    return CURL_SEEKFUNC_OK;
}

bool IsTlsFailure(CURLcode rc) {
    switch (rc) {
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_USE_SSL_FAILED:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_ENGINE_INITFAILED:
            return true;
        default:
            return false;
    }
}

template <typename T>
bool Set(CURL* handle, CURLoption option, T value) {
    return curl_easy_setopt(handle, option, value) == CURLE_OK;
}

bool HasHeaderLine(const Text& block, std::string_view name) {
    for (const Text& line : SplitText(block, "\r\n")) {
        if (FindText(line, name, 0, /*ignoreCase=*/true) == 0) return true;
    }
    return false;
}

// The header block as the transport's header list. A line with an empty value is written
// "Name;" because the transport reads "Name:" as "do not send this header". The transport's own
// Accept, Expect and form Content-Type lines are switched off unless the block has them, so that
// only the block's lines go out. False when a non-empty line lacks ":".
bool BuildHeaderList(const Text& block, bool postMode, curl_slist*& list) {
    auto append = [&list](const std::string& line) {
        curl_slist* grown = curl_slist_append(list, line.c_str());
        if (grown == nullptr) return false;
        list = grown;
        return true;
    };
    for (const Text& line : SplitText(block, "\r\n")) {
        if (line.empty()) continue;
        std::size_t colon = FindText(line, ":");
        if (colon == Text::npos) return false;
        bool emptyValue = TrimBlanks(std::string_view(line).substr(colon + 1)).empty();
        if (!append(emptyValue ? line.substr(0, colon) + ";" : line)) return false;
    }
    if (!HasHeaderLine(block, "Accept:") && !append("Accept:")) return false;
    if (!HasHeaderLine(block, "Expect:") && !append("Expect:")) return false;
    if (postMode && !HasHeaderLine(block, "Content-Type:") && !append("Content-Type:"))
        return false;
    return true;
}

bool IsRedirectStatus(int status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// The failure step of a transfer that ended with `rc` before a final response header came.
Failure StepOfFailure(CURL* handle, CURLcode rc, bool uploadDone) {
    if (IsTlsFailure(rc)) return Failure::k711;
    switch (rc) {
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_COULDNT_CONNECT:
            return Failure::k703;
        case CURLE_URL_MALFORMAT:
        case CURLE_UNSUPPORTED_PROTOCOL:
            return Failure::k701;
        case CURLE_SEND_ERROR:
        case CURLE_READ_ERROR:
        case CURLE_ABORTED_BY_CALLBACK:
        case CURLE_SEND_FAIL_REWIND:
            return Failure::k711;
        default:
            break;
    }
    long connectCode = 0;
    curl_easy_getinfo(handle, CURLINFO_HTTP_CONNECTCODE, &connectCode);
    if (connectCode >= 300) return Failure::k711;  // the proxy refused the tunnel
    if (rc == CURLE_OPERATION_TIMEDOUT) {
        curl_off_t connected = 0;
        curl_easy_getinfo(handle, CURLINFO_CONNECT_TIME_T, &connected);
        if (connected <= 0) return Failure::k703;
        if (!uploadDone) return Failure::k711;
    }
    return Failure::k712;
}

Text StatusFromBlock(const Text& block) {
    constexpr std::size_t kStart = 9;  // the 10th character
    if (block.size() <= kStart) return {};
    std::size_t end = block.find("\r\n", kStart);
    return block.substr(kStart, end == Text::npos ? Text::npos : end - kStart);
}

// Header outputs of the final response, in their order.
void DeliverHeaders(WebAccessRequest& request, const Transfer& transfer, bool withStatus) {
    Text block;
    for (const Text& line : transfer.headerLines) block += line + "\r\n";
    block += "\r\n";
    request.returnedHeaders = block;
    if (withStatus) request.statusText = StatusFromBlock(block);
    request.returnedCookies = ExtractCookies(transfer.headerLines);
    constexpr std::string_view kLocation = "Location: ";
    for (const Text& line : transfer.headerLines) {
        if (FindText(line, kLocation, 0, /*ignoreCase=*/true) == 0) {
            request.location = line.substr(kLocation.size());
        }
    }
    if (request.mergeCookies && !request.cookies.empty()) {
        Text received = request.returnedCookies;
        request.returnedCookies = MergeCookies(request.cookies, received);
    }
}

std::optional<Failure> Perform(WebAccessRequest& request, Text& result) {
    bool secure = false;
    std::string url = PrepareUrl(request.url, secure);
    if (url.empty()) return Failure::k701;

    std::unique_ptr<CURL, EasyFree> easy(curl_easy_init());
    if (!easy) return Failure::k702;
    CURL* h = easy.get();
    std::string proxy;
    if (!request.proxy.empty()) {
        proxy = ChooseProxy(request.proxy, secure);
        if (proxy.empty()) return Failure::k702;
    }
    // An empty proxy switches off the proxy environment variables too: "direct" means direct.
    if (!Set(h, CURLOPT_NOSIGNAL, 1L) || !Set(h, CURLOPT_PROXY, proxy.c_str()) ||
        !Set(h, CURLOPT_NOPROXY, "") ||
        !Set(h, CURLOPT_PROXYTYPE, static_cast<long>(CURLPROXY_HTTP))) {
        return Failure::k702;
    }

    // One limit for resolving and connecting (TLS and tunnel included), and the same limit for a
    // send or receive that stalls: under one byte per second for that long ends the transfer.
    long timeoutMs = request.timeoutSeconds > 0 ? request.timeoutSeconds * 1000L : 30000L;
    if (!Set(h, CURLOPT_CONNECTTIMEOUT_MS, timeoutMs) || !Set(h, CURLOPT_LOW_SPEED_LIMIT, 1L) ||
        !Set(h, CURLOPT_LOW_SPEED_TIME, (timeoutMs + 999) / 1000)) {
        return Failure::k705;
    }

    WebAccessSettings settings = CurrentWebAccessSettings();
    Transfer transfer;
    transfer.chunkSize = settings.uploadChunkSize;
    transfer.observer = std::move(settings.uploadObserver);
    if (!request.bodyBytes.empty()) {
        transfer.body = request.bodyBytes.data();
        transfer.bodySize = request.bodyBytes.size();
    } else {
        transfer.body = reinterpret_cast<const std::uint8_t*>(request.bodyText.data());
        transfer.bodySize = request.bodyText.size();
    }
    int method = (request.method < 0 || request.method > 8) ? 0 : request.method;
    bool postMode =
        method != 2 && (transfer.bodySize > 0 || method == 1 || method == 3 || method == 8);
    bool ok = Set(h, CURLOPT_URL, url.c_str()) && Set(h, CURLOPT_PROTOCOLS_STR, "http,https") &&
              Set(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1)) &&
              Set(h, CURLOPT_PATH_AS_IS, 1L) && Set(h, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L) &&
              Set(h, CURLOPT_BUFFERSIZE, 512L * 1024) && Set(h, CURLOPT_HEADERFUNCTION, OnHeader) &&
              Set(h, CURLOPT_HEADERDATA, &transfer) && Set(h, CURLOPT_WRITEFUNCTION, OnBody) &&
              Set(h, CURLOPT_WRITEDATA, &transfer);
    if (method == 2) {
        ok = ok && Set(h, CURLOPT_NOBODY, 1L);
    } else if (postMode) {
        long uploadBuffer = static_cast<long>(
            std::clamp<std::size_t>(transfer.chunkSize, 16 * 1024, 2 * 1024 * 1024));
        ok = ok && Set(h, CURLOPT_POST, 1L) &&
             Set(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(transfer.bodySize)) &&
             Set(h, CURLOPT_READFUNCTION, OnUpload) && Set(h, CURLOPT_READDATA, &transfer) &&
             Set(h, CURLOPT_SEEKFUNCTION, OnSeek) && Set(h, CURLOPT_SEEKDATA, &transfer) &&
             Set(h, CURLOPT_UPLOAD_BUFFERSIZE, uploadBuffer);
        if (method != 1) ok = ok && Set(h, CURLOPT_CUSTOMREQUEST, VerbForMethod(method));
    } else if (method != 0) {
        ok = ok && Set(h, CURLOPT_CUSTOMREQUEST, VerbForMethod(method));
    } else {
        ok = ok && Set(h, CURLOPT_HTTPGET, 1L);
    }
    if (!ok) return Failure::k704;

    // Basic only, sent with the first request; a user without a password sets nothing.
    if (!request.user.empty() && !request.password.empty() &&
        (!Set(h, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC)) ||
         !Set(h, CURLOPT_USERNAME, request.user.c_str()) ||
         !Set(h, CURLOPT_PASSWORD, request.password.c_str()))) {
        return Failure::k707;
    }
    if (!request.proxyUser.empty() && !request.proxyPassword.empty() &&
        (!Set(h, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_BASIC)) ||
         !Set(h, CURLOPT_PROXYUSERNAME, request.proxyUser.c_str()) ||
         !Set(h, CURLOPT_PROXYPASSWORD, request.proxyPassword.c_str()))) {
        return Failure::k707;
    }

    // Certificates are always verified; the test authorities of this process are added to the
    // system's trust store, never put in its place.
    if (!Set(h, CURLOPT_SSL_VERIFYPEER, 1L) || !Set(h, CURLOPT_SSL_VERIFYHOST, 2L) ||
        (settings.hasExtraAuthorities && !Set(h, CURLOPT_SSL_CTX_FUNCTION, AddExtraAuthorities))) {
        return Failure::kCertificate;
    }

    // Redirects are followed up to ten times, never from https down to plain http.
    if (request.noRedirect
            ? !Set(h, CURLOPT_FOLLOWLOCATION, 0L)
            : (!Set(h, CURLOPT_FOLLOWLOCATION, 1L) || !Set(h, CURLOPT_MAXREDIRS, 10L) ||
               !Set(h, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https"))) {
        return Failure::k709;
    }

    Text block = BuildRequestHeaders(request.headers, method, request.cookies,
                                     request.addDefaultHeaders, request.normalizeHeaders);
    curl_slist* rawList = nullptr;
    bool listOk = BuildHeaderList(block, postMode, rawList);
    std::unique_ptr<curl_slist, ListFree> headerList(rawList);
    if (!listOk || !Set(h, CURLOPT_HTTPHEADER, headerList.get())) return Failure::k710;

    CURLcode rc = curl_easy_perform(h);
    std::optional<Failure> failure;
    if (rc != CURLE_OK) {
        bool followUp = !request.noRedirect && IsRedirectStatus(transfer.status);
        if (!transfer.headersComplete || IsTlsFailure(rc) || rc == CURLE_TOO_MANY_REDIRECTS ||
            (followUp && rc != CURLE_UNSUPPORTED_PROTOCOL)) {
            return StepOfFailure(h, rc, transfer.sent >= transfer.bodySize);
        }
        // A redirect the transport may not follow (another scheme, or down to http) leaves the
        // redirect response as the answer; any other failure after the headers is a body read.
        if (!(followUp && rc == CURLE_UNSUPPORTED_PROTOCOL)) failure = Failure::k713;
    } else if (!transfer.headersComplete) {
        return Failure::k712;
    }

    DeliverHeaders(request, transfer, !failure.has_value());
    // A body cut short is not reported as a success: the bytes that came are delivered, but the
    // result stays empty and the status keeps the read failure.
    if (!failure) result = DecodeResponseText(transfer.received);
    request.responseBytes = std::move(transfer.received);
    return failure;
}

}  // namespace

const char* VerbForMethod(int method) {
    static constexpr std::array<const char*, 9> kVerbs = {
        "GET", "POST", "HEAD", "PUT", "OPTIONS", "DELETE", "TRACE", "CONNECT", "PATCH"};
    return (method < 0 || method > 8) ? "GET" : kVerbs[static_cast<std::size_t>(method)];
}

Text WebAccess(WebAccessRequest& request) {
    if (!TransportReady()) {
        request.statusText = Message(Failure::k700);
        return {};
    }
    Text result;
    std::optional<Failure> failure = Perform(request, result);
    if (failure) {
        request.statusText = Message(*failure);
        if (ReturnsImmediately(*failure)) return {};
    }
    std::function<void()> hook = CurrentWebAccessSettings().pendingMessages;
    if (hook) hook();
    return result;
}

}  // namespace varnelo
