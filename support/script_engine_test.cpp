#include "support/script_engine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace varnelo {
namespace {

TEST(ScriptEngineTest, EvaluatesValuesOfEveryKind) {
    auto engine = ScriptEngine::Create();
    ASSERT_NE(engine, nullptr);
    const struct {
        const char16_t* statement;
        ScriptValueKind kind;
        const char16_t* text;
    } cases[] = {
        {u"undefined", ScriptValueKind::Undefined, u""},
        {u"var x = 1", ScriptValueKind::Undefined, u""},
        {u"null", ScriptValueKind::Null, u""},
        {u"1 == 1", ScriptValueKind::Boolean, u"true"},
        {u"0.1 + 0.2", ScriptValueKind::Number, u"0.30000000000000004"},
        {u"1e21", ScriptValueKind::Number, u"1e+21"},
        {u"'a' + 'b'", ScriptValueKind::String, u"ab"},
        {u"[1, 2]", ScriptValueKind::Object, u""},
        {u"(function () {})", ScriptValueKind::Object, u""},
        {u"Symbol('s')", ScriptValueKind::Object, u""},
        {u"x + 1", ScriptValueKind::Number, u"2"},  // the var above went to the global scope
    };
    for (const auto& c : cases) {
        auto value = engine->Eval(c.statement);
        ASSERT_TRUE(value.has_value()) << Utf16ToUtf8(c.statement);
        EXPECT_EQ(value->kind, c.kind) << Utf16ToUtf8(c.statement);
        EXPECT_EQ(ScriptValueToText(*value), c.text) << Utf16ToUtf8(c.statement);
    }
}

TEST(ScriptEngineTest, ReadsNumberLiterals) {
    auto engine = ScriptEngine::Create();
    const struct {
        const char16_t* literal;
        double value;
    } cases[] = {
        {u"0", 0},
        {u"7", 7},
        {u"007", 7},    // legacy octal
        {u"010", 8},
        {u"0779", 779}, // looked octal, is decimal
        {u"1596000000000", 1596000000000.0},
        {u"999999999999999", 999999999999999.0},
        {u"1234567890123456", 1234567890123456.0},  // 16 digits: the general conversion
        {u"12345678901234567890", 12345678901234567890.0},
        {u"1e3", 1000},
        {u"2.5", 2.5},
        {u".5", 0.5},
        {u"0x1F", 31},
        {u"-42", -42},
    };
    for (const auto& c : cases) {
        auto value = engine->Eval(c.literal);
        ASSERT_TRUE(value.has_value()) << Utf16ToUtf8(c.literal);
        EXPECT_EQ(value->number, c.value) << Utf16ToUtf8(c.literal);
    }
    EXPECT_FALSE(engine->Eval(u"12a").has_value());
}

TEST(ScriptEngineTest, TextsCrossAsUtf16Unchanged) {
    auto engine = ScriptEngine::Create();
    const Utf16 text = u"中文 \u2400 \U0001F600 \xD800 end";  // a pair and a lone surrogate
    ASSERT_TRUE(engine->AddCode(u"var t = '" + text + u"'"));
    auto length = engine->Eval(u"t.length");
    EXPECT_EQ(length->number, static_cast<double>(text.size()));
    EXPECT_EQ(engine->Eval(u"t")->string, text);
    EXPECT_EQ(engine->Eval(u"String.fromCharCode(0xD83D, 0xDE00)")->string, u"\U0001F600");
    EXPECT_EQ(engine->Eval(u"'a\\u0000b'")->string, Utf16(u"a\0b", 3));
}

TEST(ScriptEngineTest, ReportsErrorsAndClearsThemOnSuccess) {
    auto engine = ScriptEngine::Create();
    EXPECT_FALSE(engine->AddCode(u"var a = 1;\nvar b = (;"));
    EXPECT_EQ(engine->LastError().source, u"JavaScript compilation error");
    EXPECT_EQ(engine->LastError().number, static_cast<std::int32_t>(0x800A03EAu));  // 1002
    EXPECT_FALSE(engine->Eval(u"1;\nnull.x").has_value());
    EXPECT_EQ(engine->LastError().source, u"JavaScript runtime error");
    EXPECT_EQ(engine->LastError().line, 2);
    EXPECT_EQ(engine->LastError().text, u"null.x");
    EXPECT_FALSE(engine->Eval(u"throw 'plain'").has_value());
    EXPECT_EQ(engine->LastError().description, u"plain");
    EXPECT_TRUE(engine->Eval(u"1").has_value());
    EXPECT_EQ(engine->LastError().number, 0);
    EXPECT_TRUE(engine->LastError().description.empty());
}

TEST(ScriptEngineTest, NoHostFunctionsAreExposed) {
    auto engine = ScriptEngine::Create();
    for (const char16_t* name : {u"print", u"alert", u"require", u"load", u"setTimeout", u"XMLHttpRequest"}) {
        auto value = engine->Eval(Utf16(u"typeof ") + name);
        ASSERT_TRUE(value.has_value());
        EXPECT_EQ(value->string, u"undefined") << Utf16ToUtf8(name);
    }
}

TEST(ScriptEngineTest, HostConversions) {
    auto str = [](const char16_t* s) {
        ScriptValue v;
        v.kind = ScriptValueKind::String;
        v.string = s;
        return v;
    };
    auto num = [](double n) {
        ScriptValue v;
        v.kind = ScriptValueKind::Number;
        v.number = n;
        return v;
    };
    ScriptValue yes;
    yes.kind = ScriptValueKind::Boolean;
    yes.boolean = true;
    ScriptValue object;
    object.kind = ScriptValueKind::Object;
    const struct {
        ScriptValue value;
        bool boolean;
        double number;
    } cases[] = {
        {str(u"true"), true, 0},      {str(u"TRUE"), true, 0},     {str(u"false"), false, 0},
        {str(u"1"), true, 1},         {str(u" -2.5 "), true, -2.5}, {str(u"0"), false, 0},
        {str(u"0.0"), false, 0},      {str(u"x"), false, 0},       {str(u""), false, 0},
        {str(u"inf"), false, 0},      {str(u"nan"), false, 0},     {str(u"1e3"), true, 1000},
        {num(0), false, 0},           {num(-3), true, -3},          {yes, true, -1},
        {object, false, 0},           {ScriptValue{}, false, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ScriptValueToBoolean(c.value), c.boolean) << Utf16ToUtf8(c.value.string);
        EXPECT_EQ(ScriptValueToNumber(c.value), c.number) << Utf16ToUtf8(c.value.string);
    }
    EXPECT_TRUE(ScriptValueToBoolean(num(std::numeric_limits<double>::quiet_NaN())));
}

}  // namespace
}  // namespace varnelo
