#include "engine/marshalling.h"

#include <cstring>

namespace varnelo {

Text TakeLibraryText(Library& library, char* string) {
    if (string == nullptr) return {};
    Text copy(string);
    VARNELO_CALL(library, Free, string);
    return copy;
}

Text TakeLibraryUtf8Text(Library& library, char* string) {
    return Utf8ToCp936(TakeLibraryText(library, string));
}

ByteSet TakeLibraryBytes(Library& library, void* buffer, int count) {
    if (buffer == nullptr) return {};
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    ByteSet copy;
    if (count > 0) copy.assign(bytes, bytes + count);
    VARNELO_CALL(library, Free, buffer);
    return copy;
}

ByteSet TakeUdpBuffer(Library& library, void* buffer) {
    if (buffer == nullptr) return {};
    // The length field goes to BytesToInt as a copy: the library's own buffer stays untouched.
    std::uint8_t field[8];
    std::memcpy(field, buffer, sizeof field);
    const int length = VARNELO_CALL(library, BytesToInt, field, static_cast<int>(sizeof field));
    const auto* data = static_cast<const std::uint8_t*>(buffer) + sizeof field;
    ByteSet copy;
    if (length > 0) copy.assign(data, data + length);
    VARNELO_CALL(library, Free, buffer);
    return copy;
}

Text CopyLibraryString(const char* string) { return string == nullptr ? Text() : Text(string); }

}  // namespace varnelo
