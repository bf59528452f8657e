// A library with only a few of SunnyNet.dll's exports; every other call must fail without harm.
#define EXPORT extern "C" __attribute__((visibility("default")))

EXPORT int CreateSunnyNet() { return 41; }
EXPORT int SunnyNetSetPort(int contextId, int port) { return contextId * 100000 + port; }
EXPORT void ReleaseSunnyNet(int) {}
