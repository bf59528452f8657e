// json_bench: times JsonDocument reading a 1 MB share-view answer, the way the notice retrieval
// does: Parse (default form) and GetText of the note's html_content path.
//
// Usage: json_bench [runs]   (default 5)
// Output, one line per figure:
//   json_answer_bytes <n>
//   json_parse_ms <median> (min <m>, runs <r>)
//   json_read_path_ms <median> (min <m>, runs <r>)
//   json_parse_and_read_ms <median> (min <m>, runs <r>)
// Exit status 1 when the answer does not parse or the path reads wrong.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/text.h"
#include "support/json_document.h"

namespace {

using Clock = std::chrono::steady_clock;

// A share-view answer of at least `bytes` bytes: the note first, then padding notes.
varnelo::Text Answer(std::size_t bytes) {
    using varnelo::Utf8ToCp936;
    varnelo::Text json = Utf8ToCp936(
        R"({"data":{"rsp_body":{"RspMsg_body":{"note_list":[{"html_content":"<p>版本号【9.6】</p>)"
        R"(<p>更新公告【修复问题】</p><p>更新软件地址【https://example.invalid/new】</p>"})");
    for (int i = 0; json.size() < bytes; ++i) {
        json += Utf8ToCp936(R"(,{"html_content":"<p>第)" + std::to_string(i) +
                            R"(条 \"引号\" 与 \\ 反斜杠</p>","note_id":")" +
                            std::to_string(1000000 + i) +
                            R"(","ctime":1596000000000,"flag":true,"tags":[1,2.5,null,"x"]})");
    }
    json += Utf8ToCp936(R"(]}}},"code":0,"msg":"成功"})");
    return json;
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

void Print(const char* name, std::vector<double> values) {
    std::sort(values.begin(), values.end());
    std::printf("%s %.1f (min %.1f, runs %zu)\n", name, values[values.size() / 2], values.front(),
                values.size());
}

}  // namespace

int main(int argc, char** argv) {
    using namespace varnelo;
    int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const Text answer = Answer(std::size_t{1} << 20);
    const Text expected = "<p>版本号【9.6】</p><p>更新公告【修复问题】</p><p>更新软件地址【https://example.invalid/new】</p>"_cp936;
    const char* path = "data['rsp_body']['RspMsg_body']['note_list'][0]['html_content']";
    std::printf("json_answer_bytes %zu\n", answer.size());
    std::vector<double> parse, read, total;
    for (int i = 0; i < runs; ++i) {
        JsonDocument document = JsonDocument::Create();
        auto t0 = Clock::now();
        ScriptErrorInfo error;
        bool parsed = document.Parse(answer, false, &error);
        auto t1 = Clock::now();
        Text text = document.GetText(path);
        auto t2 = Clock::now();
        if (!parsed || text != expected) {
            std::fprintf(stderr, "json_bench: the answer did not parse or read back: %s\n",
                         Cp936ToUtf8(error.description).data());
            return 1;
        }
        parse.push_back(Ms(t1 - t0));
        read.push_back(Ms(t2 - t1));
        total.push_back(Ms(t2 - t0));
    }
    Print("json_parse_ms", parse);
    Print("json_read_path_ms", read);
    Print("json_parse_and_read_ms", total);
    return 0;
}
