#include "platform/message_box.h"

#include <cstdlib>

namespace varnelo {

Text DefaultCaption() { return "信息："_cp936; }

void FatalExit(MessageBoxes& boxes, const MessageBoxRequest& request) {
    boxes.Show(request);
    std::exit(0);
}

}  // namespace varnelo
