#include "notice/json_syntax.h"

#include <cctype>
#include <cstring>

namespace varnelo {
namespace {

class JsonChecker {
public:
    JsonChecker(std::string_view text, int maxDepth) : text_(text), maxDepth_(maxDepth) {}

    bool Check() {
        SkipBlanks();
        if (!Value(0)) return false;
        SkipBlanks();
        return at_ == text_.size();
    }

private:
    bool AtEnd() const { return at_ >= text_.size(); }
    char Peek() const { return AtEnd() ? '\0' : text_[at_]; }

    void SkipBlanks() {
        while (!AtEnd() && std::strchr(" \t\r\n", text_[at_]) != nullptr && text_[at_] != '\0') {
            ++at_;
        }
    }

    bool Step() {
        ++at_;
        return true;
    }

    bool Literal(std::string_view word) {
        if (text_.substr(at_, word.size()) != word) return false;
        at_ += word.size();
        return true;
    }

    bool Value(int depth) {
        switch (Peek()) {
            case '{': return depth < maxDepth_ && Object(depth + 1);
            case '[': return depth < maxDepth_ && Array(depth + 1);
            case '"': return String();
            case 't': return Literal("true");
            case 'f': return Literal("false");
            case 'n': return Literal("null");
            default: return Number();
        }
    }

    bool Object(int depth) {
        ++at_;
        SkipBlanks();
        if (Peek() == '}') return Step();
        for (;;) {
            SkipBlanks();
            if (Peek() != '"' || !String()) return false;
            SkipBlanks();
            if (Peek() != ':') return false;
            ++at_;
            SkipBlanks();
            if (!Value(depth)) return false;
            SkipBlanks();
            if (Peek() == '}') return Step();
            if (Peek() != ',') return false;
            ++at_;
        }
    }

    bool Array(int depth) {
        ++at_;
        SkipBlanks();
        if (Peek() == ']') return Step();
        for (;;) {
            SkipBlanks();
            if (!Value(depth)) return false;
            SkipBlanks();
            if (Peek() == ']') return Step();
            if (Peek() != ',') return false;
            ++at_;
        }
    }

    bool String() {
        ++at_;
        while (!AtEnd()) {
            unsigned char c = static_cast<unsigned char>(text_[at_++]);
            if (c == '"') return true;
            if (c < 0x20) return false;
            if (c == '\\' && !Escape()) return false;
        }
        return false;
    }

    bool Escape() {
        if (AtEnd()) return false;
        char c = text_[at_++];
        if (std::strchr("\"\\/bfnrt", c) != nullptr && c != '\0') return true;
        if (c != 'u') return false;
        for (int i = 0; i < 4; ++i) {
            if (AtEnd() || !std::isxdigit(static_cast<unsigned char>(text_[at_]))) return false;
            ++at_;
        }
        return true;
    }

    bool Digits() {
        size_t start = at_;
        while (!AtEnd() && text_[at_] >= '0' && text_[at_] <= '9') ++at_;
        return at_ > start;
    }

    bool Number() {
        if (Peek() == '-') ++at_;
        if (Peek() == '0') {
            ++at_;
        } else if (!Digits()) {
            return false;
        }
        if (Peek() == '.') {
            ++at_;
            if (!Digits()) return false;
        }
        if (Peek() == 'e' || Peek() == 'E') {
            ++at_;
            if (Peek() == '+' || Peek() == '-') ++at_;
            if (!Digits()) return false;
        }
        return true;
    }

    std::string_view text_;
    int maxDepth_;
    size_t at_ = 0;
};

}  // namespace

bool IsJsonText(std::string_view utf8, int maxDepth) {
    return JsonChecker(utf8, maxDepth).Check();
}

}  // namespace varnelo
