// Profile-string (INI) files with the rules of the Windows profile functions, so that a file written
// here reads on Windows and the reverse: bytes are stored as given (code page 936 texts), lines end
// in CR LF when written and in LF or CR LF when read, section and key names match without regard to
// ASCII letter case, and a value read loses its enclosing blanks and one pair of enclosing quotes.
#pragma once

#include "platform/text.h"

#include <cstddef>

namespace varnelo {

// The value of key in section of the file, cut to fit a buffer of bufferSize bytes with its
// terminating zero (so at most bufferSize - 1 bytes, never ending in half a double-byte character).
// A missing file, section or key, or an unreadable file, gives the empty text.
Text ReadProfileString(const Text& file, const Text& section, const Text& key,
                       std::size_t bufferSize);

// Sets key in section to value (replacing the key's line, or adding the key at the end of its
// section, or adding the section at the end of the file). The file is replaced atomically (a
// temporary file beside it, then rename) and gets mode 0600. Returns false, leaving the old file
// untouched, when the file cannot be read or written or when a name or the value holds a line break.
bool WriteProfileString(const Text& file, const Text& section, const Text& key, const Text& value);

}  // namespace varnelo
