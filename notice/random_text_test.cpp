#include "notice/random_text.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <set>
#include <string>

namespace varnelo {
namespace {

using namespace std::chrono;

// Runs the test body in a given time zone and restores the process's zone afterwards.
class ZoneGuard {
public:
    explicit ZoneGuard(const char* zone) {
        if (const char* old = std::getenv("TZ")) saved_ = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ZoneGuard() {
        if (saved_) {
            setenv("TZ", saved_->c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

private:
    std::optional<std::string> saved_;
};

system_clock::time_point At(long long unixMilliseconds) {
    return system_clock::time_point(milliseconds(unixMilliseconds));
}

TEST(MillisecondStampTest, IsUnixMillisecondsOnAClockAtUtcPlusEight) {
    ZoneGuard zone("CST-8");
    EXPECT_EQ(MillisecondStamp(false, At(1700000000007)), "1700000000007");
    EXPECT_EQ(MillisecondStamp(true, At(1700000000007)), "1700000000");
    EXPECT_EQ(MillisecondStamp(false, At(1700000000999)), "1700000000999");
}

TEST(MillisecondStampTest, IsShiftedByTheZoneDifferenceElsewhere) {
    ZoneGuard zone("UTC0");
    EXPECT_EQ(MillisecondStamp(false, At(1700000000007)), "1699971200007");
}

TEST(MillisecondStampTest, ShortStampsArePaddedAtTheEnd) {
    ZoneGuard zone("CST-8");
    // One second and 500 ms after the local 1970-01-01 08:00:00: "1" + "500", then zeros.
    EXPECT_EQ(MillisecondStamp(false, At(1500)), "1500000000000");
    EXPECT_EQ(MillisecondStamp(true, At(1500)), "1500000000");
}

TEST(MillisecondStampTest, PresentDayStampHasThirteenDigits) {
    Text stamp = MillisecondStamp();
    ASSERT_EQ(stamp.size(), 13u);
    EXPECT_EQ(stamp.find_first_not_of("0123456789"), Text::npos);
}

TEST(RandomInRangeTest, FollowsTheClassicGenerator) {
    // The first value of the classic C runtime generator seeded with 1 is 41, with 0 it is 38.
    EXPECT_EQ(RandomInRangeFromSeed(1, 0, 0), 41);
    EXPECT_EQ(RandomInRangeFromSeed(0, 0, 0), 38);
    EXPECT_EQ(RandomInRangeFromSeed(1, 0, 9), 1);
    EXPECT_EQ(RandomInRangeFromSeed(1, 100, 109), 101);
}

TEST(RandomInRangeTest, StaysInRangeForEdgeRanges) {
    for (std::uint32_t seed : {0u, 1u, 12345u, 0xFFFFFFFFu, 0x80000000u}) {
        EXPECT_EQ(RandomInRangeFromSeed(seed, 5, 5), 5);
        std::int32_t raw = RandomInRangeFromSeed(seed, 0, 0);
        EXPECT_GE(raw, 0);
        EXPECT_LE(raw, 32767);
        // The whole 32-bit range: the span wraps to 0 and must not divide by it.
        std::int32_t whole = RandomInRangeFromSeed(seed, INT_MIN, INT_MAX);
        EXPECT_EQ(static_cast<long long>(whole) - INT_MIN, raw);
        std::int32_t negative = RandomInRangeFromSeed(seed, -3, -1);
        EXPECT_GE(negative, -3);
        EXPECT_LE(negative, -1);
    }
}

TEST(RandomInRangeTest, CounterDrawsCoverTheRange) {
    std::set<std::int32_t> seen;
    for (int i = 0; i < 2000 && seen.size() < 5; ++i) {
        std::int32_t value = RandomInRange(1, 5);
        ASSERT_GE(value, 1);
        ASSERT_LE(value, 5);
        seen.insert(value);
    }
    EXPECT_EQ(seen.size(), 5u);
}

TEST(RandomDigitsTest, KindsGiveTheirDigits) {
    struct Case {
        int kind;
        const char* allowed;
    };
    for (Case c : {Case{0, "0123456789"}, Case{1, "13579"}, Case{2, "02468"}, Case{-7, "02468"}}) {
        Text digits = RandomDigits(200, c.kind);
        ASSERT_EQ(digits.size(), 200u) << "kind " << c.kind;
        EXPECT_EQ(digits.find_first_not_of(c.allowed), Text::npos) << "kind " << c.kind;
    }
    EXPECT_EQ(RandomDigits(0), "");
    EXPECT_EQ(RandomDigits(-3), "");
}

}  // namespace
}  // namespace varnelo
