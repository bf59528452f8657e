// A stand-in program for the self-update tests. When started it writes its marker, one line, into
// started.txt beside its own file, so a test sees which build the update script started.
#include <unistd.h>

#include <fstream>
#include <string>

#ifndef VARNELO_PROBE_MARKER
#error "VARNELO_PROBE_MARKER names the build"
#endif

int main() {
    char path[4096];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return 1;
    std::string self(path, static_cast<size_t>(length));
    std::ofstream marker(self.substr(0, self.rfind('/')) + "/started.txt", std::ios::app);
    marker << VARNELO_PROBE_MARKER << '\n';
    return marker ? 0 : 1;
}
