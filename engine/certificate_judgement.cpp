#include "engine/certificate_judgement.h"

namespace varnelo {
namespace {

// Searches from the start, one code-page-936 character at a time, so that a match never starts
// on the trailing byte of a two-byte character.
bool ContainsAtCharacterStart(std::string_view report, std::string_view needle) {
    for (std::size_t at = 0; at < report.size();) {
        if (report.substr(at, needle.size()) == needle) return true;
        at += IsLeadByte(static_cast<unsigned char>(report[at])) ? 2 : 1;
    }
    return false;
}

}  // namespace

bool CertificateInstalled(std::string_view report) {
    static const Text kSuccessTexts[] = {
        "添加到存储"_cp936,
        "已经在存储中"_cp936,
        "already in store",
        "CertUtil: -addstore command completed successfully.",
    };
    for (const Text& text : kSuccessTexts) {
        if (ContainsAtCharacterStart(report, text)) return true;
    }
    return false;
}

}  // namespace varnelo
