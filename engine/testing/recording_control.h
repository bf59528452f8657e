// Test side of the recording stand-in of SunnyNet.dll (CMake target recording_sunnynet, built as
// <build>/testbin/SunnyNet.dll). A test binary placed in the same directory loads it through the
// real loader (Library::Program()) and reads and scripts it through RecordingState:
//
//   #include "engine/testing/recording_control.h"
//   auto& library = varnelo::testing::Recorder();  // the same loaded copy the loader uses
//   library.Reset();
//   library.SetResult("SunnyNetStart", 1);                      // every later call answers 1
//   library.SetPointerResult("SunnyNetError", "port in use");  // each call hands out a new copy
//   ... run the code under test ...
//   EXPECT_EQ(library.TakeCalls(), (std::vector<std::string>{"SunnyNetStart(7)"}));
//   EXPECT_TRUE(library.EveryPointerFreedOnce());
//
// Each call is recorded as one line, name(arguments) with ", " between arguments:
// - integers in decimal (32-bit words of a 64-bit value as unsigned decimals);
// - texts as "..." with bytes outside printable ASCII (and " and \) written \xHH, null as null;
// - byte blocks as bytes"..." holding exactly `count` bytes (escaped the same way), a null pointer
// as
//   null; the count follows as its own integer argument;
// - routine addresses as PointerText(address) (0 for none).
// Free is not recorded as a call: it is counted per pointer (FreeCount) and kept apart for pointers
// never handed out or null (StrayFrees). Memory handed out stays valid until Reset(), so that an
// address is never reused within one test. Scripted results are sticky per export name until
// Reset(); an unscripted export answers 0 or null. BytesToInt decodes a little-endian 64-bit
// length and answers its low 32 bits (and is recorded).
//
// Link the test with the CMake target recording_sunnynet_control (header only, adds libdl) and put
// the test binary into ${VARNELO_TESTBIN_DIR} with add_dependencies(<test> recording_sunnynet).
#pragma once

#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace varnelo::testing {

// How routine addresses appear in the recorded calls.
inline std::string PointerText(const void* address) {
    if (address == nullptr) return "0";
    char text[32];
    std::snprintf(text, sizeof text, "%p", address);
    return text;
}

template <typename Function>
std::string PointerText(Function* function) {
    return PointerText(reinterpret_cast<const void*>(function));
}

// Bytes as the recorded calls show them (without the quotes).
inline std::string EscapedBytes(const void* data, std::size_t count) {
    std::string out;
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned char byte = bytes[i];
        if (byte >= 0x20 && byte < 0x7f && byte != '"' && byte != '\\') {
            out += static_cast<char>(byte);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", byte);
            out += hex;
        }
    }
    return out;
}

class RecordingState {
  public:
    ~RecordingState() { Reset(); }

    // Returns the calls recorded since the last TakeCalls() or Reset(), and forgets them.
    std::vector<std::string> TakeCalls() {
        std::lock_guard lock(mutex_);
        return std::exchange(calls_, {});
    }

    // Every later call of the export answers result.
    void SetResult(std::string_view exportName, int result) {
        std::lock_guard lock(mutex_);
        results_[std::string(exportName)] = result;
    }

    // Every later call of the export hands out a new allocation holding these bytes followed by a
    // zero byte; std::nullopt makes it answer null.
    void SetPointerResult(std::string_view exportName, std::optional<std::string> bytes) {
        std::lock_guard lock(mutex_);
        pointerResults_[std::string(exportName)] = std::move(bytes);
    }

    // The pointers handed out since the last Reset(), in order.
    std::vector<const void*> HandedOut() {
        std::lock_guard lock(mutex_);
        return handedOut_;
    }

    int FreeCount(const void* pointer) {
        std::lock_guard lock(mutex_);
        auto found = freeCounts_.find(pointer);
        return found == freeCounts_.end() ? 0 : found->second;
    }

    // Free calls with null or with a pointer that was never handed out.
    int StrayFrees() {
        std::lock_guard lock(mutex_);
        return strayFrees_;
    }

    // True when every pointer handed out was freed exactly once and no stray Free happened.
    bool EveryPointerFreedOnce() {
        std::lock_guard lock(mutex_);
        for (const auto& [pointer, count] : freeCounts_) {
            if (count != 1) return false;
        }
        return strayFrees_ == 0;
    }

    // Forgets calls, scripts and counts, and releases everything handed out.
    void Reset() {
        std::lock_guard lock(mutex_);
        calls_.clear();
        results_.clear();
        pointerResults_.clear();
        for (const void* pointer : handedOut_) std::free(const_cast<void*>(pointer));
        handedOut_.clear();
        freeCounts_.clear();
        strayFrees_ = 0;
    }

    // Library side.
    void Record(std::string call) {
        std::lock_guard lock(mutex_);
        calls_.push_back(std::move(call));
    }
    int Result(std::string_view exportName) {
        std::lock_guard lock(mutex_);
        auto found = results_.find(std::string(exportName));
        return found == results_.end() ? 0 : found->second;
    }
    char* HandOut(std::string_view exportName) {
        std::lock_guard lock(mutex_);
        auto found = pointerResults_.find(std::string(exportName));
        if (found == pointerResults_.end() || !found->second) return nullptr;
        const std::string& bytes = *found->second;
        auto* copy = static_cast<char*>(std::malloc(bytes.size() + 1));
        std::memcpy(copy, bytes.data(), bytes.size());
        copy[bytes.size()] = '\0';
        handedOut_.push_back(copy);
        freeCounts_[copy] = 0;
        return copy;
    }
    void CountFree(const void* pointer) {
        std::lock_guard lock(mutex_);
        auto found = freeCounts_.find(pointer);
        if (found == freeCounts_.end()) {
            ++strayFrees_;
        } else {
            ++found->second;
        }
    }

  private:
    std::mutex mutex_;
    std::vector<std::string> calls_;
    std::map<std::string, int> results_;
    std::map<std::string, std::optional<std::string>> pointerResults_;
    std::vector<const void*> handedOut_;
    std::map<const void*, int> freeCounts_;
    int strayFrees_ = 0;
};

// The state of the recording library beside this test binary (loading it if the loader has not
// yet done so; either way there is one copy in the process). Aborts when it cannot be found: the
// test cannot run without it.
inline RecordingState& Recorder() {
    static RecordingState* state = [] {
        const auto path =
            std::filesystem::read_symlink("/proc/self/exe").parent_path() / "SunnyNet.dll";
        void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        void* entry = handle != nullptr ? dlsym(handle, "VarneloRecordingState") : nullptr;
        if (entry == nullptr) {
            std::fprintf(stderr, "no recording library at %s\n", path.c_str());
            std::abort();
        }
        return reinterpret_cast<RecordingState* (*)()>(entry)();
    }();
    return *state;
}

}  // namespace varnelo::testing
