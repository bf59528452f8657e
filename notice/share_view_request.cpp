#include "notice/share_view_request.h"

#include "notice/random_text.h"
#include "notice/text_between.h"
#include "support/cookies.h"

namespace varnelo {

const std::string_view kShareViewBodyTemplate =
    R"({"req_header":"{\"seq\":timenumber,\"type\":1,\"cmd\":12002,\"appid\":30113,)"
    R"(\"version\":3,\"major_version\":3,\"minor_version\":3,\"fix_version\":3,)"
    R"(\"wx_openid\":\"\",\"user_flag\":0}","req_body":"{\"ReqMsg_body\":{\"ext_req_head\":)"
    R"({\"token_info\":{\"token_type\":0,\"login_key_type\":1,\"login_key_value\":\"\"},)"
    R"(\"language_info\":{\"language_type\":2052}},\".weiyun.WeiyunShareViewMsgReq_body\":)"
    R"({\"share_pwd\":\"tsqnol\",\"share_key\":\"necessarykey\"}}}"})";

Text ReplaceAll(Text text, std::string_view from, std::string_view to) {
    if (from.empty()) return text;
    Text out;
    size_t start = 0;
    for (size_t at = text.find(from); at != Text::npos; at = text.find(from, start)) {
        out.append(text, start, at - start).append(to);
        start = at + from.size();
    }
    return out.append(text, start, Text::npos);
}

Text ShareViewBody(const Text& sequenceNumber, const Text& shareKey) {
    Text body = ReplaceAll(Text(kShareViewBodyTemplate), "timenumber", sequenceNumber);
    return ReplaceAll(std::move(body), "necessarykey", shareKey);
}

Text NewSequenceNumber() { return MillisecondStamp() + RandomDigits(4); }

Text ShareKeyOf(const Text& shareAddress) {
    return TextBetweenFromEnd(shareAddress + "/", "/", "/");
}

Text ShareViewAddress(const Text& shareAddress, const Text& token, const Text& r) {
    size_t scheme = shareAddress.find("://");
    if (scheme == Text::npos) return {};
    size_t pathAt = shareAddress.find_first_of("/?#", scheme + 3);
    Text origin = shareAddress.substr(0, pathAt);
    return origin + "/webapp/json/weiyunShareNoLogin/WeiyunShareView?refer=chrome_windows&g_tk=" +
           token + "&r=" + r;
}

Text WycToken(const Text& cookies) {
    for (const Text& item : SplitText(cookies, "; ")) {
        if (CookieName(item) != "wyctoken") continue;
        size_t equals = item.find('=');
        return equals == Text::npos ? Text() : item.substr(equals + 1);
    }
    return {};
}

}  // namespace varnelo
