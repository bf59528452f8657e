#include "interceptor/socks5_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace varnelo::interceptor {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes TakeOutput(Socks5Client& client) {
    auto out = client.Output();
    Bytes bytes(out.begin(), out.end());
    client.ConsumeOutput(bytes.size());
    return bytes;
}

Socks5Target Ipv4Target(const char* address, uint16_t port) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(port);
    inet_pton(AF_INET, address, &in.sin_addr);
    return Socks5Target::FromAddress(reinterpret_cast<sockaddr*>(&in));
}

Socks5Target Ipv6Target(const char* address, uint16_t port) {
    sockaddr_in6 in6{};
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(port);
    inet_pton(AF_INET6, address, &in6.sin6_addr);
    return Socks5Target::FromAddress(reinterpret_cast<sockaddr*>(&in6));
}

// Feeds an answer one byte at a time, checking the client never asks for more than is left;
// stops where the client fails.
Socks5State FeedByteByByte(Socks5Client& client, const Bytes& answer) {
    for (uint8_t byte : answer) {
        if (client.State() != Socks5State::kInProgress) break;
        EXPECT_GE(client.BytesWanted(), 1u);
        size_t consumed = 0;
        client.Feed({&byte, 1}, &consumed);
        EXPECT_EQ(consumed, 1u);
    }
    return client.State();
}

const Bytes kSuccessV4 = {5, 0, 0, 1, 10, 0, 0, 7, 0x1F, 0x90};

TEST(Socks5Client, WithoutCredentialsOffersNoAuthenticationAndConnects) {
    Socks5Client client("", "", Ipv4Target("192.0.2.10", 443));
    EXPECT_EQ(TakeOutput(client), (Bytes{5, 1, 0}));
    EXPECT_EQ(client.BytesWanted(), 2u);
    EXPECT_EQ(client.Feed(Bytes{5, 0}), Socks5State::kInProgress);
    EXPECT_EQ(TakeOutput(client), (Bytes{5, 1, 0, 1, 192, 0, 2, 10, 0x01, 0xBB}));
    EXPECT_EQ(client.Feed(kSuccessV4), Socks5State::kConnected);
    EXPECT_EQ(client.BytesWanted(), 0u);
    EXPECT_TRUE(client.Output().empty());
}

TEST(Socks5Client, WithCredentialsAuthenticatesByteByByteAndLeavesTheStreamAlone) {
    Socks5Client client("alice", "p:@ss", Ipv6Target("2001:db8::1", 8080));
    EXPECT_EQ(TakeOutput(client), (Bytes{5, 1, 2}));
    EXPECT_EQ(FeedByteByByte(client, {5, 2}), Socks5State::kInProgress);
    EXPECT_EQ(TakeOutput(client),
              (Bytes{1, 5, 'a', 'l', 'i', 'c', 'e', 5, 'p', ':', '@', 's', 's'}));
    EXPECT_EQ(FeedByteByByte(client, {1, 0}), Socks5State::kInProgress);
    Bytes expectedConnect = {5, 1, 0, 4, 0x20, 0x01, 0x0d, 0xb8};
    expectedConnect.insert(expectedConnect.end(), 11, 0);
    expectedConnect.insert(expectedConnect.end(), {1, 0x1F, 0x90});
    EXPECT_EQ(TakeOutput(client), expectedConnect);

    // The bound address is a name; the relayed stream follows in the same read.
    Bytes reply = {5, 0, 0, 3, 4, 'h', 'o', 's', 't', 0, 80};
    Bytes withData = reply;
    withData.insert(withData.end(), {'H', 'T', 'T', 'P'});
    size_t consumed = 0;
    EXPECT_EQ(client.Feed(withData, &consumed), Socks5State::kConnected);
    EXPECT_EQ(consumed, reply.size());
}

TEST(Socks5Client, ReadsAnIpv6BoundAddressSplitAnywhere) {
    Bytes reply = {5, 0, 0, 4};
    reply.insert(reply.end(), 16, 0xAB);
    reply.insert(reply.end(), {0x12, 0x34});
    for (size_t split = 1; split < reply.size(); ++split) {
        SCOPED_TRACE(split);
        Socks5Client client("", "", Ipv4Target("192.0.2.1", 80));
        client.Feed(Bytes{5, 0});
        size_t consumed = 0;
        EXPECT_EQ(client.Feed({reply.data(), split}, &consumed), Socks5State::kInProgress);
        EXPECT_EQ(consumed, split);
        EXPECT_EQ(client.BytesWanted(), split < 5 ? 5 - split : reply.size() - split);
        EXPECT_EQ(client.Feed({reply.data() + split, reply.size() - split}), Socks5State::kConnected);
    }
}

TEST(Socks5Client, MappedIpv4DestinationGoesOutAsIpv4) {
    Socks5Client client("", "", Ipv6Target("::ffff:198.51.100.4", 25));
    TakeOutput(client);
    client.Feed(Bytes{5, 0});
    EXPECT_EQ(TakeOutput(client), (Bytes{5, 1, 0, 1, 198, 51, 100, 4, 0, 25}));
}

TEST(Socks5Client, NameTargetSendsTheName) {
    Socks5Client client("", "", Socks5Target::FromName("example.org", 443));
    TakeOutput(client);
    client.Feed(Bytes{5, 0});
    Bytes expected = {5, 1, 0, 3, 11};
    for (char c : std::string("example.org")) expected.push_back(static_cast<uint8_t>(c));
    expected.insert(expected.end(), {0x01, 0xBB});
    EXPECT_EQ(TakeOutput(client), expected);
}

struct Failure {
    const char* name;
    bool withPassword;
    std::vector<Bytes> answers;  // the proxy's answers, in order
    Socks5Error error;
    uint8_t replyCode;
};

TEST(Socks5Client, FailsOnEveryRefusalAndMalformedAnswer) {
    std::vector<Failure> cases = {
        {"SOCKS4 answer to greeting", false, {{4, 0}}, Socks5Error::kBadVersion, 0},
        {"HTTP answer to greeting", true, {{'H', 'T'}}, Socks5Error::kBadVersion, 0},
        {"no acceptable method", true, {{5, 0xFF}}, Socks5Error::kNoAcceptableMethod, 0},
        {"no-auth chosen although password offered", true, {{5, 0}}, Socks5Error::kUnexpectedMethod, 0},
        {"password chosen although not offered", false, {{5, 2}}, Socks5Error::kUnexpectedMethod, 0},
        {"GSSAPI chosen", false, {{5, 1}}, Socks5Error::kUnexpectedMethod, 0},
        {"password refused", true, {{5, 2}, {1, 1}}, Socks5Error::kAuthFailed, 0},
        {"password refused with odd status", true, {{5, 2}, {1, 0xFF}}, Socks5Error::kAuthFailed, 0},
        {"wrong auth version", true, {{5, 2}, {5, 0}}, Socks5Error::kBadVersion, 0},
        {"wrong version in CONNECT reply", false, {{5, 0}, {4, 0, 0, 1, 0, 0, 0, 0, 0, 0}},
         Socks5Error::kBadVersion, 0},
        {"unknown bound address type", false, {{5, 0}, {5, 0, 0, 2, 0}}, Socks5Error::kBadReply, 0},
    };
    for (uint8_t code = 1; code <= 9; ++code) {
        cases.push_back({"CONNECT refused", true, {{5, 2}, {1, 0}, {5, code, 0, 1, 0}},
                         Socks5Error::kConnectRefused, code});
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.replyCode));
        Socks5Client client(c.withPassword ? "u" : "", c.withPassword ? "p" : "",
                            Ipv4Target("192.0.2.1", 80));
        for (const Bytes& answer : c.answers) {
            TakeOutput(client);
            ASSERT_EQ(client.State(), Socks5State::kInProgress);
            FeedByteByByte(client, answer);
        }
        EXPECT_EQ(client.State(), Socks5State::kFailed);
        EXPECT_EQ(client.Error(), c.error);
        EXPECT_EQ(client.ReplyCode(), c.replyCode);
        EXPECT_FALSE(client.ErrorText().empty());
        // Nothing more goes out or is taken after a failure.
        EXPECT_TRUE(client.Output().empty());
        EXPECT_EQ(client.BytesWanted(), 0u);
        size_t consumed = 1;
        EXPECT_EQ(client.Feed(Bytes{5, 0}, &consumed), Socks5State::kFailed);
        EXPECT_EQ(consumed, 0u);
    }
}

TEST(Socks5Client, RefusesRequestsItCannotExpress) {
    const std::string tooLong(256, 'x');
    Socks5Client longUser(tooLong, "p", Ipv4Target("192.0.2.1", 80));
    Socks5Client longName("", "", Socks5Target::FromName(tooLong, 80));
    sockaddr local{};
    local.sa_family = AF_UNIX;
    Socks5Client badFamily("", "", Socks5Target::FromAddress(&local));
    for (Socks5Client* client : {&longUser, &longName, &badFamily}) {
        EXPECT_EQ(client->State(), Socks5State::kFailed);
        EXPECT_EQ(client->Error(), Socks5Error::kBadRequest);
        EXPECT_TRUE(client->Output().empty());
    }
}

TEST(Socks5Client, PartialSendsKeepTheRestQueued) {
    Socks5Client client("user", "pw", Ipv4Target("192.0.2.1", 80));
    client.ConsumeOutput(1);
    EXPECT_EQ(Bytes(client.Output().begin(), client.Output().end()), (Bytes{1, 2}));
    client.ConsumeOutput(2);
    EXPECT_TRUE(client.Output().empty());
}

}  // namespace
}  // namespace varnelo::interceptor
