// Searching and padding code-page-936 texts character by character: a two-byte character (a lead
// byte of 0x80 or more and the byte after it) is never matched across its middle.
#pragma once

#include "platform/text.h"

namespace varnelo {

// The text between the first occurrence of `left` at or after byte position `start` (counting
// from 1; 0 and 1 both mean the beginning) and the first occurrence of `right` after it. In `left`
// and `right` every "#引号" stands for a double quote. `ignoreCase` ignores the case of the
// letters A-Z only. Empty when `left` is not found, or `right` is not found after it.
Text TextBetween(const Text& text, Text left, Text right, long start = 1, bool ignoreCase = false);

// Searched from the end: `right` is its last occurrence (with `offset` > 0, the last one lying
// wholly within the first length - offset - 1 bytes), `left` the last occurrence ending at or
// before that, and the result is what lies between them. Same marker and case rules as
// TextBetween; empty when either is not found.
Text TextBetweenFromEnd(const Text& text, Text right, Text left, long offset = 0,
                        bool ignoreCase = false);

// `text` preceded by one "0" for each character by which it falls short of `width`.
Text PadLeftZeros(const Text& text, long width);

// The number of characters of a code-page-936 text.
long CharacterCount(const Text& text);

}  // namespace varnelo
