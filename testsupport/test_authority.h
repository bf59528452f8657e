// A certificate authority made at run time for tests: a self-signed authority and one server
// certificate it signs, written as PEM files into a private temporary directory that the object
// removes again. Tests trust the authority explicitly (its certificate file) and serve HTTPS with
// the server certificate; verification is never switched off.
//
//   varnelo::TestAuthority ca({"localhost"});       // names + 127.0.0.1 in the certificate
//   ASSERT_TRUE(ca.ok()) << ca.error();
//   varnelo::TestHttpServer server(ca.ServerCertPath(), ca.ServerKeyPath());
//   SetExtraTrustedAuthorities(ca.CaCertPath());
#pragma once

#include <string>
#include <vector>

namespace varnelo {

class TestAuthority {
  public:
    struct Options {
        std::vector<std::string> dnsNames{"localhost"};  // subject alternative DNS names
        bool includeLoopbackAddress = true;              // adds IP:127.0.0.1
        int validDays = 7;                               // from one hour ago
        bool expired = false;  // the server certificate ended yesterday (for failure tests)
    };

    TestAuthority() : TestAuthority(Options{}) {}
    explicit TestAuthority(const Options& options);
    ~TestAuthority();
    TestAuthority(const TestAuthority&) = delete;
    TestAuthority& operator=(const TestAuthority&) = delete;

    // False when the keys, certificates or files could not be made; error() then says why.
    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }

    const std::string& Directory() const { return directory_; }
    std::string CaCertPath() const { return directory_ + "/ca.pem"; }
    std::string ServerCertPath() const { return directory_ + "/server.pem"; }
    std::string ServerKeyPath() const { return directory_ + "/server.key"; }

  private:
    std::string directory_;
    std::string error_;
};

}  // namespace varnelo
