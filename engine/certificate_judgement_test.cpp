#include "engine/certificate_judgement.h"

#include <gtest/gtest.h>

namespace varnelo {
namespace {

TEST(CertificateInstalled, AcceptsOnlyTheToolsSuccessWords) {
    const std::pair<Text, bool> cases[] = {
        {"Root\r\n\"Trusted Root Certification Authorities\"\r\n证书\"X\"已添加到存储。"_cp936,
         true},
        {"证书已经在存储中。"_cp936, true},
        {"Root\nCertificate \"X\" already in store.\nCertUtil: -addstore command completed "
         "successfully.",
         true},
        {"already in store", true},
        {"CertUtil: -addstore command completed successfully.", true},
        // Letter case counts.
        {"Certificate ALREADY IN STORE.", false},
        {"certutil: -addstore command completed successfully.", false},
        // Only the beginning of the fourth text.
        {"CertUtil: -addstore command", false},
        {"CertUtil: -addstore command FAILED: 0x80070005 (WIN32: 5 ERROR_ACCESS_DENIED)", false},
        {"", false},
        {"添加到存"_cp936, false},
        // "already" starting on the second byte of a two-byte character is no match...
        {"\x81"
         "already in store",
         false},
        // ...but right after a whole character it is.
        {"\x81\x40"
         "already in store",
         true},
        {"\xd6\xd0"
         "already in store",
         true},
    };
    for (const auto& [report, installed] : cases) {
        SCOPED_TRACE(report);
        EXPECT_EQ(CertificateInstalled(report), installed);
    }
}

}  // namespace
}  // namespace varnelo
