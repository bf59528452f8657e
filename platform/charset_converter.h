// Conversion between two charsets by the names glibc's iconv knows ("CP936", "UTF-16LE",
// "WCHAR_T", "BIG5", ...). The text layer and the decoding of web pages both convert through it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <iconv.h>

namespace varnelo {

class CharsetConverter {
public:
    CharsetConverter(const char* to, const char* from);
    ~CharsetConverter();
    CharsetConverter(const CharsetConverter&) = delete;
    CharsetConverter& operator=(const CharsetConverter&) = delete;

    // False when iconv does not know one of the two names; Run then converts nothing.
    bool ok() const;

    // Converts all of `input`. `step` is the size of one input character as far as refusals go:
    // each character the target lacks, or that is invalid, becomes `replacement` and conversion
    // goes on after it; an incomplete sequence at the end becomes one `replacement` too.
    std::string Run(std::string_view input, std::size_t step, std::string_view replacement);

private:
    iconv_t cd_;
};

}  // namespace varnelo
