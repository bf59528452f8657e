// Crossing the library boundary with texts and buffers. Whatever the library returns is copied at
// once and handed back to the library's Free exactly once; a null pointer means "nothing", gives
// the empty text or byte set and is never handed to Free. None of these operations fails.
#pragma once

#include <string_view>

#include "engine/library.h"
#include "platform/text.h"

namespace varnelo {

// Copies the library's zero-terminated string and releases it with Free. Null gives "".
Text TakeLibraryText(Library& library, char* string);

// TakeLibraryText, then the bytes read as UTF-8 and converted to code page 936.
Text TakeLibraryUtf8Text(Library& library, char* string);

// Copies count bytes of the library's buffer and releases it with Free. Null gives the empty
// byte set (no Free); a count of 0 or less gives the empty byte set (the buffer is still freed).
ByteSet TakeLibraryBytes(Library& library, void* buffer, int count);

// Reads a UDP buffer: an 8-byte length field (decoded by the library's BytesToInt) followed by the
// data. Copies the data and releases the buffer with Free. Null gives the empty byte set (no Free);
// a length of 0 or less gives the empty byte set (the buffer is still freed).
ByteSet TakeUdpBuffer(Library& library, void* buffer);

// Copies a string that stays the library's (a callback's argument). Null gives "".
Text CopyLibraryString(const char* string);

// A byte set as the library takes it: a valid pointer (also for the empty set) and the count.
inline const void* BytesPointer(const ByteSet& bytes) {
    static const std::uint8_t kNothing = 0;
    return bytes.empty() ? &kNothing : bytes.data();
}
inline int BytesCount(const ByteSet& bytes) { return static_cast<int>(bytes.size()); }

}  // namespace varnelo
