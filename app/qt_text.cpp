#include "app/qt_text.h"

namespace varnelo {

QString ToQString(const Text& text) {
    const Utf16 wide = Cp936ToUtf16(text);
    return QString::fromUtf16(wide.data(), static_cast<qsizetype>(wide.size()));
}

Text FromQString(const QString& text) {
    return Utf16ToCp936(std::u16string_view(reinterpret_cast<const char16_t*>(text.utf16()),
                                            static_cast<std::size_t>(text.size())));
}

}  // namespace varnelo
