#include <curl/curl.h>

#include <cstdio>
#include <filesystem>
#include <memory>

#include "notice/self_update.h"

namespace varnelo {
namespace {

constexpr long kReadSize = 10240;  // no read asks for more
constexpr long kConnectSeconds = 30;
constexpr long kStallSeconds = 60;  // a download that stalls this long counts as cut off

struct EasyFree {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct MultiFree {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
struct FileClose {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

struct Sink {
    std::FILE* file = nullptr;
    UpdateWindow* window = nullptr;
    long long bytes = 0;
    bool writeFailed = false;
};

size_t WriteToFile(char* data, size_t size, size_t count, void* user) {
    auto* sink = static_cast<Sink*>(user);
    size_t length = size * count;
    if (std::fwrite(data, 1, length, sink->file) != length) {
        sink->writeFailed = true;
        return 0;  // makes the transfer fail with a write error
    }
    sink->bytes += static_cast<long long>(length);
    sink->window->ProcessPendingMessages();
    return length;
}

void Configure(CURL* easy, const std::string& url, Sink& sink, const std::string& authorityFile) {
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(easy, CURLOPT_USERAGENT, "Mozilla/5.0");
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kReadSize);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, kConnectSeconds);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, kStallSeconds);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, WriteToFile);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &sink);
    if (!authorityFile.empty()) curl_easy_setopt(easy, CURLOPT_CAINFO, authorityFile.c_str());
}

// Runs the transfer on this thread. The window gets its waiting events after every read (in the
// write callback) and after every round that read nothing, so it stays responsive while a long
// download runs and while the server is slow to answer.
CURLcode Perform(CURL* easy, Sink& sink) {
    std::unique_ptr<CURLM, MultiFree> multi(curl_multi_init());
    if (!multi || curl_multi_add_handle(multi.get(), easy) != CURLM_OK) return CURLE_FAILED_INIT;
    CURLcode result = CURLE_OK;
    int running = 1;
    while (running > 0) {
        long long before = sink.bytes;
        if (curl_multi_perform(multi.get(), &running) != CURLM_OK) {
            result = CURLE_RECV_ERROR;
            break;
        }
        if (sink.bytes == before) sink.window->ProcessPendingMessages();
        if (running > 0) curl_multi_poll(multi.get(), nullptr, 0, 100, nullptr);
    }
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi.get(), &left)) {
        if (message->msg == CURLMSG_DONE) result = message->data.result;
    }
    curl_multi_remove_handle(multi.get(), easy);
    return result;
}

DownloadVerdict Judge(CURL* easy, CURLcode code, const Sink& sink, DownloadResult& result) {
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &result.httpStatus);
    curl_off_t announced = -1;
    curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
    if (sink.writeFailed) return DownloadVerdict::CannotWrite;
    if (result.httpStatus == 0) return DownloadVerdict::CannotOpen;
    if (result.httpStatus < 200 || result.httpStatus > 299) return DownloadVerdict::HttpError;
    if (code != CURLE_OK) return DownloadVerdict::Incomplete;
    if (announced >= 0 && announced != sink.bytes) return DownloadVerdict::Incomplete;
    if (sink.bytes == 0) return DownloadVerdict::Empty;
    return DownloadVerdict::Complete;
}

}  // namespace

DownloadResult DownloadToFile(const Text& address, const std::string& path, UpdateWindow& window,
                              const std::string& authorityFile) {
    DownloadResult result;
    std::error_code ignored;
    ByteSet url = Cp936ToUtf8(address);
    std::unique_ptr<CURL, EasyFree> easy(url.empty() ? nullptr : curl_easy_init());
    if (!easy) {
        std::filesystem::remove(path, ignored);
        return result;
    }
    // Created or emptied before the first byte arrives: nothing of an earlier download survives.
    std::unique_ptr<std::FILE, FileClose> file(std::fopen(path.c_str(), "wb"));
    if (!file) {
        std::filesystem::remove(path, ignored);
        result.verdict = DownloadVerdict::CannotWrite;
        return result;
    }
    Sink sink{file.get(), &window};
    Configure(easy.get(), std::string(url.begin(), url.end()), sink, authorityFile);
    CURLcode code = Perform(easy.get(), sink);
    if (std::fclose(file.release()) != 0) sink.writeFailed = true;
    result.bytes = sink.bytes;
    result.verdict = Judge(easy.get(), code, sink, result);
    if (result.verdict == DownloadVerdict::Complete && !IsExecutableForThisMachine(path)) {
        result.verdict = DownloadVerdict::NotExecutable;
    }
    if (result.verdict != DownloadVerdict::Complete) std::filesystem::remove(path, ignored);
    return result;
}

}  // namespace varnelo
