// The process-wide values of one run: set during start-up, read and written by the window's
// handlers, released by the exit handler. All texts are code page 936.
#pragma once

#include <cstdint>

#include "notice/notice_record.h"
#include "platform/text.h"

namespace varnelo {

// The program's own version, compared byte-wise with the published one.
inline constexpr const char* kOwnVersion = "9.5";

struct ProgramState {
    std::int32_t codePage = 0;         // 936 after start-up
    std::int32_t uploadChunkSize = 0;  // 1048576 after start-up
    Text targetProcessName;            // set by each click of the start button
    Text currentVersion;               // "9.5" once the window's creation has begun the gate
    NoticeRecord notice;
    Text updateAddress;                // set when the offered update is accepted
};

}  // namespace varnelo
