// The program whose traffic the end-to-end runs send through the proxy. It reads tags, one a
// line, from a command FIFO; for each it connects to the destination, sends "<tag> pid <pid>",
// and logs the answer ("ok" or "failed"). The line "quit" ends it.
//
// target ADDRESS PORT COMMAND_FIFO LOG_FILE
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

std::string Exchange(const char* host, int port, const std::string& line) {
    sockaddr_storage address{};
    socklen_t length;
    int family = std::strchr(host, ':') ? AF_INET6 : AF_INET;
    if (family == AF_INET6) {
        auto* a6 = reinterpret_cast<sockaddr_in6*>(&address);
        a6->sin6_family = AF_INET6;
        a6->sin6_port = htons(port);
        inet_pton(AF_INET6, host, &a6->sin6_addr);
        length = sizeof *a6;
    } else {
        auto* a4 = reinterpret_cast<sockaddr_in*>(&address);
        a4->sin_family = AF_INET;
        a4->sin_port = htons(port);
        inet_pton(AF_INET, host, &a4->sin_addr);
        length = sizeof *a4;
    }
    int fd = socket(family, SOCK_STREAM, 0);
    timeval timeout{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    std::string result = "failed";
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
        send(fd, line.data(), line.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(line.size())) {
        char reply[16] = {};
        ssize_t got = recv(fd, reply, sizeof reply - 1, 0);
        if (got > 0) result = std::string(reply, got - (reply[got - 1] == '\n' ? 1 : 0));
    }
    close(fd);
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s ADDRESS PORT COMMAND_FIFO LOG_FILE\n", argv[0]);
        return 2;
    }
    for (;;) {
        std::ifstream commands(argv[3]);  // blocks until a writer opens the FIFO
        std::string tag;
        while (std::getline(commands, tag)) {
            if (tag == "quit") return 0;
            std::string line = tag + " pid " + std::to_string(getpid());
            std::string result = Exchange(argv[1], std::atoi(argv[2]), line + "\n");
            if (FILE* log = std::fopen(argv[4], "a")) {
                std::fprintf(log, "%s: %s\n", line.c_str(), result.c_str());
                std::fclose(log);
            }
        }
    }
}
