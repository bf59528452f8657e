#include "platform/memory_hint.h"

#include <sys/mman.h>

#include <cstdint>

namespace varnelo {

void HintLargeBuffer(void* data, std::size_t size) {
    constexpr std::uintptr_t kHugePage = 2 * 1024 * 1024;
    if (data == nullptr || size < 2 * kHugePage) return;
    auto begin = reinterpret_cast<std::uintptr_t>(data);
    std::uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
    std::uintptr_t last = (begin + size) & ~(kHugePage - 1);
    if (last <= first) return;
    ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

}  // namespace varnelo
