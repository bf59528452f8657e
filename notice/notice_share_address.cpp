#include "notice/notice_record.h"

#ifndef VARNELO_NOTICE_SHARE_ADDRESS
#error "VARNELO_NOTICE_SHARE_ADDRESS is set by notice/CMakeLists.txt"
#endif

namespace varnelo {

Text NoticeShareAddress() { return VARNELO_NOTICE_SHARE_ADDRESS; }

}  // namespace varnelo
