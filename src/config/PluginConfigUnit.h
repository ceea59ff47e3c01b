// The plug-in's user settings (four, and the transition options after them), kept in HVQBlend.ini
// in the "Plugins" folder of the host's settings folder, and the playback-thread priority levels
// they share with the dialog and thread.
#pragma once

#include "PluginConfigValues.h"

#include <atomic>
#include <cstdint>
#include <string>

class TWinAmpAPIMan;

// The Win32 thread priority of a level; THREAD_PRIORITY_NORMAL for a value outside 0..6.
int PriorityLevelToThreadPriority(TPriorityLevel level);

// Written on the host's user-interface thread only (construction, the setters, DeleteIniFile,
// destruction); the playback thread reads the values at any time, hence the atomics.
class TPluginConfig {
  public:
    // Chooses the settings file, loads it, and moves one from the older location when the
    // Plugins folder has none yet (never over an existing one). Raises
    // EPluginError("Infernal Error!") without a host link, and the write error of Save() when
    // the moved settings cannot be written (the older file is then left where it was).
    // A host that names no settings folder gets the file beside the plug-in's own library
    // (ownLibraryFileName, normally the host's Plugins folder); without that either there is
    // no settings file at all and the settings live in memory only.
    // Paths are wide throughout: the host's wide INI path where it offers one.
    TPluginConfig(const TWinAmpAPIMan *hostLink, const std::wstring &ownLibraryFileName);
    // The same from a library path in the ANSI code page.
    TPluginConfig(const TWinAmpAPIMan *hostLink, const std::string &ownLibraryFileName);
    // Saves; a write error is swallowed here, as nobody could be told at shut-down.
    ~TPluginConfig();
    TPluginConfig(const TPluginConfig &) = delete;
    TPluginConfig &operator=(const TPluginConfig &) = delete;

    // Reads the four keys; a missing key or a value that is no integer keeps the current value.
    // Then the option keys: a value that is no integer turns its option off, and a level that is
    // no integer or lies outside its range is its default.
    void Load();
    // Writes the four keys in their order, then each option key that the file held or the user
    // changed. Raises EPluginError("Unable to write to <path>").
    void Save();

    // Each stores a different value and saves at once; an equal value writes nothing. The new
    // value is kept in memory even when the save then fails.
    void SetFadeTime(std::int32_t value);
    void SetMinFileSize(std::int32_t value);
    void SetLogTrans(bool value);
    void SetPlaybackThreadPriority(TPriorityLevel value);
    void SetEqualPowerTrans(bool value);
    void SetSkipFade(bool value);
    void SetSkipFadeTime(std::int32_t value);
    void SetFadeAcrossFormats(bool value);
    void SetSkipSilence(bool value);
    // A level outside its range stores the default (as the file's value does).
    void SetSilenceThresholdDb(std::int32_t value);
    void SetFadeOverOwnFadeOut(bool value);
    void SetOwnFadeOutDropDb(std::int32_t value); // outside its range: the default
    void SetPlayAlbumsThrough(bool value);

    // Forgets the settings file for the rest of this object's life, then deletes it. Answers
    // whether a file was deleted.
    bool DeleteIniFile();

    // Empty when there is no settings file: loading and saving then do nothing.
    const std::wstring &IniFileName() const { return iniFileName_; }
    std::int32_t FadeTime() const { return fadeTime_; }       // crossfade time in ms
    std::int32_t MinFileSize() const { return minFileSize_; } // shortest crossfaded track in ms
    bool LogTrans() const { return logTrans_; }               // logarithmic transitions
    TPriorityLevel PlaybackThreadPriority() const { return playbackThreadPriority_; }
    // The options, all off until the user turns them on. Equal power wins over LogTrans.
    bool EqualPowerTrans() const { return equalPowerTrans_; }   // equal-power transitions
    bool SkipFade() const { return skipFade_; }                 // fade when the user skips
    std::int32_t SkipFadeTime() const { return skipFadeTime_; } // in ms
    // Crossfade into a track of another rate, width or channel count too.
    bool FadeAcrossFormats() const { return fadeAcrossFormats_; }
    // Leave out the silence at a track's end and at the next one's start.
    bool SkipSilence() const { return skipSilence_; }
    // Silence is what stays below this peak level, in dBFS (-90..-20).
    std::int32_t SilenceThresholdDb() const { return silenceThresholdDb_; }
    // Lay the crossfade over a track's own fade-out.
    bool FadeOverOwnFadeOut() const { return fadeOverOwnFadeOut_; }
    // Where the own fade-out begins to count: this many dB below the track's body (3..40).
    std::int32_t OwnFadeOutDropDb() const { return ownFadeOutDropDb_; }
    // Join consecutive tracks of one album without a crossfade.
    bool PlayAlbumsThrough() const { return playAlbumsThrough_; }

  private:
    void ChooseIniFileBesideLibrary(const std::wstring &ownLibraryFileName);
    void MoveFromOlderLocation(const std::wstring &olderFileName);
    std::int32_t ReadInteger(const char *key, std::int32_t current) const;
    std::string ReadString(const char *key, const std::string &current) const;
    void WriteString(const char *key, const std::string &value) const;
    template <class T> void Change(std::atomic<T> &field, T value);
    // The option keys, each written from the first time the file held it or the user changed it.
    enum OptionKey : unsigned {
        kEqualPowerKey = 1,
        kSkipFadeKey = 2,
        kSkipFadeTimeKey = 4,
        kFadeAcrossFormatsKey = 8,
        kSkipSilenceKey = 16,
        kSilenceThresholdKey = 32,
        kFadeOverOwnFadeOutKey = 64,
        kOwnFadeOutDropKey = 128,
        kPlayAlbumsThroughKey = 256,
    };
    template <class T> void ChangeOption(std::atomic<T> &field, T value, OptionKey key);
    void LoadOptions();
    void SaveOptions();
    std::string ReadOption(const char *key, OptionKey which);
    void LoadSwitch(std::atomic<bool> &field, const char *key, OptionKey which);
    void LoadLevel(std::atomic<std::int32_t> &field, const char *key, OptionKey which,
                   std::int32_t lowest, std::int32_t highest, std::int32_t fallback);

    std::wstring iniFileName_;
    std::atomic<std::int32_t> fadeTime_{5000};
    std::atomic<std::int32_t> minFileSize_{10000};
    std::atomic<bool> logTrans_{false};
    std::atomic<TPriorityLevel> playbackThreadPriority_{TPriorityLevel::Higher};
    std::atomic<bool> equalPowerTrans_{false};
    std::atomic<bool> skipFade_{false};
    std::atomic<std::int32_t> skipFadeTime_{1000};
    std::atomic<bool> fadeAcrossFormats_{false};
    std::atomic<bool> skipSilence_{false};
    std::atomic<std::int32_t> silenceThresholdDb_{kDefaultSilenceThresholdDb};
    std::atomic<bool> fadeOverOwnFadeOut_{false};
    std::atomic<std::int32_t> ownFadeOutDropDb_{kDefaultOwnFadeOutDropDb};
    std::atomic<bool> playAlbumsThrough_{false};
    unsigned optionKeysInUse_ = 0; // OptionKey bits
};
