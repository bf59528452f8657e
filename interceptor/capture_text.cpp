#include "interceptor/capture_text.h"

#include <iconv.h>

#include <cerrno>

namespace varnelo::interceptor {

std::optional<std::string> Cp936ToUtf8Text(std::string_view text) {
    if (text.empty()) return std::string();
    iconv_t cd = ::iconv_open("UTF-8", "CP936");
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
    std::string out(text.size() * 3 + 4, '\0');  // a CP936 byte never grows beyond 3 UTF-8 bytes
    std::string in(text);
    char* inPtr = in.data();
    size_t inLeft = in.size();
    char* outPtr = out.data();
    size_t outLeft = out.size();
    size_t rc = ::iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    ::iconv_close(cd);
    if (rc == static_cast<size_t>(-1)) return std::nullopt;
    out.resize(out.size() - outLeft);
    return out;
}

}  // namespace varnelo::interceptor
