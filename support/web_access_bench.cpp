// Download throughput of WebAccess beside the curl command line, fetching the same body from the
// same in-process loopback server in one run. Prints the figures and their ratios against two
// curl references: the body thrown away (-o /dev/null) and the body kept (-o a file in a private
// temporary directory, as WebAccess keeps it in memory).
//
//   web_access_bench [megabytes (64)] [rounds (3)]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "support/web_access.h"
#include "testsupport/test_http_server.h"

namespace {

double MegabytesPerSecond(std::size_t bytes, double seconds) {
    return seconds > 0 ? bytes / (1024.0 * 1024.0) / seconds : 0;
}

// Runs curl once, writing the body to `output`; returns curl's own transfer time in seconds, or a
// negative value on failure.
double CurlSeconds(const std::string& url, const std::string& output, std::size_t expected) {
    std::string command = "curl -s -o '" + output +
                          "' --noproxy '*' -w '%{size_download} %{time_total}' '" + url + "'";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return -1;
    unsigned long long size = 0;
    double seconds = -1;
    int fields = std::fscanf(pipe, "%llu %lf", &size, &seconds);
    if (pclose(pipe) != 0 || fields != 2 || size != expected) return -1;
    return seconds;
}

// Time to obtain and fill `copies` fresh buffers of `size` bytes: what holding the body and its
// decoded text in memory costs on this machine before any network work.
double FreshMemorySeconds(std::size_t size, int copies) {
    auto start = std::chrono::steady_clock::now();
    std::vector<std::unique_ptr<char[]>> buffers;
    for (int i = 0; i < copies; ++i) {
        buffers.emplace_back(new char[size]);
        std::fill_n(buffers.back().get(), size, static_cast<char>(i + 1));
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double WebAccessSeconds(const std::string& url, std::size_t expected) {
    varnelo::WebAccessRequest request;
    request.url = url;
    auto start = std::chrono::steady_clock::now();
    varnelo::Text text = varnelo::WebAccess(request);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (request.statusText != "200 OK" || request.responseBytes.size() != expected ||
        text.size() != expected) {
        std::fprintf(stderr, "web_access_bench: WebAccess failed: %s (%zu bytes)\n",
                     request.statusText.c_str(), request.responseBytes.size());
        return -1;
    }
    return seconds;
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 64;
    int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    if (megabytes == 0 || rounds <= 0) {
        std::fprintf(stderr, "usage: web_access_bench [megabytes] [rounds]\n");
        return 2;
    }
    std::size_t size = megabytes << 20;
    // Printable text without a charset tag: the body is decoded as it stands, as a page would be.
    std::string body(size, ' ');
    std::mt19937_64 random(42);
    for (char& c : body) c = static_cast<char>('a' + random() % 26);

    varnelo::TestHttpServer server;
    server.Routes().Get("/body", [&body](const httplib::Request&, httplib::Response& res) {
        res.set_content(body, "application/octet-stream");
    });
    std::string dir = (std::filesystem::temp_directory_path() / "varnelo-bench-XXXXXX").string();
    if (!server.Start() || mkdtemp(dir.data()) == nullptr) {
        std::fprintf(stderr, "web_access_bench: cannot start the loopback server\n");
        return 1;
    }
    std::string url = server.BaseUrl() + "/body";
    std::string file = dir + "/body";

    double own = 1e9, discarded = 1e9, kept = 1e9, memory = 1e9;
    bool ok = true;
    for (int round = 0; round < rounds && ok; ++round) {
        double a = WebAccessSeconds(url, size);
        double b = CurlSeconds(url, "/dev/null", size);
        double c = CurlSeconds(url, file, size);
        std::filesystem::remove(file);
        memory = std::min(memory, FreshMemorySeconds(size, 2));
        ok = a >= 0 && b >= 0 && c >= 0;
        own = std::min(own, a);
        discarded = std::min(discarded, b);
        kept = std::min(kept, c);
    }
    std::filesystem::remove_all(dir);
    if (!ok) {
        std::fprintf(stderr, "web_access_bench: a download failed\n");
        return 1;
    }
    double ownRate = MegabytesPerSecond(size, own);
    double discardedRate = MegabytesPerSecond(size, discarded);
    double keptRate = MegabytesPerSecond(size, kept);
    std::printf("download of %zu MB from 127.0.0.1, best of %d rounds\n", megabytes, rounds);
    std::printf("  WebAccess (body in memory, decoded)  %8.1f MB/s  %.3f s\n", ownRate, own);
    std::printf("  curl -o /dev/null                    %8.1f MB/s  %.3f s   ratio %.2f\n",
                discardedRate, discarded, ownRate / discardedRate);
    std::printf("  curl -o file                         %8.1f MB/s  %.3f s   ratio %.2f\n",
                keptRate, kept, ownRate / keptRate);
    std::printf("  for reference: filling 2 fresh buffers of %zu MB takes %.3f s here\n", megabytes,
                memory);
    std::printf("  goal: ratio >= 0.80\n");
    return 0;
}
