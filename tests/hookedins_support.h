// What the hooked-in tests share: the test plug-ins' introspection exports, reached through a
// loaded instance, and the text conversions the tests use to predict what a plug-in was given.
#pragma once

#include "RefHost.h"
#include "support/Library.h"
#include "support/PluginProbe.h"
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
using TestPluginProbe = support::PluginProbe;

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
using HeldLibrary = support::Library;

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
