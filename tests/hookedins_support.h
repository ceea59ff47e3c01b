// What the hooked-in tests share: the test plug-ins' introspection exports, reached through a
// loaded instance, and the text conversions the tests use to predict what a plug-in was given.
#pragma once

#include <windows.h>

#include <filesystem>
#include <string>

namespace hookedins_test {

// The TestPlugin_* exports of one loaded test plug-in.
class TestPluginProbe {
public:
    explicit TestPluginProbe(HMODULE library) : library_(library) {}
    int Count(const char *name) const { return Call<int (*)(const char *)>("TestPlugin_Count")(name); }
    std::string Log() const {
        auto log = Call<int (*)(char *, int)>("TestPlugin_Log");
        std::string text(static_cast<std::size_t>(log(nullptr, 0)) + 1, '\0');
        text.resize(static_cast<std::size_t>(log(text.data(), static_cast<int>(text.size()))));
        return text;
    }
    void ClearLog() const { Call<void (*)()>("TestPlugin_ClearLog")(); }
    void Set(const char *knob, int value) const {
        Call<void (*)(const char *, int)>("TestPlugin_Set")(knob, value);
    }

private:
    template <class F>
    F Call(const char *name) const {
        auto function = reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(library_, name)));
        if (!function)
            throw std::runtime_error(std::string("no export ") + name);
        return function;
    }
    HMODULE library_;
};

inline std::string ToAnsi(const std::wstring &text) {
    const int n = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, out.data(), n, nullptr, nullptr);
    out.resize(static_cast<std::size_t>(n > 0 ? n - 1 : 0));
    return out;
}

inline std::string ToUtf8(const std::wstring &text) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), n, nullptr, nullptr);
    out.resize(static_cast<std::size_t>(n > 0 ? n - 1 : 0));
    return out;
}

// Whether a library of that full path is loaded in this process now.
inline bool IsLoaded(const std::filesystem::path &file) {
    return GetModuleHandleW(file.c_str()) != nullptr;
}

} // namespace hookedins_test
