#include "HookHolder.h"

#include <windows.h>

#include <map>
#include <utility>
#include <mutex>
#include <string>

namespace {

struct TPoint {
    int HoldMs = -1; // armed for the next thread; -1 when not
    int TimesHeld = 0;
};

std::mutex &Lock() {
    static std::mutex lock;
    return lock;
}

std::map<std::string, TPoint> &Points() {
    static std::map<std::string, TPoint> points;
    return points;
}

} // namespace

extern "C" void HvqHookPoint(const char *point) {
    int holdMs = -1;
    {
        std::lock_guard guard(Lock());
        const auto found = Points().find(point);
        if (found == Points().end() || found->second.HoldMs < 0)
            return;
        holdMs = std::exchange(found->second.HoldMs, -1);
        ++found->second.TimesHeld;
    }
    Sleep(static_cast<DWORD>(holdMs));
}

extern "C" void __cdecl HvqTest_HoldAt(const char *point, int milliseconds) {
    std::lock_guard guard(Lock());
    Points()[point] = {milliseconds, 0};
}

extern "C" int __cdecl HvqTest_TimesHeld(const char *point) {
    std::lock_guard guard(Lock());
    const auto found = Points().find(point);
    return found == Points().end() ? 0 : found->second.TimesHeld;
}
