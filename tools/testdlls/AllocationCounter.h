// The two exports of the counting operator new (AllocationCounter.cpp): linked into a build of
// the plug-in, and into the allocation test program itself for the mixer's own checks.
#pragma once

extern "C" {
// Counts from now on the calling thread only (the thread of an earlier call no longer counts).
__declspec(dllexport) void __cdecl HvqTest_CountAllocationsOnThisThread();
// Allocations counted so far, on whichever thread was chosen at the time.
__declspec(dllexport) long __cdecl HvqTest_CountedAllocations();
}

using HvqTestCountAllocationsOnThisThreadFn = void(__cdecl *)();
using HvqTestCountedAllocationsFn = long(__cdecl *)();
