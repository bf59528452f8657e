// JsonDocument: one JSON value held in a variable ("da") of the document's own script engine, read
// and changed by path. Every operation builds one short script statement and evaluates it, so the
// results follow the script host's conversions (see support/script_engine.h).
//
// Texts are code-page-936 texts; they cross into the engine as UTF-16.
//
// Paths are script member expressions made absolute by ResolvePath: "a.b" -> "da.a.b",
// "[2]" -> "da[2]", "data['x'][0]" -> "da.data['x'][0]", "" -> "da".
//
// Backslash marker: a text stored with SetValue in plain form keeps each backslash as U+2400 inside
// the engine; every operation that reads a text or JSON text turns U+2400 back into a backslash,
// except MemberNames and NodeValues. So JSON text made by this object shows backslashes of plain
// stored texts unescaped.
//
// Failures are results: a document without engine, or a statement that raises a script error
// (including one that exceeds the engine's time or memory limit), gives false, an empty text or 0.
// A document belongs to the thread that created it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/text.h"
#include "support/script_engine.h"

namespace varnelo {

// The script error reported by Parse; all zero and empty when the code ran without error.
struct ScriptErrorInfo {
    std::int32_t number = 0;
    Text source;
    Text description;
    Text helpFile;
    std::int32_t helpContext = 0;
    Text text;
    std::int32_t line = 0;
    std::int32_t column = 0;
};

// Type codes of TypeOf. There is no code 3.
enum class JsonType : int {
    Other = -1,  // a function, a failed evaluation, or a path through a missing member
    Null = 0,    // null, undefined, or a missing last member
    Boolean = 1,
    Number = 2,
    Object = 4,
    Array = 5,
    String = 6,
};

class JsonDocument {
public:
    // A document named "da" with a fresh engine holding the script library. When the engine
    // cannot be created the document has none and every operation gives its neutral result.
    static JsonDocument Create(ScriptLimits limits = {});

    JsonDocument() = default;  // a document without engine
    JsonDocument(JsonDocument&&) = default;
    JsonDocument& operator=(JsonDocument&&) = default;
    JsonDocument(const JsonDocument&) = delete;
    JsonDocument& operator=(const JsonDocument&) = delete;

    // Releases the engine reference; the document is then without engine.
    void Destroy();
    // A second document on the same engine and the same variable.
    JsonDocument Copy() const;
    // Gives this document a new engine loaded with the script library and the empty object {}.
    void Initialise();

    // Runs `text` as a script expression in a fresh engine and assigns it to the variable:
    // "var da = eval(<text>)", or "var da = <text>" when `direct`. True when the variable is then
    // not null. `errorInfo`, when given, receives the script error (or all zero and empty).
    bool Parse(std::string_view text, bool direct = false, ScriptErrorInfo* errorInfo = nullptr);
    bool Reset();  // the variable becomes {}; the result is the statement's value as a boolean
    Text ToJsonText();

    // Stores `value` at `path`: as a plain string (backslashes kept as U+2400), or, when `isJson`,
    // as a script expression (merged into an existing object at `path`). The result is the
    // statement's value as a boolean, so assigning an ordinary text or an object reports false.
    bool SetValue(std::string_view path, std::string_view value, bool isJson = false);
    bool SetByExpression(std::string_view path, std::string_view expression);
    // Makes `path` absolute; true when it then denotes a value that is not null or undefined.
    bool ResolvePath(Text& path);
    bool Exists(std::string_view path = {});
    JsonType TypeOf(std::string_view path = {});
    // Plain form: a string's content, a number's or boolean's text, "[object Object]", or an
    // array's members joined by commas. `asJson`: the JSON text of the value.
    Text GetText(std::string_view path = {}, bool asJson = false);
    // The enumerable non-function member names of the object at `path`; replaces `names`.
    int MemberNames(std::vector<Text>& names, std::string_view path = {});
    std::int32_t Count(std::string_view path = {});  // an array's length, otherwise 0
    JsonDocument GetDocument(std::string_view path = {});  // an independent copy of the value
    bool AddArrayMember(std::string_view value, std::string_view path = {}, bool isJson = false,
                        bool atFront = false);
    JsonDocument GetArrayMemberDocument(std::int32_t index, std::string_view path = {});
    // Plain form yields text only for a string member.
    Text GetArrayMemberText(std::int32_t index, std::string_view path = {}, bool asJson = false);
    bool SetArrayMember(std::int32_t index, std::string_view path, std::string_view value,
                        bool isJson = false);
    bool RemoveArrayMember(std::int32_t index, std::string_view path = {});
    bool Delete(std::string_view path);
    bool SetNumber(std::string_view path, double number);
    double GetNumber(std::string_view path = {});
    Text GetJsonText(std::string_view path = {});
    std::shared_ptr<ScriptEngine> GetEngine() const { return engine_; }
    // The string, number and boolean members of the value at `path` in enumeration order,
    // descending into objects and arrays when `recursive`; replaces `values`.
    int NodeValues(std::vector<Text>& values, std::string_view path = {}, bool recursive = false);

    const Text& VariableName() const { return variableName_; }

private:
    JsonDocument(Text variableName, std::shared_ptr<ScriptEngine> engine, ScriptLimits limits);

    bool ParseCode(const Utf16& text, bool direct, ScriptErrorInfo* errorInfo);
    std::optional<ScriptValue> Evaluate(const Utf16& statement);
    bool EvaluateBoolean(const Utf16& statement);
    Text EvaluateText(const Utf16& statement);
    Utf16 N() const;
    Utf16 Resolved(std::string_view path);
    static Utf16 MemberLiteral(std::string_view value, bool isJson);
    JsonDocument DocumentOf(const Utf16& expression);

    Text variableName_;
    std::shared_ptr<ScriptEngine> engine_;
    ScriptLimits limits_;
};

}  // namespace varnelo
