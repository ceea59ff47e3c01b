// Folder entries, paths and information texts as plug-ins and the file system give them.
#include "../../src/hookedins/HookedInsRules.h"
#include "FuzzInput.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    FuzzInput input(data, size);
    const std::string_view text = input.RestAsText();

    const int length = ParseLengthText(text);
    // -1 is "unknown"; any other answer is the number the text spells.
    if (length != -1)
        FUZZ_CHECK(ParseLengthText(std::to_string(length)) == length);

    std::wstring wide(text.size() / 2, L'\0');
    for (std::size_t i = 0; i < wide.size(); ++i)
        wide[i] = static_cast<wchar_t>(static_cast<unsigned char>(text[2 * i]) |
                                       (static_cast<unsigned char>(text[2 * i + 1]) << 8));

    const std::wstring folder = FolderPartOf(wide);
    if (!folder.empty()) {
        FUZZ_CHECK(folder.back() == L'\\');
        FUZZ_CHECK(wide.compare(0, folder.size() - 1, folder, 0, folder.size() - 1) == 0);
        FUZZ_CHECK(FolderPartOf(folder) == folder);
    }
    if (IsInputPluginName(wide))
        FUZZ_CHECK(wide.size() > 4);
    if (IsAudioTypeText(wide))
        FUZZ_CHECK(wide == L"0");
    return 0;
}
