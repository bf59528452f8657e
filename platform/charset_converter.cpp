#include "platform/charset_converter.h"

#include <algorithm>
#include <cerrno>

namespace varnelo {

CharsetConverter::CharsetConverter(const char* to, const char* from)
    : cd_(iconv_open(to, from)) {}

CharsetConverter::~CharsetConverter() {
    if (ok()) iconv_close(cd_);
}

bool CharsetConverter::ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

std::string CharsetConverter::Run(std::string_view input, std::size_t step,
                                  std::string_view replacement) {
    std::string output;
    if (!ok()) return output;
    char* in = const_cast<char*>(input.data());
    std::size_t inLeft = input.size();
    char buffer[4096];
    while (inLeft > 0) {
        char* out = buffer;
        std::size_t outLeft = sizeof buffer;
        const std::size_t rc = iconv(cd_, &in, &inLeft, &out, &outLeft);
        const int error = errno;
        output.append(buffer, out - buffer);
        if (rc != static_cast<std::size_t>(-1) || error == E2BIG) continue;
        output.append(replacement);
        if (error != EILSEQ) break;  // EINVAL: cut at the end
        const std::size_t skip = std::min(step, inLeft);
        in += skip;
        inLeft -= skip;
    }
    char* out = buffer;
    std::size_t outLeft = sizeof buffer;
    iconv(cd_, nullptr, nullptr, &out, &outLeft);  // any shift state's closing bytes
    return output.append(buffer, out - buffer);
}

}  // namespace varnelo
