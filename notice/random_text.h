// Time stamps and random digits for the share-view request's sequence number.
#pragma once

#include <chrono>
#include <cstdint>

#include "platform/text.h"

namespace varnelo {

// The local date-time as milliseconds counted from the local date-time 1970-01-01 08:00:00: the
// Unix time in milliseconds on a clock at UTC+8, shifted by the zone difference elsewhere. At
// least 13 digits (padded with "0" at the end); with `tenDigits` the first 10 characters only.
Text MillisecondStamp(bool tenDigits = false);
Text MillisecondStamp(bool tenDigits, std::chrono::system_clock::time_point now);

// `count` random digits: kind 0 any digit, kind 1 odd digits only, any other kind even digits
// only. Each digit is one draw of RandomInRange.
Text RandomDigits(long count, int kind = 0);

// A number in min..max from one step of the classic linear congruential generator seeded with
// the low 32 bits of the processor's time-stamp counter (a monotonic clock where there is none);
// 0 to 32767 values only. max 0 means 2147483647. Keeps no state between calls.
std::int32_t RandomInRange(std::int32_t min, std::int32_t max);

// The same draw from a given seed.
std::int32_t RandomInRangeFromSeed(std::uint32_t seed, std::int32_t min, std::int32_t max);

}  // namespace varnelo
