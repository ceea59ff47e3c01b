// The one exception type raised inside the plug-in, and the firewall that keeps it (and any other
// C++ exception) from crossing into the host or another plug-in.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>

// A failure inside the plug-in, carrying the system's own message text (possibly empty).
class EPluginError : public std::runtime_error {
public:
    explicit EPluginError(const std::string &message) : std::runtime_error(message) {}
};

// Runs body and gives failAnswer when anything is thrown: every export and callback goes through it.
template <class R, class F>
R Firewall(R failAnswer, F &&body) noexcept {
    try {
        return std::forward<F>(body)();
    } catch (...) {
        return failAnswer;
    }
}

template <class F>
void Firewall(F &&body) noexcept {
    try {
        std::forward<F>(body)();
    } catch (...) {
    }
}
