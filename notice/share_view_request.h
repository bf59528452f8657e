// The pieces of the share-view request that reads a note of a public Weiyun share without login.
#pragma once

#include <string_view>

#include "platform/text.h"

namespace varnelo {

// The request body as a template: a compact JSON object whose two members "req_header" and
// "req_body" are strings holding compact JSON texts (their quotes written as \"), with the
// sequence number's digits as "timenumber" and the share key's content as "necessarykey".
extern const std::string_view kShareViewBodyTemplate;

// The template with every "timenumber" replaced by `sequenceNumber`, then every "necessarykey"
// by `shareKey`.
Text ShareViewBody(const Text& sequenceNumber, const Text& shareKey);

// A new sequence number: MillisecondStamp() followed by four random digits (17 digits today).
Text NewSequenceNumber();

// The last path segment of `shareAddress`; empty when the address ends in "/".
Text ShareKeyOf(const Text& shareAddress);

// The share-view interface on the share's scheme and host (with its port, when it names one):
// <scheme>://<host>/webapp/json/weiyunShareNoLogin/WeiyunShareView?refer=chrome_windows&g_tk=
// <token>&r=<r>, token and r inserted as they are. Empty when the address has no "://".
Text ShareViewAddress(const Text& shareAddress, const Text& token, const Text& r);

// The value of the first cookie item named wyctoken (the part after its first "="); empty when
// there is none.
Text WycToken(const Text& cookies);

// Replaces every occurrence of `from` in `text` by `to`, scanning left to right.
Text ReplaceAll(Text text, std::string_view from, std::string_view to);

}  // namespace varnelo
