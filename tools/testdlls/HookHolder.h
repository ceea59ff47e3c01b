// The exports of the hook holder (HookHolder.cpp), linked into a test build of the plug-in: a
// test names a hook point (see src/hostlink/TestHooks.h) and how long the next thread to reach
// it is held there.
#pragma once

extern "C" {
// The next thread to reach the point waits there for milliseconds before it goes on.
__declspec(dllexport) void __cdecl HvqTest_HoldAt(const char *point, int milliseconds);
// How many times a thread was held at the point since the last HoldAt of it.
__declspec(dllexport) int __cdecl HvqTest_TimesHeld(const char *point);
}

using HvqTestHoldAtFn = void(__cdecl *)(const char *, int);
using HvqTestTimesHeldFn = int(__cdecl *)(const char *);
