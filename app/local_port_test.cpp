#include "app/local_port.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace varnelo {
namespace {

// Reports every port in use for the first `busyListings` listings, then only `busy`; keeps every
// listing it handed out.
class ScriptedConnections final : public ConnectionList {
public:
    PortSet PortsInUse() override {
        PortSet ports;
        if (static_cast<int>(listings.size()) < busyListings) {
            ports.set();
        } else {
            ports = busy;
        }
        listings.push_back(ports);
        return ports;
    }
    int busyListings = 0;
    PortSet busy;
    std::vector<PortSet> listings;
};

TEST(ChooseLocalPort, RejectsPortsInUseWithAFreshListingPerDraw) {
    ScriptedConnections connections;
    connections.busyListings = 5;
    for (int port = kLowestLocalPort; port <= kHighestLocalPort; port += 2) connections.busy.set(port);
    const int port = ChooseLocalPort(connections);
    EXPECT_GE(connections.listings.size(), 6u);  // five full listings, then until an odd port
    EXPECT_FALSE(connections.listings.back().test(port));
    EXPECT_GE(port, kLowestLocalPort);
    EXPECT_LE(port, kHighestLocalPort);
    EXPECT_EQ(port % 2, 1);
}

TEST(ChooseLocalPort, StaysInRangeAndDrawsDiffer) {
    ScriptedConnections connections;
    std::vector<int> seen;
    for (int i = 0; i < 200; ++i) {
        const int port = ChooseLocalPort(connections);
        ASSERT_GE(port, kLowestLocalPort);
        ASSERT_LE(port, kHighestLocalPort);
        seen.push_back(port);
    }
    std::sort(seen.begin(), seen.end());
    // Seeded anew for each draw, yet two draws in one millisecond do not repeat each other.
    EXPECT_GT(std::unique(seen.begin(), seen.end()) - seen.begin(), 150);
}

TEST(ChooseLocalPort, GivesUpAfterTheDrawLimit) {
    ScriptedConnections connections;
    connections.busyListings = 1 << 30;
    const int port = ChooseLocalPort(connections, 25);
    EXPECT_EQ(connections.listings.size(), 25u);
    EXPECT_GE(port, kLowestLocalPort);
    EXPECT_LE(port, kHighestLocalPort);
}

}  // namespace
}  // namespace varnelo
