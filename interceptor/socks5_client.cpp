#include "interceptor/socks5_client.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include <netinet/in.h>

namespace varnelo::interceptor {
namespace {

constexpr uint8_t kVersion = 5;
constexpr uint8_t kAuthVersion = 1;
constexpr uint8_t kMethodNone = 0x00;
constexpr uint8_t kMethodPassword = 0x02;
constexpr uint8_t kNoAcceptable = 0xFF;
constexpr uint8_t kCommandConnect = 1;
constexpr uint8_t kTypeIpv4 = 1;
constexpr uint8_t kTypeName = 3;
constexpr uint8_t kTypeIpv6 = 4;

uint8_t Byte(const std::string& s, size_t i) { return static_cast<uint8_t>(s[i]); }

const char* ReplyText(uint8_t code) {
    switch (code) {
        case 1: return "general SOCKS server failure";
        case 2: return "connection not allowed by ruleset";
        case 3: return "network unreachable";
        case 4: return "host unreachable";
        case 5: return "connection refused";
        case 6: return "TTL expired";
        case 7: return "command not supported";
        case 8: return "address type not supported";
        default: return "unknown reply code";
    }
}

}  // namespace

Socks5Target Socks5Target::FromAddress(const sockaddr* address) {
    Socks5Target target;
    if (address->sa_family == AF_INET) {
        sockaddr_in in;
        std::memcpy(&in, address, sizeof in);
        target.addressType = kTypeIpv4;
        target.address.assign(reinterpret_cast<const char*>(&in.sin_addr), 4);
        target.port = ntohs(in.sin_port);
    } else if (address->sa_family == AF_INET6) {
        sockaddr_in6 in6;
        std::memcpy(&in6, address, sizeof in6);
        // An IPv4-mapped address goes out as the IPv4 address it stands for.
        if (IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr)) {
            target.addressType = kTypeIpv4;
            target.address.assign(reinterpret_cast<const char*>(&in6.sin6_addr) + 12, 4);
        } else {
            target.addressType = kTypeIpv6;
            target.address.assign(reinterpret_cast<const char*>(&in6.sin6_addr), 16);
        }
        target.port = ntohs(in6.sin6_port);
    }
    return target;
}

Socks5Target Socks5Target::FromName(std::string name, uint16_t port) {
    Socks5Target target;
    target.addressType = kTypeName;
    target.address = std::move(name);
    target.port = port;
    return target;
}

Socks5Client::Socks5Client(std::string user, std::string password, Socks5Target target)
    : user_(std::move(user)), password_(std::move(password)), target_(std::move(target)) {
    bool usable = (target_.addressType == kTypeIpv4 && target_.address.size() == 4) ||
                  (target_.addressType == kTypeIpv6 && target_.address.size() == 16) ||
                  (target_.addressType == kTypeName && !target_.address.empty() &&
                   target_.address.size() <= 255);
    if (!usable || user_.size() > 255 || password_.size() > 255) {
        Fail(Socks5Error::kBadRequest);
        return;
    }
    bool withPassword = !user_.empty() || !password_.empty();
    output_ = {static_cast<char>(kVersion), 1,
               static_cast<char>(withPassword ? kMethodPassword : kMethodNone)};
    wanted_ = 2;
}

std::span<const uint8_t> Socks5Client::Output() const {
    return {reinterpret_cast<const uint8_t*>(output_.data()) + outputSent_, output_.size() - outputSent_};
}

void Socks5Client::ConsumeOutput(size_t count) {
    outputSent_ += std::min(count, output_.size() - outputSent_);
    if (outputSent_ == output_.size()) {
        output_.clear();
        outputSent_ = 0;
    }
}

size_t Socks5Client::BytesWanted() const {
    return state_ == Socks5State::kInProgress ? wanted_ - input_.size() : 0;
}

Socks5State Socks5Client::Feed(std::span<const uint8_t> data, size_t* consumed) {
    size_t taken = 0;
    while (taken < data.size() && state_ == Socks5State::kInProgress) {
        size_t n = std::min(BytesWanted(), data.size() - taken);
        input_.append(reinterpret_cast<const char*>(data.data()) + taken, n);
        taken += n;
        if (BytesWanted() == 0) Advance();
    }
    if (consumed) *consumed = taken;
    return state_;
}

void Socks5Client::Advance() {
    switch (step_) {
        case Step::kMethod: {
            if (Byte(input_, 0) != kVersion) return Fail(Socks5Error::kBadVersion);
            uint8_t method = Byte(input_, 1);
            if (method == kNoAcceptable) return Fail(Socks5Error::kNoAcceptableMethod);
            bool withPassword = !user_.empty() || !password_.empty();
            if (method != (withPassword ? kMethodPassword : kMethodNone)) {
                return Fail(Socks5Error::kUnexpectedMethod);
            }
            if (withPassword) {
                QueueAuthRequest();
            } else {
                QueueConnectRequest();
            }
            return;
        }
        case Step::kAuth:
            if (Byte(input_, 0) != kAuthVersion) return Fail(Socks5Error::kBadVersion);
            if (Byte(input_, 1) != 0) return Fail(Socks5Error::kAuthFailed);
            QueueConnectRequest();
            return;
        case Step::kReplyHead: {
            // VER REP RSV ATYP and the first byte of the bound address.
            if (Byte(input_, 0) != kVersion) return Fail(Socks5Error::kBadVersion);
            replyCode_ = Byte(input_, 1);
            if (replyCode_ != 0) return Fail(Socks5Error::kConnectRefused);
            size_t rest;
            switch (Byte(input_, 3)) {
                case kTypeIpv4: rest = 4 - 1 + 2; break;
                case kTypeIpv6: rest = 16 - 1 + 2; break;
                case kTypeName: rest = Byte(input_, 4) + 2; break;
                default: return Fail(Socks5Error::kBadReply);
            }
            step_ = Step::kReplyRest;
            wanted_ = input_.size() + rest;
            return;
        }
        case Step::kReplyRest:
            step_ = Step::kDone;
            state_ = Socks5State::kConnected;
            input_.clear();
            wanted_ = 0;
            return;
        case Step::kDone:
            return;
    }
}

void Socks5Client::QueueAuthRequest() {
    output_ += static_cast<char>(kAuthVersion);
    output_ += static_cast<char>(user_.size());
    output_ += user_;
    output_ += static_cast<char>(password_.size());
    output_ += password_;
    input_.clear();
    wanted_ = 2;
    step_ = Step::kAuth;
}

void Socks5Client::QueueConnectRequest() {
    output_ += static_cast<char>(kVersion);
    output_ += static_cast<char>(kCommandConnect);
    output_ += '\0';
    output_ += static_cast<char>(target_.addressType);
    if (target_.addressType == kTypeName) output_ += static_cast<char>(target_.address.size());
    output_ += target_.address;
    output_ += static_cast<char>(target_.port >> 8);
    output_ += static_cast<char>(target_.port & 0xFF);
    input_.clear();
    wanted_ = 5;
    step_ = Step::kReplyHead;
}

void Socks5Client::Fail(Socks5Error error) {
    state_ = Socks5State::kFailed;
    error_ = error;
    output_.clear();
    outputSent_ = 0;
    input_.clear();
    wanted_ = 0;
}

std::string Socks5Client::ErrorText() const {
    switch (error_) {
        case Socks5Error::kNone: return {};
        case Socks5Error::kBadVersion: return "the proxy does not speak SOCKS5";
        case Socks5Error::kNoAcceptableMethod: return "the proxy accepts none of the offered methods";
        case Socks5Error::kUnexpectedMethod: return "the proxy chose a method that was not offered";
        case Socks5Error::kAuthFailed: return "the proxy refused the user name or password";
        case Socks5Error::kConnectRefused:
            return std::string("the proxy refused the connection: ") + ReplyText(replyCode_);
        case Socks5Error::kBadReply: return "malformed reply from the proxy";
        case Socks5Error::kBadRequest: return "the request cannot be sent to the proxy";
    }
    return {};
}

}  // namespace varnelo::interceptor
