#include "notice/random_text.h"

#include <ctime>
#include <string>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

#include "notice/text_between.h"

namespace varnelo {
namespace {

std::uint32_t CounterLowBits() {
#if defined(__x86_64__) || defined(__i386__)
    return static_cast<std::uint32_t>(__rdtsc());
#else
    return static_cast<std::uint32_t>(
        std::chrono::steady_clock::now().time_since_epoch().count());
#endif
}

// The local date-time read as if it were UTC, in whole seconds since 1970-01-01 00:00:00.
long long LocalSeconds(std::time_t seconds) {
    std::tm local{};
    localtime_r(&seconds, &local);
    return static_cast<long long>(timegm(&local));
}

}  // namespace

Text MillisecondStamp(bool tenDigits, std::chrono::system_clock::time_point now) {
    using namespace std::chrono;
    // One clock reading for both parts, so the milliseconds always belong to the seconds.
    long long total = duration_cast<milliseconds>(now.time_since_epoch()).count();
    long long seconds = total / 1000;
    long long millis = total % 1000;
    if (millis < 0) {
        millis += 1000;
        seconds -= 1;
    }
    constexpr long long kEightHours = 8 * 3600;
    Text stamp = std::to_string(LocalSeconds(static_cast<std::time_t>(seconds)) - kEightHours) +
                 PadLeftZeros(std::to_string(millis), 3);
    size_t width = tenDigits ? 10 : 13;
    if (tenDigits && stamp.size() > width) stamp.resize(width);
    if (stamp.size() < width) stamp.append(width - stamp.size(), '0');
    return stamp;
}

Text MillisecondStamp(bool tenDigits) {
    return MillisecondStamp(tenDigits, std::chrono::system_clock::now());
}

std::int32_t RandomInRangeFromSeed(std::uint32_t seed, std::int32_t min, std::int32_t max) {
    std::uint32_t v = ((seed * 214013u + 2531011u) >> 16) & 0x7FFFu;
    if (max == 0) max = 2147483647;
    std::uint32_t span = static_cast<std::uint32_t>(max) - static_cast<std::uint32_t>(min) + 1u;
    // A span of 2^32 wraps to 0: every draw is already in range.
    std::uint32_t offset = span == 0 ? v : v % span;
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(min) + offset);
}

std::int32_t RandomInRange(std::int32_t min, std::int32_t max) {
    return RandomInRangeFromSeed(CounterLowBits(), min, max);
}

Text RandomDigits(long count, int kind) {
    static const char kOdd[] = "13579";
    static const char kEven[] = "02468";
    Text digits;
    for (long i = 0; i < count; ++i) {
        if (kind == 0) {
            digits.push_back(static_cast<char>('0' + RandomInRange(0, 9)));
        } else {
            int index = RandomInRange(1, 5) - 1;
            digits.push_back(kind == 1 ? kOdd[index] : kEven[index]);
        }
    }
    return digits;
}

}  // namespace varnelo
