#include "FileInfoQueries.h"

#include "../hostlink/FaultGuard.h"
#include "../hostlink/TextConvert.h"
#include "ExtensionTable.h"
#include "HookedInsRules.h"

#include <vector>

namespace {

constexpr int kInfoLength = 2000;                      // characters offered for an answer
constexpr int kTitleChars = hostapi::kTitleLength + 1; // GetFileInfo's title, with room to spare

struct TInfoAnswer {
    bool Answered = false;
    std::wstring Text;
};

// The extended file information, wide form first: the first one that answers wins. A form
// that faults has not answered.
TInfoAnswer AskExtendedInfo(const THookedInPlugin &plugin, const std::wstring &fileName,
                            const char *name) {
    if (const auto getInfoW = plugin.GetExtendedFileInfoW) {
        std::vector<wchar_t> buffer(kInfoLength + 1, L'\0');
        wchar_t *answer = buffer.data();
        int answered = 0;
        if (CallPluginGuarded(
                plugin,
                [&] { answered = getInfoW(fileName.c_str(), name, answer, kInfoLength); }) &&
            answered) {
            buffer[kInfoLength] = L'\0';
            return {true, buffer.data()};
        }
    }
    if (const auto getInfo = plugin.GetExtendedFileInfo) {
        const std::string ansiName = WideToAnsi(fileName);
        std::vector<char> buffer(kInfoLength + 1, '\0');
        char *answer = buffer.data();
        int answered = 0;
        if (CallPluginGuarded(
                plugin, [&] { answered = getInfo(ansiName.c_str(), name, answer, kInfoLength); }) &&
            answered) {
            buffer[kInfoLength] = '\0';
            return {true, AnsiToWide(buffer.data())};
        }
    }
    return {};
}

// The record's GetFileInfo, guarded: length keeps what the plug-in wrote before a fault.
std::wstring AskGetFileInfo(const THookedInPlugin &plugin, const std::wstring &fileName,
                            int &length) {
    const auto getFileInfo = plugin.Module->GetFileInfo;
    if (!getFileInfo)
        return {};
    if (plugin.IsUnicode) {
        std::vector<wchar_t> title(kTitleChars, L'\0');
        CallPluginGuarded(plugin, [&] { getFileInfo(fileName.c_str(), title.data(), &length); });
        title.back() = L'\0';
        return title.data();
    }
    const std::string ansiName = WideToAnsi(fileName);
    std::vector<char> title(kTitleChars, '\0');
    CallPluginGuarded(plugin, [&] { getFileInfo(ansiName.c_str(), title.data(), &length); });
    title.back() = '\0';
    return AnsiToWide(title.data());
}

} // namespace

// A plug-in that faulted is asked nothing: no source answers.
int GetLengthMs(const THookedInPlugin &plugin, const std::wstring &fileName) {
    if (plugin.IsFaulted())
        return -2;
    if (const TInfoAnswer answer = AskExtendedInfo(plugin, fileName, "length"); answer.Answered)
        return ParseLengthText(WideToAnsi(answer.Text));
    int length = -2;
    AskGetFileInfo(plugin, fileName, length);
    return length;
}

bool QueryFileInfo(const THookedInPlugin &plugin, const std::wstring &fileName,
                   const std::string &name, std::wstring &value) {
    if (plugin.IsFaulted())
        return false;
    if (TInfoAnswer answer = AskExtendedInfo(plugin, fileName, name.c_str()); answer.Answered) {
        value = std::move(answer.Text);
        return true;
    }
    const std::string lower = LowerAscii(name);
    if (lower != "length" && lower != "title")
        return false;
    int length = -2;
    std::wstring title = AskGetFileInfo(plugin, fileName, length);
    value = lower == "title" ? std::move(title) : std::to_wstring(length);
    return true;
}

bool IsAudioFile(const THookedInPlugin &plugin, const std::wstring &fileName) {
    std::wstring type;
    if (!QueryFileInfo(plugin, fileName, "type", type))
        return true;
    return IsAudioTypeText(type);
}
