// What the hooked-in tests share: the test plug-ins' introspection exports, reached through a
// loaded instance, and the text conversions the tests use to predict what a plug-in was given.
#pragma once

#include "RefHost.h"
#include "hookedins/HookedInsUnit.h"
#include "support/Library.h"
#include "support/PluginProbe.h"

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

// Stand-ins for the host's members of an input plug-in's record: the plug-ins under test here
// never play, but the registry takes only records the host has filled.
namespace hostpart {
inline void __cdecl SAVSAInit(int, int) {}
inline void __cdecl SAVSADeInit() {}
inline void __cdecl SAAddPCMData(void *, int, int, int) {}
inline int __cdecl SAGetMode() {
    return 0;
}
inline int __cdecl SAAdd(void *, int, int) {
    return 0;
}
inline void __cdecl VSAAddPCMData(void *, int, int, int) {}
inline int __cdecl VSAGetMode(int *, int *) {
    return 0;
}
inline int __cdecl VSAAdd(void *, int) {
    return 0;
}
inline void __cdecl VSASetInfo(int, int) {}
inline int __cdecl DspIsActive() {
    return 0;
}
inline int __cdecl DspDoSamples(short *, int samples, int, int, int) {
    return samples;
}

inline void FillHostMembers(In_Module &module, HWND mainWindow) {
    module.hMainWindow = mainWindow;
    module.SAVSAInit = &SAVSAInit;
    module.SAVSADeInit = &SAVSADeInit;
    module.SAAddPCMData = &SAAddPCMData;
    module.SAGetMode = &SAGetMode;
    module.SAAdd = &SAAdd;
    module.VSAAddPCMData = &VSAAddPCMData;
    module.VSAGetMode = &VSAGetMode;
    module.VSAAdd = &VSAAdd;
    module.VSASetInfo = &VSASetInfo;
    module.dsp_isactive = &DspIsActive;
    module.dsp_dosamples = &DspDoSamples;
}
} // namespace hostpart

// A Plugins folder of our own (the reference host's, which is never started here) and a
// registry that takes it for the folder of our library. Scan first plays the host's part: it
// loads every IN_*.DLL of the folder but our own file, fills the records it accepts and calls
// their Init, as the player does at its start, before it asks us anything.
class Registry : public ::testing::Test {
  protected:
    std::filesystem::path Folder() const { return host.PluginsFolder(); }
    std::filesystem::path InFolder(const std::wstring &name) const { return Folder() / name; }
    std::string OwnFile() const { return ToAnsi(InFolder(L"in_hvqblend.dll").wstring()); }
    void Install(const std::wstring &built, const std::wstring &as = L"") {
        host.InstallPlugin(built, as);
    }
    THookedInPlugins &Scan(const std::string &ownFile = "") {
        HostLoads();
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

    // The host's start-up, once: each library that gives a record of a version the host takes is
    // kept, filled and initialised; the others are released again.
    // Copies of the product are left out: their Init would start a whole plug-in here.
    void HostLoads() {
        if (hostLoaded)
            return;
        hostLoaded = true;
        for (const auto &entry : std::filesystem::directory_iterator(Folder())) {
            std::wstring name = entry.path().filename().wstring();
            CharUpperBuffW(name.data(), static_cast<DWORD>(name.size()));
            if (name.rfind(L"IN_", 0) != 0 || name.size() < 8 ||
                name.compare(name.size() - 4, 4, L".DLL") != 0)
                continue;
            auto library = std::make_unique<HeldLibrary>(entry.path());
            if (library->Symbol("_HookedInPlugins"))
                continue;
            In_Module *module = library->Handle() ? library->Module() : nullptr;
            const int type = module ? (module->version & ~hostapi::kInUnicode) : 0;
            if (type != 0x100 && type != 0x101)
                continue;
            hostpart::FillHostMembers(*module, host.MainWindow());
            module->hDllInstance = library->Handle();
            if (module->Init)
                module->Init();
            if (library->Symbol("TestPlugin_ClearLog"))
                TestPluginProbe(library->Handle()).ClearLog();
            hostsLibraries.push_back(std::move(library));
        }
    }
    // The host quits and releases its plug-ins after the registry has gone.
    void TearDown() override {
        registry.reset();
        for (const auto &library : hostsLibraries) {
            if (In_Module *module = library->Module(); module && module->Quit)
                module->Quit();
        }
        hostsLibraries.clear();
    }

    refhost::RefHost host;
    std::vector<std::unique_ptr<HeldLibrary>> hostsLibraries;
    bool hostLoaded = false;
    std::unique_ptr<THookedInPlugins> registry;
};

} // namespace hookedins_test
