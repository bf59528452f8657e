// Benchmark of the re-scan: the time of one RescanTarget over the system's process table beside a
// bare /proc listing, and the CPU share of the real window while it idles with its re-scan timer.
// Runs beside the recording SunnyNet.dll (testbin). Usage:
//   rescan_bench scan TARGET_NAME ROUNDS
//   rescan_bench idle TARGET_NAME SECONDS     (TARGET_NAME "-" = never started: 100 ms ticks)
#include <dirent.h>
#include <unistd.h>
#include <sys/resource.h>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QPushButton>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/main_window.h"
#include "app/process_targeting.h"
#include "app/qt_app_fixture.h"
#include "app/qt_text.h"
#include "engine/testing/recording_control.h"

using namespace varnelo;

namespace {

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

template <typename Body>
double MedianMilliseconds(int rounds, Body body) {
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i) {
        const auto start = std::chrono::steady_clock::now();
        body();
        times.push_back(std::chrono::duration<double, std::milli>(
                            std::chrono::steady_clock::now() - start)
                            .count());
    }
    return Median(times);
}

int BareProcListing() {
    int count = 0;
    DIR* dir = opendir("/proc");
    while (dirent* entry = readdir(dir)) count += entry->d_name[0] >= '0' && entry->d_name[0] <= '9';
    closedir(dir);
    return count;
}

// The kernel's part of a re-scan: one readlink of /proc/PID/exe per process.
int ReadEveryExeLink() {
    int count = 0;
    char buffer[4096];
    DIR* dir = opendir("/proc");
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
        const std::string link = std::string(entry->d_name) + "/exe";
        count += readlinkat(dirfd(dir), link.c_str(), buffer, sizeof buffer) > 0;
    }
    closedir(dir);
    return count;
}

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int Scan(const Text& target, int rounds) {
    RecordedBoxes boxes;
    testing::Recorder().Reset();
    ProxyEngine engine(boxes);
    auto table = MakeSystemProcessTable();
    std::size_t matches = FindPidsByName(*table, target, false).size();
    const double rescan = MedianMilliseconds(rounds, [&] {
        RescanTarget(*table, target, engine);
        testing::Recorder().TakeCalls();
    });
    int processes = 0;
    const double bare = MedianMilliseconds(rounds, [&] { processes = BareProcListing(); });
    const double links = MedianMilliseconds(rounds, [] { ReadEveryExeLink(); });
    std::printf("processes %d, matches %zu\n", processes, matches);
    std::printf("RescanTarget        median %.3f ms\n", rescan);
    std::printf("bare /proc listing  median %.3f ms  (ratio %.1f)\n", bare, rescan / bare);
    std::printf("listing + readlink of every exe  median %.3f ms  (ratio %.2f)\n", links,
                rescan / links);
    return 0;
}

int Idle(const Text& target, int seconds) {
    TestApplication();
    RecordedBoxes boxes;
    auto& library = testing::Recorder();
    library.Reset();
    library.SetResult("SunnyNetStart", 1);
    library.SetResult("OpenDrive", 1);
    library.SetResult("SetGlobalProxy", 1);
    library.SetPointerResult("SunnyNetInstallCert", std::string("already in store"));
    ProxyEngine engine(boxes);
    ConnectionOps connection(boxes);
    auto table = MakeSystemProcessTable();
    auto picker = MakeX11WindowPicker();
    ProgramState state;
    char dir[] = "/tmp/rescan_bench_XXXXXX";
    if (!mkdtemp(dir)) return 1;
    MainWindow window(MainWindowParts{
        engine, connection, boxes, *table, *picker, state, dir,
        [](NoticeRecord& record) { record.publishedVersion = "9.5"; },
        [](const Text&, UpdateWindow&) { return false; }, [] { return 23456; },
        [](const MessageBoxRequest&) {}});
    window.Load();
    window.show();
    if (target != "-") {
        window.findChild<QLineEdit*>(QString::fromUtf8("编辑框_进程名"))->setText(ToQString(target));
        window.findChild<QPushButton*>(QString::fromUtf8("按钮1"))->click();
    }
    library.TakeCalls();
    // The real message loop, as in the program: it sleeps between the timer's ticks.
    std::size_t calls = 0;
    QTimer drain;
    QObject::connect(&drain, &QTimer::timeout, [&] { calls += library.TakeCalls().size(); });
    drain.start(1000);
    QEventLoop loop;
    QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    QElapsedTimer clock;
    clock.start();
    const double cpuStart = CpuSeconds();
    loop.exec();
    calls += library.TakeCalls().size();
    const double cpu = CpuSeconds() - cpuStart;
    std::printf("idle %s: %.2f %% of one core over %d s (%zu engine calls)\n",
                target == "-" ? "before any start (100 ms ticks, no name)"
                              : "after start (500 ms re-scan)",
                100.0 * cpu / (clock.elapsed() / 1000.0), seconds, calls);
    window.close();
    std::system((std::string("rm -rf ") + dir).c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: rescan_bench scan|idle TARGET_NAME ROUNDS|SECONDS\n");
        return 2;
    }
    const std::string mode = argv[1];
    const Text target = TextFromPath(argv[2]);
    const int number = std::atoi(argv[3]);
    if (mode == "scan") return Scan(target, number);
    if (mode == "idle") return Idle(target, number);
    return 2;
}
