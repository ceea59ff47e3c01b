#include "FaultNet.h"

#include "OutputWav.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <vector>

namespace faultnet {

namespace fs = std::filesystem;

namespace {

// Written by the render's own thread only; a fault on any thread reads them once, to end.
std::string Activity = "starting";
std::vector<fs::path> Folders;
fs::path FinalOutput;
bool Written = false;
// The runs of one format an output may have written, each a file of its own.
constexpr int kMostRuns = 64;

std::string Describe(DWORD code) {
    switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
        return "an access violation";
    case EXCEPTION_STACK_OVERFLOW:
        return "a stack overflow";
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
        return "a division by zero";
    case EXCEPTION_ILLEGAL_INSTRUCTION:
        return "an illegal instruction";
    case 0xE06D7363:
        return "a C++ exception of another compiler's runtime";
    default: {
        char text[32];
        std::snprintf(text, sizeof text, "exception 0x%08lX", static_cast<unsigned long>(code));
        return text;
    }
    }
}

std::string Utf8(const std::wstring &text) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(std::max(n, 1)), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), n, nullptr, nullptr);
    out.resize(out.size() - 1);
    return out;
}

// The file name of the module the fault came from; empty for one of the system's own (where an
// exception raised on purpose comes from) or none at all.
std::string FaultingModule(void *address) {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCWSTR>(address), &module))
        return {};
    wchar_t path[MAX_PATH + 1] = {}, windows[MAX_PATH + 1] = {};
    GetModuleFileNameW(module, path, MAX_PATH);
    const UINT length = GetWindowsDirectoryW(windows, MAX_PATH);
    if (length > 0 && _wcsnicmp(path, windows, length) == 0)
        return {};
    return Utf8(fs::path(path).filename().wstring());
}

void CleanUp() {
    std::error_code ignored;
    for (int run = 0; !FinalOutput.empty() && run < kMostRuns; ++run)
        fs::remove(demo::OutputWav::PartPathFor(demo::OutputFiles::RunPath(FinalOutput, run)),
                   ignored);
    for (const fs::path &folder : Folders)
        fs::remove_all(folder, ignored);
}

LONG WINAPI OnUnhandledFault(EXCEPTION_POINTERS *fault) {
    const EXCEPTION_RECORD &record = *fault->ExceptionRecord;
    const std::string module = FaultingModule(record.ExceptionAddress);
    const std::string what = Describe(record.ExceptionCode);
    const std::string who =
        module.empty() ? "a fault (" + what + ")" : module + " faulted (" + what + ")";
    std::fflush(stdout);
    std::fprintf(stderr, "\nhvq_render: %s while %s: %s\n", who.c_str(), Activity.c_str(),
                 Written ? "the output files were written before it" : "nothing was written");
    std::fflush(stderr);
    CleanUp();
    TerminateProcess(GetCurrentProcess(), 1);
    return EXCEPTION_EXECUTE_HANDLER;
}

// The process a temporary folder named "<prefix><process id>-..." belongs to, when it is one of
// those.
std::optional<DWORD> OwnerProcess(const std::wstring &name) {
    for (const std::wstring prefix : {L"hvq-host-", L"hvq-render-"}) {
        if (name.rfind(prefix, 0) != 0)
            continue;
        const std::size_t digits = name.find_first_not_of(L"0123456789", prefix.size());
        if (digits == prefix.size() || digits == std::wstring::npos || name[digits] != L'-')
            return std::nullopt;
        return static_cast<DWORD>(std::stoul(name.substr(prefix.size(), digits - prefix.size())));
    }
    return std::nullopt;
}

bool Runs(DWORD process) {
    HANDLE handle = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process);
    if (!handle)
        return GetLastError() != ERROR_INVALID_PARAMETER;
    DWORD code = 0;
    const bool running = GetExitCodeProcess(handle, &code) && code == STILL_ACTIVE;
    CloseHandle(handle);
    return running;
}

void SweepLeftovers() {
    wchar_t temp[MAX_PATH + 1] = {};
    if (!GetTempPathW(MAX_PATH, temp))
        return;
    std::error_code ignored;
    for (const auto &entry : fs::directory_iterator(temp, ignored)) {
        const std::optional<DWORD> owner = OwnerProcess(entry.path().filename().wstring());
        if (owner && *owner != GetCurrentProcessId() && !Runs(*owner))
            fs::remove_all(entry.path(), ignored);
    }
}

} // namespace

void Install() {
    SetUnhandledExceptionFilter(&OnUnhandledFault);
    SweepLeftovers();
}

Doing::Doing(const std::string &what) : before_(Activity) {
    Activity = what;
}

Doing::~Doing() {
    Activity = before_;
}

void RemoveOnFault(const fs::path &folder) {
    Folders.push_back(folder);
}

void KeepOnFault(const fs::path &folder) {
    Folders.erase(std::remove(Folders.begin(), Folders.end(), folder), Folders.end());
}

void RemovePartsOnFault(const fs::path &finalOutput) {
    FinalOutput = finalOutput;
}

void OutputWritten() {
    Written = true;
}

} // namespace faultnet
