// Hints for large buffers that the program fills at once (a downloaded body, its decoded text).
#pragma once

#include <cstddef>

namespace varnelo {

// Asks the kernel to back the whole 2 MiB pages inside [data, data + size) with huge pages, so
// that filling a buffer of tens of megabytes costs a few page faults instead of thousands. Call it
// on memory that has been allocated and not yet written. Small buffers are left alone; a kernel
// that does not take the hint changes nothing.
void HintLargeBuffer(void* data, std::size_t size);

}  // namespace varnelo
