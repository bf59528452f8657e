// A stand-in for the share service that publishes Varnelo's notice, for end-to-end runs: it sets
// the wyctoken cookie on the share page, answers the share-view request with a note, and serves
// a download. It logs every request it receives, one line each, to standard output.
//
// fake_share_service CERT KEY ADDRESS PORT NOTE_HTML_FILE [DOWNLOAD_FILE]
#include <httplib.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// The note goes into a JSON string: escape what JSON requires.
std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 6) {
        std::fprintf(stderr, "usage: %s CERT KEY ADDRESS PORT NOTE_HTML_FILE [DOWNLOAD_FILE]\n",
                     argv[0]);
        return 2;
    }
    const std::string note = ReadFile(argv[5]);
    const std::string download = argc > 6 ? ReadFile(argv[6]) : std::string();
    httplib::SSLServer server(argv[1], argv[2]);
    if (!server.is_valid()) {
        std::fprintf(stderr, "fake_share_service: cannot load the certificate\n");
        return 1;
    }
    server.set_logger([](const httplib::Request& req, const httplib::Response& res) {
        std::printf("%s %s %d cookie=%s\n", req.method.c_str(), req.target.c_str(), res.status,
                    req.get_header_value("Cookie").c_str());
        std::fflush(stdout);
    });
    server.Get("/download/new", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content(download, "application/octet-stream");
    });
    server.Get(R"(/.*)", [](const httplib::Request&, httplib::Response& res) {
        res.set_header("Set-Cookie", "wyctoken=1234567; path=/");
        res.set_content("<html><body>share</body></html>", "text/html");
    });
    server.Post("/webapp/json/weiyunShareNoLogin/WeiyunShareView",
                [&](const httplib::Request&, httplib::Response& res) {
                    std::string body =
                        "{\"data\":{\"rsp_body\":{\"RspMsg_body\":{\"note_list\":[{\"html_content\":" +
                        JsonString(note) + "}]}}}}";
                    res.set_content(body, "application/json");
                });
    if (!server.listen(argv[3], std::stoi(argv[4]))) {
        std::fprintf(stderr, "fake_share_service: cannot listen on %s:%s\n", argv[3], argv[4]);
        return 1;
    }
    return 0;
}
