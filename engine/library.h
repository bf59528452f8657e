// The loader of the interception library: the file SunnyNet.dll (an ELF shared object) in the
// program's directory, opened with dlopen by its absolute path at first use, each export looked up
// by name once. A missing export, or a file that cannot be loaded at all, never crashes a caller:
// the export's pointer stays null and Call() answers zero, null or does nothing. Problem() says why
// the library is not usable, so that the engine's start failure can show it.
#pragma once

#include <filesystem>
#include <mutex>
#include <string>
#include <type_traits>
#include <utility>

#include "engine/library_exports.h"
#include "platform/text.h"

namespace varnelo {

// The directory that holds the running program's executable (of /proc/self/exe). Empty when it
// cannot be read.
std::filesystem::path ProgramDirectory();

// The library's file name in the program's directory.
inline constexpr const char* kLibraryFileName = "SunnyNet.dll";

// Every export's pointer, null when the library lacks it or could not be loaded.
struct LibraryExports {
#define VARNELO_EXPORT_POINTER(name, type) std::add_pointer_t<type> name = nullptr;
    VARNELO_SUNNYNET_EXPORTS(VARNELO_EXPORT_POINTER)
#undef VARNELO_EXPORT_POINTER
};

class Library {
  public:
    // A library at an absolute path; nothing is loaded before the first use.
    explicit Library(std::filesystem::path path);
    // Unloads what this object loaded. The program's own library (Program()) is never unloaded.
    ~Library();
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    // The program's library, ProgramDirectory() / "SunnyNet.dll", shared by the whole process.
    static Library& Program();

    // Loads the file (once; later calls return the same table) and looks up every export by
    // name. Safe to call from several threads.
    const LibraryExports& Exports();

    // True when the file was loaded (some exports may still be missing).
    bool Loaded();

    // Empty when the file is loaded and has every export; otherwise a text (code page 936) that
    // says why not: the loader's own error text, or the names of the missing exports.
    Text Problem();

    const std::filesystem::path& Path() const { return path_; }

    // Calls an export through its pointer in Exports(); a missing export gives a value-initialised
    // result (0 or null) or, for an export without result, does nothing.
    template <auto Member, typename... Args>
    auto Call(Args&&... args) {
        auto* function = Exports().*Member;
        using Result = decltype(function(std::forward<Args>(args)...));
        if (function == nullptr) return Result();
        return function(std::forward<Args>(args)...);
    }

  private:
    void Load();

    std::filesystem::path path_;
    std::once_flag once_;
    void* handle_ = nullptr;
    LibraryExports exports_;
    Text loadError_;
    Text missing_;
};

// Shorthand for Library::Call: VARNELO_CALL(library, SunnyNetStart, contextId).
#define VARNELO_CALL(library, name, ...) \
    (library).Call<&::varnelo::LibraryExports::name>(__VA_ARGS__)

}  // namespace varnelo
