#include "ConfigFormRules.h"

#include <limits>

std::optional<std::int32_t> ParseEditInteger(std::wstring_view text) {
    const bool negative = !text.empty() && text.front() == L'-';
    if (!text.empty() && (text.front() == L'-' || text.front() == L'+'))
        text.remove_prefix(1);
    if (text.empty())
        return std::nullopt;
    // The magnitude of the most negative value is one more than that of the most positive.
    const std::int64_t limit =
        std::int64_t{std::numeric_limits<std::int32_t>::max()} + (negative ? 1 : 0);
    std::int64_t magnitude = 0;
    for (const wchar_t c : text) {
        if (c < L'0' || c > L'9')
            return std::nullopt;
        magnitude = magnitude * 10 + (c - L'0');
        if (magnitude > limit)
            return std::nullopt;
    }
    return static_cast<std::int32_t>(negative ? -magnitude : magnitude);
}

std::int32_t TwiceTime(std::int32_t milliseconds) {
    const std::int64_t twice = std::int64_t{milliseconds} * 2;
    if (twice > std::numeric_limits<std::int32_t>::max())
        return std::numeric_limits<std::int32_t>::max();
    if (twice < std::numeric_limits<std::int32_t>::min())
        return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(twice);
}

std::wstring PriorityGroupCaption(TPriorityLevel level) {
    const std::string_view name = PriorityLevelToName(level);
    return L"Playback Thread Priority (" + std::wstring(name.begin(), name.end()) + L")";
}
