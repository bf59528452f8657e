#include "support/web_access_settings.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>
#include <mutex>
#include <vector>

#include "support/web_access.h"

namespace varnelo {
namespace {

struct CertFree {
    void operator()(X509* cert) const { X509_free(cert); }
};

struct Settings {
    std::mutex mutex;
    std::vector<std::unique_ptr<X509, CertFree>> extraAuthorities;
    std::function<void()> pendingMessages;
    std::function<void(std::size_t)> uploadObserver;
    std::size_t uploadChunkSize = kDefaultUploadChunkSize;
};

Settings& TheSettings() {
    static Settings settings;
    return settings;
}

}  // namespace

WebAccessSettings CurrentWebAccessSettings() {
    Settings& settings = TheSettings();
    std::lock_guard<std::mutex> lock(settings.mutex);
    return {settings.uploadChunkSize, settings.uploadObserver, settings.pendingMessages,
            !settings.extraAuthorities.empty()};
}

CURLcode AddExtraAuthorities(CURL*, void* sslContext, void*) {
    Settings& settings = TheSettings();
    std::lock_guard<std::mutex> lock(settings.mutex);
    X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(sslContext));
    for (const auto& cert : settings.extraAuthorities) X509_STORE_add_cert(store, cert.get());
    ERR_clear_error();  // an authority already in the store is not an error
    return CURLE_OK;
}

bool SetExtraTrustedAuthorities(const std::string& pemPath) {
    std::vector<std::unique_ptr<X509, CertFree>> loaded;
    if (BIO* file = BIO_new_file(pemPath.c_str(), "r")) {
        while (X509* cert = PEM_read_bio_X509(file, nullptr, nullptr, nullptr)) {
            loaded.emplace_back(cert);
        }
        BIO_free(file);
    }
    ERR_clear_error();
    if (loaded.empty()) return false;
    Settings& settings = TheSettings();
    std::lock_guard<std::mutex> lock(settings.mutex);
    for (auto& cert : loaded) settings.extraAuthorities.push_back(std::move(cert));
    return true;
}

void SetPendingMessagesHook(std::function<void()> hook) {
    Settings& settings = TheSettings();
    std::lock_guard<std::mutex> lock(settings.mutex);
    settings.pendingMessages = std::move(hook);
}

void SetUploadChunkSize(std::size_t bytes) {
    Settings& settings = TheSettings();
    std::lock_guard<std::mutex> lock(settings.mutex);
    settings.uploadChunkSize = bytes == 0 ? kDefaultUploadChunkSize : bytes;
}

std::size_t UploadChunkSize() {
    Settings& settings = TheSettings();
    std::lock_guard<std::mutex> lock(settings.mutex);
    return settings.uploadChunkSize;
}

void SetUploadWriteObserver(std::function<void(std::size_t)> observer) {
    Settings& settings = TheSettings();
    std::lock_guard<std::mutex> lock(settings.mutex);
    settings.uploadObserver = std::move(observer);
}

}  // namespace varnelo
