// The fault guard against real faults of this process's own making: access violations, other
// structured exceptions, nesting, threads, and C++ exceptions that must pass through untouched.
#include "hostlink/FaultGuard.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

// The compiler can neither see that these are null or zero nor drop the reads: the faults are
// real.
volatile int *volatile NullPointer = nullptr;
volatile int Zero = 0;
volatile int Sink = 0;

__attribute__((noinline)) int ReadThroughNull() {
    Sink = *NullPointer;
    return Sink;
}

__attribute__((noinline)) int DivideByZero(int value) {
    Sink = value / Zero;
    return Sink;
}

void *ChainHead() {
    void *head;
    asm volatile("movl %%fs:0, %0" : "=r"(head));
    return head;
}

void SetChainHead(void *head) {
    asm volatile("movl %0, %%fs:0" : : "r"(head) : "memory");
}

// A frame as foreign code pushes one (a compiler's __try or C++ clean-up): it notes what it is
// asked and handles nothing.
std::vector<std::string> ForeignHandlerCalls;

EXCEPTION_DISPOSITION __cdecl ForeignHandler(EXCEPTION_RECORD *record, void *, CONTEXT *, void *) {
    ForeignHandlerCalls.push_back(record->ExceptionFlags & EXCEPTION_UNWINDING ? "unwind"
                                                                               : "exception");
    return ExceptionContinueSearch;
}

__attribute__((noinline)) void FaultUnderAForeignFrame() {
    struct {
        void *Next;
        void *Handler;
    } frame{ChainHead(), reinterpret_cast<void *>(&ForeignHandler)};
    SetChainHead(&frame);
    ReadThroughNull();
    SetChainHead(frame.Next);
}

TEST(FaultGuard, TurnsAnAccessViolationIntoFalseKeepingWhatWasWrittenBefore) {
    void *const head = ChainHead();
    int before = 0, after = 0;
    EXPECT_FALSE(CallGuarded([&] {
        before = 1;
        after = ReadThroughNull();
        after = 2;
    }));
    EXPECT_EQ(before, 1);
    EXPECT_EQ(after, 0);
    EXPECT_EQ(ChainHead(), head);
    // The thread goes on as before: another guarded call, and another fault, behave the same.
    EXPECT_TRUE(CallGuarded([] {}));
    EXPECT_FALSE(CallGuarded([] { ReadThroughNull(); }));
    EXPECT_EQ(ChainHead(), head);
}

TEST(FaultGuard, CatchesOtherStructuredExceptionsToo) {
    EXPECT_FALSE(CallGuarded([] { DivideByZero(7); }));
    // An MSVC-built plug-in's uncaught C++ exception arrives as this code.
    EXPECT_FALSE(
        CallGuarded([] { RaiseException(0xE06D7363, EXCEPTION_NONCONTINUABLE, 0, nullptr); }));
    EXPECT_FALSE(CallGuarded([] { RaiseException(0x20474F4F, 0, 0, nullptr); }));
}

TEST(FaultGuard, AsksTheForeignCodesOwnFramesFirstAndLetsThemCleanUp) {
    void *const head = ChainHead();
    ForeignHandlerCalls.clear();
    EXPECT_FALSE(CallGuarded([] { FaultUnderAForeignFrame(); }));
    EXPECT_EQ(ForeignHandlerCalls, (std::vector<std::string>{"exception", "unwind"}));
    EXPECT_EQ(ChainHead(), head);
}

TEST(FaultGuard, TheInnermostGuardCatchesAndTheOuterGoesOn) {
    void *const head = ChainHead();
    std::vector<int> steps;
    const bool outer = CallGuarded([&] {
        steps.push_back(1);
        const bool inner = CallGuarded([&] {
            steps.push_back(2);
            ReadThroughNull();
            steps.push_back(99);
        });
        steps.push_back(inner ? 98 : 3);
    });
    EXPECT_TRUE(outer);
    EXPECT_EQ(steps, (std::vector<int>{1, 2, 3}));

    // A fault in the outer body after an inner guard returned reaches the outer guard.
    steps.clear();
    EXPECT_FALSE(CallGuarded([&] {
        EXPECT_TRUE(CallGuarded([&] { steps.push_back(1); }));
        ReadThroughNull();
        steps.push_back(99);
    }));
    EXPECT_EQ(steps, (std::vector<int>{1}));
    EXPECT_EQ(ChainHead(), head);
}

TEST(FaultGuard, LetsOurOwnCppExceptionsPassAndStillLeavesTheChainAsItWas) {
    void *const head = ChainHead();
    EXPECT_THROW(CallGuarded([] { throw std::runtime_error("ours"); }), std::runtime_error);
    EXPECT_EQ(ChainHead(), head);
    EXPECT_FALSE(CallGuarded([] { ReadThroughNull(); }));
}

TEST(FaultGuard, ThreadsFaultingAtOnceEachCatchTheirOwn) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 300;
    std::atomic<int> caught{0}, clean{0}, chainsKept{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            void *const head = ChainHead();
            for (int round = 0; round < kRounds; ++round) {
                // Every thread mixes clean calls with faults, so frames of both kinds overlap.
                if ((round + t) % 3 == 0)
                    clean += CallGuarded([] { Sleep(0); }) ? 1 : 0;
                else
                    caught += CallGuarded([] { ReadThroughNull(); }) ? 0 : 1;
            }
            if (ChainHead() == head)
                ++chainsKept;
        });
    }
    for (auto &thread : threads)
        thread.join();
    EXPECT_EQ(caught + clean, kThreads * kRounds);
    EXPECT_GT(caught, kThreads * kRounds / 2);
    EXPECT_EQ(chainsKept, kThreads);
}

// The system's last word on an exception nobody handled: end the process with its code (instead
// of starting a debugger).
LONG WINAPI EndWithExceptionCode(EXCEPTION_POINTERS *exception) {
    TerminateProcess(GetCurrentProcess(), exception->ExceptionRecord->ExceptionCode);
    return EXCEPTION_CONTINUE_SEARCH;
}

// Outside a guarded call a fault is nobody's but the system's: the process goes down with it.
__attribute__((noinline)) int RecurseForever(int depth) {
    volatile char frame[512];
    frame[0] = static_cast<char>(depth);
    return RecurseForever(depth + 1) + frame[0];
}

// A caught stack overflow leaves the thread's stack without its guard page unless the guard
// puts it back: the next overflow on that thread would end the process without a word.
TEST(FaultGuard, CatchesAStackOverflowAgainAndAgainOnOneThread) {
    std::vector<bool> answers;
    std::thread worker([&] {
        for (int round = 0; round < 3; ++round)
            answers.push_back(CallGuarded([] { Sink = RecurseForever(0); }));
        answers.push_back(CallGuarded([] { ReadThroughNull(); }));
        answers.push_back(CallGuarded([] { Sink = 1; }));
    });
    worker.join();
    EXPECT_EQ(answers, (std::vector<bool>{false, false, false, false, true}));
}

TEST(FaultGuardDeathTest, DoesNotSwallowAFaultAfterTheGuardedCallReturned) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            SetUnhandledExceptionFilter(&EndWithExceptionCode);
            CallGuarded([] {});
            CallGuarded([] { ReadThroughNull(); });
            ReadThroughNull();
            ExitProcess(0);
        },
        ::testing::ExitedWithCode(static_cast<int>(EXCEPTION_ACCESS_VIOLATION)), "");
}

} // namespace
