// Text conversion inside the engine: the program hands names as code-page-936 text; file names on
// Linux are UTF-8.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace varnelo::interceptor {

// nullopt when the text is not valid code page 936 or the conversion is not available.
std::optional<std::string> Cp936ToUtf8Text(std::string_view text);

}  // namespace varnelo::interceptor
