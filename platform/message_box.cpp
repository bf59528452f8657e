#include "platform/message_box.h"

namespace varnelo {

Text DefaultCaption() { return "信息："_cp936; }

}  // namespace varnelo
