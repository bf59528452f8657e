#include "platform/text.h"

#include "platform/charset_converter.h"

namespace varnelo {
namespace {

Utf16 UnitsFromLittleEndian(const std::string& bytes) {
    Utf16 out(bytes.size() / 2, u'\0');
    for (size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                       (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
    }
    return out;
}

// Decodes with iconv from `charset`; each byte it refuses becomes U+003F. Descriptors are opened
// per call, not cached: a cache would be gone by the time exit handlers and static destructors
// run, and those convert texts too. Once glibc has loaded a module, opening costs microseconds.
Utf16 DecodeWith(const std::string& charset, std::string_view input) {
    CharsetConverter conv("UTF-16LE", charset.c_str());
    if (!conv.ok()) return {};
    return UnitsFromLittleEndian(conv.Run(input, 1, std::string_view("?\0", 2)));
}

bool IsHighSurrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

std::string_view UpToZero(std::string_view s) {
    size_t zero = s.find('\0');
    return zero == std::string_view::npos ? s : s.substr(0, zero);
}

Utf16 WithTerminator(Utf16 units) {
    if (!units.empty()) units.push_back(u'\0');
    return units;
}

}  // namespace

Utf16 Cp936ToUtf16(std::string_view cp936) { return DecodeWith("CP936", cp936); }

Text Utf16ToCp936(std::u16string_view utf16) {
    // Pairs are joined into code points first and iconv converts from wide characters: from
    // UTF-16 it would convert in two stages and redo the rest of its buffer after every refused
    // character, which turns a page full of them quadratic. A lone surrogate stays as it is, and
    // iconv refuses it like any other character code page 936 lacks.
    std::vector<wchar_t> points;
    points.reserve(utf16.size());
    for (size_t i = 0; i < utf16.size(); ++i) {
        char32_t cp = utf16[i];
        if (IsHighSurrogate(utf16[i]) && i + 1 < utf16.size() && IsLowSurrogate(utf16[i + 1])) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
            ++i;
        }
        points.push_back(static_cast<wchar_t>(cp));
    }
    // One default character per refused character.
    CharsetConverter conv("CP936", "WCHAR_T");
    return conv.Run(std::string_view(reinterpret_cast<const char*>(points.data()),
                                     points.size() * sizeof(wchar_t)),
                    sizeof(wchar_t), "?");
}

Utf16 Utf8ToUtf16(std::string_view utf8) {
    Utf16 out;
    out.reserve(utf8.size());
    size_t i = 0;
    const size_t n = utf8.size();
    auto byte = [&](size_t k) { return static_cast<unsigned char>(utf8[k]); };
    while (i < n) {
        unsigned char b = byte(i);
        if (b < 0x80) {
            out.push_back(b);
            ++i;
            continue;
        }
        size_t need = 0;
        char32_t cp = 0;
        unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
        if (b >= 0xC2 && b <= 0xDF) {
            need = 1, cp = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            need = 2, cp = b & 0x0F;
            if (b == 0xE0) lo = 0xA0;
            if (b == 0xED) hi = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            need = 3, cp = b & 0x07;
            if (b == 0xF0) lo = 0x90;
            if (b == 0xF4) hi = 0x8F;
        } else {
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        size_t j = i + 1;
        bool valid = true;
        for (size_t k = 0; k < need; ++k, ++j) {
            unsigned char lower = k == 0 ? lo : 0x80, upper = k == 0 ? hi : 0xBF;
            if (j >= n || byte(j) < lower || byte(j) > upper) {
                valid = false;
                break;
            }
            cp = (cp << 6) | (byte(j) & 0x3F);
        }
        if (!valid) {
            out.push_back(0xFFFD);  // the maximal invalid part is replaced once
            i = j;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i = j;
    }
    return out;
}

std::string Utf16ToUtf8(std::u16string_view utf16) {
    std::string out;
    out.reserve(utf16.size() * 3);
    for (size_t i = 0; i < utf16.size(); ++i) {
        char32_t cp = utf16[i];
        if (IsHighSurrogate(utf16[i]) && i + 1 < utf16.size() && IsLowSurrogate(utf16[i + 1])) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
            ++i;
        } else if (IsHighSurrogate(utf16[i]) || IsLowSurrogate(utf16[i])) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

Utf16 TextToUtf16(std::string_view text) { return BytesToUtf16(text, kCodePage936); }

Utf16 BytesToUtf16(std::string_view bytes, int codePage) {
    std::string_view data = UpToZero(bytes);
    if (data.empty()) return {};
    if (codePage == kCodePageUtf8) return WithTerminator(Utf8ToUtf16(data));
    return WithTerminator(DecodeWith("CP" + std::to_string(codePage), data));
}

Text Utf8ToCp936(std::string_view utf8) { return Utf16ToCp936(Utf8ToUtf16(UpToZero(utf8))); }

ByteSet Cp936ToUtf8(std::string_view text) {
    std::string utf8 = Utf16ToUtf8(Cp936ToUtf16(UpToZero(text)));
    return ByteSet(utf8.begin(), utf8.end());
}

std::string PathFromText(std::string_view text) {
    return Utf16ToUtf8(Cp936ToUtf16(UpToZero(text)));
}

Text TextFromPath(std::string_view utf8Path) { return Utf8ToCp936(utf8Path); }

}  // namespace varnelo
