// The client side of a SOCKS5 handshake (RFC 1928, username and password per RFC 1929), as a
// state machine that does no I/O: the caller sends what Output() holds and feeds back what the
// proxy answers, reading no more than BytesWanted() so that no byte of the relayed stream that
// follows the CONNECT reply is taken.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include <sys/socket.h>

namespace varnelo::interceptor {

// Where the proxy is asked to connect: an IPv4 or IPv6 address, or a host name.
struct Socks5Target {
    static Socks5Target FromAddress(const sockaddr* address);  // AF_INET / AF_INET6 only
    static Socks5Target FromName(std::string name, uint16_t port);

    uint8_t addressType = 0;  // 1 IPv4, 3 name, 4 IPv6; 0 = unusable
    std::string address;      // 4 or 16 address bytes, or the name
    uint16_t port = 0;        // host order
};

enum class Socks5State { kInProgress, kConnected, kFailed };

enum class Socks5Error {
    kNone,
    kBadVersion,          // the proxy does not speak SOCKS5 (or the auth sub-negotiation version)
    kNoAcceptableMethod,  // the proxy refused every method offered (0xFF)
    kUnexpectedMethod,    // the proxy chose a method that was not offered
    kAuthFailed,          // user name or password refused
    kConnectRefused,      // CONNECT answered with a nonzero reply code: see ReplyCode()
    kBadReply,            // malformed reply (unknown address type...)
    kBadRequest,          // the request cannot be expressed (unusable target, field too long)
};

class Socks5Client {
public:
    // Empty user and password: offers "no authentication" only; otherwise "username/password"
    // only, so that a proxy cannot quietly pass around the configured credentials.
    Socks5Client(std::string user, std::string password, Socks5Target target);

    // Bytes to send to the proxy now; the caller reports what it sent with ConsumeOutput.
    std::span<const uint8_t> Output() const;
    void ConsumeOutput(size_t count);

    // How many bytes the next step needs (0 when done or failed).
    size_t BytesWanted() const;

    // Takes up to BytesWanted() bytes of the proxy's answer (bytes beyond that are not taken;
    // *consumed tells how many were). Any split of the answer gives the same result.
    Socks5State Feed(std::span<const uint8_t> data, size_t* consumed = nullptr);

    Socks5State State() const { return state_; }
    Socks5Error Error() const { return error_; }
    uint8_t ReplyCode() const { return replyCode_; }  // CONNECT reply code when kConnectRefused
    std::string ErrorText() const;

private:
    enum class Step { kMethod, kAuth, kReplyHead, kReplyRest, kDone };

    void Fail(Socks5Error error);
    void QueueAuthRequest();
    void QueueConnectRequest();
    void Advance();

    std::string user_, password_;
    Socks5Target target_;
    std::string output_;
    size_t outputSent_ = 0;
    std::string input_;  // the part of the current answer read so far
    size_t wanted_ = 0;  // total length of the current answer, as far as known
    Step step_ = Step::kMethod;
    Socks5State state_ = Socks5State::kInProgress;
    Socks5Error error_ = Socks5Error::kNone;
    uint8_t replyCode_ = 0;
};

}  // namespace varnelo::interceptor
