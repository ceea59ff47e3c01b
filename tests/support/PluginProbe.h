// Test helpers shared by the product's test programs: the TestPlugin_* exports of a loaded test
// plug-in, and names of synthetic tones with the PCM they decode to.
#pragma once

#include "RefHost.h"
#include "SynthSignal.h"

#include <cstdint>
#include <string>
#include <vector>

namespace support {

// The introspection exports of one loaded test plug-in.
class PluginProbe {
public:
    explicit PluginProbe(HMODULE library);
    PluginProbe(refhost::RefHost &host, const std::wstring &installedName);

    int Count(const char *entryPoint) const { return count_(entryPoint); }
    std::string Log() const;
    void ClearLog() const { clear_(); }
    int OpenReads() const { return openReads_(); }
    int TotalOpens() const { return opens_(); }
    int TotalCloses() const { return closes_(); }
    int BadCloses() const { return badCloses_(); }
    void LastWishes(int &bps, int &nch, int &srate) const { wishes_(&bps, &nch, &srate); }
    void Set(const char *knob, int value) const { set_(knob, value); }

private:
    int(__cdecl *count_)(const char *) = nullptr;
    int(__cdecl *log_)(char *, int) = nullptr;
    void(__cdecl *clear_)() = nullptr;
    int(__cdecl *openReads_)() = nullptr;
    int(__cdecl *opens_)() = nullptr;
    int(__cdecl *closes_)() = nullptr;
    int(__cdecl *badCloses_)() = nullptr;
    void(__cdecl *wishes_)(int *, int *, int *) = nullptr;
    void(__cdecl *set_)(const char *, int) = nullptr;
};

// "C:\music\tone_<rate>_<channels>_<bits>_<ms>[_<seed>][_<shaping>].<extension>"; shaping is
// tokens such as L"L500_T3000_F4000" (see SynthSignal.h).
std::wstring ToneName(int rate, int channels, int bits, int ms, const std::wstring &extension = L"syw",
                      int seed = 0, const std::wstring &shaping = L"");
// An album of consecutive tracks cut from one piece of that seed: track k (from 1) of trackMs[k-1]
// ms carries "P<frames before it>_A<album>_N<k>".
std::vector<std::wstring> AlbumNames(int rate, int channels, int bits, const std::vector<int> &trackMs,
                                     int seed, int album, const std::wstring &extension = L"syw");
// The whole PCM a tone decodes to, or the part from firstFrame on.
std::vector<std::uint8_t> TonePcm(const std::wstring &name, std::int64_t firstFrame = 0);

} // namespace support
