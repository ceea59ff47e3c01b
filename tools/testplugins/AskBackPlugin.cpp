// A test input plug-in that hands its ownership question on to in_hvqblend.dll of its own folder:
// its IsOurFile loads that library and answers what the library's IsOurFile answers, as a
// wrapper of another plug-in might. Built as in_askback.dll ("SYQ"); calls are logged through
// the TestPlugin_* exports.
#include "HostText.h"
#include "Introspection.h"
#include "hostlink/WinampApi.h"

#include <windows.h>

#include <string>

namespace {

using testplugin::Note;

HMODULE OwnLibrary() {
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&OwnLibrary), &self);
    return self;
}

// in_hvqblend.dll beside this library, loaded once and kept.
In_Module *Blend() {
    static In_Module *const record = [] {
        wchar_t path[MAX_PATH + 1] = {};
        GetModuleFileNameW(OwnLibrary(), path, MAX_PATH);
        std::wstring folder(path);
        folder.erase(folder.find_last_of(L'\\') + 1);
        const HMODULE library = LoadLibraryW((folder + L"in_hvqblend.dll").c_str());
        const auto get = library ? reinterpret_cast<WinampGetInModule2Fn>(reinterpret_cast<void *>(
                                       GetProcAddress(library, "winampGetInModule2")))
                                 : nullptr;
        return get ? get() : nullptr;
    }();
    return record;
}

void __cdecl Nothing() {}
void __cdecl NothingFor(HWND) {}

int __cdecl IsOurFile(const void *fn) {
    Note("IsOurFile", {plugkit::WideToUtf8(plugkit::NameFromHost(fn, true))});
    In_Module *blend = Blend();
    return blend && blend->IsOurFile ? blend->IsOurFile(fn) : 0;
}

int __cdecl Play(const void *) {
    Note("Play");
    return 1;
}

In_Module &Record() {
    static char description[] = "Halvern test plug-in in_askback";
    static char extensions[] = "SYQ\0Asks back (*.SYQ)\0";
    static In_Module record = [] {
        In_Module module{};
        module.version = hostapi::kInVersion | hostapi::kInUnicode;
        module.description = description;
        module.FileExtensions = extensions;
        module.UsesOutputPlug = hostapi::kUsesOutputPlugin;
        module.Config = &NothingFor;
        module.About = &NothingFor;
        module.Init = &Nothing;
        module.Quit = &Nothing;
        module.IsOurFile = &IsOurFile;
        module.Play = &Play;
        module.Stop = &Nothing;
        return module;
    }();
    return record;
}

} // namespace

extern "C" __declspec(dllexport) In_Module *winampGetInModule2() {
    return &Record();
}
