#include "HookedInsRules.h"

#include <charconv>

namespace {

wchar_t UpperAscii(wchar_t c) {
    return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - 32) : c;
}

bool StartsWithUpper(std::wstring_view text, std::wstring_view prefix) {
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (UpperAscii(text[i]) != prefix[i])
            return false;
    }
    return true;
}

std::string_view TrimBlanks(std::string_view text) {
    const auto isBlank = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

} // namespace

bool IsInputPluginName(std::wstring_view entryName) {
    if (entryName.size() <= 4 || !StartsWithUpper(entryName, L"IN_"))
        return false;
    return StartsWithUpper(entryName.substr(entryName.size() - 4), L".DLL");
}

std::wstring FolderPartOf(std::wstring_view path) {
    const std::size_t last = path.find_last_of(L"\\:");
    if (last == std::wstring_view::npos)
        return {};
    std::wstring folder(path.substr(0, last + 1));
    if (folder.back() != L'\\')
        folder += L'\\';
    return folder;
}

int ParseLengthText(std::string_view text) {
    text = TrimBlanks(text);
    if (text.size() > 1 && text.front() == '+' && text[1] != '-')
        text.remove_prefix(1);
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return -1;
    return value;
}

bool IsAudioTypeText(std::wstring_view text) {
    return text == L"0";
}
