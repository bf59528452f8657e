// A strict check of JSON syntax that evaluates nothing, for answers that would otherwise be run as
// script.
#pragma once

#include <string_view>

namespace varnelo {

// True when `utf8` is exactly one JSON value (RFC 8259) with optional surrounding white space,
// nested at most `maxDepth` arrays and objects deep. Bytes of 0x80 and more inside strings are
// taken as they are.
bool IsJsonText(std::string_view utf8, int maxDepth = 512);

}  // namespace varnelo
