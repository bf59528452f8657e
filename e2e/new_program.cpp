// What the end-to-end update run publishes as "the new version": when started it leaves a marker
// file named new-program-ran beside itself, so the run can tell that the update replaced the
// program and started the replacement.
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <string>

int main() {
    char self[PATH_MAX] = {};
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return 1;
    std::string dir(self, n);
    dir.erase(dir.rfind('/'));
    FILE* marker = std::fopen((dir + "/new-program-ran").c_str(), "w");
    if (!marker) return 1;
    std::fprintf(marker, "pid %d\n", getpid());
    std::fclose(marker);
    return 0;
}
