#include "app/local_port.h"

#include <chrono>
#include <cstdint>
#include <random>

namespace varnelo {
namespace {

int DrawPort() {
    // The counter keeps two seedings in the same millisecond apart.
    static std::uint32_t seedings = 0;
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
    std::mt19937 generator(static_cast<std::uint32_t>(millis) + ++seedings);
    return std::uniform_int_distribution<int>(kLowestLocalPort, kHighestLocalPort)(generator);
}

}  // namespace

int ChooseLocalPort(ConnectionList& connections, int maxDraws) {
    for (int draw = 1;; ++draw) {
        const int port = DrawPort();
        if (!connections.PortsInUse().test(static_cast<std::size_t>(port)) || draw >= maxDraws) {
            return port;
        }
    }
}

int ChooseLocalPort() {
    auto connections = MakeSystemConnectionList();
    return ChooseLocalPort(*connections);
}

}  // namespace varnelo
