// The README's pictures of the plug-in's windows (docs/*.png) must show what a user sees. Each is
// kept with the description of the windows it was taken from (docs/*.layout: captions, sizes,
// places, texts and states of every control), written by `make shots` with the picture; the
// windows this build opens, described by the same programs, must still match it.
#include "RefHost.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

namespace fs = std::filesystem;

// The source tree's docs folder: under Wine the Unix path it was built from, as Wine names it.
fs::path DocsFolder() {
    const std::string unix = std::string(HVQ_SOURCE_DIR) + "/docs";
    using DosName = wchar_t *(__cdecl *)(const char *);
    const auto dosName = reinterpret_cast<DosName>(reinterpret_cast<void *>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
    if (wchar_t *dos = dosName ? dosName(unix.c_str()) : nullptr) {
        fs::path path(dos);
        HeapFree(GetProcessHeap(), 0, dos);
        return path;
    }
    return unix;
}

std::string ReadText(const fs::path &file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Runs a program of this build folder and waits for it; its exit code.
DWORD RunProgram(const std::wstring &program, const std::wstring &arguments) {
    std::wstring line =
        L"\"" + (refhost::RefHost::BuildFolder() / program).wstring() + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        return ~DWORD{0};
    WaitForSingleObject(process.hProcess, 60000);
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

struct Picture {
    const char *Name; // docs/<Name>.png and docs/<Name>.layout
    const wchar_t *Program;
    const wchar_t *Arguments; // before --layout FILE
};

const Picture kPictures[] = {
    {"config-dialog", L"hvq_configshot.exe", L""},
    {"transitions-dialog", L"hvq_configshot.exe", L"--more"},
    {"about-dialog", L"hvq_about.exe", L""},
};

TEST(Pictures, EachShowsTheWindowsThisBuildOpens) {
    const fs::path docs = DocsFolder();
    for (const Picture &picture : kPictures) {
        SCOPED_TRACE(picture.Name);
        const std::string name = picture.Name;
        const fs::path now =
            fs::temp_directory_path() /
            ("hvq-" + name + "-" + std::to_string(GetCurrentProcessId()) + ".layout");
        ASSERT_EQ(RunProgram(picture.Program, std::wstring(picture.Arguments) + L" --layout \"" +
                                                  now.wstring() + L"\""),
                  0u);
        const std::string taken = ReadText(docs / (name + ".layout"));
        const std::string opened = ReadText(now);
        fs::remove(now);
        ASSERT_FALSE(opened.empty());
        EXPECT_EQ(taken, opened) << "docs/" << name << ".png was taken of other windows than this "
                                 << "build opens: run make shots, and look at the new picture";
    }
}

} // namespace
