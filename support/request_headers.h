// The header block an HTTP request sends: the caller's lines, the default lines they lack, header
// names written as capitalised words, no explicit keep-alive line, and the cookie line. Pure text
// work on code-page-936 texts; lines are separated by CR LF.
#pragma once

#include <string_view>

#include "platform/text.h"

namespace varnelo {

// The header block to send for the caller's `headers` (lines separated by CR LF), the verb number
// `method` (1 is POST), the cookie text `cookies` and the two switches:
// 1. `headers` followed by CR LF (nothing when it is empty);
// 2. with `addDefaultHeaders`, each default line whose probe ("User-Agent: ", "Accept: ",
//    "Accept-Encoding: ", "Accept-Language: ", "Content-Type:" for POST only, "Cache-Control: ")
//    occurs nowhere in the block (any letter case), each followed by CR LF;
// 3. with `normalizeHeaders`, NormalizeHeaderNames of the block;
// 4. when the "Connection" value is exactly "keep-alive", every "Connection: keep-alive" + CR LF
//    removed (exact case);
// 5. when the block has no "Cookie:" (any case) and `cookies` is not empty: CR LF, "Cookie: " (left
//    out when `cookies` already holds "Cookie:"), `cookies` and CR LF appended.
Text BuildRequestHeaders(std::string_view headers, int method, std::string_view cookies,
                         bool addDefaultHeaders, bool normalizeHeaders);

// The lines of `block` that contain ":", with the first letter of the name and of every
// "-"-separated word of it upper-cased (a-z only; the rest of the line unchanged), joined by CR LF
// with none at the end. Lines without ":" (empty ones included) are dropped.
Text NormalizeHeaderNames(std::string_view block);

// The value of the first line of `block` that begins with `name` (byte for byte): the text after
// the last occurrence of `name` + ": " in that line. Empty when no line begins with `name` or that
// line lacks the occurrence.
Text HeaderValue(std::string_view block, std::string_view name);

}  // namespace varnelo
