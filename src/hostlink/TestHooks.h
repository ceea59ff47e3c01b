// Points in the plug-in where a build made for tests can hold a thread for a moment, so that a
// test makes every time the timing a fault needs (another thread's call landing right there).
// The plug-in itself holds nothing: its HvqHookPoint returns at once (TestHooks.cpp); the test
// build links tools/testdlls/HookHolder.cpp, whose HvqHookPoint takes its place.
#pragma once

extern "C" void HvqHookPoint(const char *point);
