// A library the test loads itself, outside any host: one load reference of its own, released
// when the object goes (or earlier, by Release).
#pragma once

#include "RefHost.h"

#include <filesystem>

namespace support {

class Library {
public:
    explicit Library(const std::filesystem::path &file) : handle_(LoadLibraryW(file.c_str())) {}
    // A DLL of the build, beside the test program.
    explicit Library(const wchar_t *builtName)
        : Library(refhost::RefHost::BuildFolder() / builtName) {}
    ~Library() { Release(); }
    Library(const Library &) = delete;
    Library &operator=(const Library &) = delete;

    HMODULE Handle() const { return handle_; }
    void *Symbol(const char *name) const {
        return reinterpret_cast<void *>(GetProcAddress(handle_, name));
    }
    template <class F>
    F Get(const char *name) const {
        return reinterpret_cast<F>(Symbol(name));
    }
    In_Module *Module() const {
        auto get = Get<WinampGetInModule2Fn>("winampGetInModule2");
        return get ? get() : nullptr;
    }
    void Release() {
        if (handle_)
            FreeLibrary(handle_);
        handle_ = nullptr;
    }

private:
    HMODULE handle_;
};

} // namespace support
