// Finds the process that owns the window under the mouse pointer.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

namespace varnelo {

class WindowPicker {
public:
    virtual ~WindowPicker() = default;
    // The process id of the window under the pointer; nothing when no display can be reached,
    // when the pointer is over no application window, or when its owner cannot be found out.
    virtual std::optional<std::uint32_t> PidUnderPointer() = 0;
};

// X11: the pointer's window (descending from the root through the windows under the pointer),
// its or its nearest ancestor's _NET_WM_PID, and else the process of the X client that created
// it (X Resource extension). Opens its own connection to $DISPLAY for each call.
std::unique_ptr<WindowPicker> MakeX11WindowPicker();

}  // namespace varnelo
