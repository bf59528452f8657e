#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include "notice/notice_record.h"
#include "notice/random_text.h"
#include "notice/share_view_request.h"
#include "support/web_access.h"
#include "testsupport/test_authority.h"
#include "testsupport/test_http_server.h"

namespace varnelo {
namespace {

using namespace std::chrono_literals;

const char* const kSharePageAgent =
    "Mozilla/5.0 (Windows NT 6.1; WOW64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/50.0.2661.87 Safari/537.36";
const char* const kShareViewAgent =
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/78.0.3904.97 Safari/537.36";
const char* const kShareViewPath = "/webapp/json/weiyunShareNoLogin/WeiyunShareView";

// The body the service expects, written out from its published shape; SEQ and KEY stand for the
// sequence number and the share key.
const std::string kExpectedBody =
    "{\"req_header\":\"{\\\"seq\\\":SEQ,\\\"type\\\":1,\\\"cmd\\\":12002,\\\"appid\\\":30113,"
    "\\\"version\\\":3,\\\"major_version\\\":3,\\\"minor_version\\\":3,\\\"fix_version\\\":3,"
    "\\\"wx_openid\\\":\\\"\\\",\\\"user_flag\\\":0}\","
    "\"req_body\":\"{\\\"ReqMsg_body\\\":{\\\"ext_req_head\\\":{\\\"token_info\\\":"
    "{\\\"token_type\\\":0,\\\"login_key_type\\\":1,\\\"login_key_value\\\":\\\"\\\"},"
    "\\\"language_info\\\":{\\\"language_type\\\":2052}},"
    "\\\".weiyun.WeiyunShareViewMsgReq_body\\\":{\\\"share_pwd\\\":\\\"tsqnol\\\","
    "\\\"share_key\\\":\\\"KEY\\\"}}}\"}";

std::string NoteAnswer(const std::string& htmlJsonString) {
    return R"({"data":{"rsp_body":{"RspMsg_body":{"note_list":[{"html_content":)" +
           htmlJsonString + R"(,"note_id":"n1"}]}},"retcode":0},"ret":0})";
}

// The note as the publisher writes it: Chinese text (one character as a JSON escape), character
// references, markup and line breaks.
const std::string kNoteAnswer = NoteAnswer(
    R"("<p>版本号【9.6】</p><p>\u66f4新公告【修复 &amp; 改进 &lt;b&gt;<br>第二行】</p>)"
    R"(<div>更新软件地址【https://example.com/tool?a=1&amp;b=2】</div>")");
const Text kNoteText =
    "版本号【9.6】\r\n更新公告【修复 & 改进 <b>\r\n第二行】\r\n"
    "更新软件地址【https://example.com/tool?a=1&b=2】"_cp936;

struct Seen {
    int pageRequests = 0;
    std::string pagePath, pageAgent;
    int viewRequests = 0;
    std::string viewTarget, viewAgent, viewContentType, viewCookie, viewBody;
};

// The share service: the share page sets cookies, the share-view interface answers a note.
class FakeShareService {
public:
    FakeShareService(const TestAuthority& authority)
        : server_(authority.ServerCertPath(), authority.ServerKeyPath()) {
        server_.Routes().Get(R"(/.*)", [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard<std::mutex> lock(mutex_);
            ++seen_.pageRequests;
            seen_.pagePath = req.path;
            seen_.pageAgent = req.get_header_value("User-Agent");
            for (const std::string& cookie : cookies_) res.set_header("Set-Cookie", cookie);
            res.set_content("<html>share page</html>", "text/html");
        });
        server_.Routes().Post(kShareViewPath, [this](const httplib::Request& req,
                                                     httplib::Response& res) {
            std::lock_guard<std::mutex> lock(mutex_);
            ++seen_.viewRequests;
            seen_.viewTarget = req.target;
            seen_.viewAgent = req.get_header_value("User-Agent");
            seen_.viewContentType = req.get_header_value("Content-Type");
            seen_.viewCookie = req.get_header_value("Cookie");
            seen_.viewBody = req.body;
            res.set_content(answer_, "application/json");
        });
    }
    bool Start() { return server_.Start(); }
    void SetCookies(std::vector<std::string> cookies) { cookies_ = std::move(cookies); }
    void SetAnswer(std::string answer) { answer_ = std::move(answer); }
    Seen seen() {
        std::lock_guard<std::mutex> lock(mutex_);
        return seen_;
    }
    Text ShareAddress(const std::string& key) const {
        return server_.BaseUrlFor("localhost") + "/" + key;
    }

private:
    TestHttpServer server_;
    std::mutex mutex_;
    std::vector<std::string> cookies_;
    std::string answer_ = kNoteAnswer;
    Seen seen_;
};

class NoticeFetchTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        authority_ = new TestAuthority();
        ASSERT_TRUE(authority_->ok()) << authority_->error();
        ASSERT_TRUE(SetExtraTrustedAuthorities(authority_->CaCertPath()));
    }
    static void TearDownTestSuite() {
        delete authority_;
        authority_ = nullptr;
    }
    void SetUp() override {
        service_ = std::make_unique<FakeShareService>(*authority_);
        ASSERT_TRUE(service_->Start());
        options_.timeoutSeconds = 10;
        options_.scriptLimits.timeLimit = 1000ms;
    }

    static TestAuthority* authority_;
    std::unique_ptr<FakeShareService> service_;
    NoticeFetchOptions options_;
};

TestAuthority* NoticeFetchTest::authority_ = nullptr;

// The sequence number inside a body of the expected shape, or "" when the body has another shape.
std::string SequenceIn(const std::string& body, const std::string& key) {
    std::string pattern = kExpectedBody;
    std::string marker = "SEQ";
    size_t at = pattern.find(marker);
    std::string before = pattern.substr(0, at);
    std::string after = ReplaceAll(pattern.substr(at + marker.size()), "KEY", key);
    if (body.size() < before.size() + after.size() || body.compare(0, before.size(), before) != 0 ||
        body.compare(body.size() - after.size(), after.size(), after) != 0) {
        return "";
    }
    return body.substr(before.size(), body.size() - before.size() - after.size());
}

TEST_F(NoticeFetchTest, ReadsTheNoteWithTheTokenOfTheSharePage) {
    service_->SetCookies({"a=1; Path=/", "wyctoken=T0k3n; Path=/; Secure", "b=2"});
    long long before = std::stoll(MillisecondStamp());

    Text text = FetchNoticeText(service_->ShareAddress("Ab3xYz"), options_);

    EXPECT_EQ(text, kNoteText);
    Seen seen = service_->seen();
    EXPECT_EQ(seen.pageRequests, 1);
    EXPECT_EQ(seen.pagePath, "/Ab3xYz");
    EXPECT_EQ(seen.pageAgent, kSharePageAgent);
    ASSERT_EQ(seen.viewRequests, 1);
    EXPECT_TRUE(std::regex_match(
        seen.viewTarget,
        std::regex(std::string(kShareViewPath) + R"(\?refer=chrome_windows&g_tk=T0k3n&r=0\.\d+)")))
        << seen.viewTarget;
    EXPECT_EQ(seen.viewCookie, "wyctoken=T0k3n");
    EXPECT_EQ(seen.viewAgent, kShareViewAgent);
    EXPECT_EQ(seen.viewContentType, "application/json;charset=UTF-8");
    std::string seq = SequenceIn(seen.viewBody, "Ab3xYz");
    ASSERT_TRUE(std::regex_match(seq, std::regex(R"(\d{17})"))) << seen.viewBody;
    long long stamp = std::stoll(seq.substr(0, 13));
    EXPECT_GE(stamp, before);
    EXPECT_LE(stamp, std::stoll(MillisecondStamp()));
}

TEST_F(NoticeFetchTest, FillsTheRecordFromTheNote) {
    NoticeRecord record;
    ReadNoticeRecord(record, service_->ShareAddress("Ab3xYz"), options_);
    EXPECT_EQ(record.publishedVersion, "9.6");
    EXPECT_EQ(record.updateNotice, "修复 & 改进 <b>\r\n第二行"_cp936);
    EXPECT_EQ(record.updateSoftwareAddress, "https://example.com/tool?a=1&b=2");
}

TEST_F(NoticeFetchTest, WithoutTheCookieTheRequestStillGoesOutWithAnEmptyToken) {
    service_->SetCookies({"other=1"});
    EXPECT_EQ(FetchNoticeText(service_->ShareAddress("Ab3xYz"), options_), kNoteText);
    Seen seen = service_->seen();
    EXPECT_NE(seen.viewTarget.find("?refer=chrome_windows&g_tk=&r=0."), std::string::npos)
        << seen.viewTarget;
    EXPECT_EQ(seen.viewCookie, "wyctoken=");
}

TEST_F(NoticeFetchTest, AddressEndingInSlashSendsAnEmptyShareKey) {
    FetchNoticeText(service_->ShareAddress(""), options_);
    Seen seen = service_->seen();
    EXPECT_EQ(seen.pagePath, "/");
    EXPECT_FALSE(SequenceIn(seen.viewBody, "").empty()) << seen.viewBody;
}

struct BadAnswer {
    const char* name;
    std::string answer;
};

class BadAnswerTest : public NoticeFetchTest, public testing::WithParamInterface<BadAnswer> {};

TEST_P(BadAnswerTest, GivesNoNoticeInBoundedTime) {
    service_->SetAnswer(GetParam().answer);
    auto start = std::chrono::steady_clock::now();
    NoticeRecord record{"old", "old notice", "old address"};
    ReadNoticeRecord(record, service_->ShareAddress("Ab3xYz"), options_);
    EXPECT_EQ(record.publishedVersion, "");
    EXPECT_EQ(service_->seen().viewRequests, 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 15s);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadAnswerTest,
    testing::Values(
        BadAnswer{"NotJson", "<html><body>502 Bad Gateway</body></html>"},
        BadAnswer{"Empty", ""},
        BadAnswer{"NoData", R"({"ret":114200,"msg":"share not found"})"},
        BadAnswer{"NoNotes", R"({"data":{"rsp_body":{"RspMsg_body":{"note_list":[]}}}})"},
        BadAnswer{"NoHtml", R"({"data":{"rsp_body":{"RspMsg_body":{"note_list":[{}]}}}})"},
        BadAnswer{"NoVersionInNote", NoteAnswer(R"("<p>更新公告【x】</p>")")},
        BadAnswer{"EndlessScript", "(function(){for(;;){}})()"},
        BadAnswer{"EndlessGetter", "({get data(){for(;;){}}})"},
        BadAnswer{"ExhaustsMemory", "(function(){var s='x';for(;;){s=s+s}})()"},
        BadAnswer{"DeeplyNested", std::string(200000, '[') + std::string(200000, ']')}),
    [](const testing::TestParamInfo<BadAnswer>& info) { return info.param.name; });

TEST_F(NoticeFetchTest, ServiceWithAnUntrustedCertificateIsNotAsked) {
    TestAuthority stranger;
    ASSERT_TRUE(stranger.ok()) << stranger.error();
    FakeShareService forged(stranger);
    ASSERT_TRUE(forged.Start());
    EXPECT_EQ(FetchNoticeText(forged.ShareAddress("Ab3xYz"), options_), "");
    EXPECT_EQ(forged.seen().viewRequests, 0);
}

struct FieldCase {
    const char* name;
    Text notice;
    NoticeRecord expected;
};

class NoticeFieldsTest : public testing::TestWithParam<FieldCase> {};

TEST_P(NoticeFieldsTest, TakesTheFieldsOfTheText) {
    NoticeRecord record{"old", "old notice", "old address"};
    TakeNoticeFields(GetParam().notice, record);
    const NoticeRecord& expected = GetParam().expected;
    EXPECT_EQ(record.publishedVersion, expected.publishedVersion);
    EXPECT_EQ(record.updateNotice, expected.updateNotice);
    EXPECT_EQ(record.updateSoftwareAddress, expected.updateSoftwareAddress);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NoticeFieldsTest,
    testing::Values(
        FieldCase{"VersionOnly", "版本号【9.5】"_cp936, {"9.5", "", ""}},
        FieldCase{"AddressWithoutNotice", "版本号【9.6】更新软件地址【X】"_cp936, {"9.6", "", "X"}},
        // Without a version nothing else is taken: the other fields keep what they held.
        FieldCase{"UnclosedVersion", "更新公告【n】 版本号【9.6"_cp936,
                  {"", "old notice", "old address"}},
        FieldCase{"EmptyText", "", {"", "old notice", "old address"}},
        FieldCase{"FirstOccurrenceWins", "版本号【9.6】更新公告【一】更新公告【二】"_cp936,
                  {"9.6", "一"_cp936, ""}},
        FieldCase{"OrderAndSurroundingsIgnored",
                  "更新公告【多行\r\n说明】\r\n其他【z】 版本号【10.0】 更新软件地址【http://h/f】"_cp936,
                  {"10.0", "多行\r\n说明"_cp936, "http://h/f"}}),
    [](const testing::TestParamInfo<FieldCase>& info) { return info.param.name; });

TEST(ShareViewRequestTest, SequenceNumberHasSeventeenDigits) {
    EXPECT_TRUE(std::regex_match(NewSequenceNumber(), std::regex(R"(\d{17})")));
}

TEST(ShareViewRequestTest, CompiledInAddressIsAShareOfTheService) {
    Text address = NoticeShareAddress();
    EXPECT_TRUE(std::regex_match(address, std::regex(R"(https://[^/]+/[^/]+)"))) << address;
    EXPECT_FALSE(ShareKeyOf(address).empty());
}

}  // namespace
}  // namespace varnelo
