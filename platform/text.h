// Texts inside Varnelo are code-page-936 byte strings. This layer converts them to UTF-16 and
// UTF-8 where a boundary needs it, with the behaviour of the Windows conversion functions:
// a character that code page 936 lacks becomes its default character "?" (one per character, a
// surrogate pair counting as one), 0x80 is the euro sign, and invalid input never fails a call.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace varnelo {

using Text = std::string;  // code-page-936 bytes; the empty text and an absent text behave alike
using ByteSet = std::vector<std::uint8_t>;  // a counted buffer that may hold zero bytes
using Utf16 = std::u16string;

inline constexpr int kCodePage936 = 936;
inline constexpr int kCodePageUtf8 = 65001;

// Code page 936 to UTF-16, every byte of the input (zero bytes too). A byte sequence that is not
// valid code page 936 becomes one U+003F per offending byte.
Utf16 Cp936ToUtf16(std::string_view cp936);

// UTF-16 to code page 936. Each character that code page 936 cannot hold, and each lone surrogate,
// becomes one "?".
Text Utf16ToCp936(std::u16string_view utf16);

// UTF-8 to UTF-16 and back. An invalid UTF-8 sequence becomes one U+FFFD per maximal invalid part,
// as the Windows conversion does; a lone surrogate encodes as U+FFFD.
Utf16 Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);

// A text to UTF-16LE code units followed by one zero unit, read as a zero-terminated string (it
// ends at its first zero byte). The empty text gives the empty buffer.
Utf16 TextToUtf16(std::string_view text);

// Bytes in the given code page (936, 65001, or any code page that iconv knows as "CP<n>") to
// UTF-16 with a terminating zero unit; the bytes end at their first zero byte. Empty input, and an
// unknown code page, give the empty buffer.
Utf16 BytesToUtf16(std::string_view bytes, int codePage);

// UTF-8 library text to a code-page-936 text. Conversion stops at the first zero byte.
Text Utf8ToCp936(std::string_view utf8);
inline Text Utf8ToCp936(const ByteSet& utf8) {
    return Utf8ToCp936(
        std::string_view(reinterpret_cast<const char*>(utf8.data()), utf8.size()));
}

// A code-page-936 text (its bytes up to the first zero) to UTF-8 bytes, without a terminating zero.
ByteSet Cp936ToUtf8(std::string_view text);

// The file-system name of a path held as text (Linux file names are UTF-8), and back.
std::string PathFromText(std::string_view text);
Text TextFromPath(std::string_view utf8Path);

// Writes a code-page-936 text from a UTF-8 source literal: "开启代理"_cp936.
inline Text operator""_cp936(const char* utf8, std::size_t length) {
    return Utf8ToCp936(std::string_view(utf8, length));
}

// The first byte of a two-byte code-page-936 character: a byte of 0x80 or more.
inline bool IsLeadByte(unsigned char byte) { return byte >= 0x80; }

}  // namespace varnelo
