// The one way Varnelo speaks to the user: a modal message box. The program shows its boxes
// through a MessageBoxes object handed to whoever needs one; the real one is Qt's (QtMessageBoxes
// in platform/qt/message_box_qt.h, library platform_qt), tests hand in a recorder.
#pragma once

#include "platform/text.h"

namespace varnelo {

enum class MessageButtons { Ok, YesNo };

// Error is the stop sign (Windows' error and stop icons are the same icon).
enum class MessageIcon { None, Error, Information, Warning, Question };

enum class MessageAnswer { Ok, Yes, No };

struct MessageBoxRequest {
    Text text;     // code page 936
    Text caption;  // code page 936; an empty caption shows "信息："
    MessageButtons buttons = MessageButtons::Ok;
    MessageIcon icon = MessageIcon::None;
    const void* owner = nullptr;  // the owning window (a QWidget* for the Qt boxes), or none
};

class MessageBoxes {
  public:
    virtual ~MessageBoxes() = default;
    // Shows the box and waits until the user closes it. Never fails: a box that cannot be shown
    // answers as if its first button had been pressed.
    virtual MessageAnswer Show(const MessageBoxRequest& request) = 0;
};

// The caption a box shows when it is given none.
Text DefaultCaption();

// The program's fatal boxes: shows the box, and once it is closed ends the program with exit code 0
// through std::exit, so that functions registered with std::atexit and the destructors of static
// objects run (the program's exit handler hooks in there). Stack objects are not destroyed. The
// one place where the program ends itself after a message.
[[noreturn]] void FatalExit(MessageBoxes& boxes, const MessageBoxRequest& request);

}  // namespace varnelo
