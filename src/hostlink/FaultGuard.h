// Catches a real fault (an access violation and the like) inside a call into foreign code and
// turns it into an answer, where the plug-in promises that such a call is guarded.
#pragma once

#include <type_traits>
#include <utility>

namespace faultguard {
// Runs thunk(context) with a structured-exception frame of our own on the calling thread's
// chain. Answers false when a structured exception raised inside was handled by nobody closer.
bool CallWithFrame(void (*thunk)(void *), void *context);
} // namespace faultguard

// Runs body and answers true, or false when a structured exception (access violation, illegal
// instruction, division by zero, an MSVC C++ exception ...) left the foreign code unhandled.
// Handlers of the foreign code itself are asked first, as they would be without the guard.
// After a stack overflow the thread's stack gets its guard page back, so a later overflow on
// the same thread is caught (or reported) as well. Faults outside a guarded call are not touched.
// Thread-safe and nestable: the frame lives on the calling thread's own chain. C++ exceptions of
// our own pass through unchanged.
//
// A fault abandons the body's frames without running their destructors: the body must own
// nothing. Keep buffers and results in the caller, and let the body only make the call.
template <class F> bool CallGuarded(F &&body) {
    using Body = std::remove_reference_t<F>;
    return faultguard::CallWithFrame([](void *context) { (*static_cast<Body *>(context))(); },
                                     const_cast<void *>(static_cast<const void *>(&body)));
}
