// Message boxes with Qt Widgets (QMessageBox): the text and caption converted from code page 936,
// "信息：" as the caption of a box given none, the icon, OK or Yes/No, and the owner window
// (request.owner, a QWidget*) when given. A QApplication must exist; without one the box cannot be
// shown, its text goes to standard error and the answer is that of the first button.
#pragma once

#include "platform/message_box.h"

namespace varnelo {

class QtMessageBoxes : public MessageBoxes {
  public:
    MessageAnswer Show(const MessageBoxRequest& request) override;
};

}  // namespace varnelo
