// One synchronous HTTP or HTTPS request over libcurl, returning the response body as text.
//
// Each call opens its own transfer and closes it before it returns; nothing is kept between calls.
// Cookies travel from one request to the next only through the caller's texts (`cookies` in,
// `returnedCookies` out); no cookie store is used. TLS certificates are always verified against
// the system's trust store (plus the authorities added with SetExtraTrustedAuthorities); a
// certificate that does not verify fails the request with "711 发送请求失败!". The request goes
// out as HTTP/1.1 with exactly the lines of the header block (BuildRequestHeaders) besides Host,
// Content-Length and the credentials; the proxy environment variables are never consulted.
// Redirects are followed up to ten times, never from https down to http nor to another scheme:
// such a redirect response is then the answer.
//
// Nothing is thrown. A failure sets `statusText` to one of the numbered messages below and gives an
// empty result; the other outputs then keep what the caller had in them.
//
//   "700 当前系统不支持WinHttp服务!"  the HTTP transport cannot be initialised
//   "701 解析URL地址失败!"           the URL is not an absolute http or https URL
//   "702 创建WinHttp会话失败!"       a transfer handle cannot be created, or the proxy text names
//                                   no usable http proxy
//   "705 设置超时时间失败!"           the time-outs cannot be set
//   "703 创建WinHttp连接失败!"       the host (or the proxy) cannot be resolved or connected,
//                                   including a time-out before the connection stood
//   "704 创建WinHttp请求失败!"       the verb or the URL is refused by the transport
//   "707 设置代理凭证失败!"           server or proxy credentials cannot be set
//   "忽略错误/证书错误  失败！"        the certificate checks cannot be set up (immediate return)
//   "708 禁止自动设置Cookies失败!"    the cookie handling cannot be set
//   "709 重定向设置失败!"             the redirect control cannot be set
//   "710 设置协议头失败!"             the header block has a non-empty line without ":"
//   "711 发送请求失败!"               sending failed: TLS handshake or certificate verification,
//                                   a proxy that refuses the tunnel (for https), a write error
//                                   or a time-out while sending
//   "712 服务器未响应!"               the request went out but no complete response header came
//                                   back (closed, time-out, garbage, too many redirects)
//   "713 读取数据失败!"               the response headers came but reading the body failed; the
//                                   header outputs and the bytes read so far are delivered, the
//                                   result stays empty and `statusText` keeps this message
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "platform/text.h"

namespace varnelo {

// The body is handed to the transport in pieces of at most this many bytes (the default of the
// process-wide upload chunk size).
inline constexpr std::size_t kDefaultUploadChunkSize = 1048576;

// All parameters of one request, named as the program's callers know them. Inputs carry their
// defaults; outputs are written only when the call reaches them and otherwise keep the caller's
// contents (so a caller may pre-fill them and see what a failed call left alone).
struct WebAccessRequest {
    // --- inputs ---
    Text url;                     // absolute URL, scheme http or https; credentials inside it are ignored
    int method = 0;               // verb number: 0 GET, 1 POST, 2 HEAD, 3 PUT, 4 OPTIONS, 5 DELETE,
                                  // 6 TRACE, 7 CONNECT, 8 PATCH; any other number means GET
    Text bodyText;                // body as text; ignored when bodyBytes is not empty
    Text cookies;                 // in/out: cookie text to send ("a=1; b=2"); replaced by the merged
                                  // cookie text when a merge happens
    Text headers;                 // extra request header lines separated by CR LF
    bool noRedirect = false;      // true: redirects are not followed (the 3xx is the answer)
    Text user;                    // Basic credentials at the server (both must be non-empty)
    Text password;
    Text proxy;                   // "host:port" (optionally "http://host:port", or a list
                                  // "http=h:p;https=h2:p2"); empty means a direct connection
    Text proxyUser;               // Basic credentials at the proxy (both must be non-empty)
    Text proxyPassword;
    int timeoutSeconds = 0;       // resolve, connect, send and receive inactivity limit; <= 0 means 30
    bool mergeCookies = true;     // merge `cookies` into `returnedCookies` after the response
    bool addDefaultHeaders = true;  // add the default header lines the block lacks
    ByteSet bodyBytes;            // body as bytes; sent instead of bodyText when not empty
    bool normalizeHeaders = true;   // capitalise header names, drop lines without ":"

    // --- outputs ---
    Text returnedCookies;         // cookies from the final response's Set-Cookie lines (merged
                                  // with `cookies` when mergeCookies is set); delivered even empty
    Text returnedHeaders;         // raw header block of the final response: status line and header
                                  // lines, each ended by CR LF, then the closing empty line
    Text location;                // value of the final response's last "Location: " line; untouched
                                  // when there is none
    Text statusText;              // "200 OK" style code and reason, or one of the messages above
    ByteSet responseBytes;        // body exactly as received
};

// Performs the request and returns the body decoded to text by DecodeResponseText; empty when the
// request fails (see above). Blocks the calling thread until the request ends, then runs the
// pending-messages hook (not after a 700 failure nor after the immediate-return failures 707, 708,
// 709 and the certificate one). Safe to call from several threads at once; the process-wide
// settings below should be made before the first call.
Text WebAccess(WebAccessRequest& request);

// The verb sent for a verb number ("GET" for numbers outside 0-8).
const char* VerbForMethod(int method);

// Adds the certificate authorities of a PEM file to those trusted for every later request of this
// process (in addition to the system trust store; verification is never switched off). Returns
// false, and changes nothing, when the file cannot be read or holds no certificate. Calling it
// again adds further authorities.
bool SetExtraTrustedAuthorities(const std::string& pemPath);

// The function that processes the program's pending window messages after each request. The
// program sets it once at start-up; an empty function (the default) does nothing.
void SetPendingMessagesHook(std::function<void()> hook);

// The process-wide upload chunk size, fixed at start-up; 0 restores the default. No single
// hand-off of body bytes to the transport is larger than this.
void SetUploadChunkSize(std::size_t bytes);
std::size_t UploadChunkSize();

// Diagnostics: called with the size of every hand-off of body bytes to the transport (tests use it
// to see the pieces of an upload). Empty by default.
void SetUploadWriteObserver(std::function<void(std::size_t)> observer);

}  // namespace varnelo
