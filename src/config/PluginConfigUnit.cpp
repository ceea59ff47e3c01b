#include "PluginConfigUnit.h"

#include "../hostlink/PluginError.h"
#include "../hostlink/TextConvert.h"
#include "../hostlink/WinAmpAPIUnit.h"

#include <windows.h>

#include <string_view>
#include <utility>
#include <vector>

namespace {

// The file is an ANSI private-profile file as before; only the paths are wide, so that a
// settings folder outside the ANSI code page is found and written.
constexpr const wchar_t *kSection = L"HVQBlend";
constexpr const wchar_t *kIniFile = L"HVQBlend.ini";
constexpr const wchar_t *kPluginsFolder = L"Plugins";
constexpr DWORD kValueCapacity = 2048;

bool IsPathDelimiter(wchar_t c) {
    return c == L'\\' || c == L'/';
}

bool DirectoryExists(const std::wstring &path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool FileExists(const std::wstring &path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// Creates the folder with its missing parents. A failure shows later, when the file is written.
void ForceDirectories(std::wstring path) {
    while (!path.empty() && IsPathDelimiter(path.back()))
        path.pop_back();
    if (path.empty() || DirectoryExists(path))
        return;
    const std::size_t cut = path.find_last_of(L"\\/");
    if (cut != std::wstring::npos && cut > 0)
        ForceDirectories(path.substr(0, cut));
    CreateDirectoryW(path.c_str(), nullptr);
}

// The folder part with its trailing delimiter; empty for a bare name.
std::wstring FolderOf(const std::wstring &fileName) {
    const std::size_t cut = fileName.find_last_of(L"\\/");
    return cut == std::wstring::npos ? std::wstring() : fileName.substr(0, cut + 1);
}

// Keys and values are ASCII: the wide profile functions write the same file bytes as the ANSI
// ones did.
std::wstring Widen(const char *text) {
    return AnsiToWide(text);
}

} // namespace

int PriorityLevelToThreadPriority(TPriorityLevel level) {
    switch (level) {
    case TPriorityLevel::Idle:
        return THREAD_PRIORITY_IDLE;
    case TPriorityLevel::Lowest:
        return THREAD_PRIORITY_LOWEST;
    case TPriorityLevel::Lower:
        return THREAD_PRIORITY_BELOW_NORMAL;
    case TPriorityLevel::Normal:
        return THREAD_PRIORITY_NORMAL;
    case TPriorityLevel::Higher:
        return THREAD_PRIORITY_ABOVE_NORMAL;
    case TPriorityLevel::Highest:
        return THREAD_PRIORITY_HIGHEST;
    case TPriorityLevel::TimeCritical:
        return THREAD_PRIORITY_TIME_CRITICAL;
    }
    return THREAD_PRIORITY_NORMAL;
}

TPluginConfig::TPluginConfig(const TWinAmpAPIMan *hostLink, const std::string &ownLibraryFileName)
    : TPluginConfig(hostLink, AnsiToWide(ownLibraryFileName)) {}

TPluginConfig::TPluginConfig(const TWinAmpAPIMan *hostLink,
                             const std::wstring &ownLibraryFileName) {
    if (!hostLink)
        throw EPluginError("Infernal Error!");
    const std::wstring hostFolder = hostLink->GetHostIniFolderW();
    if (hostFolder.empty()) {
        ChooseIniFileBesideLibrary(ownLibraryFileName);
        Load();
        return;
    }
    const std::wstring pluginsFolder = hostFolder + kPluginsFolder;
    ForceDirectories(pluginsFolder);
    iniFileName_ = pluginsFolder + L"\\" + kIniFile;
    // Older versions kept the file directly in the host's settings folder. Once the Plugins
    // folder has a file, that one holds the user's settings, whatever is left of the older one.
    const std::wstring olderFileName = hostFolder + kIniFile;
    if (!FileExists(iniFileName_) && FileExists(olderFileName))
        MoveFromOlderLocation(olderFileName);
    else
        Load();
}

TPluginConfig::~TPluginConfig() {
    Firewall([this] { Save(); });
}

void TPluginConfig::ChooseIniFileBesideLibrary(const std::wstring &ownLibraryFileName) {
    const std::wstring folder = FolderOf(ownLibraryFileName);
    iniFileName_ = folder.empty() ? std::wstring() : folder + kIniFile;
}

// Only ever into a Plugins folder that has no settings file yet.
void TPluginConfig::MoveFromOlderLocation(const std::wstring &olderFileName) {
    const std::wstring target = std::exchange(iniFileName_, olderFileName);
    Load();
    iniFileName_ = target;
    // Written before the older file goes, so that a failed write loses no settings. An older
    // file that cannot be deleted does no harm: the file written here takes precedence.
    Save();
    DeleteFileW(olderFileName.c_str());
}

void TPluginConfig::Load() {
    if (iniFileName_.empty())
        return;
    fadeTime_ = ReadInteger("FadeTime", fadeTime_);
    minFileSize_ = ReadInteger("MinFileSize", minFileSize_);
    logTrans_ = ReadInteger("LogTrans", logTrans_ ? 1 : 0) != 0;
    playbackThreadPriority_ = PriorityLevelFromName(
        ReadString("PlaybackThreadPriority", PriorityLevelToName(playbackThreadPriority_)));
    LoadOptions();
}

// A missing or empty option key keeps the current value; one that does not parse turns its
// option off, and so does a skip fade time that does not parse. A level that does not parse, or
// lies outside its range, is its default.
void TPluginConfig::LoadOptions() {
    LoadSwitch(equalPowerTrans_, "EqualPowerTrans", kEqualPowerKey);
    LoadSwitch(skipFade_, "SkipFade", kSkipFadeKey);
    if (const std::string text = ReadOption("SkipFadeTime", kSkipFadeTimeKey); !text.empty()) {
        if (const auto ms = ParseIniInteger(text))
            skipFadeTime_ = *ms;
        else
            skipFade_ = false;
    }
    LoadSwitch(fadeAcrossFormats_, "FadeAcrossFormats", kFadeAcrossFormatsKey);
    LoadSwitch(skipSilence_, "SkipSilence", kSkipSilenceKey);
    LoadLevel(silenceThresholdDb_, "SilenceThreshold", kSilenceThresholdKey,
              kLowestSilenceThresholdDb, kHighestSilenceThresholdDb, kDefaultSilenceThresholdDb);
    LoadSwitch(fadeOverOwnFadeOut_, "FadeOverOwnFadeOut", kFadeOverOwnFadeOutKey);
    LoadLevel(ownFadeOutDropDb_, "OwnFadeOutDrop", kOwnFadeOutDropKey, kLeastOwnFadeOutDropDb,
              kMostOwnFadeOutDropDb, kDefaultOwnFadeOutDropDb);
    LoadSwitch(playAlbumsThrough_, "PlayAlbumsThrough", kPlayAlbumsThroughKey);
}

void TPluginConfig::LoadSwitch(std::atomic<bool> &field, const char *key, OptionKey which) {
    if (const std::string text = ReadOption(key, which); !text.empty())
        field = ParseIniInteger(text).value_or(0) != 0;
}

void TPluginConfig::LoadLevel(std::atomic<std::int32_t> &field, const char *key, OptionKey which,
                              std::int32_t lowest, std::int32_t highest, std::int32_t fallback) {
    if (const std::string text = ReadOption(key, which); !text.empty())
        field = LevelInRange(ParseIniInteger(text), lowest, highest, fallback);
}

// The option key's text, empty when it is missing; a key the file holds is written from now on.
std::string TPluginConfig::ReadOption(const char *key, OptionKey which) {
    std::string text = ReadString(key, "");
    if (!text.empty())
        optionKeysInUse_ |= which;
    return text;
}

void TPluginConfig::Save() {
    if (iniFileName_.empty())
        return;
    WriteString("FadeTime", std::to_string(fadeTime_));
    WriteString("MinFileSize", std::to_string(minFileSize_));
    WriteString("LogTrans", logTrans_ ? "1" : "0");
    WriteString("PlaybackThreadPriority", PriorityLevelToName(playbackThreadPriority_));
    SaveOptions();
}

void TPluginConfig::SaveOptions() {
    if (optionKeysInUse_ & kEqualPowerKey)
        WriteString("EqualPowerTrans", equalPowerTrans_ ? "1" : "0");
    if (optionKeysInUse_ & kSkipFadeKey)
        WriteString("SkipFade", skipFade_ ? "1" : "0");
    if (optionKeysInUse_ & kSkipFadeTimeKey)
        WriteString("SkipFadeTime", std::to_string(skipFadeTime_));
    if (optionKeysInUse_ & kFadeAcrossFormatsKey)
        WriteString("FadeAcrossFormats", fadeAcrossFormats_ ? "1" : "0");
    if (optionKeysInUse_ & kSkipSilenceKey)
        WriteString("SkipSilence", skipSilence_ ? "1" : "0");
    if (optionKeysInUse_ & kSilenceThresholdKey)
        WriteString("SilenceThreshold", std::to_string(silenceThresholdDb_));
    if (optionKeysInUse_ & kFadeOverOwnFadeOutKey)
        WriteString("FadeOverOwnFadeOut", fadeOverOwnFadeOut_ ? "1" : "0");
    if (optionKeysInUse_ & kOwnFadeOutDropKey)
        WriteString("OwnFadeOutDrop", std::to_string(ownFadeOutDropDb_));
    if (optionKeysInUse_ & kPlayAlbumsThroughKey)
        WriteString("PlayAlbumsThrough", playAlbumsThrough_ ? "1" : "0");
}

std::int32_t TPluginConfig::ReadInteger(const char *key, std::int32_t current) const {
    return ParseIniInteger(ReadString(key, std::to_string(current))).value_or(current);
}

std::string TPluginConfig::ReadString(const char *key, const std::string &current) const {
    std::vector<wchar_t> value(kValueCapacity, L'\0');
    GetPrivateProfileStringW(kSection, Widen(key).c_str(), AnsiToWide(current).c_str(),
                             value.data(), kValueCapacity, iniFileName_.c_str());
    value.back() = L'\0';
    return WideToAnsi(value.data());
}

void TPluginConfig::WriteString(const char *key, const std::string &value) const {
    if (!WritePrivateProfileStringW(kSection, Widen(key).c_str(), AnsiToWide(value).c_str(),
                                    iniFileName_.c_str()))
        throw EPluginError("Unable to write to " + WideToAnsi(iniFileName_));
}

template <class T> void TPluginConfig::Change(std::atomic<T> &field, T value) {
    if (field.load() == value)
        return;
    field = value;
    Save();
}

template <class T> void TPluginConfig::ChangeOption(std::atomic<T> &field, T value, OptionKey key) {
    if (field.load() == value)
        return;
    field = value;
    optionKeysInUse_ |= key;
    Save();
}

void TPluginConfig::SetFadeTime(std::int32_t value) {
    Change(fadeTime_, value);
}

void TPluginConfig::SetMinFileSize(std::int32_t value) {
    Change(minFileSize_, value);
}

void TPluginConfig::SetLogTrans(bool value) {
    Change(logTrans_, value);
}

void TPluginConfig::SetPlaybackThreadPriority(TPriorityLevel value) {
    Change(playbackThreadPriority_, value);
}

void TPluginConfig::SetEqualPowerTrans(bool value) {
    ChangeOption(equalPowerTrans_, value, kEqualPowerKey);
}

void TPluginConfig::SetSkipFade(bool value) {
    ChangeOption(skipFade_, value, kSkipFadeKey);
}

void TPluginConfig::SetSkipFadeTime(std::int32_t value) {
    ChangeOption(skipFadeTime_, value, kSkipFadeTimeKey);
}

void TPluginConfig::SetFadeAcrossFormats(bool value) {
    ChangeOption(fadeAcrossFormats_, value, kFadeAcrossFormatsKey);
}

void TPluginConfig::SetSkipSilence(bool value) {
    ChangeOption(skipSilence_, value, kSkipSilenceKey);
}

void TPluginConfig::SetSilenceThresholdDb(std::int32_t value) {
    ChangeOption(silenceThresholdDb_,
                 LevelInRange(value, kLowestSilenceThresholdDb, kHighestSilenceThresholdDb,
                              kDefaultSilenceThresholdDb),
                 kSilenceThresholdKey);
}

void TPluginConfig::SetFadeOverOwnFadeOut(bool value) {
    ChangeOption(fadeOverOwnFadeOut_, value, kFadeOverOwnFadeOutKey);
}

void TPluginConfig::SetOwnFadeOutDropDb(std::int32_t value) {
    ChangeOption(ownFadeOutDropDb_,
                 LevelInRange(value, kLeastOwnFadeOutDropDb, kMostOwnFadeOutDropDb,
                              kDefaultOwnFadeOutDropDb),
                 kOwnFadeOutDropKey);
}

void TPluginConfig::SetPlayAlbumsThrough(bool value) {
    ChangeOption(playAlbumsThrough_, value, kPlayAlbumsThroughKey);
}

bool TPluginConfig::DeleteIniFile() {
    const std::wstring fileName = std::exchange(iniFileName_, std::wstring());
    return !fileName.empty() && DeleteFileW(fileName.c_str()) != 0;
}
