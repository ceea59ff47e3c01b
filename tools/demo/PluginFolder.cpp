#include "PluginFolder.h"

#include <algorithm>
#include <cwctype>
#include <stdexcept>

namespace demo {

namespace {

// The player cuts each pattern to this many characters before it compares.
constexpr std::size_t kPatternLength = 14;

std::wstring LowerWide(std::wstring_view text) {
    std::wstring out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
    return out;
}

std::string Upper(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](char c) {
        return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    });
    return out;
}

} // namespace

bool IsInputPluginName(std::wstring_view fileName) {
    const std::wstring name = LowerWide(fileName);
    return name.size() > 7 && name.rfind(L"in_", 0) == 0 &&
           name.compare(name.size() - 4, 4, L".dll") == 0;
}

PluginFolder ReadPluginFolder(const std::filesystem::path &folder, const std::string &asGiven) {
    const std::string named = "--plugins " + asGiven + ": ";
    std::error_code error;
    if (!std::filesystem::exists(folder, error))
        throw std::runtime_error(named + "there is no such folder");
    if (!std::filesystem::is_directory(folder, error))
        throw std::runtime_error(named + "is a file, not a folder: give the folder of the "
                                         "plug-ins (a player's Plugins folder)");
    PluginFolder found;
    for (const auto &entry : std::filesystem::directory_iterator(folder, error)) {
        if (!entry.is_regular_file(error))
            continue;
        const std::wstring name = entry.path().filename().wstring();
        if (LowerWide(name) == L"in_hvqblend.dll")
            found.HasOwnProduct = true;
        else if (IsInputPluginName(name))
            found.InputPlugins.push_back(entry.path());
        else
            ++found.OtherFiles;
    }
    if (error)
        throw std::runtime_error(named + "cannot be read (" + error.message() + ")");
    if (found.InputPlugins.empty())
        throw std::runtime_error(named + "no input plug-ins there (files named in_*.dll" +
                                 (found.HasOwnProduct
                                      ? " besides in_hvqblend.dll, which the render plays in this "
                                        "build's version"
                                      : std::string()) +
                                 "): give a player's Plugins folder");
    // The player lists a folder in name order, as NTFS keeps it.
    std::sort(found.InputPlugins.begin(), found.InputPlugins.end(),
              [](const auto &a, const auto &b) {
                  return LowerWide(a.filename().wstring()) < LowerWide(b.filename().wstring());
              });
    return found;
}

std::vector<std::string> ExtensionPatterns(const std::vector<std::string> &strings) {
    std::vector<std::string> patterns;
    for (std::size_t i = 0; i < strings.size(); i += 2) {
        const std::string list = strings[i] + ";";
        for (std::size_t start = 0, end; (end = list.find(';', start)) != std::string::npos;
             start = end + 1)
            if (end > start)
                patterns.push_back(
                    Upper(list.substr(start, std::min(end - start, kPatternLength))));
    }
    return patterns;
}

bool ExtensionListed(const std::vector<std::string> &patterns, std::string_view fileName) {
    const std::size_t dot = fileName.find_last_of('.');
    const std::size_t slash = fileName.find_last_of("\\/");
    if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash))
        return false;
    const std::string extension = Upper(fileName.substr(dot + 1));
    return std::find(patterns.begin(), patterns.end(), extension) != patterns.end();
}

std::string ExtensionsText(const std::vector<std::string> &patterns) {
    if (patterns.empty())
        return "no extensions";
    std::string text;
    for (const std::string &pattern : patterns)
        text += (text.empty() ? "." : " .") + pattern;
    return text;
}

} // namespace demo
