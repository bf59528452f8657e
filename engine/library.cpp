#include "engine/library.h"

#include <dlfcn.h>

#include <system_error>

namespace varnelo {

std::filesystem::path ProgramDirectory() {
    std::error_code error;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return {};
    return exe.parent_path();
}

Library::Library(std::filesystem::path path) : path_(std::move(path)) {}

Library::~Library() {
    if (handle_ != nullptr) dlclose(handle_);
}

Library& Library::Program() {
    // Deliberately never destroyed: the engine context is released by objects whose destructors
    // may run after static destruction has begun (the program's exit handler).
    static Library* program = new Library(ProgramDirectory() / kLibraryFileName);
    return *program;
}

const LibraryExports& Library::Exports() {
    std::call_once(once_, [this] { Load(); });
    return exports_;
}

bool Library::Loaded() {
    Exports();
    return handle_ != nullptr;
}

Text Library::Problem() {
    Exports();
    return handle_ == nullptr ? loadError_ : missing_;
}

void Library::Load() {
    // RTLD_LOCAL keeps the library's names out of the program's namespace; RTLD_NOW finds a broken
    // library here rather than at some later call.
    handle_ = dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* reason = dlerror();
        loadError_ = "无法加载引擎库 "_cp936 + TextFromPath(path_.string()) + ": " +
                     Utf8ToCp936(reason != nullptr ? reason : "");
        return;
    }
#define VARNELO_LOOK_UP(name, type)                                                    \
    exports_.name = reinterpret_cast<std::add_pointer_t<type>>(dlsym(handle_, #name)); \
    if (exports_.name == nullptr) missing_ += (missing_.empty() ? "" : " ") + Text(#name);
    VARNELO_SUNNYNET_EXPORTS(VARNELO_LOOK_UP)
#undef VARNELO_LOOK_UP
    if (!missing_.empty()) {
        missing_ =
            "引擎库 "_cp936 + TextFromPath(path_.string()) + " 缺少导出函数: "_cp936 + missing_;
    }
}

}  // namespace varnelo
