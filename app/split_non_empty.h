#pragma once

#include <vector>

#include "platform/text.h"

namespace varnelo {

// Cuts text at every occurrence of separator (the empty separator means ",") and drops the empty
// pieces; nothing is trimmed and the pieces keep their order. The scan steps over double-byte
// characters of code page 936, so a second byte that equals the separator does not cut.
std::vector<Text> SplitNonEmpty(const Text& text, const Text& separator = ",");

}  // namespace varnelo
