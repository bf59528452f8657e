#include "notice/html_to_text.h"
#include "notice/json_syntax.h"
#include "notice/notice_record.h"
#include "notice/share_view_request.h"
#include "notice/text_between.h"
#include "support/json_document.h"
#include "support/script_random.h"
#include "support/web_access.h"

namespace varnelo {
namespace {

constexpr const char* kSharePageAgent =
    "User-Agent: Mozilla/5.0 (Windows NT 6.1; WOW64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/50.0.2661.87 Safari/537.36";
constexpr const char* kShareViewHeaders =
    "User-Agent: Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/78.0.3904.97 Safari/537.36\r\n"
    "Content-Type: application/json;charset=UTF-8";
constexpr const char* kAnswerPath =
    "data['rsp_body']['RspMsg_body']['note_list'][0]['html_content']";

// The share page is requested only for the cookies it sets.
Text SharePageCookies(const Text& shareAddress, const NoticeFetchOptions& options) {
    WebAccessRequest request;
    request.url = shareAddress;
    request.headers = kSharePageAgent;
    request.timeoutSeconds = options.timeoutSeconds;
    WebAccess(request);
    return request.returnedCookies;
}

// The answer body exactly as received, read as UTF-8 whatever the answer declares. The document
// evaluates what it parses as script, so only an answer that is plain JSON is handed on: whatever
// else comes from the network never runs.
Text ShareViewAnswer(const Text& address, const Text& body, const Text& token,
                     const NoticeFetchOptions& options) {
    WebAccessRequest request;
    request.url = address;
    request.method = 1;
    request.bodyText = body;
    request.cookies = "wyctoken=" + token;
    request.headers = kShareViewHeaders;
    request.timeoutSeconds = options.timeoutSeconds;
    WebAccess(request);
    const ByteSet& bytes = request.responseBytes;
    if (!IsJsonText(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()))) {
        return {};
    }
    return Utf8ToCp936(bytes);
}

}  // namespace

Text FetchNoticeText(const Text& shareAddress, const NoticeFetchOptions& options) {
    JsonDocument document = JsonDocument::Create(options.scriptLimits);
    Text shareKey = ShareKeyOf(shareAddress);
    Text token = WycToken(SharePageCookies(shareAddress, options));
    Text address = ShareViewAddress(shareAddress, token, ScriptRandomText());
    if (address.empty()) return {};
    Text body = ShareViewBody(NewSequenceNumber(), shareKey);
    Text answer = ShareViewAnswer(address, body, token, options);
    if (answer.empty() || !document.Parse(answer)) return {};
    return HtmlToText(document.GetText(kAnswerPath));
}

void TakeNoticeFields(const Text& noticeText, NoticeRecord& record) {
    static const Text kClose = "】"_cp936;
    record.publishedVersion = TextBetween(noticeText, "版本号【"_cp936, kClose);
    if (record.publishedVersion.empty()) return;
    record.updateNotice = TextBetween(noticeText, "更新公告【"_cp936, kClose);
    record.updateSoftwareAddress = TextBetween(noticeText, "更新软件地址【"_cp936, kClose);
}

void ReadNoticeRecord(NoticeRecord& record, const Text& shareAddress,
                      const NoticeFetchOptions& options) {
    TakeNoticeFields(FetchNoticeText(shareAddress, options), record);
}

void ReadNoticeRecord(NoticeRecord& record) { ReadNoticeRecord(record, NoticeShareAddress()); }

}  // namespace varnelo
