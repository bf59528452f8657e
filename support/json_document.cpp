#include "support/json_document.h"

#include <charconv>
#include <cmath>
#include <string>

#include "support/json2_script.h"

namespace varnelo {

namespace {

// The four helpers every engine gets before json2.js. Members are visited in enumeration order
// (for-in), so inherited enumerable functions such as toJSONString are seen and skipped.
constexpr std::u16string_view kLibraryHead = uR"js(
function get__nodeValue(str_json, recursion) {
    for (var key in str_json) {
        var kind = Object.prototype.toString.call(str_json[key]);
        if (kind == '[object Object]' || kind == '[object Array]') {
            if (recursion) get__nodeValue(str_json[key], recursion);
        } else if (kind == '[object String]' || kind == '[object Number]' ||
                   kind == '[object Boolean]') {
            str_all.push(str_json[key]);
        }
    }
    return str_all;
}
function get__count(c) {
    return Object.prototype.toString.call(c) == '[object Array]' ? c.length : 0;
}
function get__name_All(a) {
    if (Object.prototype.toString.call(a) != '[object Object]') return '';
    var names = [];
    for (var key in a) {
        if (typeof a[key] != 'function') names.push(key);
    }
    return names.join('\r\n');
}
function get__extend(target, source) {
    if (Object.prototype.toString.call(target) == '[object Array]') {
        for (var i = 0; i < source.length; i++) target.push(source[i]);
        return target;
    }
    for (var key in source) {
        var member = target[key];
        var kind = Object.prototype.toString.call(member);
        if (kind == '[object String]' || kind == '[object Boolean]' ||
            kind == '[object Number]' || member === undefined || member === null) {
            target[key] = source[key];
        } else if (kind == '[object Object]' || kind == '[object Array]') {
            target[key] = get__extend(member, source[key]);
        }
    }
    return target;
}
)js";

constexpr std::u16string_view kLibraryTail = uR"js(
if (typeof Object.prototype.toJSONString !== 'function') {
    Object.prototype.toJSONString = function (filter) { return JSON.stringify(this, filter); };
    Object.prototype.parseJSON = function (filter) { return JSON.parse(this, filter); };
}
)js";

const Utf16& ScriptLibrary() {
    static const Utf16 library = [] {
        Utf16 text(kLibraryHead);
        text += Utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(kJson2Script),
                                             kJson2ScriptSize));
        text += kLibraryTail;
        return text;
    }();
    return library;
}

constexpr std::u16string_view kUnmark = uR"(.replace(str_reg, '\\'))";
constexpr std::u16string_view kNodeSeparator = u"[2020年7月20日20时0分0秒]";

Utf16 U(std::string_view text) { return Cp936ToUtf16(text); }
Text T(const Utf16& text) { return Utf16ToCp936(text); }

Utf16 Decimal(std::int64_t n) {
    std::string s = std::to_string(n);
    return Utf16(s.begin(), s.end());
}

Utf16 NumberLiteral(double number) {
    if (std::isnan(number)) return u"NaN";
    if (std::isinf(number)) return number > 0 ? u"Infinity" : u"-Infinity";
    char buffer[64];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, number);
    return Utf16(buffer, end);
}

// The value as the body of a single-quoted script string: backslash, apostrophe, double quote, CR
// and LF escaped, in that order. Works on UTF-16 so that a trail byte 0x5C of a double-byte
// character is never taken for a backslash.
Utf16 EscapeForQuotes(std::u16string_view value) {
    Utf16 out;
    out.reserve(value.size() + 8);
    for (char16_t c : value) {
        switch (c) {
        case u'\\': out += u"\\\\"; break;
        case u'\'': out += u"\\'"; break;
        case u'"': out += u"\\\""; break;
        case u'\r': out += u"\\r"; break;
        case u'\n': out += u"\\n"; break;
        default: out.push_back(c);
        }
    }
    return out;
}

// Pieces between separators; an empty piece after the last separator, and the empty text, give
// none.
std::vector<Text> Split(const Utf16& text, std::u16string_view separator) {
    std::vector<Text> pieces;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t at = text.find(separator, start);
        if (at == Utf16::npos) at = text.size();
        pieces.push_back(T(text.substr(start, at - start)));
        start = at + separator.size();
    }
    return pieces;
}

}  // namespace

JsonDocument::JsonDocument(Text variableName, std::shared_ptr<ScriptEngine> engine,
                           ScriptLimits limits)
    : variableName_(std::move(variableName)), engine_(std::move(engine)), limits_(limits) {}

JsonDocument JsonDocument::Create(ScriptLimits limits) {
    JsonDocument document("da", nullptr, limits);
    document.Initialise();
    return document;
}

void JsonDocument::Destroy() { engine_.reset(); }

JsonDocument JsonDocument::Copy() const { return JsonDocument(variableName_, engine_, limits_); }

void JsonDocument::Initialise() {
    engine_ = ScriptEngine::Create(limits_);
    if (!engine_) return;
    engine_->AddCode(ScriptLibrary());
    Evaluate(u"var " + N() +
             u" = {}, str_Code = String.fromCharCode(9216), str_reg = new RegExp(str_Code, 'g')");
}

std::optional<ScriptValue> JsonDocument::Evaluate(const Utf16& statement) {
    if (!engine_) return std::nullopt;
    return engine_->Eval(statement);
}

bool JsonDocument::EvaluateBoolean(const Utf16& statement) {
    auto value = Evaluate(statement);
    return value && ScriptValueToBoolean(*value);
}

Text JsonDocument::EvaluateText(const Utf16& statement) {
    auto value = Evaluate(statement);
    return value ? T(ScriptValueToText(*value)) : Text();
}

Utf16 JsonDocument::N() const { return U(variableName_); }

Utf16 JsonDocument::Resolved(std::string_view path) {
    Text resolved(path);
    ResolvePath(resolved);
    return U(resolved);
}

bool JsonDocument::Parse(std::string_view text, bool direct, ScriptErrorInfo* errorInfo) {
    return ParseCode(U(text), direct, errorInfo);
}

bool JsonDocument::ParseCode(const Utf16& text, bool direct, ScriptErrorInfo* errorInfo) {
    if (engine_) {
        engine_.reset();
        Initialise();
    }
    if (errorInfo != nullptr) *errorInfo = {};
    if (!engine_) return false;
    Evaluate(u"var " + N() + u" = null");
    Utf16 code = u"var " + N() + (direct ? u" = " + text : u" = eval(" + text + u")");
    engine_->AddCode(code);
    if (errorInfo != nullptr) {
        const ScriptError& e = engine_->LastError();
        *errorInfo = ScriptErrorInfo{e.number, T(e.source), T(e.description), T(e.helpFile),
                                     e.helpContext, T(e.text), e.line, e.column};
    }
    return EvaluateBoolean(N() + u" != null");
}

bool JsonDocument::Reset() { return EvaluateBoolean(N() + u" = {}"); }

Text JsonDocument::ToJsonText() {
    return EvaluateText(u"JSON.stringify(" + N() + u")" + Utf16(kUnmark));
}

bool JsonDocument::ResolvePath(Text& path) {
    if (path.starts_with(variableName_) && EvaluateBoolean(U(path) + u" != null")) return true;
    if (path.empty()) {
        path = variableName_;
    } else if (path.front() == '[') {
        path = variableName_ + path;
    } else {
        path = variableName_ + "." + path;
    }
    return EvaluateBoolean(U(path) + u" != null");
}

bool JsonDocument::Exists(std::string_view path) {
    Text resolved(path);
    return ResolvePath(resolved);
}

JsonType JsonDocument::TypeOf(std::string_view path) {
    Utf16 p = Resolved(path);
    if (EvaluateBoolean(p + u" == null")) return JsonType::Null;
    auto kind = Evaluate(u"Object.prototype.toString.call(" + p + u")");
    if (!kind || kind->kind != ScriptValueKind::String) return JsonType::Other;
    if (kind->string == u"[object String]") return JsonType::String;
    if (kind->string == u"[object Array]") return JsonType::Array;
    if (kind->string == u"[object Object]") return JsonType::Object;
    if (kind->string == u"[object Number]") return JsonType::Number;
    if (kind->string == u"[object Boolean]") return JsonType::Boolean;
    return JsonType::Other;
}

Text JsonDocument::GetText(std::string_view path, bool asJson) {
    Utf16 p = Resolved(path);
    if (asJson) return EvaluateText(u"JSON.stringify(" + p + u")" + Utf16(kUnmark));
    return EvaluateText(p + u".toString()" + Utf16(kUnmark));
}

Text JsonDocument::GetJsonText(std::string_view path) { return GetText(path, true); }

double JsonDocument::GetNumber(std::string_view path) {
    auto value = Evaluate(Resolved(path));
    return value ? ScriptValueToNumber(*value) : 0;
}

std::int32_t JsonDocument::Count(std::string_view path) {
    auto value = Evaluate(u"get__count(" + Resolved(path) + u")");
    if (!value) return 0;
    double count = ScriptValueToNumber(*value);
    // An array length always fits; anything else truncates towards zero within range.
    if (!(count > -2147483649.0 && count < 2147483648.0)) return 0;
    return static_cast<std::int32_t>(count);
}

int JsonDocument::MemberNames(std::vector<Text>& names, std::string_view path) {
    auto value = Evaluate(u"get__name_All(" + Resolved(path) + u")");
    names = Split(value ? ScriptValueToText(*value) : Utf16(), u"\r\n");
    return static_cast<int>(names.size());
}

int JsonDocument::NodeValues(std::vector<Text>& values, std::string_view path, bool recursive) {
    Utf16 p = Resolved(path);
    Evaluate(u"var str_all = new Array()");
    Evaluate(u"get__nodeValue(" + p + u", " + (recursive ? u"true" : u"false") + u")");
    auto joined = Evaluate(u"str_all.join('" + Utf16(kNodeSeparator) + u"')");
    values = Split(joined ? ScriptValueToText(*joined) : Utf16(), kNodeSeparator);
    return static_cast<int>(values.size());
}

bool JsonDocument::SetValue(std::string_view path, std::string_view value, bool isJson) {
    Text resolved(path);
    bool existed = ResolvePath(resolved);
    Utf16 p = U(resolved);
    if (!isJson) {
        return EvaluateBoolean(p + u" = '" + EscapeForQuotes(U(value)) +
                               uR"('.replace(/\\/g, str_Code))");
    }
    Utf16 v = value.empty() ? Utf16(u"{}") : U(value);
    auto kind = Evaluate(u"Object.prototype.toString.call(" + p + u")");
    if (existed && kind && kind->string == u"[object Object]") {
        return EvaluateBoolean(p + u" = get__extend(" + p + u", " + v + u")");
    }
    return EvaluateBoolean(p + u" = eval(" + U(value) + u")");
}

bool JsonDocument::SetByExpression(std::string_view path, std::string_view expression) {
    return EvaluateBoolean(Resolved(path) + u" = eval(" + U(expression) + u")");
}

bool JsonDocument::SetNumber(std::string_view path, double number) {
    Utf16 text = NumberLiteral(number);
    return EvaluateBoolean(Resolved(path) + u" = " + text);
}

bool JsonDocument::Delete(std::string_view path) {
    return EvaluateBoolean(u"delete " + Resolved(path));
}

// A plain member value becomes an escaped string literal, so that apostrophes and backslashes in
// it are kept and no part of it runs as script.
Utf16 JsonDocument::MemberLiteral(std::string_view value, bool isJson) {
    return isJson ? U(value) : u"'" + EscapeForQuotes(U(value)) + u"'";
}

bool JsonDocument::AddArrayMember(std::string_view value, std::string_view path, bool isJson,
                                  bool atFront) {
    Utf16 p = Resolved(path);
    return EvaluateBoolean(u"if (Object.prototype.toString.call(" + p +
                           u") != '[object Array]') { " + p + u" = new Array() } " + p +
                           (atFront ? u".unshift(" : u".push(") + MemberLiteral(value, isJson) +
                           u")");
}

bool JsonDocument::SetArrayMember(std::int32_t index, std::string_view path,
                                  std::string_view value, bool isJson) {
    return EvaluateBoolean(Resolved(path) + u"[" + Decimal(index) + u"] = " +
                           MemberLiteral(value, isJson));
}

bool JsonDocument::RemoveArrayMember(std::int32_t index, std::string_view path) {
    return EvaluateBoolean(Resolved(path) + u".splice(" + Decimal(index) + u", 1)");
}

Text JsonDocument::GetArrayMemberText(std::int32_t index, std::string_view path, bool asJson) {
    Utf16 member = Resolved(path) + u"[" + Decimal(index) + u"]";
    if (asJson) return EvaluateText(u"JSON.stringify(" + member + u")" + Utf16(kUnmark));
    return EvaluateText(member + Utf16(kUnmark));
}

JsonDocument JsonDocument::GetDocument(std::string_view path) {
    return DocumentOf(Resolved(path));
}

JsonDocument JsonDocument::GetArrayMemberDocument(std::int32_t index, std::string_view path) {
    return DocumentOf(Resolved(path) + u"[" + Decimal(index) + u"]");
}

// The JSON text keeps the backslash marker and goes across as UTF-16 (code page 936 has no
// U+2400), so that texts stored in plain form reach the new document with their backslashes:
// unmarked JSON would turn C:\dir into C:dir when parsed.
JsonDocument JsonDocument::DocumentOf(const Utf16& expression) {
    JsonDocument temporary = Create(limits_);
    auto json = Evaluate(u"JSON.stringify(" + expression + u")");
    temporary.ParseCode(json ? ScriptValueToText(*json) : Utf16(), false, nullptr);
    JsonDocument result = temporary.Copy();
    temporary.Destroy();
    return result;
}

}  // namespace varnelo
