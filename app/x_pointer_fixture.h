// Test helper: moves the X pointer on a display (kept apart from Qt code: Xlib's macros clash).
#pragma once

#include <string>

namespace varnelo {

// Opens the display once; false when it cannot be reached.
bool OpenPointerDisplay(const std::string& display);
void MovePointerTo(int x, int y);
void ClosePointerDisplay();

}  // namespace varnelo
