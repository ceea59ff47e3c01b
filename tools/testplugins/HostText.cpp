#include "HostText.h"

#include <windows.h>

#include <algorithm>

namespace plugkit {

namespace {

std::string FromWide(UINT codePage, std::wstring_view text) {
    if (text.empty())
        return {};
    const int length = static_cast<int>(text.size());
    const int n =
        WideCharToMultiByte(codePage, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(std::max(n, 0)), '\0');
    WideCharToMultiByte(codePage, 0, text.data(), length, out.data(), n, nullptr, nullptr);
    return out;
}

} // namespace

std::wstring AnsiToWide(std::string_view text) {
    if (text.empty())
        return {};
    const int length = static_cast<int>(text.size());
    const int n = MultiByteToWideChar(CP_ACP, 0, text.data(), length, nullptr, 0);
    std::wstring out(static_cast<std::size_t>(std::max(n, 0)), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), length, out.data(), n);
    return out;
}

std::string WideToAnsi(std::wstring_view text) {
    return FromWide(CP_ACP, text);
}

std::string WideToUtf8(std::wstring_view text) {
    return FromWide(CP_UTF8, text);
}

std::wstring NameFromHost(const void *name, bool unicode) {
    if (!name)
        return {};
    if (unicode)
        return static_cast<const wchar_t *>(name);
    return AnsiToWide(static_cast<const char *>(name));
}

std::wstring_view BaseName(std::wstring_view fileName) {
    const std::size_t slash = fileName.find_last_of(L"\\/");
    return slash == std::wstring_view::npos ? fileName : fileName.substr(slash + 1);
}

std::wstring_view TitleOf(std::wstring_view fileName) {
    const std::wstring_view base = BaseName(fileName);
    return base.substr(0, base.find_last_of(L'.'));
}

void CopyOut(std::wstring_view text, wchar_t *dest, int capacity) {
    if (!dest || capacity <= 0)
        return;
    const std::size_t n = std::min(text.size(), static_cast<std::size_t>(capacity - 1));
    std::copy_n(text.data(), n, dest);
    dest[n] = L'\0';
}

void CopyOut(std::wstring_view text, char *dest, int capacity) {
    if (!dest || capacity <= 0)
        return;
    const std::string narrow = WideToAnsi(text);
    const std::size_t n = std::min(narrow.size(), static_cast<std::size_t>(capacity - 1));
    std::copy_n(narrow.data(), n, dest);
    dest[n] = '\0';
}

void CopyOut(std::wstring_view text, void *dest, int capacity, bool unicode) {
    if (unicode)
        CopyOut(text, static_cast<wchar_t *>(dest), capacity);
    else
        CopyOut(text, static_cast<char *>(dest), capacity);
}

} // namespace plugkit
