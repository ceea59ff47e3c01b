#include "PluginProbe.h"

#include <stdexcept>

namespace support {

namespace {

template <class F>
void Bind(HMODULE library, const char *name, F &target) {
    target = reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(library, name)));
    if (!target)
        throw std::runtime_error(std::string("test plug-in without ") + name);
}

} // namespace

PluginProbe::PluginProbe(HMODULE library) {
    Bind(library, "TestPlugin_Count", count_);
    Bind(library, "TestPlugin_Log", log_);
    Bind(library, "TestPlugin_ClearLog", clear_);
    Bind(library, "TestPlugin_OpenReads", openReads_);
    Bind(library, "TestPlugin_TotalOpens", opens_);
    Bind(library, "TestPlugin_TotalCloses", closes_);
    Bind(library, "TestPlugin_BadCloses", badCloses_);
    Bind(library, "TestPlugin_LastWishes", wishes_);
    Bind(library, "TestPlugin_Set", set_);
}

PluginProbe::PluginProbe(refhost::RefHost &host, const std::wstring &installedName)
    : PluginProbe(host.Plugin(installedName)->Library) {}

std::string PluginProbe::Log() const {
    std::string text(static_cast<std::size_t>(log_(nullptr, 0)) + 1, '\0');
    log_(text.data(), static_cast<int>(text.size()));
    text.pop_back();
    return text;
}

std::wstring ToneName(int rate, int channels, int bits, int ms, const std::wstring &extension, int seed,
                      const std::wstring &shaping) {
    std::wstring name = L"C:\\music\\tone_" + std::to_wstring(rate) + L"_" + std::to_wstring(channels) +
                        L"_" + std::to_wstring(bits) + L"_" + std::to_wstring(ms);
    if (seed != 0)
        name += L"_" + std::to_wstring(seed);
    if (!shaping.empty())
        name += L"_" + shaping;
    return name + L"." + extension;
}

std::vector<std::wstring> AlbumNames(int rate, int channels, int bits, const std::vector<int> &trackMs,
                                     int seed, int album, const std::wstring &extension) {
    std::vector<std::wstring> names;
    std::int64_t piece = 0;
    for (const int ms : trackMs) {
        const std::wstring tokens = L"P" + std::to_wstring(piece) + L"_A" + std::to_wstring(album) +
                                    L"_N" + std::to_wstring(names.size() + 1);
        names.push_back(ToneName(rate, channels, bits, ms, extension, seed, tokens));
        piece += static_cast<std::int64_t>(rate) * ms / 1000;
    }
    return names;
}

std::vector<std::uint8_t> TonePcm(const std::wstring &name, std::int64_t firstFrame) {
    const auto format = ParseSynthName(name);
    if (!format)
        throw std::runtime_error("not a tone name");
    const std::int64_t frames = SynthTotalFrames(*format) - firstFrame;
    std::vector<std::uint8_t> pcm(static_cast<std::size_t>(frames) * format->Channels * (format->Bits / 8));
    SynthPcm(*format, firstFrame, frames, pcm.data());
    return pcm;
}

} // namespace support
