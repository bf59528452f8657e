// Judges the report that the library's certificate installation answers, in the words of the
// system's certificate tool.
#pragma once

#include <string_view>

#include "platform/text.h"

namespace varnelo {

// True when the report (code-page-936 bytes) contains, byte for byte and case-sensitively, one of
// "添加到存储", "已经在存储中", "already in store" or
// "CertUtil: -addstore command completed successfully.". A match never begins inside a two-byte
// code-page-936 character. An empty report gives false.
bool CertificateInstalled(std::string_view report);

}  // namespace varnelo
