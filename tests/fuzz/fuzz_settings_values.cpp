// Values of the settings file as a user or another program may have left them.
#include "../../src/config/PluginConfigValues.h"
#include "FuzzInput.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char *>(data), size);

    if (const auto value = ParseIniInteger(text)) {
        // Whatever reads as a number reads the same once written back in decimal.
        FUZZ_CHECK(ParseIniInteger(std::to_string(*value)) == value);
    }

    const TPriorityLevel level = PriorityLevelFromName(text);
    const int position = static_cast<int>(level);
    FUZZ_CHECK(position >= 0 && position < kPriorityLevelCount);
    FUZZ_CHECK(PriorityLevelFromName(PriorityLevelToName(level)) == level);
    if (text != PriorityLevelToName(level))
        FUZZ_CHECK(level == TPriorityLevel::Normal);
    return 0;
}
