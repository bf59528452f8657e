// A short-lived program for the capture-by-name tests: connects at once to the address given,
// sends a few bytes and exits with 0 when they come back unchanged (read before closing: the
// test proxy ends a connection on the first half-close).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    ::alarm(20);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[2])));
    if (inet_pton(AF_INET, argv[1], &address.sin_addr) != 1) return 2;
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return 1;
    const char message[] = "probe";
    if (::write(fd, message, sizeof message) != static_cast<ssize_t>(sizeof message)) return 1;
    char echo[sizeof message] = {};
    size_t got = 0;
    ssize_t n;
    while (got < sizeof echo && (n = ::read(fd, echo + got, sizeof echo - got)) > 0) got += n;
    return got == sizeof message && std::memcmp(echo, message, sizeof message) == 0 ? 0 : 1;
}
