#include "FaultGuard.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>

// The i386 structured-exception chain: a list of frames that starts at fs:[0]. A guarded call
// pushes one frame; the system asks the frames of the faulting code first and ours only when
// none of them handled the exception, exactly as an __except block of the caller would be asked.
// Our handler unwinds the frames above ours (so their own clean-up runs), then jumps back to the
// guard with the register state saved before the call.

namespace {

struct TRegistration {
    TRegistration *Next;
    void *Handler;
};

// The registration must be the first member: the system hands its address to the handler.
struct TGuardFrame {
    TRegistration Registration;
    void *Resume[5]; // __builtin_setjmp's buffer
    DWORD Code;      // of the exception caught
};

static_assert(offsetof(TGuardFrame, Registration) == 0);

// fs:[0] holds the head of the calling thread's chain.
TRegistration *ChainHead() {
    TRegistration *head;
    asm volatile("movl %%fs:0, %0" : "=r"(head));
    return head;
}

void SetChainHead(TRegistration *head) {
    asm volatile("movl %0, %%fs:0" : : "r"(head) : "memory");
}

constexpr DWORD kUnwindFlags = EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND;

// RtlUnwind on i386 need not keep ebx, esi and edi: the clobbers make this function save and
// restore them around it.
__attribute__((noinline)) void UnwindFramesAbove(TRegistration *target, EXCEPTION_RECORD *record) {
    asm volatile("" ::: "ebx", "esi", "edi", "memory");
    RtlUnwind(target, nullptr, record, nullptr);
    asm volatile("" ::: "ebx", "esi", "edi", "memory");
}

EXCEPTION_DISPOSITION __cdecl GuardHandler(EXCEPTION_RECORD *record, void *establisher, CONTEXT *,
                                           void *) {
    if (record->ExceptionFlags & kUnwindFlags)
        return ExceptionContinueSearch;
    auto *frame = static_cast<TGuardFrame *>(establisher);
    frame->Code = record->ExceptionCode;
    UnwindFramesAbove(&frame->Registration, record);
    __builtin_longjmp(frame->Resume, 1);
}

// Keeps our frame on the chain for exactly the length of the call, also when a C++ exception
// leaves it.
class TFrameLink {
  public:
    explicit TFrameLink(TGuardFrame &frame) : frame_(frame) {
        frame_.Registration.Next = ChainHead();
        frame_.Registration.Handler = reinterpret_cast<void *>(&GuardHandler);
        SetChainHead(&frame_.Registration);
    }
    ~TFrameLink() { SetChainHead(frame_.Registration.Next); }
    TFrameLink(const TFrameLink &) = delete;
    TFrameLink &operator=(const TFrameLink &) = delete;

  private:
    TGuardFrame &frame_;
};

// Apart from the function that saves the registers, so that a fault skips nothing of ours but
// this frame, which owns nothing the jump could leak.
__attribute__((noinline)) void RunLinked(TGuardFrame &frame, void (*thunk)(void *), void *context) {
    TFrameLink link(frame);
    thunk(context);
}

// A stack overflow used up the guard page at the end of the thread's stack, and the system put
// none back: the next overflow on this thread would end the process without an exception. Gives
// the lowest committed page of the stack its guard again, as the runtime's _resetstkoflw does,
// once we are back far above it.
void RestoreStackGuardPage() {
    SYSTEM_INFO system{};
    GetSystemInfo(&system);
    const auto page = static_cast<std::uintptr_t>(system.dwPageSize);
    const auto *tib = reinterpret_cast<const NT_TIB *>(NtCurrentTeb());
    const auto guard = reinterpret_cast<std::uintptr_t>(tib->StackLimit) & ~(page - 1);
    volatile char here = 0;
    if (reinterpret_cast<std::uintptr_t>(&here) < guard + 4 * page)
        return;
    DWORD previous = 0;
    VirtualProtect(reinterpret_cast<void *>(guard), page, PAGE_READWRITE | PAGE_GUARD, &previous);
}

} // namespace

namespace faultguard {

__attribute__((noinline)) bool CallWithFrame(void (*thunk)(void *), void *context) {
    TGuardFrame frame{};
    if (__builtin_setjmp(frame.Resume) == 0) {
        RunLinked(frame, thunk, context);
        return true;
    }
    // Back from the handler: the unwind left our frame at the head; take it off.
    SetChainHead(frame.Registration.Next);
    if (frame.Code == EXCEPTION_STACK_OVERFLOW)
        RestoreStackGuardPage();
    return false;
}

} // namespace faultguard
