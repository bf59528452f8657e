#include "testsupport/test_authority.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

namespace varnelo {
namespace {

struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertFree {
    void operator()(X509* cert) const { X509_free(cert); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;
using CertPtr = std::unique_ptr<X509, CertFree>;

KeyPtr MakeKey() { return KeyPtr(EVP_EC_gen("P-256")); }

bool AddExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    if (ext == nullptr) return false;
    bool ok = X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return ok;
}

CertPtr MakeCert(EVP_PKEY* key, const std::string& commonName, long serial, long notBeforeSeconds,
                 long notAfterSeconds) {
    CertPtr cert(X509_new());
    if (!cert) return nullptr;
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), notBeforeSeconds);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), notAfterSeconds);
    X509_set_pubkey(cert.get(), key);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1,
                               0);
    return cert;
}

bool WritePem(const std::string& path, X509* cert, EVP_PKEY* key) {
    FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) return false;
    bool ok = cert != nullptr
                  ? PEM_write_X509(file, cert) == 1
                  : PEM_write_PrivateKey(file, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    return std::fclose(file) == 0 && ok;
}

}  // namespace

TestAuthority::TestAuthority(const Options& options) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "varnelo-testca-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        error_ = "cannot create a temporary directory";
        return;
    }
    directory_ = pattern;

    constexpr long kHour = 3600;
    constexpr long kDay = 24 * kHour;
    KeyPtr caKey = MakeKey();
    KeyPtr serverKey = MakeKey();
    if (!caKey || !serverKey) {
        error_ = "cannot generate keys";
        return;
    }
    CertPtr ca =
        MakeCert(caKey.get(), "Varnelo Test Authority", 1, -kHour, options.validDays * kDay);
    if (!ca) {
        error_ = "cannot create the authority certificate";
        return;
    }
    X509_set_issuer_name(ca.get(), X509_get_subject_name(ca.get()));
    bool ok = AddExtension(ca.get(), ca.get(), NID_basic_constraints, "critical,CA:TRUE") &&
              AddExtension(ca.get(), ca.get(), NID_key_usage, "critical,keyCertSign,cRLSign") &&
              AddExtension(ca.get(), ca.get(), NID_subject_key_identifier, "hash") &&
              X509_sign(ca.get(), caKey.get(), EVP_sha256()) > 0;

    std::string altNames;
    for (const std::string& dns : options.dnsNames) {
        altNames += (altNames.empty() ? "DNS:" : ",DNS:") + dns;
    }
    if (options.includeLoopbackAddress)
        altNames += altNames.empty() ? "IP:127.0.0.1" : ",IP:127.0.0.1";
    long notBefore = options.expired ? -3 * kDay : -kHour;
    long notAfter = options.expired ? -kDay : options.validDays * kDay;
    std::string commonName = options.dnsNames.empty() ? "127.0.0.1" : options.dnsNames.front();
    CertPtr server = MakeCert(serverKey.get(), commonName, 2, notBefore, notAfter);
    ok = ok && server != nullptr;
    if (ok) {
        X509_set_issuer_name(server.get(), X509_get_subject_name(ca.get()));
        ok = AddExtension(server.get(), ca.get(), NID_basic_constraints, "critical,CA:FALSE") &&
             AddExtension(server.get(), ca.get(), NID_key_usage,
                          "critical,digitalSignature,keyEncipherment") &&
             AddExtension(server.get(), ca.get(), NID_ext_key_usage, "serverAuth") &&
             AddExtension(server.get(), ca.get(), NID_subject_key_identifier, "hash") &&
             AddExtension(server.get(), ca.get(), NID_authority_key_identifier, "keyid:always") &&
             (altNames.empty() ||
              AddExtension(server.get(), ca.get(), NID_subject_alt_name, altNames)) &&
             X509_sign(server.get(), caKey.get(), EVP_sha256()) > 0;
    }
    if (!ok) {
        error_ = "cannot build and sign the certificates";
        return;
    }
    if (!WritePem(CaCertPath(), ca.get(), nullptr) ||
        !WritePem(ServerCertPath(), server.get(), nullptr) ||
        !WritePem(ServerKeyPath(), nullptr, serverKey.get())) {
        error_ = "cannot write the PEM files into " + directory_;
    }
}

TestAuthority::~TestAuthority() {
    if (!directory_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
    }
}

}  // namespace varnelo
