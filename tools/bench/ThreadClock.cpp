#include "ThreadClock.h"

#include <cstdlib>
#include <map>
#include <vector>

namespace bench {

namespace {

const std::string kProc = "Z:\\proc\\";

std::string ReadWholeFile(const std::string &path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return {};
    std::string text;
    char chunk[65536];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0)
        text.append(chunk, got);
    CloseHandle(file);
    return text;
}

// The numeric entries of a /proc folder.
std::vector<std::string> NumberedEntries(const std::string &folder) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do {
        if (found.cFileName[0] >= '0' && found.cFileName[0] <= '9')
            names.emplace_back(found.cFileName);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return names;
}

std::string Narrow(const std::wstring &text) {
    std::string narrow;
    for (wchar_t c : text)
        narrow += c < 128 ? static_cast<char>(c) : '?';
    return narrow;
}

// This process's /proc folder: the one whose memory map holds the marker.
std::string OwnProcFolder(const std::wstring &marker) {
    const std::string wanted = Narrow(marker);
    if (wanted.empty())
        return {};
    for (const std::string &pid : NumberedEntries(kProc)) {
        const std::string folder = kProc + pid + "\\";
        if (ReadWholeFile(folder + "cmdline").find(".exe") == std::string::npos)
            continue; // not a Windows program
        if (ReadWholeFile(folder + "maps").find(wanted) != std::string::npos)
            return folder;
    }
    return {};
}

// Nanoseconds a task has run, from the first field of its schedstat; -1 when unreadable.
double TaskRunNs(const std::string &taskFolder) {
    const std::string text = ReadWholeFile(taskFolder + "schedstat");
    return text.empty() ? -1.0 : std::strtod(text.c_str(), nullptr);
}

} // namespace

ThreadClock::ThreadClock(HANDLE thread, const std::wstring &marker, int sampleMs)
    : thread_(thread) {
    const std::string process = OwnProcFolder(marker);
    if (process.empty())
        return;
    const std::string tasks = process + "task\\";
    const std::string first = process.substr(kProc.size(), process.size() - kProc.size() - 1);
    std::map<std::string, double> before;
    for (const std::string &tid : NumberedEntries(tasks)) {
        if (tid != first)
            before[tid] = TaskRunNs(tasks + tid + "\\");
    }
    Sleep(static_cast<DWORD>(sampleMs));
    double busiest = 0.0;
    for (const auto &[tid, ran] : before) {
        const double grown = TaskRunNs(tasks + tid + "\\") - ran;
        if (ran >= 0.0 && grown > busiest) {
            busiest = grown;
            taskFolder_ = tasks + tid + "\\";
        }
    }
}

double ThreadClock::CpuMs() const {
    if (!taskFolder_.empty()) {
        const double ns = TaskRunNs(taskFolder_);
        if (ns >= 0.0)
            return ns / 1e6;
    }
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(thread_, &created, &exited, &kernel, &user))
        return 0.0;
    const auto ms = [](const FILETIME &time) {
        return static_cast<double>(static_cast<ULONGLONG>(time.dwHighDateTime) << 32 |
                                   time.dwLowDateTime) /
               1e4;
    };
    return ms(kernel) + ms(user);
}

} // namespace bench
