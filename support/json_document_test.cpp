#include "support/json_document.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace varnelo {
namespace {

using namespace std::chrono_literals;

JsonDocument Parsed(std::string_view json) {
    JsonDocument document = JsonDocument::Create();
    EXPECT_TRUE(document.Parse(json)) << json;
    return document;
}

TEST(JsonDocumentTest, ReadsTextsWithTheirEscapes) {
    JsonDocument document = Parsed(R"({"a":{"b":"x\\y"}})");
    EXPECT_EQ(document.GetText("a.b"), R"(x\y)");
    EXPECT_EQ(document.GetText("a.b", true), R"("x\\y")");
    EXPECT_EQ(document.GetJsonText("a.b"), R"("x\\y")");
    EXPECT_EQ(document.ToJsonText(), R"({"a":{"b":"x\\y"}})");
}

TEST(JsonDocumentTest, PlainTextKeepsItsBackslashesUnescaped) {
    JsonDocument document = JsonDocument::Create();
    document.SetValue("k", R"(C:\dir)");
    EXPECT_EQ(document.ToJsonText(), R"({"k":"C:\dir"})");
    EXPECT_EQ(document.GetText("k"), R"(C:\dir)");
    // The marker is what the engine holds; the name and value listings hand it out unchanged.
    std::vector<Text> values;
    ASSERT_EQ(document.NodeValues(values), 1);
    EXPECT_EQ(values[0], "C:?dir");  // U+2400 has no code-page-936 form
}

TEST(JsonDocumentTest, PlainTextRoundTripsEveryQuotedCharacter) {
    JsonDocument document = JsonDocument::Create();
    const Text value = "it's \"q\" \\ \r\n end \\\\ "_cp936 + "乗"_cp936 + "\\n";
    document.SetValue("v", value);
    EXPECT_EQ(document.GetText("v"), value);
    EXPECT_EQ(document.TypeOf("v"), JsonType::String);
}

TEST(JsonDocumentTest, DoubleByteCharacterWithBackslashTrailByteIsNotEscaped) {
    const Text value = "乗"_cp936;  // 0x81 0x5C
    ASSERT_EQ(value, "\x81\x5C");
    JsonDocument document = JsonDocument::Create();
    document.SetValue("v", value);
    EXPECT_EQ(document.GetText("v"), value);
    EXPECT_EQ(document.ToJsonText(), "{\"v\":\"\x81\x5C\"}");
}

TEST(JsonDocumentTest, CountsArraysOnly) {
    JsonDocument array = Parsed("[1,2]");
    EXPECT_EQ(array.Count(), 2);
    JsonDocument object = Parsed(R"({"x":{"y":1},"z":[[],[],[]]})");
    EXPECT_EQ(object.Count("x"), 0);
    EXPECT_EQ(object.Count("z"), 3);
    EXPECT_EQ(object.Count("missing"), 0);
}

TEST(JsonDocumentTest, TypeCodes) {
    JsonDocument document = Parsed(
        R"({"s":"t","n":1.5,"b":false,"o":{},"a":[],"z":null,"f":0})");
    document.SetByExpression("fn", "(function () { return 1; })");
    const struct {
        const char* path;
        JsonType type;
    } cases[] = {
        {"s", JsonType::String},   {"n", JsonType::Number}, {"b", JsonType::Boolean},
        {"o", JsonType::Object},   {"a", JsonType::Array},  {"z", JsonType::Null},
        {"f", JsonType::Number},   {"missing", JsonType::Null},
        {"missing.b.c", JsonType::Other}, {"fn", JsonType::Other}, {"", JsonType::Object},
    };
    for (const auto& c : cases) EXPECT_EQ(document.TypeOf(c.path), c.type) << c.path;
}

TEST(JsonDocumentTest, ResolvesPaths) {
    JsonDocument document = Parsed(R"({"x":1,"a":{"b":2},"data":{"x":[3]}})");
    const struct {
        const char* path;
        const char* resolved;
        bool exists;
    } cases[] = {
        {"a.b", "da.a.b", true},
        {"[2]", "da[2]", false},
        {"data['x'][0]", "da.data['x'][0]", true},
        {"", "da", true},
        {"da.x", "da.x", true},
        {"da.missing", "da.da.missing", false},
        {"a.missing", "da.a.missing", false},
    };
    for (const auto& c : cases) {
        Text path = c.path;
        EXPECT_EQ(document.ResolvePath(path), c.exists) << c.path;
        EXPECT_EQ(path, c.resolved) << c.path;
        EXPECT_EQ(document.Exists(c.path), c.exists) << c.path;
    }
}

TEST(JsonDocumentTest, ListsMemberNamesAndNodeValues) {
    JsonDocument document = Parsed(R"({"a":1,"b":{}})");
    std::vector<Text> names = {"stale"};
    ASSERT_EQ(document.MemberNames(names), 2);
    EXPECT_EQ(names, (std::vector<Text>{"a", "b"}));
    EXPECT_EQ(document.MemberNames(names, "a"), 0);
    EXPECT_TRUE(names.empty());

    JsonDocument nested = Parsed(R"({"a":"1","b":{"c":2},"d":[true,{"e":"x"}],"n":null})");
    std::vector<Text> values;
    EXPECT_EQ(nested.NodeValues(values), 1);
    EXPECT_EQ(values, (std::vector<Text>{"1"}));
    EXPECT_EQ(nested.NodeValues(values, "", true), 4);
    EXPECT_EQ(values, (std::vector<Text>{"1", "2", "true", "x"}));
    EXPECT_EQ(nested.NodeValues(values, "b"), 1);
    EXPECT_EQ(values, (std::vector<Text>{"2"}));
}

TEST(JsonDocumentTest, SplitsDropOnlyATrailingEmptyPiece) {
    JsonDocument document = Parsed(R"(["", "a", "", "b", ""])");
    std::vector<Text> values;
    EXPECT_EQ(document.NodeValues(values), 4);
    EXPECT_EQ(values, (std::vector<Text>{"", "a", "", "b"}));
    EXPECT_EQ(Parsed(R"({"only":""})").NodeValues(values), 0);
}

TEST(JsonDocumentTest, ArrayMembers) {
    JsonDocument document = JsonDocument::Create();
    EXPECT_TRUE(document.AddArrayMember("x", "list"));  // push gives the new length, 1
    EXPECT_EQ(document.TypeOf("list"), JsonType::Array);
    EXPECT_EQ(document.ToJsonText(), R"({"list":["x"]})");
    document.AddArrayMember("{\"k\":1}", "list", true);
    document.AddArrayMember("first", "list", false, true);
    EXPECT_EQ(document.ToJsonText(), R"({"list":["first","x",{"k":1}]})");
    EXPECT_EQ(document.GetArrayMemberText(1, "list"), "x");
    EXPECT_EQ(document.GetArrayMemberText(2, "list"), "");  // not a string
    EXPECT_EQ(document.GetArrayMemberText(2, "list", true), R"({"k":1})");
    EXPECT_FALSE(document.SetArrayMember(0, "list", "y"));  // an assigned text reads as false
    EXPECT_TRUE(document.SetArrayMember(1, "list", "7", true));
    EXPECT_FALSE(document.RemoveArrayMember(2, "list"));  // splice gives an array: false
    EXPECT_EQ(document.ToJsonText(), R"({"list":["y",7]})");
    EXPECT_EQ(document.Count("list"), 2);
    // A path that holds no array is replaced by one.
    document.SetValue("s", "text");
    document.AddArrayMember("z", "s");
    EXPECT_EQ(document.GetJsonText("s"), R"(["z"])");
}

TEST(JsonDocumentTest, PlainArrayMembersAreStoredAsTheyAreGiven) {
    JsonDocument document = JsonDocument::Create();
    const Text value = R"(it's C:\new'+(da.hacked=1)+')";
    document.AddArrayMember(value, "list");
    document.SetArrayMember(1, "list", value);
    EXPECT_EQ(document.GetArrayMemberText(0, "list"), value);
    EXPECT_EQ(document.GetArrayMemberText(1, "list"), value);
    EXPECT_FALSE(document.Exists("hacked"));
}

TEST(JsonDocumentTest, ResultConversionOfAssignments) {
    JsonDocument document = JsonDocument::Create();
    EXPECT_FALSE(document.SetValue("t", "text"));  // assigned, but a text reads as false
    EXPECT_EQ(document.GetText("t"), "text");
    EXPECT_TRUE(document.SetValue("one", "1"));   // the text "1" reads as a non-zero number
    EXPECT_TRUE(document.SetValue("yes", "True"));
    EXPECT_FALSE(document.SetValue("zero", "0"));
    EXPECT_TRUE(document.SetNumber("n", 2.5));
    EXPECT_FALSE(document.SetNumber("z", 0));
    EXPECT_EQ(document.GetNumber("n"), 2.5);
    EXPECT_TRUE(document.SetNumber("big", 1e300));
    EXPECT_EQ(document.GetNumber("big"), 1e300);
    EXPECT_FALSE(document.SetByExpression("o", "({\"a\":1})"));
    EXPECT_EQ(document.GetText("o.a"), "1");
    EXPECT_TRUE(document.SetByExpression("b", "true"));
    EXPECT_EQ(document.GetNumber("b"), -1);  // the script host's true
    EXPECT_EQ(document.GetNumber("one"), 1);
    EXPECT_EQ(document.GetNumber("t"), 0);
    EXPECT_FALSE(document.Reset());  // an object reads as false
    EXPECT_EQ(document.ToJsonText(), "{}");
    EXPECT_TRUE(document.SetValue("x", "1"));
    EXPECT_TRUE(document.Delete("x"));
    EXPECT_FALSE(document.Exists("x"));
}

TEST(JsonDocumentTest, JsonValuesMergeIntoObjects) {
    JsonDocument document = Parsed(R"({"o":{"s":"a","n":1,"b":true,"z":null,"in":{"k":1},"l":[1]}})");
    document.SetValue("o", R"({"s":"b","n":2,"b":false,"z":3,"in":{"j":2},"l":[2],"new":"x"})",
                      true);
    EXPECT_EQ(document.GetJsonText("o"),
              R"({"s":"b","n":2,"b":false,"z":3,"in":{"k":1,"j":2},"l":[1,2],"new":"x"})");
    // Not an object: the value is evaluated and assigned.
    document.SetValue("arr", "[1,2]", true);
    EXPECT_EQ(document.GetJsonText("arr"), "[1,2]");
    EXPECT_TRUE(document.SetValue("arr", "5", true));
    EXPECT_EQ(document.GetNumber("arr"), 5);
    // A JSON string is evaluated twice: "s" names a missing variable, a script error.
    EXPECT_FALSE(document.SetValue("arr", "\"s\"", true));
    EXPECT_EQ(document.GetNumber("arr"), 5);
    // An empty JSON value merges nothing into an object and assigns undefined elsewhere.
    document.SetValue("o", "", true);
    EXPECT_EQ(document.TypeOf("o"), JsonType::Object);
    document.SetValue("arr", "", true);
    EXPECT_EQ(document.TypeOf("arr"), JsonType::Null);
}

TEST(JsonDocumentTest, DocumentsFromPathsAreIndependent) {
    JsonDocument document = Parsed(R"({"a":{"b":"x"},"l":[{"m":1},{"m":2}]})");
    document.SetValue("a.path", R"(C:\new\dir)");
    JsonDocument part = document.GetDocument("a");
    EXPECT_EQ(part.GetText("b"), "x");
    EXPECT_EQ(part.GetText("path"), R"(C:\new\dir)");
    part.SetValue("b", "changed");
    EXPECT_EQ(document.GetText("a.b"), "x");
    document.SetValue("a.b", "mine");
    EXPECT_EQ(part.GetText("b"), "changed");

    JsonDocument member = document.GetArrayMemberDocument(1, "l");
    EXPECT_EQ(member.ToJsonText(), R"({"m":2})");
    EXPECT_EQ(document.GetDocument("missing").ToJsonText(), "");  // no value: parse fails
}

TEST(JsonDocumentTest, CopiesShareTheEngineUntilTheyParse) {
    JsonDocument document = Parsed(R"({"a":1})");
    JsonDocument copy = document.Copy();
    EXPECT_EQ(copy.GetEngine(), document.GetEngine());
    copy.SetValue("b", "2");
    EXPECT_EQ(document.GetText("b"), "2");
    copy.Destroy();
    EXPECT_EQ(document.GetText("a"), "1");
    EXPECT_EQ(copy.GetText("a"), "");
    EXPECT_FALSE(copy.Parse("{}"));

    // A parse starts from a fresh engine: what was set before is gone.
    document.SetValue("kept", "no");
    JsonDocument shared = document.Copy();
    ASSERT_TRUE(document.Parse(R"({"c":3})"));
    EXPECT_FALSE(document.Exists("kept"));
    EXPECT_NE(shared.GetEngine(), document.GetEngine());
    EXPECT_EQ(shared.GetText("kept"), "no");
}

TEST(JsonDocumentTest, DocumentWithoutEngineGivesNeutralResults) {
    JsonDocument document;
    std::vector<Text> names{"x"};
    EXPECT_FALSE(document.Parse("{}"));
    EXPECT_FALSE(document.SetNumber("a", 1));
    EXPECT_EQ(document.GetText("a"), "");
    EXPECT_EQ(document.Count(), 0);
    EXPECT_EQ(document.TypeOf(), JsonType::Other);
    EXPECT_EQ(document.MemberNames(names), 0);
    EXPECT_TRUE(names.empty());
    EXPECT_EQ(document.GetEngine(), nullptr);
}

TEST(JsonDocumentTest, ParseFormsAndErrors) {
    JsonDocument document = JsonDocument::Create();
    ScriptErrorInfo error;
    EXPECT_TRUE(document.Parse(R"("1+1")", false, &error));  // evaluated a second time by eval
    EXPECT_EQ(document.GetText(), "2");
    EXPECT_EQ(error.number, 0);
    EXPECT_EQ(error.description, "");
    EXPECT_TRUE(document.Parse(R"("1+1")", true));
    EXPECT_EQ(document.GetText(), "1+1");
    EXPECT_FALSE(document.Parse("null"));

    error.helpContext = 5;
    EXPECT_FALSE(document.Parse("{\"a\":\n1,,}", false, &error));
    EXPECT_NE(error.number, 0);
    EXPECT_EQ(error.source, "JavaScript compilation error");
    EXPECT_NE(error.description, "");
    EXPECT_EQ(error.helpContext, 0);

    EXPECT_FALSE(document.Parse("missingName", false, &error));
    EXPECT_EQ(error.source, "JavaScript runtime error");
    EXPECT_NE(error.description.find("missingName"), Text::npos) << error.description;
    EXPECT_EQ(error.line, 1);
    EXPECT_EQ(error.text, "var da = eval(missingName)");
    EXPECT_EQ(document.ToJsonText(), "null");
}

TEST(JsonDocumentTest, EveryEngineHasTheJsonMethods) {
    JsonDocument document = JsonDocument::Create();
    ASSERT_TRUE(document.Parse("({a: [1, 'x']}).toJSONString()", true));
    EXPECT_EQ(document.GetText(), R"({"a":[1,"x"]})");
    ASSERT_TRUE(document.Parse(R"('{"b":{"c":2}}'.parseJSON())", true));
    EXPECT_EQ(document.GetText("b.c"), "2");
    ASSERT_TRUE(document.Parse("new Date(Date.UTC(2020, 6, 20, 12, 0, 0)).toJSON()", true));
    EXPECT_EQ(document.GetText(), "2020-07-20T12:00:00.000Z");
    // The inherited helpers are functions: never listed, never merged.
    ASSERT_TRUE(document.Parse(R"({"o":{"k":"v"}})"));
    std::vector<Text> names;
    EXPECT_EQ(document.MemberNames(names, "o"), 1);
    document.SetValue("o", R"({"k":"w"})", true);
    EXPECT_EQ(document.ToJsonText(), R"({"o":{"k":"w"}})");
}

// The share service's answer as the notice retrieval reads it: UTF-8 on the wire, code page 936
// inside the program.
TEST(JsonDocumentTest, ReadsTheNoticeAnswerPath) {
    const std::string answer = R"({"data":{"rsp_body":{"RspMsg_body":{"note_list":[{"html_content":"<p>版本号【9.6】</p><p>更新公告【修复\u0022问题\u0022】<\/p>"}]}}},"ret":0})";
    JsonDocument document = Parsed(Utf8ToCp936(answer));
    EXPECT_EQ(document.GetText("data['rsp_body']['RspMsg_body']['note_list'][0]['html_content']"),
              "<p>版本号【9.6】</p><p>更新公告【修复\"问题\"】</p>"_cp936);
    EXPECT_EQ(document.GetText("data['rsp_body']['RspMsg_body']['note_list'][1]['html_content']"),
              "");
}

ScriptLimits ShortLimits() {
    ScriptLimits limits;
    limits.timeLimit = 300ms;
    limits.memoryLimit = std::size_t{64} << 20;
    return limits;
}

TEST(JsonDocumentLimitsTest, DefaultTimeLimitIsAFewSeconds) {
    ScriptLimits limits;
    EXPECT_GE(limits.timeLimit, 1s);
    EXPECT_LE(limits.timeLimit, 10s);
}

TEST(JsonDocumentLimitsTest, RunawayScriptsFailAndTheDocumentStaysUsable) {
    const char* scripts[] = {
        "(function () { while (true) {} })()",
        "(function () { for (;;) { try { while (true) {} } catch (e) {} } })()",
        "(function () { try { while (true) {} } finally { while (true) {} } })()",
        "(function f() { try { return f(); } catch (e) { return f(); } })()",
        "/(a+)+b/.test('aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa')",
        "(function () { var s = 'x'; while (true) s = s + s; })()",
        "(function () { var a = []; while (true) a.push([1, 2, 3, 4, 5, 6, 7, 8]); })()",
        "'x'.repeat(1e9)",
        "(function () { throw { get message() { while (true) {} } }; })()",
        "(function () { throw { toString: function () { while (true) {} } }; })()",
        "new Array(4e9).join()",
        "[].concat(new Array(4e9)).length",
        "Array.prototype.indexOf.call({length: 4e9}, 1)",
    };
    for (const char* script : scripts) {
        JsonDocument document = JsonDocument::Create(ShortLimits());
        ScriptErrorInfo error;
        auto started = std::chrono::steady_clock::now();
        EXPECT_FALSE(document.Parse(script, false, &error)) << script;
        EXPECT_NE(error.number, 0) << script;
        EXPECT_LT(std::chrono::steady_clock::now() - started, 60s) << script;
        EXPECT_TRUE(document.Parse(R"({"after":"ok"})")) << script;
        EXPECT_EQ(document.GetText("after"), "ok") << script;
    }
}

TEST(JsonDocumentLimitsTest, PathsAreBoundedToo) {
    JsonDocument document = JsonDocument::Create(ShortLimits());
    EXPECT_EQ(document.GetText("x; while (true) {}"), "");
    EXPECT_FALSE(document.SetByExpression("y", "(function () { for (;;) {} })()"));
    EXPECT_TRUE(document.SetNumber("z", 1));
}

TEST(JsonDocumentLimitsTest, HostileInputNeverCrashes) {
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    const std::string deepObjects = [] {
        std::string s;
        for (int i = 0; i < 50000; ++i) s += "{\"a\":";
        s += "1";
        s += std::string(50000, '}');
        return s;
    }();
    const std::string hugeString = "\"" + std::string(std::size_t{8} << 20, 'x') + "\"";
    const std::string unterminated = "{\"a\":\"" + std::string(1000, 'x');
    const std::string zeros = std::string("{\"a\":\"\0\0\"}", 10);
    for (const std::string& text : {deep, deepObjects, hugeString, unterminated, zeros}) {
        JsonDocument document = JsonDocument::Create(ShortLimits());
        ScriptErrorInfo error;
        bool parsed = document.Parse(text, true, &error);
        if (parsed) {
            EXPECT_EQ(error.number, 0);
            document.GetJsonText();  // may fail on depth, must not crash
        } else {
            EXPECT_NE(error.number, 0);
        }
    }
    // A cycle made by a path expression makes JSON text fail, not loop.
    JsonDocument document = JsonDocument::Create(ShortLimits());
    document.SetByExpression("self", "da");
    EXPECT_EQ(document.ToJsonText(), "");
    std::vector<Text> values;
    document.SetValue("v", "1");
    document.NodeValues(values, "", true);
}

TEST(JsonDocumentTest, ParsesALargeAnswer) {
    std::string json = R"({"data":{"rsp_body":{"RspMsg_body":{"note_list":[)";
    int items = 0;
    while (json.size() < (std::size_t{1} << 20)) {
        if (items > 0) json += ",";
        json += R"({"html_content":"<p>第)" + std::to_string(items) +
                R"(条</p>","id":)" + std::to_string(items) +
                R"(,"tags":["a","b",true,null,1500],"meta":{"k":"v\\w\"q"}})";
        ++items;
    }
    json += "]}}}}";
    JsonDocument document = Parsed(Utf8ToCp936(json));
    const std::string list = "data.rsp_body.RspMsg_body.note_list";
    EXPECT_EQ(document.Count(list), items);
    EXPECT_EQ(document.GetText(list + "[0].html_content"), "<p>第0条</p>"_cp936);
    EXPECT_EQ(document.GetText(list + "[" + std::to_string(items - 1) + "].meta.k"), R"(v\w"q)");
    EXPECT_TRUE(Utf8ToCp936(json) == document.ToJsonText());  // no print of a megabyte
}

}  // namespace
}  // namespace varnelo
