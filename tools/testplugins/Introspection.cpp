#include "Introspection.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>

namespace testplugin {

namespace {

// The log stops growing here; its reported length stays true.
constexpr std::size_t kLogCap = 8u << 20;

struct State {
    std::mutex lock;
    std::map<std::string, int> counts;
    std::string log;
    std::size_t logLength = 0;
    std::map<std::string, int> knobs;
    int openReads = 0;
    int totalOpens = 0;
    int totalCloses = 0;
    int badCloses = 0;
    int wishes[3] = {};
};

State &Shared() {
    static State state;
    return state;
}

} // namespace

void Note(const char *name, std::initializer_list<std::string> args) {
    std::string line = name;
    line += '(';
    bool first = true;
    for (const std::string &arg : args) {
        if (!first)
            line += ',';
        line += arg;
        first = false;
    }
    line += ")\n";
    State &state = Shared();
    std::lock_guard guard(state.lock);
    ++state.counts[name];
    state.logLength += line.size();
    if (state.log.size() + line.size() <= kLogCap)
        state.log += line;
}

int Knob(const char *name) {
    State &state = Shared();
    std::lock_guard guard(state.lock);
    const auto found = state.knobs.find(name);
    return found == state.knobs.end() ? 0 : found->second;
}

void NoteWishes(int bps, int nch, int srate) {
    State &state = Shared();
    std::lock_guard guard(state.lock);
    state.wishes[0] = bps;
    state.wishes[1] = nch;
    state.wishes[2] = srate;
}

void NoteReadOpened() {
    State &state = Shared();
    std::lock_guard guard(state.lock);
    ++state.openReads;
    ++state.totalOpens;
}

int OpenReadCount() {
    State &state = Shared();
    std::lock_guard guard(state.lock);
    return state.openReads;
}

void NoteReadClosed(bool wasOpen) {
    State &state = Shared();
    std::lock_guard guard(state.lock);
    if (wasOpen) {
        --state.openReads;
        ++state.totalCloses;
    } else {
        ++state.badCloses;
    }
}

} // namespace testplugin

using testplugin::Shared;

extern "C" {

__declspec(dllexport) int TestPlugin_Count(const char *name) {
    if (!name)
        return 0;
    auto &state = Shared();
    std::lock_guard guard(state.lock);
    const auto found = state.counts.find(name);
    return found == state.counts.end() ? 0 : found->second;
}

// Copies as much of the log as fits (terminated) and answers its full length.
__declspec(dllexport) int TestPlugin_Log(char *buffer, int size) {
    auto &state = Shared();
    std::lock_guard guard(state.lock);
    if (buffer && size > 0) {
        const std::size_t n = std::min(state.log.size(), static_cast<std::size_t>(size - 1));
        std::memcpy(buffer, state.log.data(), n);
        buffer[n] = '\0';
    }
    return static_cast<int>(state.logLength);
}

// Forgets the calls; the handle bookkeeping and the knobs stay.
__declspec(dllexport) void TestPlugin_ClearLog() {
    auto &state = Shared();
    std::lock_guard guard(state.lock);
    state.counts.clear();
    state.log.clear();
    state.logLength = 0;
}

__declspec(dllexport) int TestPlugin_OpenReads() {
    return testplugin::OpenReadCount();
}

__declspec(dllexport) int TestPlugin_TotalOpens() {
    auto &state = Shared();
    std::lock_guard guard(state.lock);
    return state.totalOpens;
}

__declspec(dllexport) int TestPlugin_TotalCloses() {
    auto &state = Shared();
    std::lock_guard guard(state.lock);
    return state.totalCloses;
}

__declspec(dllexport) int TestPlugin_BadCloses() {
    auto &state = Shared();
    std::lock_guard guard(state.lock);
    return state.badCloses;
}

__declspec(dllexport) void TestPlugin_LastWishes(int *bps, int *nch, int *srate) {
    auto &state = Shared();
    std::lock_guard guard(state.lock);
    if (bps)
        *bps = state.wishes[0];
    if (nch)
        *nch = state.wishes[1];
    if (srate)
        *srate = state.wishes[2];
}

__declspec(dllexport) void TestPlugin_Set(const char *knob, int value) {
    if (!knob)
        return;
    auto &state = Shared();
    std::lock_guard guard(state.lock);
    state.knobs[knob] = value;
}

} // extern "C"
