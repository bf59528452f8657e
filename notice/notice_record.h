// The publisher's notice: a note in a public share of the Weiyun share service, read at start-up
// without a login. Its plain text holds fields written as key【value】.
#pragma once

#include "platform/text.h"
#include "support/script_engine.h"

namespace varnelo {

// The fields taken from the notice; all code-page-936 texts, empty until read.
struct NoticeRecord {
    Text publishedVersion;       // after "版本号【"
    Text updateNotice;           // after "更新公告【", taken only with a published version
    Text updateSoftwareAddress;  // after "更新软件地址【", taken only with a published version
};

// The share address compiled into the program (CMake cache variable VARNELO_NOTICE_SHARE_ADDRESS):
// https://share.weiyun.com/<share key> unless the build says otherwise.
Text NoticeShareAddress();

// How a fetch is made. The defaults are the program's. The authorities trusted for the two
// requests are WebAccess's (SetExtraTrustedAuthorities adds a test authority).
struct NoticeFetchOptions {
    int timeoutSeconds = 0;      // per request, as WebAccess takes it (<= 0: its default of 30 s)
    ScriptLimits scriptLimits;   // bounds the evaluation of the answer
};

// Reads the notice text of the share at `shareAddress` (https://host/<share key>): a GET of the
// share page for its wyctoken cookie, then a POST to the host's share-view interface; the note's
// HTML at data.rsp_body.RspMsg_body.note_list[0].html_content is rendered to plain text.
// Only an answer that is plain JSON is parsed, so nothing from the network runs as script. Never
// fails loudly: any failure (no answer, not JSON, no note, an untrusted certificate) gives the
// empty text.
Text FetchNoticeText(const Text& shareAddress, const NoticeFetchOptions& options = {});

// Copies the fields of `noticeText` into `record`: publishedVersion always (empty when the key or
// its closing 】 is missing); the other two only when publishedVersion is not empty. A key that
// occurs twice yields the value after its first occurrence.
void TakeNoticeFields(const Text& noticeText, NoticeRecord& record);

// Fills `record` from the notice at NoticeShareAddress(). Blocks for the two requests.
void ReadNoticeRecord(NoticeRecord& record);

// The same from another share, with other options (tests, a publisher's tooling).
void ReadNoticeRecord(NoticeRecord& record, const Text& shareAddress,
                      const NoticeFetchOptions& options = {});

}  // namespace varnelo
