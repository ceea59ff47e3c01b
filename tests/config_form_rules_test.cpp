// The text rules of the configuration dialog: what an edit's text means as a time, the doubled
// crossfade time that bounds the minimum length, and the priority group's caption.
#include "ui/ConfigFormRules.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

TEST(EditIntegers, DecimalNumbersWithAnOptionalSign) {
    const std::pair<const wchar_t *, std::int32_t> numbers[] = {
        {L"6000", 6000},
        {L"0", 0},
        {L"-40", -40},
        {L"+7", 7},
        {L"007", 7},
        {L"2147483647", std::numeric_limits<std::int32_t>::max()},
        {L"-2147483648", std::numeric_limits<std::int32_t>::min()}};
    for (const auto &[text, value] : numbers) {
        const auto parsed = ParseEditInteger(text);
        ASSERT_TRUE(parsed.has_value()) << static_cast<const void *>(text);
        EXPECT_EQ(*parsed, value);
    }
}

TEST(EditIntegers, AnythingElseIsNoNumber) {
    for (const wchar_t *text : {L"", L"-", L"+", L"abc", L"12a", L" 5", L"5 ", L"0x1F4", L"$1F4",
                                L"1.5", L"1e3", L"--5", L"2147483648", L"-2147483649",
                                L"99999999999999999999", L"\x0663"}) // an Arabic-Indic three
        EXPECT_FALSE(ParseEditInteger(text).has_value()) << static_cast<const void *>(text);
}

TEST(TwiceTime, DoublesAndHoldsInsideTheRange) {
    EXPECT_EQ(TwiceTime(5000), 10000);
    EXPECT_EQ(TwiceTime(-40), -80);
    EXPECT_EQ(TwiceTime(0), 0);
    EXPECT_EQ(TwiceTime(1073741823), 2147483646);
    EXPECT_EQ(TwiceTime(1073741824), std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(TwiceTime(std::numeric_limits<std::int32_t>::max()),
              std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(TwiceTime(std::numeric_limits<std::int32_t>::min()),
              std::numeric_limits<std::int32_t>::min());
}

TEST(PriorityGroupCaption, NamesTheLevel) {
    EXPECT_EQ(PriorityGroupCaption(TPriorityLevel::Higher), L"Playback Thread Priority (Higher)");
    EXPECT_EQ(PriorityGroupCaption(TPriorityLevel::TimeCritical),
              L"Playback Thread Priority (TimeCritical)");
    EXPECT_EQ(PriorityGroupCaption(static_cast<TPriorityLevel>(9)),
              L"Playback Thread Priority (Normal)");
}

} // namespace
