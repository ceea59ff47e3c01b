#include "PluginConfigUnit.h"

#include "../hostlink/PluginError.h"
#include "../hostlink/WinAmpAPIUnit.h"

#include <windows.h>

#include <string_view>
#include <utility>
#include <vector>

namespace {

constexpr const char *kSection = "HVQBlend";
constexpr const char *kIniFile = "HVQBlend.ini";
constexpr const char *kPluginsFolder = "Plugins";
constexpr DWORD kValueCapacity = 2048;

bool IsPathDelimiter(char c) {
    return c == '\\' || c == '/';
}

bool DirectoryExists(const std::string &path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool FileExists(const std::string &path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// Creates the folder with its missing parents. A failure shows later, when the file is written.
void ForceDirectories(std::string path) {
    while (!path.empty() && IsPathDelimiter(path.back()))
        path.pop_back();
    if (path.empty() || DirectoryExists(path))
        return;
    const std::size_t cut = path.find_last_of("\\/");
    if (cut != std::string::npos && cut > 0)
        ForceDirectories(path.substr(0, cut));
    CreateDirectoryA(path.c_str(), nullptr);
}

// The folder part with its trailing delimiter; empty for a bare name.
std::string FolderOf(const std::string &fileName) {
    const std::size_t cut = fileName.find_last_of("\\/");
    return cut == std::string::npos ? std::string() : fileName.substr(0, cut + 1);
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

TPluginConfig::TPluginConfig(const TWinAmpAPIMan *hostLink, const std::string &ownLibraryFileName) {
    if (!hostLink)
        throw EPluginError("Infernal Error!");
    const std::string hostFolder = hostLink->GetHostIniFolder();
    if (hostFolder.empty()) {
        ChooseIniFileBesideLibrary(ownLibraryFileName);
        Load();
        return;
    }
    const std::string pluginsFolder = hostFolder + kPluginsFolder;
    ForceDirectories(pluginsFolder);
    iniFileName_ = pluginsFolder + "\\" + kIniFile;
    // Older versions kept the file directly in the host's settings folder. Once the Plugins
    // folder has a file, that one holds the user's settings, whatever is left of the older one.
    const std::string olderFileName = hostFolder + kIniFile;
    if (!FileExists(iniFileName_) && FileExists(olderFileName))
        MoveFromOlderLocation(olderFileName);
    else
        Load();
}

TPluginConfig::~TPluginConfig() {
    Firewall([this] { Save(); });
}

void TPluginConfig::ChooseIniFileBesideLibrary(const std::string &ownLibraryFileName) {
    const std::string folder = FolderOf(ownLibraryFileName);
    iniFileName_ = folder.empty() ? std::string() : folder + kIniFile;
}

// Only ever into a Plugins folder that has no settings file yet.
void TPluginConfig::MoveFromOlderLocation(const std::string &olderFileName) {
    const std::string target = std::exchange(iniFileName_, olderFileName);
    Load();
    iniFileName_ = target;
    // Written before the older file goes, so that a failed write loses no settings. An older
    // file that cannot be deleted does no harm: the file written here takes precedence.
    Save();
    DeleteFileA(olderFileName.c_str());
}

void TPluginConfig::Load() {
    if (iniFileName_.empty())
        return;
    fadeTime_ = ReadInteger("FadeTime", fadeTime_);
    minFileSize_ = ReadInteger("MinFileSize", minFileSize_);
    logTrans_ = ReadInteger("LogTrans", logTrans_ ? 1 : 0) != 0;
    playbackThreadPriority_ = PriorityLevelFromName(
        ReadString("PlaybackThreadPriority", PriorityLevelToName(playbackThreadPriority_)));
}

void TPluginConfig::Save() {
    if (iniFileName_.empty())
        return;
    WriteString("FadeTime", std::to_string(fadeTime_));
    WriteString("MinFileSize", std::to_string(minFileSize_));
    WriteString("LogTrans", logTrans_ ? "1" : "0");
    WriteString("PlaybackThreadPriority", PriorityLevelToName(playbackThreadPriority_));
}

std::int32_t TPluginConfig::ReadInteger(const char *key, std::int32_t current) const {
    return ParseIniInteger(ReadString(key, std::to_string(current))).value_or(current);
}

std::string TPluginConfig::ReadString(const char *key, const std::string &current) const {
    std::vector<char> value(kValueCapacity, '\0');
    GetPrivateProfileStringA(kSection, key, current.c_str(), value.data(), kValueCapacity,
                             iniFileName_.c_str());
    value.back() = '\0';
    return value.data();
}

void TPluginConfig::WriteString(const char *key, const std::string &value) const {
    if (!WritePrivateProfileStringA(kSection, key, value.c_str(), iniFileName_.c_str()))
        throw EPluginError("Unable to write to " + iniFileName_);
}

template <class T> void TPluginConfig::Change(std::atomic<T> &field, T value) {
    if (field.load() == value)
        return;
    field = value;
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

bool TPluginConfig::DeleteIniFile() {
    const std::string fileName = std::exchange(iniFileName_, std::string());
    return !fileName.empty() && DeleteFileA(fileName.c_str()) != 0;
}
