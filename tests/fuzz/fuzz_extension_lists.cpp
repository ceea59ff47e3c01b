// Declared extension lists and file names as a plug-in or a host might hand them over.
#include "../../src/hookedins/ExtensionTable.h"
#include "FuzzInput.h"

#include <vector>

namespace {

// Every ';'-separated part of a declared pattern, in lower case.
std::vector<std::string> PatternParts(const std::string &pattern) {
    std::vector<std::string> parts;
    std::string lower = LowerAscii(pattern);
    std::size_t start = 0;
    while (start <= lower.size()) {
        const std::size_t end = std::min(lower.find(';', start), lower.size());
        if (end > start)
            parts.push_back(lower.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    FuzzInput input(data, size);
    const std::size_t listBytes = input.Take<std::uint16_t>() % (size + 1);
    const auto listPart = input.TakeBytes(listBytes);
    // The host's form: strings one after the other, closed by an empty one.
    std::vector<char> list(listPart.begin(), listPart.end());
    list.push_back('\0');
    list.push_back('\0');

    FUZZ_CHECK(ExtensionListSize(list.data()) <= list.size());
    const TExtensionTable table = ParseFileExtensions(list.data());
    FUZZ_CHECK(table.Extensions == LowerAscii(table.Extensions));
    for (const TRFEItem &item : table.Items)
        for (const std::string &part : PatternParts(item.Pattern))
            if (part.find('\0') == std::string::npos)
                FUZZ_CHECK(ExtensionListed(table.Extensions, part));

    const std::string_view name = input.RestAsText();
    const std::string extension = ExtensionOf(name);
    FUZZ_CHECK(extension == LowerAscii(extension));
    FUZZ_CHECK(extension.size() < name.size() || extension.empty());
    FUZZ_CHECK(!ExtensionListed(table.Extensions, ""));
    ExtensionListed(table.Extensions, extension);
    return 0;
}
