#include "platform/window_picker.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XRes.h>

#include <memory>
#include <vector>

namespace varnelo {
namespace {

// Windows can vanish between two requests; the default Xlib handler would end the program.
int IgnoreXError(Display*, XErrorEvent*) { return 0; }

class ScopedErrorHandler {
public:
    ScopedErrorHandler() : previous_(XSetErrorHandler(IgnoreXError)) {}
    ~ScopedErrorHandler() { XSetErrorHandler(previous_); }
    ScopedErrorHandler(const ScopedErrorHandler&) = delete;
    ScopedErrorHandler& operator=(const ScopedErrorHandler&) = delete;

private:
    int (*previous_)(Display*, XErrorEvent*);
};

struct DisplayCloser {
    void operator()(Display* display) const { XCloseDisplay(display); }
};
using DisplayHandle = std::unique_ptr<Display, DisplayCloser>;

// The windows under the pointer from the root's child down to the deepest one.
std::vector<Window> PointerPath(Display* display) {
    std::vector<Window> path;
    Window current = DefaultRootWindow(display);
    for (int depth = 0; depth < 64; ++depth) {
        Window root = None, child = None;
        int rootX, rootY, x, y;
        unsigned mask;
        if (!XQueryPointer(display, current, &root, &child, &rootX, &rootY, &x, &y, &mask)) break;
        if (child == None) break;
        path.push_back(child);
        current = child;
    }
    return path;
}

std::optional<std::uint32_t> NetWmPid(Display* display, Window window) {
    Atom property = XInternAtom(display, "_NET_WM_PID", True);
    if (property == None) return std::nullopt;
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::optional<std::uint32_t> pid;
    if (XGetWindowProperty(display, window, property, 0, 1, False, XA_CARDINAL, &type, &format,
                           &count, &after, &data) == Success &&
        type == XA_CARDINAL && format == 32 && count == 1 && data) {
        // Xlib hands 32-bit properties back as longs.
        unsigned long value = *reinterpret_cast<unsigned long*>(data);
        if (value != 0) pid = static_cast<std::uint32_t>(value);
    }
    if (data) XFree(data);
    return pid;
}

std::optional<std::uint32_t> ClientPid(Display* display, Window window) {
    int eventBase, errorBase;
    if (!XResQueryExtension(display, &eventBase, &errorBase)) return std::nullopt;
    XResClientIdSpec spec{window, XRES_CLIENT_ID_PID_MASK};
    long count = 0;
    XResClientIdValue* values = nullptr;
    std::optional<std::uint32_t> pid;
    if (XResQueryClientIds(display, 1, &spec, &count, &values) == Success) {
        for (long i = 0; i < count && !pid; ++i) {
            pid_t found = XResGetClientPid(&values[i]);
            if (found > 0) pid = static_cast<std::uint32_t>(found);
        }
        XResClientIdsDestroy(count, values);
    }
    return pid;
}

class X11WindowPicker final : public WindowPicker {
public:
    std::optional<std::uint32_t> PidUnderPointer() override {
        ScopedErrorHandler ignoreErrors;  // outlives the connection: closing it flushes errors
        DisplayHandle display(XOpenDisplay(nullptr));
        if (!display) return std::nullopt;
        std::vector<Window> path = PointerPath(display.get());
        // The application's own window sits below the window manager's frame: look deepest first.
        for (auto it = path.rbegin(); it != path.rend(); ++it) {
            if (auto pid = NetWmPid(display.get(), *it)) return pid;
        }
        for (auto it = path.rbegin(); it != path.rend(); ++it) {
            if (auto pid = ClientPid(display.get(), *it)) return pid;
        }
        return std::nullopt;
    }
};

}  // namespace

std::unique_ptr<WindowPicker> MakeX11WindowPicker() { return std::make_unique<X11WindowPicker>(); }

}  // namespace varnelo
