#include "support/script_engine.h"

#include <duktape.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

namespace varnelo {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::int32_t kErrorBase = static_cast<std::int32_t>(0x800A0000u);
// Extra time granted to read an error's properties after the limit has run out: the error
// object belongs to the script and may run script code (getters, toString) itself.
constexpr std::chrono::milliseconds kErrorReadTime{200};

// Duktape keeps strings as CESU-8 (UTF-16 code units, each encoded like UTF-8), which keeps lone
// surrogates and pairs exactly as the script sees them.
std::string ToCesu8(std::u16string_view utf16) {
    std::string out;
    out.reserve(utf16.size() + utf16.size() / 2);
    for (char16_t unit : utf16) {
        unsigned u = unit;
        if (u < 0x80) {
            out.push_back(static_cast<char>(u));
        } else if (u < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (u >> 6)));
            out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xE0 | (u >> 12)));
            out.push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
        }
    }
    return out;
}

// Reads Duktape's string bytes: CESU-8, plus four-byte UTF-8 for characters outside the BMP.
// Anything else becomes U+FFFD.
Utf16 FromCesu8(const unsigned char* p, std::size_t n) {
    Utf16 out;
    out.reserve(n);
    std::size_t i = 0;
    auto cont = [&](std::size_t k) { return i + k < n && (p[i + k] & 0xC0) == 0x80; };
    while (i < n) {
        unsigned b = p[i];
        if (b < 0x80) {
            out.push_back(static_cast<char16_t>(b));
            i += 1;
        } else if ((b & 0xE0) == 0xC0 && cont(1)) {
            out.push_back(static_cast<char16_t>(((b & 0x1F) << 6) | (p[i + 1] & 0x3F)));
            i += 2;
        } else if ((b & 0xF0) == 0xE0 && cont(1) && cont(2)) {
            out.push_back(static_cast<char16_t>(((b & 0x0F) << 12) | ((p[i + 1] & 0x3F) << 6) |
                                                (p[i + 2] & 0x3F)));
            i += 3;
        } else if ((b & 0xF8) == 0xF0 && cont(1) && cont(2) && cont(3)) {
            unsigned cp = ((b & 0x07) << 18) | ((p[i + 1] & 0x3F) << 12) |
                          ((p[i + 2] & 0x3F) << 6) | (p[i + 3] & 0x3F);
            if (cp >= 0x10000 && cp <= 0x10FFFF) {
                cp -= 0x10000;
                out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
                out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
            } else {
                out.push_back(u'\uFFFD');
            }
            i += 4;
        } else {
            out.push_back(u'\uFFFD');
            i += 1;
        }
    }
    return out;
}

Utf16 AsciiToUtf16(std::string_view ascii) { return Utf16(ascii.begin(), ascii.end()); }

}  // namespace

// Heap user data: the allocation account and the deadline of the running evaluation. Allocations
// carry a header with their size so that frees and reallocations keep the account exact.
struct ScriptHeap {
    duk_context* ctx = nullptr;
    std::size_t used = 0;
    std::size_t limit = 0;
    Clock::time_point deadline{};
    bool armed = false;
    std::uint32_t polls = 0;
    std::mt19937_64 random{SeedFromSystem()};

    static std::mt19937_64::result_type SeedFromSystem() {
        std::random_device device;
        return (static_cast<std::uint64_t>(device()) << 32) ^ device();
    }

    ~ScriptHeap() {
        if (ctx != nullptr) duk_destroy_heap(ctx);
    }

    static constexpr std::size_t kHeader = alignof(std::max_align_t);

    static std::size_t& SizeOf(void* block) { return *static_cast<std::size_t*>(block); }

    static void* Alloc(void* udata, duk_size_t size) {
        auto* heap = static_cast<ScriptHeap*>(udata);
        if (size > heap->limit - heap->used) return nullptr;
        void* block = std::malloc(kHeader + size);
        if (block == nullptr) return nullptr;
        SizeOf(block) = size;
        heap->used += size;
        return static_cast<char*>(block) + kHeader;
    }

    static void* Realloc(void* udata, void* ptr, duk_size_t size) {
        if (ptr == nullptr) return Alloc(udata, size);
        auto* heap = static_cast<ScriptHeap*>(udata);
        void* block = static_cast<char*>(ptr) - kHeader;
        std::size_t old = SizeOf(block);
        if (size > old && size - old > heap->limit - heap->used) return nullptr;
        void* grown = std::realloc(block, kHeader + size);
        if (grown == nullptr) return nullptr;
        SizeOf(grown) = size;
        heap->used = heap->used - old + size;
        return static_cast<char*>(grown) + kHeader;
    }

    static void Free(void* udata, void* ptr) {
        if (ptr == nullptr) return;
        auto* heap = static_cast<ScriptHeap*>(udata);
        void* block = static_cast<char*>(ptr) - kHeader;
        heap->used -= SizeOf(block);
        std::free(block);
    }

    // Every call into the engine is a protected call, so this is reached only by an engine fault.
    [[noreturn]] static void Fatal(void*, const char* message) {
        std::fprintf(stderr, "script engine fatal error: %s\n", message ? message : "");
        std::abort();
    }
};

}  // namespace varnelo

extern "C" int varnelo_script_time_is_up(void* udata) {
    auto* heap = static_cast<varnelo::ScriptHeap*>(udata);
    return heap != nullptr && heap->armed && varnelo::Clock::now() >= heap->deadline;
}

// Called on every property read from native code too; the clock is read on one call in 16384.
extern "C" int varnelo_script_poll(void* udata) {
    auto* heap = static_cast<varnelo::ScriptHeap*>(udata);
    if ((++heap->polls & 0x3FFFu) != 0) return 0;
    return varnelo_script_time_is_up(udata);
}

extern "C" double varnelo_script_random(void* udata) {
    auto* heap = static_cast<varnelo::ScriptHeap*>(udata);
    return static_cast<double>(heap->random() >> 11) * 0x1.0p-53;  // [0, 1), 53 random bits
}

namespace varnelo {

std::shared_ptr<ScriptEngine> ScriptEngine::Create(ScriptLimits limits) {
    std::shared_ptr<ScriptEngine> engine(new ScriptEngine(limits));
    if (engine->heap_->ctx == nullptr) return nullptr;
    return engine;
}

ScriptEngine::ScriptEngine(ScriptLimits limits)
    : limits_(limits), heap_(std::make_unique<ScriptHeap>()) {
    heap_->limit = limits.memoryLimit;
    heap_->ctx = duk_create_heap(&ScriptHeap::Alloc, &ScriptHeap::Realloc, &ScriptHeap::Free,
                                 heap_.get(), &ScriptHeap::Fatal);
}

ScriptEngine::~ScriptEngine() = default;

bool ScriptEngine::AddCode(std::u16string_view code) { return Run(code, false, nullptr); }

std::optional<ScriptValue> ScriptEngine::Eval(std::u16string_view statement) {
    ScriptValue value;
    if (!Run(statement, true, &value)) return std::nullopt;
    return value;
}

namespace {

// Reads the thrown value at the stack top into `error`; runs inside duk_safe_call because a
// script's error object may itself throw.
struct ErrorReader {
    ScriptError* error;
    bool compiling;
    std::u16string_view source;
};

Utf16 StringProp(duk_context* ctx, duk_idx_t obj, const char* name) {
    duk_get_prop_string(ctx, obj, name);
    Utf16 text;
    if (duk_is_string(ctx, -1) && !duk_is_symbol(ctx, -1)) {
        duk_size_t n = 0;
        const char* s = duk_get_lstring(ctx, -1, &n);
        text = FromCesu8(reinterpret_cast<const unsigned char*>(s), n);
    }
    duk_pop(ctx);
    return text;
}

std::int32_t CodeForErrorName(const Utf16& name) {
    if (name == u"SyntaxError") return 1002;        // syntax error
    if (name == u"ReferenceError") return 5009;     // undefined identifier
    if (name == u"TypeError") return 5007;          // object expected
    if (name == u"RangeError") return 5029;         // out of range (also time and memory limits)
    if (name == u"URIError") return 5011;
    return 5022;                                    // exception thrown and not caught
}

Utf16 SourceLine(std::u16string_view source, std::int32_t line) {
    if (line < 1) return {};
    std::size_t start = 0;
    for (std::int32_t i = 1; i < line; ++i) {
        start = source.find(u'\n', start);
        if (start == std::u16string_view::npos) return {};
        ++start;
    }
    std::size_t end = source.find(u'\n', start);
    Utf16 text(source.substr(start, end == std::u16string_view::npos ? end : end - start));
    if (!text.empty() && text.back() == u'\r') text.pop_back();
    return text;
}

duk_ret_t ReadError(duk_context* ctx, void* udata) {
    auto* reader = static_cast<ErrorReader*>(udata);
    ScriptError& e = *reader->error;
    duk_idx_t thrown = -1;
    if (duk_is_error(ctx, thrown)) {
        Utf16 name = StringProp(ctx, thrown, "name");
        e.number = kErrorBase | CodeForErrorName(name);
        e.description = StringProp(ctx, thrown, "message");
        duk_get_prop_string(ctx, thrown, "lineNumber");
        if (duk_is_number(ctx, -1)) e.line = duk_get_int(ctx, -1);
        duk_pop(ctx);
        e.text = SourceLine(reader->source, e.line);
    } else {
        e.number = kErrorBase | 5022;
        duk_dup(ctx, thrown);
        duk_size_t n = 0;
        const char* s = duk_safe_to_lstring(ctx, -1, &n);
        e.description = FromCesu8(reinterpret_cast<const unsigned char*>(s), n);
        duk_pop(ctx);
    }
    return 0;
}

void ReadValue(duk_context* ctx, ScriptValue& value) {
    switch (duk_get_type(ctx, -1)) {
    case DUK_TYPE_NONE:
    case DUK_TYPE_UNDEFINED: value.kind = ScriptValueKind::Undefined; return;
    case DUK_TYPE_NULL: value.kind = ScriptValueKind::Null; return;
    case DUK_TYPE_BOOLEAN:
        value.kind = ScriptValueKind::Boolean;
        value.boolean = duk_get_boolean(ctx, -1) != 0;
        value.string = value.boolean ? u"true" : u"false";
        return;
    case DUK_TYPE_NUMBER: {
        value.kind = ScriptValueKind::Number;
        value.number = duk_get_number(ctx, -1);
        duk_dup(ctx, -1);
        duk_size_t n = 0;
        const char* s = duk_to_lstring(ctx, -1, &n);  // number to text runs no script code
        value.string = FromCesu8(reinterpret_cast<const unsigned char*>(s), n);
        duk_pop(ctx);
        return;
    }
    case DUK_TYPE_STRING:
        if (!duk_is_symbol(ctx, -1)) {
            value.kind = ScriptValueKind::String;
            duk_size_t n = 0;
            const char* s = duk_get_lstring(ctx, -1, &n);
            value.string = FromCesu8(reinterpret_cast<const unsigned char*>(s), n);
            return;
        }
        [[fallthrough]];
    default: value.kind = ScriptValueKind::Object; return;
    }
}

}  // namespace

bool ScriptEngine::Run(std::u16string_view source, bool wantValue, ScriptValue* value) {
    duk_context* ctx = heap_->ctx;
    lastError_ = {};
    duk_idx_t top = duk_get_top(ctx);
    std::string code = ToCesu8(source);
    heap_->deadline = Clock::now() + limits_.timeLimit;
    heap_->armed = true;
    duk_uint_t flags = wantValue ? DUK_COMPILE_EVAL : 0;
    bool compiling = true;
    bool ok = duk_pcompile_lstring(ctx, flags, code.data(), code.size()) == 0;
    if (ok) {
        compiling = false;
        ok = duk_pcall(ctx, 0) == DUK_EXEC_SUCCESS;
    }
    if (ok) {
        if (value != nullptr) ReadValue(ctx, *value);
    } else {
        heap_->deadline = Clock::now() + kErrorReadTime;
        ErrorReader reader{&lastError_, compiling, source};
        if (duk_safe_call(ctx, ReadError, &reader, 1, 1) != DUK_EXEC_SUCCESS) {
            lastError_.number = kErrorBase | 5022;
        }
        lastError_.source = AsciiToUtf16(compiling ? "JavaScript compilation error"
                                                   : "JavaScript runtime error");
        if (lastError_.number == 0) lastError_.number = kErrorBase | 5022;
    }
    heap_->armed = false;
    duk_set_top(ctx, top);
    return ok;
}

namespace {

bool ReadsAsNumber(const Utf16& text, double& number) {
    std::string ascii;
    for (char16_t c : text) {
        if (c > 0x7F) return false;
        ascii.push_back(static_cast<char>(c));
    }
    auto first = ascii.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return false;
    auto last = ascii.find_last_not_of(" \t\r\n");
    std::string_view s(ascii.data() + first, last - first + 1);
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    std::string_view digits = !s.empty() && s.front() == '-' ? s.substr(1) : s;
    // from_chars would also take "inf" and "nan"; a decimal number starts with a digit or a point.
    if (digits.empty() || !(std::isdigit(static_cast<unsigned char>(digits.front())) ||
                            digits.front() == '.')) {
        return false;
    }
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), number);
    return ec == std::errc() && end == s.data() + s.size();
}

bool EqualsIgnoringCase(const Utf16& text, std::u16string_view word) {
    return text.size() == word.size() &&
           std::equal(text.begin(), text.end(), word.begin(), [](char16_t a, char16_t b) {
               return (a >= u'A' && a <= u'Z' ? a + 32 : a) == b;
           });
}

}  // namespace

bool ScriptValueToBoolean(const ScriptValue& value) {
    switch (value.kind) {
    case ScriptValueKind::Boolean: return value.boolean;
    case ScriptValueKind::Number: return value.number != 0;  // NaN too is not 0
    case ScriptValueKind::String: {
        if (EqualsIgnoringCase(value.string, u"true")) return true;
        double number = 0;
        return ReadsAsNumber(value.string, number) && number != 0;
    }
    default: return false;
    }
}

Utf16 ScriptValueToText(const ScriptValue& value) {
    switch (value.kind) {
    case ScriptValueKind::String:
    case ScriptValueKind::Number:
    case ScriptValueKind::Boolean: return value.string;
    default: return {};
    }
}

double ScriptValueToNumber(const ScriptValue& value) {
    switch (value.kind) {
    case ScriptValueKind::Number: return value.number;
    case ScriptValueKind::Boolean: return value.boolean ? -1 : 0;
    case ScriptValueKind::String: {
        double number = 0;
        return ReadsAsNumber(value.string, number) ? number : 0;
    }
    default: return 0;
    }
}

}  // namespace varnelo
