// Splits a fuzzer's bytes into the values a target needs, so every input is some valid call.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

class FuzzInput {
public:
    FuzzInput(const std::uint8_t *data, std::size_t size) : bytes_(data, size) {}

    template <class T> T Take() {
        T value{};
        const std::size_t count = std::min(sizeof(T), bytes_.size());
        std::memcpy(&value, bytes_.data(), count);
        bytes_ = bytes_.subspan(count);
        return value;
    }
    // A whole number in [low, high].
    int TakeInRange(int low, int high) {
        const auto span = static_cast<std::uint32_t>(high - low) + 1;
        return low + static_cast<int>(Take<std::uint32_t>() % span);
    }
    std::span<const std::uint8_t> TakeBytes(std::size_t count) {
        count = std::min(count, bytes_.size());
        auto part = bytes_.first(count);
        bytes_ = bytes_.subspan(count);
        return part;
    }
    std::span<const std::uint8_t> Rest() { return TakeBytes(bytes_.size()); }
    std::string_view RestAsText() {
        auto rest = Rest();
        return {reinterpret_cast<const char *>(rest.data()), rest.size()};
    }
    bool Empty() const { return bytes_.empty(); }

private:
    std::span<const std::uint8_t> bytes_;
};

// A broken invariant: stop at once, so the fuzzer keeps the input that shows it.
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition))                                                                          \
            __builtin_trap();                                                                      \
    } while (0)
