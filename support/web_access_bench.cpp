// Download throughput of WebAccess beside the curl command line, fetching the same body from the
// same in-process loopback server in one run. Prints both figures and their ratio.
//
//   web_access_bench [megabytes (64)] [rounds (3)]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "support/web_access.h"
#include "testsupport/test_http_server.h"

namespace {

double MegabytesPerSecond(std::size_t bytes, double seconds) {
    return seconds > 0 ? bytes / (1024.0 * 1024.0) / seconds : 0;
}

// Runs curl once; returns its own transfer time in seconds, or a negative value on failure.
double CurlSeconds(const std::string& url, std::size_t expected) {
    std::string command =
        "curl -s -o /dev/null --noproxy '*' -w '%{size_download} %{time_total}' '" + url + "'";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return -1;
    unsigned long long size = 0;
    double seconds = -1;
    int fields = std::fscanf(pipe, "%llu %lf", &size, &seconds);
    if (pclose(pipe) != 0 || fields != 2 || size != expected) return -1;
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
    if (!server.Start()) {
        std::fprintf(stderr, "web_access_bench: cannot start the loopback server\n");
        return 1;
    }
    std::string url = server.BaseUrl() + "/body";

    double bestOwn = 1e9;
    double bestCurl = 1e9;
    for (int round = 0; round < rounds; ++round) {
        varnelo::WebAccessRequest request;
        request.url = url;
        auto start = std::chrono::steady_clock::now();
        varnelo::WebAccess(request);
        double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (request.statusText != "200 OK" || request.responseBytes.size() != size) {
            std::fprintf(stderr, "web_access_bench: WebAccess failed: %s (%zu bytes)\n",
                         request.statusText.c_str(), request.responseBytes.size());
            return 1;
        }
        bestOwn = std::min(bestOwn, seconds);

        double curlSeconds = CurlSeconds(url, size);
        if (curlSeconds < 0) {
            std::fprintf(stderr, "web_access_bench: the curl command failed\n");
            return 1;
        }
        bestCurl = std::min(bestCurl, curlSeconds);
    }
    double own = MegabytesPerSecond(size, bestOwn);
    double curl = MegabytesPerSecond(size, bestCurl);
    std::printf("download of %zu MB from 127.0.0.1, best of %d rounds\n", megabytes, rounds);
    std::printf("  WebAccess            %9.1f MB/s  (%.3f s, body kept in memory and decoded)\n",
                own, bestOwn);
    std::printf("  curl command line    %9.1f MB/s  (%.3f s, body to /dev/null)\n", curl, bestCurl);
    std::printf("  ratio WebAccess/curl %9.2f      (goal >= 0.80)\n", curl > 0 ? own / curl : 0);
    return 0;
}
