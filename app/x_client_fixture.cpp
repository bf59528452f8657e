// A tiny X client for the window-picking tests: maps one window covering the given area and
// stays until killed. With "--pid" the window carries _NET_WM_PID (this process's id); without it
// only the X Resource extension can tell who owns it.
// Usage: x_client_fixture X Y WIDTH HEIGHT [--pid]
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    if (argc < 5) return 2;
    Display* display = XOpenDisplay(nullptr);
    if (!display) return 1;
    const int screen = DefaultScreen(display);
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;  // no window manager runs: place it exactly
    attributes.background_pixel = WhitePixel(display, screen);
    Window window = XCreateWindow(display, RootWindow(display, screen), std::atoi(argv[1]),
                                  std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]), 0,
                                  CopyFromParent, InputOutput, CopyFromParent,
                                  CWOverrideRedirect | CWBackPixel, &attributes);
    if (argc > 5 && std::strcmp(argv[5], "--pid") == 0) {
        long pid = static_cast<long>(getpid());
        XChangeProperty(display, window, XInternAtom(display, "_NET_WM_PID", False), XA_CARDINAL,
                        32, PropModeReplace, reinterpret_cast<unsigned char*>(&pid), 1);
    }
    XMapRaised(display, window);
    XSync(display, False);
    std::printf("ready\n");
    std::fflush(stdout);
    for (;;) pause();
}
