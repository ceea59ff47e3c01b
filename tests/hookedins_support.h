// What the hooked-in tests share: the test plug-ins' introspection exports, reached through a
// loaded instance, and the text conversions the tests use to predict what a plug-in was given.
#pragma once

#include "RefHost.h"
#include "hookedins/HookedInsUnit.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace hookedins_test {

// The TestPlugin_* exports of one loaded test plug-in.
class TestPluginProbe {
public:
    explicit TestPluginProbe(HMODULE library) : library_(library) {}
    int Count(const char *name) const {
        return Call<int (*)(const char *)>("TestPlugin_Count")(name);
    }
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
    template <class F> F Call(const char *name) const {
        auto function =
            reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(library_, name)));
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

// A library loaded by the test itself: one more reference, as the host holds one.
class HeldLibrary {
public:
    explicit HeldLibrary(const std::filesystem::path &file) : handle_(LoadLibraryW(file.c_str())) {}
    ~HeldLibrary() { Release(); }
    HeldLibrary(const HeldLibrary &) = delete;
    HeldLibrary &operator=(const HeldLibrary &) = delete;
    HMODULE Handle() const { return handle_; }
    In_Module *Module() const {
        auto get = reinterpret_cast<WinampGetInModule2Fn>(
            reinterpret_cast<void *>(GetProcAddress(handle_, "winampGetInModule2")));
        return get ? get() : nullptr;
    }
    TestPluginProbe Probe() const { return TestPluginProbe(handle_); }
    void Release() {
        if (handle_)
            FreeLibrary(handle_);
        handle_ = nullptr;
    }

private:
    HMODULE handle_;
};

// A Plugins folder of our own (the reference host's, which is never started here) and a
// registry that takes it for the folder of our library.
class Registry : public ::testing::Test {
protected:
    std::filesystem::path Folder() const { return host.PluginsFolder(); }
    std::filesystem::path InFolder(const std::wstring &name) const { return Folder() / name; }
    std::string OwnFile() const { return ToAnsi(InFolder(L"in_hvqblend.dll").wstring()); }
    void Install(const std::wstring &built, const std::wstring &as = L"") {
        host.InstallPlugin(built, as);
    }
    THookedInPlugins &Scan(const std::string &ownFile = "") {
        registry = std::make_unique<THookedInPlugins>(ownFile.empty() ? OwnFile() : ownFile);
        EXPECT_TRUE(registry->LoadAll());
        return *registry;
    }
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto &plugin : registry->Plugins)
            names.push_back(plugin->Name);
        return names;
    }
    THookedInPlugin &Hooked(const std::string &name) {
        for (const auto &plugin : registry->Plugins) {
            if (plugin->Name == name)
                return *plugin;
        }
        throw std::runtime_error("not hooked in: " + name);
    }
    TestPluginProbe Probe(const std::string &name) {
        return TestPluginProbe(Hooked(name).Library.Handle());
    }
    THookedInPlugin *Find(const std::wstring &fileName) {
        return registry->FindForFile(fileName.c_str());
    }
    std::string OwnerOf(const std::wstring &fileName) {
        THookedInPlugin *owner = Find(fileName);
        return owner ? owner->Name : "(none)";
    }

    refhost::RefHost host;
    std::unique_ptr<THookedInPlugins> registry;
};

} // namespace hookedins_test
