#include "ExtendedFileInfoUnit.h"

#include "../hookedins/HookedInsUnit.h"
#include "../hostlink/FaultGuard.h"
#include "../hostlink/TextConvert.h"
#include "../globals/PluginGlobals.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <string>
#include <utility>
#include <vector>

namespace extinfo {

namespace {

// The registry's list is copied under the lock the first scan holds, so a host thread asking
// while the host's main thread scans finds the owner or nobody, never a list half filled; the
// plug-ins are asked outside the lock, and the owner stays alive until the forwarded call
// returns.
using TOwner = std::shared_ptr<THookedInPlugin>;

TOwner OwnerOf(const std::wstring &fileName) {
    return SharedOwnerOf(fileName.c_str());
}

// A call into the owner; a fault inside it is no answer (0, or no window), and marks the owner
// faulted: it is asked nothing more.
template <class R, class F> R AskOwner(const THookedInPlugin &owner, F &&call) {
    R result{};
    if (!CallPluginGuarded(owner, [&] { result = call(); }))
        return R{};
    return result;
}

std::wstring WideOf(const char *ansi) {
    return ansi ? AnsiToWide(ansi) : std::wstring();
}

std::wstring WideOf(const wchar_t *wide) {
    return wide ? std::wstring(wide) : std::wstring();
}

// The file a request is about: the one it names, else the last one named.
std::wstring InfoFileFor(const std::wstring &named) {
    GERCSBomb guard;
    if (!named.empty())
        LastInfoFileName = named;
    return LastInfoFileName;
}

void RememberForWrite(const TOwner &owner) {
    GERCSBomb guard;
    PendingWritePlugin = owner;
}

TOwner TakePendingWrite() {
    GERCSBomb guard;
    return std::exchange(PendingWritePlugin, nullptr);
}

// What a caller's buffer of length characters holds up to its first terminator.
std::wstring TextIn(const char *buffer, int length) {
    const std::size_t size = static_cast<std::size_t>(length);
    return AnsiToWide(std::string(buffer, std::find(buffer, buffer + size, '\0')));
}

std::wstring TextIn(const wchar_t *buffer, int length) {
    const std::size_t size = static_cast<std::size_t>(length);
    return std::wstring(buffer, std::find(buffer, buffer + size, L'\0'));
}

// Clears the caller's buffer and puts as much of text in as fits with its terminator, in the
// ANSI code page the caller reads it in, never cutting a character in two.
void CopyOut(const std::wstring &text, char *buffer, int length) {
    std::memset(buffer, 0, static_cast<std::size_t>(length));
    const std::size_t room = static_cast<std::size_t>(length) - 1;
    std::wstring fitting = text.substr(0, room);
    std::string ansi = WideToAnsi(fitting);
    while (ansi.size() > room) {
        fitting.pop_back();
        ansi = WideToAnsi(fitting);
    }
    std::memcpy(buffer, ansi.data(), ansi.size());
}

void CopyOut(const std::wstring &text, wchar_t *buffer, int length) {
    std::fill_n(buffer, length, L'\0');
    std::size_t count = std::min<std::size_t>(text.size(), static_cast<std::size_t>(length) - 1);
    if (count > 0 && count < text.size() && text[count - 1] >= 0xD800 && text[count - 1] <= 0xDBFF)
        --count; // half a surrogate pair is no character
    std::copy_n(text.begin(), count, buffer);
}

// The owner has only the wide function, or its ANSI one did not answer.
int AskWideForAnsiCaller(const THookedInPlugin &owner, const char *fileName, const char *field,
                         char *answer, int length) {
    if (!answer || length <= 0)
        return 0;
    const std::wstring wideName = WideOf(fileName);
    std::vector<wchar_t> wide(static_cast<std::size_t>(length) + 1, L'\0');
    CopyOut(TextIn(answer, length), wide.data(), length);
    wchar_t *buffer = wide.data();
    const int result = AskOwner<int>(
        owner, [&] { return owner.GetExtendedFileInfoW(wideName.c_str(), field, buffer, length); });
    wide.back() = L'\0';
    CopyOut(wide.data(), answer, length);
    return result;
}

// The owner has only the ANSI function, or its wide one did not answer.
int AskAnsiForWideCaller(const THookedInPlugin &owner, const wchar_t *fileName, const char *field,
                         wchar_t *answer, int length) {
    if (!answer || length <= 0)
        return 0;
    const std::string ansiName = WideToAnsi(WideOf(fileName));
    std::vector<char> ansi(static_cast<std::size_t>(length) + 1, '\0');
    CopyOut(TextIn(answer, length), ansi.data(), length);
    char *buffer = ansi.data();
    const int result = AskOwner<int>(
        owner, [&] { return owner.GetExtendedFileInfo(ansiName.c_str(), field, buffer, length); });
    ansi.back() = '\0';
    CopyOut(AnsiToWide(ansi.data()), answer, length);
    return result;
}

} // namespace

bool MentionsReplayGain(const char *field) {
    if (!field)
        return false;
    std::string lower(field);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; });
    return lower.find("replaygain") != std::string::npos;
}

int GetInfo(const char *fileName, const char *field, char *answer, int length) {
    const std::wstring file = InfoFileFor(WideOf(fileName));
    if (MentionsReplayGain(field))
        return 0;
    const TOwner owner = OwnerOf(file);
    if (!owner)
        return 0;
    if (owner->GetExtendedFileInfo) {
        const int result = AskOwner<int>(
            *owner, [&] { return owner->GetExtendedFileInfo(fileName, field, answer, length); });
        if (result != 0 || !owner->GetExtendedFileInfoW)
            return result;
    }
    if (!owner->GetExtendedFileInfoW)
        return 0;
    return AskWideForAnsiCaller(*owner, fileName, field, answer, length);
}

int GetInfoW(const wchar_t *fileName, const char *field, wchar_t *answer, int length) {
    const std::wstring file = InfoFileFor(WideOf(fileName));
    if (MentionsReplayGain(field))
        return 0;
    const TOwner owner = OwnerOf(file);
    if (!owner)
        return 0;
    if (owner->GetExtendedFileInfoW) {
        const int result = AskOwner<int>(
            *owner, [&] { return owner->GetExtendedFileInfoW(fileName, field, answer, length); });
        if (result != 0 || !owner->GetExtendedFileInfo)
            return result;
    }
    if (!owner->GetExtendedFileInfo)
        return 0;
    return AskAnsiForWideCaller(*owner, fileName, field, answer, length);
}

int SetInfo(const char *fileName, const char *field, const char *value) {
    const TOwner owner = OwnerOf(WideOf(fileName));
    if (!owner)
        return 0;
    RememberForWrite(owner);
    if (!owner->SetExtendedFileInfo)
        return 0;
    return AskOwner<int>(*owner,
                         [&] { return owner->SetExtendedFileInfo(fileName, field, value); });
}

int SetInfoW(const wchar_t *fileName, const char *field, const wchar_t *value) {
    const TOwner owner = OwnerOf(WideOf(fileName));
    if (!owner)
        return 0;
    RememberForWrite(owner);
    if (owner->SetExtendedFileInfoW)
        return AskOwner<int>(*owner,
                             [&] { return owner->SetExtendedFileInfoW(fileName, field, value); });
    if (!owner->SetExtendedFileInfo)
        return 0;
    const std::string ansiName = WideToAnsi(WideOf(fileName));
    const std::string ansiValue = WideToAnsi(WideOf(value));
    return AskOwner<int>(*owner, [&] {
        return owner->SetExtendedFileInfo(ansiName.c_str(), field, ansiValue.c_str());
    });
}

int Write() {
    const TOwner pending = TakePendingWrite();
    if (!pending || !pending->WriteExtendedFileInfo)
        return 0;
    return AskOwner<int>(*pending, [&] { return pending->WriteExtendedFileInfo(); });
}

int ClearInfoW(const wchar_t *fileName) {
    const TOwner owner = OwnerOf(WideOf(fileName));
    if (!owner || !owner->ClearExtendedFileInfoW)
        return 0;
    return AskOwner<int>(*owner, [&] { return owner->ClearExtendedFileInfoW(fileName); });
}

int UseUnifiedDialog(const wchar_t *fileName) {
    const TOwner owner = OwnerOf(WideOf(fileName));
    if (!owner || !owner->UseUnifiedFileInfoDlg)
        return 0;
    return AskOwner<int>(*owner, [&] { return owner->UseUnifiedFileInfoDlg(fileName); });
}

HWND AddUnifiedPane(int index, const wchar_t *fileName, HWND parent, wchar_t *name,
                    std::size_t nameLength) {
    const TOwner owner = OwnerOf(WideOf(fileName));
    if (!owner || !owner->AddUnifiedFileInfoPane)
        return nullptr;
    return AskOwner<HWND>(*owner, [&] {
        return owner->AddUnifiedFileInfoPane(index, fileName, parent, name, nameLength);
    });
}

} // namespace extinfo
