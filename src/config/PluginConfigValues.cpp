#include "PluginConfigValues.h"

#include <array>
#include <limits>

namespace {

constexpr std::array<const char *, kPriorityLevelCount> kPriorityLevelNames = {
    "Idle", "Lowest", "Lower", "Normal", "Higher", "Highest", "TimeCritical"};

int DigitValue(char c, int base) {
    int value = -1;
    if (c >= '0' && c <= '9')
        value = c - '0';
    else if (c >= 'a' && c <= 'f')
        value = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
        value = c - 'A' + 10;
    return value < base ? value : -1;
}

// Digits only, at least one, no more than limit; answers the magnitude.
std::optional<std::uint64_t> ParseDigits(std::string_view digits, int base, std::uint64_t limit) {
    if (digits.empty())
        return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : digits) {
        const int digit = DigitValue(c, base);
        if (digit < 0)
            return std::nullopt;
        value = value * base + digit;
        if (value > limit)
            return std::nullopt;
    }
    return value;
}

bool IsHexadecimalForm(std::string_view text) {
    return text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}

} // namespace

const char *PriorityLevelToName(TPriorityLevel level) {
    const auto index = static_cast<std::size_t>(level);
    return index < kPriorityLevelNames.size() ? kPriorityLevelNames[index] : "Normal";
}

TPriorityLevel PriorityLevelFromName(std::string_view name) {
    for (std::size_t index = 0; index < kPriorityLevelNames.size(); ++index) {
        if (name == kPriorityLevelNames[index])
            return static_cast<TPriorityLevel>(index);
    }
    return TPriorityLevel::Normal;
}

std::int32_t LevelInRange(std::optional<std::int32_t> level, std::int32_t lowest,
                          std::int32_t highest, std::int32_t fallback) {
    return level && *level >= lowest && *level <= highest ? *level : fallback;
}

std::optional<std::int32_t> ParseIniInteger(std::string_view text) {
    if (IsHexadecimalForm(text)) {
        const auto bits =
            ParseDigits(text.substr(2), 16, std::numeric_limits<std::uint32_t>::max());
        if (!bits)
            return std::nullopt;
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(*bits));
    }
    const bool negative = !text.empty() && text.front() == '-';
    if (!text.empty() && (text.front() == '-' || text.front() == '+'))
        text.remove_prefix(1);
    // The magnitude of the most negative value is one more than that of the most positive.
    const std::uint64_t limit =
        std::uint64_t{std::numeric_limits<std::int32_t>::max()} + (negative ? 1 : 0);
    const auto magnitude = ParseDigits(text, 10, limit);
    if (!magnitude)
        return std::nullopt;
    const auto value = static_cast<std::int64_t>(*magnitude);
    return static_cast<std::int32_t>(negative ? -value : value);
}
