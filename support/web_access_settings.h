// The process-wide settings of the HTTP client (see web_access.h for the public setters), as one
// request reads them, and the hook that adds the extra trusted authorities to a TLS context.
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <functional>

namespace varnelo {

struct WebAccessSettings {
    std::size_t uploadChunkSize = 0;
    std::function<void(std::size_t)> uploadObserver;
    std::function<void()> pendingMessages;
    bool hasExtraAuthorities = false;
};

// A copy of the current settings, taken under their lock.
WebAccessSettings CurrentWebAccessSettings();

// CURLOPT_SSL_CTX_FUNCTION: adds the authorities of SetExtraTrustedAuthorities to the OpenSSL
// context's store, next to the system's.
CURLcode AddExtraAuthorities(CURL* handle, void* sslContext, void* user);

}  // namespace varnelo
