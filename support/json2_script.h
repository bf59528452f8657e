// json2.js, the public-domain JSON parse and stringify script, as installed by Debian's libjs-json
// and embedded at build time (support/duktape/embed_json2.cmake). UTF-8 text, not zero-terminated.
#pragma once

#include <cstddef>

namespace varnelo {

extern const unsigned char kJson2Script[];
extern const std::size_t kJson2ScriptSize;

}  // namespace varnelo
