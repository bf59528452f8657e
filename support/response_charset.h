// Turns the body of an HTTP response into a code-page-936 text.
#pragma once

#include "platform/text.h"

namespace varnelo {

// The body as text. The charset comes only from an HTML meta tag: the first 1,024 bytes of the
// body (up to its first zero byte) are searched, ignoring letter case, for
// "<meta.+?charset=[^\w]?([-\w]+)" within one line. When a charset is named and is neither
// "gbk" nor "gb2312" (exactly so written), all of the body, zero bytes included, is converted
// from that charset (a leading byte-order mark of a UTF-8 body is dropped; bytes the charset
// does not allow become "?", as do characters code page 936 lacks). Otherwise, and when the
// named charset is unknown, the result is the body's bytes unchanged. Either way the result
// ends at its first zero byte. Never fails.
Text DecodeResponseText(const ByteSet& bytes);

}  // namespace varnelo
