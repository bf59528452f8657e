#include "platform/connection_list.h"

#include <cstdio>
#include <cstring>

namespace varnelo {
namespace {

// A socket table line reads "sl: LOCALADDR:PORT REMADDR:PORT st ...", ports in hexadecimal.
void AddPortsOfLine(const char* line, PortSet& ports) {
    char local[64];
    char remote[64];
    if (std::sscanf(line, " %*[^:]: %63s %63s", local, remote) != 2) return;
    for (const char* address : {local, remote}) {
        const char* colon = std::strrchr(address, ':');
        if (!colon) continue;
        unsigned port = 0;
        if (std::sscanf(colon + 1, "%x", &port) == 1 && port < 65536) ports.set(port);
    }
}

void AddPortsOfTable(const char* path, PortSet& ports) {
    std::FILE* file = std::fopen(path, "re");
    if (!file) return;
    char line[512];
    bool header = true;
    while (std::fgets(line, sizeof line, file)) {
        if (header) {
            header = false;
            continue;
        }
        AddPortsOfLine(line, ports);
    }
    std::fclose(file);
}

class ProcConnectionList final : public ConnectionList {
public:
    PortSet PortsInUse() override {
        PortSet ports;
        for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6", "/proc/net/udp",
                                  "/proc/net/udp6"}) {
            AddPortsOfTable(table, ports);
        }
        return ports;
    }
};

}  // namespace

std::unique_ptr<ConnectionList> MakeSystemConnectionList() {
    return std::make_unique<ProcConnectionList>();
}

}  // namespace varnelo
