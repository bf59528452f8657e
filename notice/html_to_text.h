// Visible text of an HTML fragment, as a browser's text view of it would read.
#pragma once

#include "platform/text.h"

namespace varnelo {

// The plain text of `html` (code page 936 in and out): tags removed, character references
// decoded, runs of blanks and line breaks in the source read as one blank (except inside <pre>),
// a line break (CR LF) around block elements and for each <br>, scripts, styles and the document
// head left out, a non-breaking space read as a blank. Leading and trailing blanks and breaks are
// trimmed. Characters that code page 936 lacks become "?". Empty for empty or unparsable input.
Text HtmlToText(const Text& html);

}  // namespace varnelo
