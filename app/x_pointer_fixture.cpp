#include "app/x_pointer_fixture.h"

#include <X11/Xlib.h>

namespace varnelo {
namespace {
Display* pointerDisplay = nullptr;
}

bool OpenPointerDisplay(const std::string& display) {
    pointerDisplay = XOpenDisplay(display.c_str());
    return pointerDisplay != nullptr;
}

void MovePointerTo(int x, int y) {
    XWarpPointer(pointerDisplay, None, DefaultRootWindow(pointerDisplay), 0, 0, 0, 0, x, y);
    XSync(pointerDisplay, False);
}

void ClosePointerDisplay() {
    if (pointerDisplay) XCloseDisplay(pointerDisplay);
    pointerDisplay = nullptr;
}

}  // namespace varnelo
