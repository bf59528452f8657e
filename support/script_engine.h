// A JavaScript engine (Duktape) for the JSON document and the random text: one heap per engine,
// evaluated statements and added code run in the global scope, texts cross as UTF-16.
//
// Every evaluation is bounded: it stops with a script error when it runs longer than the time
// limit, and the heap fails its allocations (a script error again) once it holds more than the
// memory limit. No host function is exposed to scripts.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "platform/text.h"

namespace varnelo {

struct ScriptHeap;  // the engine's heap and its accounts (script_engine.cpp)

struct ScriptLimits {
    std::chrono::milliseconds timeLimit{3000};  // per AddCode or Eval call
    std::size_t memoryLimit = std::size_t{256} << 20;  // bytes held by the whole heap
};

enum class ScriptValueKind { Undefined, Null, Boolean, Number, String, Object };

// The value of an evaluated statement. Objects (arrays and functions included) carry no content.
struct ScriptValue {
    ScriptValueKind kind = ScriptValueKind::Undefined;
    bool boolean = false;
    double number = 0;
    Utf16 string;
};

// The details of the last script error, named after the script host's Error object properties.
// `number` is a host-style error number (0x800A0000 plus a code for the kind of error); a script
// that ran without error leaves every field zero or empty.
struct ScriptError {
    std::int32_t number = 0;
    Utf16 source;       // "JavaScript compilation error" or "JavaScript runtime error"
    Utf16 description;  // the error's message
    Utf16 helpFile;
    std::int32_t helpContext = 0;
    Utf16 text;         // the source line the error was raised on, when known
    std::int32_t line = 0;
    std::int32_t column = 0;
};

class ScriptEngine {
public:
    // A new engine, or null when its heap cannot be created.
    static std::shared_ptr<ScriptEngine> Create(ScriptLimits limits = {});
    ~ScriptEngine();
    ScriptEngine(const ScriptEngine&) = delete;
    ScriptEngine& operator=(const ScriptEngine&) = delete;

    // Runs `code` as a program in the global scope. False on a script error (see LastError).
    bool AddCode(std::u16string_view code);

    // Evaluates `statement` in the global scope and returns its completion value; nothing on a
    // script error (see LastError).
    std::optional<ScriptValue> Eval(std::u16string_view statement);

    // The error of the last AddCode or Eval call; all empty when that call succeeded.
    const ScriptError& LastError() const { return lastError_; }

    const ScriptLimits& Limits() const { return limits_; }

private:
    explicit ScriptEngine(ScriptLimits limits);
    bool Run(std::u16string_view source, bool wantValue, ScriptValue* value);

    ScriptLimits limits_;
    std::unique_ptr<ScriptHeap> heap_;
    ScriptError lastError_;
};

// The script host's conversions of a statement's value (a failed statement gives false, the empty
// text or 0 before these are reached):
// - boolean: a boolean keeps its value, a number is true when not 0, a string is true only when it
//   reads as "true" (any letter case) or as a non-zero number; undefined, null and objects are false;
// - text: a string as it is, a number or boolean in its script text form, anything else empty;
// - number: a number as it is, a boolean as -1 (true) or 0, a string that reads wholly as a decimal
//   number as that number, anything else 0.
bool ScriptValueToBoolean(const ScriptValue& value);
Utf16 ScriptValueToText(const ScriptValue& value);
double ScriptValueToNumber(const ScriptValue& value);

}  // namespace varnelo
