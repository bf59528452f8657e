// Runs the library presence check in the directory this program was copied to. Every box it is
// asked to show goes to standard output as one line; an exit handler and a returned check are
// reported too, so that a test can tell how the program ended.
#include <cstdio>
#include <cstdlib>

#include "engine/library_presence.h"

namespace {

void PrintEscaped(const varnelo::Text& text) {
    for (unsigned char byte : text) {
        if (byte >= 0x20 && byte < 0x7f) {
            std::putchar(byte);
        } else {
            std::printf("\\x%02x", byte);
        }
    }
}

class PrintingBoxes : public varnelo::MessageBoxes {
  public:
    varnelo::MessageAnswer Show(const varnelo::MessageBoxRequest& request) override {
        std::printf("box icon=%d buttons=%d owner=%d caption=", static_cast<int>(request.icon),
                    static_cast<int>(request.buttons), request.owner != nullptr);
        PrintEscaped(request.caption);
        std::printf(" text=");
        PrintEscaped(request.text);
        std::printf("\n");
        return varnelo::MessageAnswer::Ok;
    }
};

}  // namespace

int main() {
    std::atexit([] { std::printf("exit handler\n"); });
    PrintingBoxes boxes;
    varnelo::EnsureLibraryFile(boxes);
    std::printf("returned\n");
    std::fflush(stdout);
    std::_Exit(7);  // a return of the check is told apart from the fatal exit (code 0)
}
