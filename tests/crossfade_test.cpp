// Crossfades through the reference host, compared byte for byte with an expected output that is
// computed here from the transition's formulas, independently of the product's mixer.
#include "RefHost.h"
#include "sound/FadeOutConversion.h"
#include "support/FakeFadeOutSource.h"
#include "support/PluginProbe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <numbers>
#include <thread>
#include <tuple>

namespace {

using namespace hostapi;
using refhost::HostMessage;
using refhost::RefHost;
using support::AlbumNames;
using support::PluginProbe;
using support::ToneName;
using support::TonePcm;
using Bytes = std::vector<std::uint8_t>;

struct Settings {
    int FadeTimeMs = 500;
    int MinFileSizeMs = 400;
    bool LogCurve = false;
    bool EqualPower = false;    // written to the settings file only when set
    int SkipFadeMs = 0;         // the fade on skip, off at 0
    bool AcrossFormats = false; // written only when set
    bool SkipSilence = false;   // the options that follow the music, each written only when set
    bool OwnFadeOuts = false;
    bool AlbumsThrough = false;
    int SilenceThresholdDb = 0; // written only when set
};

// ---- the expected output, from the formulas ----

std::int64_t Sample(const std::uint8_t *at, int bits) {
    switch (bits) {
    case 8:
        return at[0];
    case 16:
        return static_cast<std::int16_t>(at[0] | at[1] << 8);
    case 24: {
        const std::int32_t value = at[0] | at[1] << 8 | at[2] << 16;
        return value >= 0x800000 ? value - 0x1000000 : value;
    }
    default:
        return static_cast<std::int32_t>(at[0] | at[1] << 8 | at[2] << 16 |
                                         static_cast<std::uint32_t>(at[3]) << 24);
    }
}

void Store(std::uint8_t *at, int bits, std::int64_t value) {
    for (int byte = 0; byte < bits / 8; ++byte)
        at[byte] = static_cast<std::uint8_t>(static_cast<std::uint64_t>(value) >> (8 * byte));
}

double Gain(double x, bool logCurve) {
    return logCurve ? -std::log10(0.9 * (1.0 - x) + 0.1) : x;
}

struct Format {
    int Rate, Channels, Bits;
    int FrameBytes() const { return Bits / 8 * Channels; }
    int BytesPerSecond() const { return Rate * FrameBytes(); }
    int BlockBytes() const {
        int bytes = Rate * FrameBytes() / 64;
        if (bytes < 20)
            bytes = 4096;
        return bytes - bytes % FrameBytes();
    }
};

// Where the outgoing track is handed over: the first block before which the output's written
// time has passed its length minus the fade time. Answers the bytes of it that are written.
struct HandOver {
    std::size_t WrittenBytes = 0;
    int RemainingMs = 0;
};

HandOver FindHandOver(const Format &format, std::size_t trackBytes, int fadeTimeMs) {
    const auto frames = static_cast<std::int64_t>(trackBytes) / format.FrameBytes();
    const auto lengthMs =
        static_cast<int>(std::llround(static_cast<double>(frames) / (format.Rate * 0.001)));
    const std::size_t block = static_cast<std::size_t>(format.BlockBytes());
    for (std::size_t written = 0; written < trackBytes; written += block) {
        const auto writtenMs =
            static_cast<int>(static_cast<std::int64_t>(written) * 1000 / format.BytesPerSecond());
        if (writtenMs > lengthMs - fadeTimeMs)
            return {std::min(written + block, trackBytes), lengthMs - writtenMs};
    }
    return {trackBytes, 0};
}

// The incoming track with the rest of the outgoing one mixed into it: p falls from 1 by one step
// per frame; the outgoing decoder is read in its own blocks and let go when it has nothing more,
// or at the first block read after p reached 0.
Bytes Mixed(const Format &format, const Bytes &incoming, const Bytes &outgoingRest, int fadeMs,
            bool logCurve, bool equalPower = false, std::size_t oldBlockBytes = 0,
            double inSpeed = 1.0, double outSpeed = 1.0) {
    Bytes out = incoming;
    const int width = format.Bits / 8;
    const std::int64_t zero = format.Bits == 8 ? 128 : 0;
    const double seconds = fadeMs * 0.001;
    const double step = seconds != 0.0 ? 1.0 / seconds / format.Rate : 1.0;
    const std::size_t block =
        oldBlockBytes ? oldBlockBytes : static_cast<std::size_t>(format.BlockBytes());
    std::size_t next = 0, blockEnd = 0, at = 0; // in outgoingRest
    bool alive = true, haveBlock = false;
    double p = 1.0;
    const auto fetch = [&](bool reached) {
        if (next >= outgoingRest.size() || reached) {
            alive = haveBlock = false;
            return;
        }
        at = next;
        blockEnd = std::min(next + block, outgoingRest.size());
        next = blockEnd;
        haveBlock = true;
    };
    for (std::size_t frame = 0; frame * format.FrameBytes() < out.size() && alive; ++frame) {
        if (p != 0.0) {
            p -= step;
            if (p < 0.0)
                p = 0.0;
        }
        const bool reached = p == 0.0;
        if (!haveBlock)
            fetch(reached);
        if (!alive)
            break;
        const auto gain = [&](double x) {
            return equalPower ? std::sin(std::numbers::pi / 2 * x) : Gain(x, logCurve);
        };
        const double newGain = gain(std::min(1.0, (1.0 - p) * inSpeed));
        const double oldGain = gain(std::min(1.0, p * outSpeed));
        for (int channel = 0; channel < format.Channels; ++channel) {
            std::uint8_t *sample = &out[frame * format.FrameBytes() + channel * width];
            const std::int64_t newValue = Sample(sample, format.Bits) - zero;
            const std::int64_t oldValue = Sample(&outgoingRest[at], format.Bits) - zero;
            at += width;
            double value =
                newGain * static_cast<double>(newValue) + oldGain * static_cast<double>(oldValue);
            value += static_cast<double>(zero);
            // Held at the format's limits: only an equal-power sum gets there.
            const std::int64_t top =
                format.Bits == 8 ? 255 : (std::int64_t{1} << (format.Bits - 1)) - 1;
            const std::int64_t bottom = format.Bits == 8 ? 0 : -top - 1;
            Store(sample, format.Bits, std::clamp(static_cast<std::int64_t>(value), bottom, top));
        }
        if (at == blockEnd)
            fetch(reached);
    }
    return out;
}

// The whole output of a two-track playlist whose first track hands over to the second.
Bytes ExpectedTransition(const std::wstring &first, const std::wstring &second,
                         const Settings &settings) {
    const auto formatOf = [](const std::wstring &name) {
        const SynthFormat tone = *ParseSynthName(name);
        return Format{tone.Rate, tone.Channels, tone.Bits};
    };
    const Format format = formatOf(first);
    const Bytes a = TonePcm(first), b = TonePcm(second);
    const HandOver handOver = FindHandOver(format, a.size(), settings.FadeTimeMs);
    const int fadeMs = std::min(handOver.RemainingMs, settings.FadeTimeMs);
    const Bytes rest(a.begin() + static_cast<long>(handOver.WrittenBytes), a.end());
    Bytes out(a.begin(), a.begin() + static_cast<long>(handOver.WrittenBytes));
    const Bytes mixed = Mixed(format, b, rest, fadeMs, settings.LogCurve, settings.EqualPower);
    out.insert(out.end(), mixed.begin(), mixed.end());
    return out;
}

// ---- the host ----

class Crossfade : public ::testing::Test {
  protected:
    void StartWith(const Settings &settings) {
        if (hookBuild_)
            host.InstallPlugin(L"in_hvqblend_hooks.dll", L"in_hvqblend.dll");
        else
            host.InstallProduct();
        for (const wchar_t *plugin : kPlugins)
            host.InstallPlugin(plugin);
        const std::string ini = (host.PluginsFolder() / L"HVQBlend.ini").string();
        const auto write = [&](const char *key, const std::string &value) {
            WritePrivateProfileStringA("HVQBlend", key, value.c_str(), ini.c_str());
        };
        write("FadeTime", std::to_string(settings.FadeTimeMs));
        write("MinFileSize", std::to_string(settings.MinFileSizeMs));
        write("LogTrans", settings.LogCurve ? "1" : "0");
        if (settings.EqualPower)
            write("EqualPowerTrans", "1");
        if (settings.SkipFadeMs > 0) {
            write("SkipFade", "1");
            write("SkipFadeTime", std::to_string(settings.SkipFadeMs));
        }
        if (settings.AcrossFormats)
            write("FadeAcrossFormats", "1");
        if (settings.SkipSilence)
            write("SkipSilence", "1");
        if (settings.OwnFadeOuts)
            write("FadeOverOwnFadeOut", "1");
        if (settings.AlbumsThrough)
            write("PlayAlbumsThrough", "1");
        if (settings.SilenceThresholdDb != 0)
            write("SilenceThreshold", std::to_string(settings.SilenceThresholdDb));
        host.Start();
    }
    void TearDown() override {
        // Where the host has stopped, nothing the engine opened stays open before the host
        // quits (which lets go of everything anyway); a reader ahead may take a moment to come
        // back from an open it began.
        const auto openReads = [&] {
            return PluginProbe(host, L"in_synthw.dll").OpenReads() +
                   PluginProbe(host, L"in_syntha.dll").OpenReads();
        };
        if (!host.IsPlaying()) {
            const bool quiet =
                host.WaitUntil([&] { return openReads() == 0 || host.IsPlaying(); }, 2000);
            EXPECT_TRUE(quiet) << openReads() << " decoders open after the host stopped";
        }
        host.Shutdown();
        for (const wchar_t *plugin : kPlugins) {
            if (std::wstring(plugin) == L"in_synthnx.dll")
                continue;
            PluginProbe probe(host, plugin);
            EXPECT_EQ(probe.OpenReads(), 0) << plugin;
            EXPECT_EQ(probe.TotalOpens(), probe.TotalCloses()) << plugin;
            EXPECT_EQ(probe.BadCloses(), 0) << plugin;
        }
    }
    void PlayToTheEnd(std::vector<std::wstring> playlist) {
        host.SetPlaylist(std::move(playlist));
        ASSERT_EQ(host.StartPlaying(0), 0);
        ASSERT_TRUE(host.WaitUntil([&] { return !host.IsPlaying(); }, 20000));
        host.Pump(30);
    }
    refhost::RecordingOutput &out() { return host.Output(); }
    // The output still plays what the engine gave it.
    bool Busy() { return out().Module()->IsPlaying() != 0; }
    // Whether the first bytes of a recording equal the expectation, and where they part.
    static std::string Compare(const Bytes &actual, const Bytes &expected) {
        if (actual.size() != expected.size())
            return "sizes " + std::to_string(actual.size()) + " and " +
                   std::to_string(expected.size());
        const auto diff = std::mismatch(actual.begin(), actual.end(), expected.begin());
        if (diff.first == actual.end())
            return "equal";
        return "first difference at byte " + std::to_string(diff.first - actual.begin());
    }
    std::vector<HostMessage> AskedFor(LPARAM number) const { return host.IpcMessages(number); }
    // Silence heard up to the last write (after it the playlist is over).
    double UnderrunUntilTheLastWrite() {
        const auto calls = out().Calls();
        for (auto call = calls.rbegin(); call != calls.rend(); ++call) {
            if (call->Name == "Write")
                return call->UnderrunMs;
        }
        return -1.0;
    }

    // The next thread to reach the hook point waits there (the plug-in built with its hook
    // points able to hold a thread: see src/hostlink/TestHooks.h).
    void HoldAt(const char *point, int milliseconds) {
        const HMODULE product = host.Plugin(L"in_hvqblend.dll")->Library;
        const auto holdAt = reinterpret_cast<void(__cdecl *)(const char *, int)>(
            reinterpret_cast<void *>(GetProcAddress(product, "HvqTest_HoldAt")));
        ASSERT_NE(holdAt, nullptr) << "not the build of the plug-in with its hook points";
        holdAt(point, milliseconds);
    }
    int TimesHeld(const char *point) {
        const HMODULE product = host.Plugin(L"in_hvqblend.dll")->Library;
        const auto timesHeld = reinterpret_cast<int(__cdecl *)(const char *)>(
            reinterpret_cast<void *>(GetProcAddress(product, "HvqTest_TimesHeld")));
        return timesHeld ? timesHeld(point) : -1;
    }

    static constexpr const wchar_t *kPlugins[] = {L"in_synthw.dll", L"in_syntha.dll",
                                                  L"in_synthnx.dll"};
    RefHost host;
    bool hookBuild_ = false;
};
struct Shape {
    int Bits, Channels;
    bool LogCurve;
};

class EveryShape : public Crossfade, public ::testing::WithParamInterface<Shape> {};

TEST_P(EveryShape, MixesTheOutgoingTrackIntoTheNextByteForByte) {
    const Shape shape = GetParam();
    Settings settings;
    settings.LogCurve = shape.LogCurve;
    StartWith(settings);
    const std::wstring first = ToneName(8000, shape.Channels, shape.Bits, 1500, L"syw", 3);
    const std::wstring second = ToneName(8000, shape.Channels, shape.Bits, 1000, L"sya", 4);
    PlayToTheEnd({first, second});
    EXPECT_EQ(Compare(out().Pcm(), ExpectedTransition(first, second, settings)), "equal");
    EXPECT_EQ(out().CountOf("Open"), 1);
    EXPECT_EQ(out().CountOf("Flush"), 1); // the second track restarted the output's clock
}

// The equal-power curve chosen in the settings file reaches the engine at Init; tones of one
// level sum above full scale in the middle of the fade and are held there.
class EqualPowerAtEveryWidth : public Crossfade, public ::testing::WithParamInterface<int> {};

TEST_P(EqualPowerAtEveryWidth, MixesByteForByteHeldAtFullScale) {
    Settings settings;
    settings.EqualPower = true;
    StartWith(settings);
    const std::wstring first = ToneName(8000, 2, GetParam(), 1500, L"syw", 3);
    const std::wstring second = ToneName(8000, 2, GetParam(), 1000, L"sya", 3);
    PlayToTheEnd({first, second});
    const Bytes expected = ExpectedTransition(first, second, settings);
    EXPECT_EQ(Compare(out().Pcm(), expected), "equal");
    // Linear mixing of the same tracks differs: the curve did reach the engine.
    Settings linear;
    EXPECT_NE(expected, ExpectedTransition(first, second, linear));
}

INSTANTIATE_TEST_SUITE_P(Crossfade, EqualPowerAtEveryWidth, ::testing::Values(8, 16, 24, 32));

INSTANTIATE_TEST_SUITE_P(Crossfade, EveryShape,
                         ::testing::Values(Shape{8, 1, false}, Shape{8, 2, true},
                                           Shape{16, 1, true}, Shape{16, 2, false},
                                           Shape{16, 2, true}, Shape{24, 1, false},
                                           Shape{24, 2, true}, Shape{32, 1, true},
                                           Shape{32, 2, false}, Shape{8, 2, false},
                                           Shape{24, 2, false}, Shape{32, 2, true}));

TEST_F(Crossfade, AtFortyFourKilohertzTheFadeTakesItsFullTime) {
    Settings settings{2000, 1000, false};
    StartWith(settings);
    const std::wstring first = ToneName(44100, 2, 16, 3000, L"syw", 5);
    const std::wstring second = ToneName(44100, 2, 16, 2500, L"syw", 6);
    PlayToTheEnd({first, second});
    EXPECT_EQ(Compare(out().Pcm(), ExpectedTransition(first, second, settings)), "equal");
}

TEST_F(Crossfade, TheFadeIsShortenedToWhatWasLeftOfTheOutgoingTrack) {
    // A one-second track with a three-second fade time hands over at once.
    Settings settings{3000, 500, true};
    StartWith(settings);
    const std::wstring first = ToneName(8000, 2, 16, 1000, L"syw", 7);
    const std::wstring second = ToneName(8000, 2, 16, 2000, L"syw", 8);
    PlayToTheEnd({first, second});
    EXPECT_EQ(FindHandOver(Format{8000, 2, 16}, TonePcm(first).size(), 3000).WrittenBytes,
              125u * 4);
    EXPECT_EQ(Compare(out().Pcm(), ExpectedTransition(first, second, settings)), "equal");
}

TEST_F(Crossfade, AnOutgoingDecoderThatEndsEarlyLeavesTheRestAtFullLevel) {
    Settings settings;
    StartWith(settings);
    // The first track's decoder promises 1500 ms but gives only the first 1200.
    PluginProbe(host, L"in_synthw.dll").Set("EndAfterBytes", 1200 * 8 * 4);
    const std::wstring first = ToneName(8000, 2, 16, 1500, L"syw", 9);
    const std::wstring second = ToneName(8000, 2, 16, 1000, L"sya", 10);
    PlayToTheEnd({first, second});
    Bytes cut = TonePcm(first);
    cut.resize(1200 * 8 * 4);
    // Expected: the same hand-over, with the old sound ending where the decoder ended.
    const Format format{8000, 2, 16};
    const HandOver handOver = FindHandOver(format, TonePcm(first).size(), settings.FadeTimeMs);
    ASSERT_LT(handOver.WrittenBytes, cut.size());
    Bytes expected(cut.begin(), cut.begin() + static_cast<long>(handOver.WrittenBytes));
    const Bytes rest(cut.begin() + static_cast<long>(handOver.WrittenBytes), cut.end());
    const Bytes mixed =
        Mixed(format, TonePcm(second), rest, std::min(handOver.RemainingMs, 500), false);
    expected.insert(expected.end(), mixed.begin(), mixed.end());
    EXPECT_EQ(Compare(out().Pcm(), expected), "equal");
    // After the old sound, the second track is there unchanged.
    const Bytes second_pcm = TonePcm(second);
    EXPECT_TRUE(std::equal(second_pcm.end() - 4000, second_pcm.end(), out().Pcm().end() - 4000));
}

// A hand-edited settings file may hold any number: a fade time of 0 or below is no fade.
TEST_F(Crossfade, AFadeTimeOfZeroOrBelowIsNoFade) {
    StartWith({INT32_MIN, 400, false});
    const std::wstring first = ToneName(8000, 2, 16, 1500, L"syw", 40);
    const std::wstring second = ToneName(8000, 2, 16, 1000, L"sya", 41);
    PlayToTheEnd({first, second});
    Bytes expected = TonePcm(first);
    const Bytes b = TonePcm(second);
    expected.insert(expected.end(), b.begin(), b.end());
    EXPECT_EQ(Compare(out().Pcm(), expected), "equal");
}

TEST_F(Crossfade, AnotherFormatIsNoHandOverAndReopensTheOutput) {
    StartWith({});
    const std::wstring first = ToneName(8000, 2, 16, 1500, L"syw", 11);
    const std::wstring second = ToneName(11025, 2, 16, 1000, L"syw", 12);
    PlayToTheEnd({first, second});
    Bytes expected = TonePcm(first);
    const Bytes b = TonePcm(second);
    expected.insert(expected.end(), b.begin(), b.end());
    EXPECT_EQ(Compare(out().Pcm(), expected), "equal");
    EXPECT_EQ(out().CountOf("Open"), 2);
}

TEST_F(Crossfade, ATrackOfExactlyTheMinimumIsNeverFadedOutButMayFadeIn) {
    Settings settings{500, 1000, false};
    StartWith(settings);
    const std::wstring exact = ToneName(8000, 2, 16, 1000, L"syw", 13);
    const std::wstring longer = ToneName(8000, 2, 16, 1500, L"syw", 14);
    // The exact one first: it plays out whole, the next starts unmixed.
    PlayToTheEnd({exact, longer});
    Bytes expected = TonePcm(exact);
    const Bytes b = TonePcm(longer);
    expected.insert(expected.end(), b.begin(), b.end());
    EXPECT_EQ(Compare(out().Pcm(), expected), "equal");
    // The exact one second: it is long enough to be opened early and faded into.
    out().ClearRecord();
    PlayToTheEnd({longer, exact});
    EXPECT_EQ(Compare(out().Pcm(), ExpectedTransition(longer, exact, settings)), "equal");
}

TEST_F(Crossfade, TheLastEntryWithRepeatOffHasNoNextAndTheOutputStaysOpen) {
    StartWith({});
    const std::wstring only = ToneName(8000, 2, 16, 1500, L"syw", 15);
    PlayToTheEnd({only});
    EXPECT_EQ(out().Pcm(), TonePcm(only));
    EXPECT_TRUE(out().IsOpen());
    EXPECT_EQ(AskedFor(IPC_GETPLAYLISTFILEW).size(), 0u);
}

TEST_F(Crossfade, WithRepeatOnTheLastEntryFadesIntoTheFirst) {
    Settings settings;
    StartWith(settings);
    const std::wstring first = ToneName(8000, 2, 16, 1000, L"syw", 16);
    const std::wstring last = ToneName(8000, 2, 16, 1500, L"syw", 17);
    host.State().Repeat = true;
    host.SetPlaylist({first, last}, 1);
    ASSERT_EQ(host.StartPlaying(1), 0);
    // The host wraps to the first entry; stop it once that has started.
    ASSERT_TRUE(host.WaitUntil([&] { return host.State().Position == 0; }, 10000));
    host.Pump(200);
    host.PressStop();
    // The last entry, then the first with the last's rest mixed in: compared up to the end of
    // the fade (the first entry later fades out again into the last).
    const Format format{8000, 2, 16};
    const HandOver handOver = FindHandOver(format, TonePcm(last).size(), settings.FadeTimeMs);
    const std::size_t compared =
        handOver.WrittenBytes +
        static_cast<std::size_t>(handOver.RemainingMs) * format.BytesPerSecond() / 1000;
    const Bytes expected = ExpectedTransition(last, first, settings);
    const Bytes pcm = out().Pcm();
    ASSERT_GE(pcm.size(), compared);
    EXPECT_TRUE(
        std::equal(pcm.begin(), pcm.begin() + static_cast<long>(compared), expected.begin()));
    const auto files = AskedFor(IPC_GETPLAYLISTFILEW);
    ASSERT_FALSE(files.empty());
    EXPECT_EQ(files.front().WParam, 0u);
}

TEST_F(Crossfade, ANextEntryTheEngineCannotOpenClosesTheOutputAfterItPlaysOut) {
    StartWith({});
    const std::wstring first = ToneName(8000, 2, 16, 1500, L"syw", 18);
    const std::wstring direct = ToneName(8000, 2, 16, 500, L"synx", 19); // no extended read
    PlayToTheEnd({first, direct});
    Bytes expected = TonePcm(first);
    const Bytes b = TonePcm(direct);
    expected.insert(expected.end(), b.begin(), b.end());
    EXPECT_EQ(Compare(out().Pcm(), expected), "equal");
    // The engine closed its output before the direct plug-in opened its own.
    const auto names = out().CallNames();
    const auto secondOpen =
        std::find(std::find(names.begin(), names.end(), "Open") + 1, names.end(), "Open");
    ASSERT_NE(secondOpen, names.end());
    EXPECT_NE(std::find(names.begin(), secondOpen, "Close"), secondOpen);
    EXPECT_EQ(PluginProbe(host, L"in_synthnx.dll").Count("Play"), 1);
}

TEST_F(Crossfade, AStopWhileMixingClosesBothDecodersAndTheNextTrackStartsUnmixed) {
    host.UseOutput(std::make_unique<refhost::RecordingOutput>(1.0, 300));
    Settings settings{1500, 1000, false};
    StartWith(settings);
    const std::wstring first = ToneName(8000, 2, 16, 2000, L"syw", 20);
    const std::wstring second = ToneName(8000, 2, 16, 3000, L"sya", 21);
    const std::wstring third = ToneName(8000, 2, 16, 1200, L"syw", 22);
    host.SetPlaylist({first, second, third});
    ASSERT_EQ(host.StartPlaying(0), 0);
    ASSERT_TRUE(host.WaitUntil([&] { return host.State().Position == 1; }, 10000));
    host.Pump(300); // inside the second track's fade
    host.PressStop();
    ASSERT_TRUE(host.WaitUntil([&] { return !out().IsOpen(); }, 2000));
    host.Pump(50);
    EXPECT_EQ(PluginProbe(host, L"in_synthw.dll").OpenReads(), 0);
    EXPECT_EQ(PluginProbe(host, L"in_syntha.dll").OpenReads(), 0);
    out().ClearRecord();
    out().SetSpeed(0.0);
    host.SetPlaylist({third});
    ASSERT_EQ(host.StartPlaying(0), 0);
    ASSERT_TRUE(host.WaitUntil([&] { return !host.IsPlaying(); }, 10000));
    EXPECT_EQ(out().Pcm(), TonePcm(third));
}

// While the output plays out after a hand-over, the outgoing decoder is held for the next track.
class HandedOver : public Crossfade {
  protected:
    void PlayUntilHandedOver() {
        host.UseOutput(std::make_unique<refhost::RecordingOutput>(1.0, 300));
        StartWith({1500, 1000, false});
        host.SetPlaylist({first, second, third});
        ASSERT_EQ(host.StartPlaying(0), 0);
        // The second entry is opened early while the first is still the host's.
        ASSERT_TRUE(host.WaitUntil(
            [&] { return PluginProbe(host, L"in_syntha.dll").OpenReads() == 1; }, 10000));
        // The first track's last block is written: its output plays out.
        const std::size_t handOver =
            FindHandOver(Format{8000, 2, 16}, TonePcm(first).size(), 1500).WrittenBytes;
        ASSERT_TRUE(host.WaitUntil([&] { return out().Pcm().size() == handOver; }, 5000));
        ASSERT_EQ(host.State().Position, 0);
    }
    void PlayThirdAlone() {
        host.WaitUntil([&] { return !host.IsPlaying(); }, 10000);
        out().ClearRecord();
        out().SetSpeed(0.0);
        host.SetPlaylist({third});
        ASSERT_EQ(host.StartPlaying(0), 0);
        ASSERT_TRUE(host.WaitUntil([&] { return !host.IsPlaying(); }, 10000));
    }
    const std::wstring first = ToneName(8000, 2, 16, 2000, L"syw", 30);
    const std::wstring second = ToneName(8000, 2, 16, 3000, L"sya", 31);
    const std::wstring third = ToneName(8000, 2, 16, 1200, L"syw", 32);
};

TEST_F(HandedOver, AUsersStopReleasesTheOutgoingTrack) {
    PlayUntilHandedOver();
    host.PressStop();
    EXPECT_EQ(PluginProbe(host, L"in_synthw.dll").OpenReads(), 0); // the file is let go at once
    EXPECT_EQ(PluginProbe(host, L"in_syntha.dll").OpenReads(), 0);
    host.Pump(1000);
    PlayThirdAlone();
    EXPECT_EQ(Compare(out().Pcm(), TonePcm(third)), "equal"); // nothing of the first mixed in
}

TEST_F(HandedOver, AFadeGoesOnlyIntoTheTrackItsHandOverPrepared) {
    PlayUntilHandedOver();
    // "Play now" of the third entry instead of the prepared second, while the first plays out.
    const std::size_t before = out().Pcm().size();
    host.State().Answers[IPC_ISFULLSTOP] = 1;
    ASSERT_EQ(host.StartPlaying(2), 0);
    host.State().Answers.erase(IPC_ISFULLSTOP);
    ASSERT_TRUE(host.WaitUntil([&] { return !host.IsPlaying(); }, 10000));
    const Bytes pcm = out().Pcm();
    EXPECT_EQ(Compare(Bytes(pcm.begin() + static_cast<long>(before), pcm.end()), TonePcm(third)),
              "equal");
}

TEST_F(Crossfade, ANewHostIsAskedForTheNextEntryInTheDocumentedOrder) {
    StartWith({});
    host.ClearMessages();
    PlayToTheEnd({ToneName(8000, 2, 16, 1500, L"syw", 23), ToneName(8000, 2, 16, 600, L"syw", 24)});
    std::vector<LPARAM> asked;
    for (const auto &message : host.Messages()) {
        if (message.Message == WM_WA_IPC && message.FromOtherThread)
            asked.push_back(message.LParam);
    }
    ASSERT_GE(asked.size(), 7u);
    EXPECT_EQ(std::vector<LPARAM>(asked.begin(), asked.begin() + 7),
              (std::vector<LPARAM>{634, 251, 636, 136, 125, 124, 214}));
}

TEST_F(Crossfade, AnOlderHostIsAskedWithoutTheNewerQueryAndTheNextIndexIsComputed) {
    host.State().Version = 0x5060;
    StartWith({});
    host.ClearMessages();
    const std::wstring first = ToneName(8000, 2, 16, 1500, L"syw", 25);
    const std::wstring second = ToneName(8000, 2, 16, 600, L"syw", 26);
    PlayToTheEnd({first, second});
    std::vector<LPARAM> asked;
    for (const auto &message : host.Messages()) {
        if (message.Message == WM_WA_IPC && message.FromOtherThread)
            asked.push_back(message.LParam);
    }
    ASSERT_GE(asked.size(), 6u);
    EXPECT_EQ(std::vector<LPARAM>(asked.begin(), asked.begin() + 6),
              (std::vector<LPARAM>{634, 251, 636, 125, 124, 214}));
    EXPECT_EQ(Compare(out().Pcm(), ExpectedTransition(first, second, Settings{})), "equal");
}

TEST_F(Crossfade, ManualAdvanceMeansNoNextEntry) {
    host.State().ManualAdvance = true;
    StartWith({});
    const std::wstring first = ToneName(8000, 2, 16, 1500, L"syw", 27);
    host.SetPlaylist({first, ToneName(8000, 2, 16, 600, L"syw", 28)});
    ASSERT_EQ(host.StartPlaying(0), 0);
    ASSERT_TRUE(host.WaitUntil([&] { return !host.IsPlaying(); }, 10000));
    EXPECT_EQ(out().Pcm(), TonePcm(first));
    EXPECT_EQ(AskedFor(IPC_GETPLAYLISTFILEW).size(), 0u);
}

// ---- the fade on skip ----

// ---- crossfades between formats ----

// The outgoing rest as the fade converts it: through the product's conversion (measured by its
// own tests against whole-number and double-precision references), dithered where it rounds and
// primed with what the track played before the rest. Here: that the engine hands it the rest and
// the track's own frames before it.
Bytes ConvertedAsTheFade(const Format &from, const Format &to, const Bytes &before,
                         const Bytes &rest) {
    int closes = 0;
    auto source = ConvertFadeOut(std::make_unique<support::FakeFadeOutSource>(
                                     rest, from.Bits, from.Channels, from.Rate, &closes),
                                 {to.Bits, to.Channels, to.Rate}, before);
    Bytes out(static_cast<std::size_t>(to.BlockBytes()));
    std::size_t filled = 0;
    for (int bytes; (bytes = source->GetData(out.data() + filled,
                                             static_cast<int>(out.size() - filled))) > 0;) {
        filled += static_cast<std::size_t>(bytes);
        out.resize(filled + static_cast<std::size_t>(to.BlockBytes()));
    }
    out.resize(filled);
    source->Close();
    return out;
}

// The de-click around a re-opened output: its last millisecond before falls to silence, its
// first after rises from it (frame k of n at (k + 1) / (n + 1), or (n - k) / (n + 1)).
Bytes Declicked(Bytes pcm, std::size_t at, const Format &format, bool up) {
    const int n = std::max(format.Rate / 1000, 1), width = format.Bits / 8;
    const std::int64_t zero = format.Bits == 8 ? 128 : 0;
    for (int k = 0; k < n; ++k) {
        const double gain = static_cast<double>(up ? k + 1 : n - k) / (n + 1);
        for (int channel = 0; channel < format.Channels; ++channel) {
            std::uint8_t *sample =
                &pcm[at + static_cast<std::size_t>((k * format.Channels + channel) * width)];
            const auto value = static_cast<double>(Sample(sample, format.Bits) - zero);
            Store(sample, format.Bits, static_cast<std::int64_t>(gain * value) + zero);
        }
    }
    return pcm;
}
// The same at the end of pcm.
Bytes DeclickedEnd(const Bytes &pcm, const Format &format) {
    const auto ramp = static_cast<std::size_t>(std::max(format.Rate / 1000, 1) * format.FrameBytes());
    return Declicked(pcm, pcm.size() - ramp, format, false);
}

Format FormatOfTone(const std::wstring &name) {
    const SynthFormat tone = *ParseSynthName(name);
    return Format{tone.Rate, tone.Channels, tone.Bits};
}

// A hand-over into a track of another format: the outgoing rest is converted, then read by the
// mixer in blocks as long as the outgoing track's.
Bytes ExpectedAcrossFormats(const std::wstring &first, const std::wstring &second,
                            const Settings &settings) {
    const Format from = FormatOfTone(first), to = FormatOfTone(second);
    const Bytes a = TonePcm(first), b = TonePcm(second);
    const HandOver handOver = FindHandOver(from, a.size(), settings.FadeTimeMs);
    const Bytes before(a.begin(), a.begin() + static_cast<long>(handOver.WrittenBytes));
    const Bytes rest(a.begin() + static_cast<long>(handOver.WrittenBytes), a.end());
    const Bytes converted = ConvertedAsTheFade(from, to, before, rest);
    const auto oldBlock = static_cast<std::size_t>(
        TResampler::OutputFramesFor(from.BlockBytes() / from.FrameBytes(), from.Rate, to.Rate) *
        to.FrameBytes());
    Bytes out = DeclickedEnd(before, from);
    const Bytes mixed = Declicked(Mixed(to, b, converted,
                                        std::min(handOver.RemainingMs, settings.FadeTimeMs),
                                        settings.LogCurve, settings.EqualPower, oldBlock),
                                  0, to, true);
    out.insert(out.end(), mixed.begin(), mixed.end());
    return out;
}

struct FormatPair {
    Format From, To;
};

class AcrossFormats : public Crossfade, public ::testing::WithParamInterface<FormatPair> {
  protected:
    static Settings On() {
        Settings settings;
        settings.AcrossFormats = true;
        return settings;
    }
    static std::wstring Tone(const Format &format, int ms, const wchar_t *extension, int seed) {
        return ToneName(format.Rate, format.Channels, format.Bits, ms, extension, seed);
    }
};

TEST_P(AcrossFormats, TheOutgoingTrackIsConvertedAndMixedByteForByte) {
    const auto [from, to] = GetParam();
    const Settings settings = On();
    StartWith(settings);
    const std::wstring first = Tone(from, 1500, L"syw", 90);
    const std::wstring second = Tone(to, 1000, L"sya", 91);
    PlayToTheEnd({first, second});
    const Bytes expected = ExpectedAcrossFormats(first, second, settings);
    EXPECT_EQ(Compare(out().Pcm(), expected), "equal");
    // The tracks overlap: without the option the second would follow the whole first.
    EXPECT_LT(out().Pcm().size(), TonePcm(first).size() + TonePcm(second).size());
    // The output reopened once, in the incoming track's format.
    EXPECT_EQ(out().CountOf("Open"), 2);
}

INSTANTIATE_TEST_SUITE_P(Crossfade, AcrossFormats,
                         ::testing::Values(FormatPair{{8000, 1, 8}, {8000, 2, 16}},
                                           FormatPair{{8000, 2, 24}, {8000, 1, 16}},
                                           FormatPair{{8000, 2, 16}, {8000, 2, 32}},
                                           FormatPair{{8000, 1, 32}, {8000, 1, 8}},
                                           FormatPair{{8000, 2, 16}, {11025, 2, 16}},
                                           FormatPair{{11025, 1, 16}, {8000, 2, 24}}),
                         [](const ::testing::TestParamInfo<FormatPair> &info) {
                             const auto name = [](const Format &f) {
                                 return std::to_string(f.Rate) + "Hz" + std::to_string(f.Channels) +
                                        "ch" + std::to_string(f.Bits) + "bit";
                             };
                             return name(info.param.From) + "_to_" + name(info.param.To);
                         });

// A track shorter than two fades is handed over in the block where the fade into it ends: a
// block mixed with the track before. Its converted tail is primed with its own frames, not with
// that mix.
TEST_F(AcrossFormats, ATailHandedOverInAMixedBlockIsPrimedWithTheTracksOwnFrames) {
    const Settings settings = On();
    StartWith(settings);
    const Format from{8000, 2, 16}, to{11025, 2, 16};
    const std::wstring first = Tone(from, 1500, L"syw", 86);
    const std::wstring middle = Tone(from, 800, L"sya", 87);
    const std::wstring last = Tone(to, 1000, L"syw", 88);
    PlayToTheEnd({first, middle, last});

    const Bytes a = TonePcm(first), b = TonePcm(middle);
    const HandOver intoMiddle = FindHandOver(from, a.size(), settings.FadeTimeMs);
    const Bytes middleMixed =
        Mixed(from, b, Bytes(a.begin() + static_cast<long>(intoMiddle.WrittenBytes), a.end()),
              std::min(intoMiddle.RemainingMs, settings.FadeTimeMs), false);
    // The middle track's hand-over: the output reopens for the last track's format after it.
    std::size_t beforeReopen = 0;
    for (int opens = 0; const auto &call : out().Calls()) {
        opens += call.Name == "Open" ? 1 : 0;
        if (opens == 2)
            break;
        if (call.Name == "Write")
            beforeReopen += static_cast<std::size_t>(call.Args[0]);
    }
    ASSERT_GT(beforeReopen, intoMiddle.WrittenBytes);
    const std::size_t handOver = beforeReopen - intoMiddle.WrittenBytes;
    const auto block = static_cast<std::size_t>(from.BlockBytes());
    ASSERT_GE(handOver, block);
    ASSERT_FALSE(std::equal(b.begin() + static_cast<long>(handOver - block),
                            b.begin() + static_cast<long>(handOver),
                            middleMixed.begin() + static_cast<long>(handOver - block)))
        << "the hand-over block is not a mixed one";

    const int remainingMs =
        800 - static_cast<int>((handOver - block) * 1000 / from.BytesPerSecond());
    const Bytes converted =
        ConvertedAsTheFade(from, to, Bytes(b.begin(), b.begin() + static_cast<long>(handOver)),
                           Bytes(b.begin() + static_cast<long>(handOver), b.end()));
    const auto oldBlock = static_cast<std::size_t>(
        TResampler::OutputFramesFor(block / from.FrameBytes(), from.Rate, to.Rate) *
        to.FrameBytes());
    Bytes expected(a.begin(), a.begin() + static_cast<long>(intoMiddle.WrittenBytes));
    const Bytes middleHeard = DeclickedEnd(
        Bytes(middleMixed.begin(), middleMixed.begin() + static_cast<long>(handOver)), from);
    expected.insert(expected.end(), middleHeard.begin(), middleHeard.end());
    const Bytes lastMixed = Declicked(Mixed(to, TonePcm(last), converted,
                                            std::min(remainingMs, settings.FadeTimeMs), false,
                                            false, oldBlock),
                                      0, to, true);
    expected.insert(expected.end(), lastMixed.begin(), lastMixed.end());
    EXPECT_EQ(Compare(out().Pcm(), expected), "equal");
}

// A stop in the middle of a converted fade closes both decoders through the converter, once.
TEST_F(AcrossFormats, AStopWhileMixingAConvertedTailClosesBothDecoders) {
    host.UseOutput(std::make_unique<refhost::RecordingOutput>(1.0, 300));
    Settings settings = On();
    settings.FadeTimeMs = 3000; // a fade long enough to be inside it on a loaded machine
    settings.MinFileSizeMs = 1000;
    StartWith(settings);
    const std::wstring first = Tone({44100, 2, 16}, 4000, L"syw", 98);
    const std::wstring second = Tone({22050, 1, 24}, 5000, L"sya", 99);
    host.SetPlaylist({first, second});
    ASSERT_EQ(host.StartPlaying(0), 0);
    ASSERT_TRUE(host.WaitUntil([&] { return host.State().Position == 1; }, 10000));
    host.Pump(300); // inside the second track's fade
    EXPECT_EQ(PluginProbe(host, L"in_synthw.dll").OpenReads(), 1) << "the outgoing track, held";
    host.PressStop();
    ASSERT_TRUE(host.WaitUntil([&] { return !out().IsOpen(); }, 2000));
    host.Pump(50);
    EXPECT_EQ(PluginProbe(host, L"in_synthw.dll").OpenReads(), 0);
    EXPECT_EQ(PluginProbe(host, L"in_syntha.dll").OpenReads(), 0);
}

// More than two channels, or rates too far apart, cannot be converted: the tracks follow each
// other as they always did.
TEST_F(AcrossFormats, ANextTrackThatCannotBeConvertedKeepsTheOrdinaryTransition) {
    StartWith(On());
    const std::wstring first = Tone({8000, 2, 16}, 1500, L"syw", 92);
    const std::wstring threeChannels = Tone({8000, 3, 16}, 1000, L"sya", 93);
    const std::wstring farApart = Tone({96000, 2, 16}, 600, L"syw", 94);
    const std::wstring last = Tone({1000, 2, 16}, 600, L"sya", 95);
    PlayToTheEnd({first, threeChannels, farApart, last});
    Bytes expected;
    for (const auto &name : {first, threeChannels, farApart, last}) {
        const Bytes pcm = TonePcm(name);
        expected.insert(expected.end(), pcm.begin(), pcm.end());
    }
    EXPECT_EQ(Compare(out().Pcm(), expected), "equal");
    EXPECT_EQ(out().CountOf("Open"), 4);
}

// The user plays another entry while a track sounds, on an output that plays in real time and
// keeps only what a listener heard: what a flush throws away unplayed is taken out again.
class SkipFade : public Crossfade {
  protected:
    void StartInRealTime(const Settings &settings, int bufferMs = 300) {
        auto output = std::make_unique<refhost::RecordingOutput>(1.0, bufferMs);
        output->SetDropDiscarded(true);
        host.UseOutput(std::move(output));
        StartWith(settings);
    }
    void WaitForTheEnd() {
        ASSERT_TRUE(host.WaitUntil([&] { return !host.IsPlaying(); }, 20000));
        host.Pump(50);
    }
    // The bytes heard when the last Flush came: written before it, less what flushes dropped.
    std::size_t HeardAtLastFlush() {
        std::size_t written = 0, dropped = 0, heard = 0;
        for (const auto &call : out().Calls()) {
            if (call.Name == "Write")
                written += static_cast<std::size_t>(call.Args[0]);
            if (call.Name == "Flush" || call.Name == "Close") {
                dropped += call.Args.size() > 1 ? static_cast<std::size_t>(call.Args.back()) : 0;
                if (call.Name == "Flush")
                    heard = written - dropped;
            }
        }
        return heard;
    }
    static Bytes From(const Bytes &pcm, std::size_t offset) {
        return Bytes(pcm.begin() + static_cast<long>(std::min(offset, pcm.size())), pcm.end());
    }
    static Bytes Joined(Bytes head, std::size_t headBytes, const Bytes &tail) {
        head.resize(headBytes);
        head.insert(head.end(), tail.begin(), tail.end());
        return head;
    }
    // What a clean skip sounds like: the stream as it would have gone on, up to the frame where
    // the output was flushed, then the next track with the rest of that stream fading out from
    // the next frame. The output counts a frame it had begun to play as heard, and the engine
    // flushes the moment it sees its clock turn: a frame may be heard twice, and more only where
    // the output played on while the engine was held up between that look and its flush.
    void ExpectHeard(const Bytes &stream, const Bytes &next, int fadeMs) {
        ExpectHeard(stream, [&](std::size_t from) {
            return Mixed(kFormat, next, From(stream, from), fadeMs, false);
        });
    }
    // The same where the sound after the flush is worked out by `after` from the offset in the
    // stream it goes on from (in the reopened output of another format: then the flush is
    // followed by the output's Close and Open).
    // A skip whose flush was held up after the clock turned: the stream goes on from where the
    // listener was as the flush went out, a frame either way at the most.
    void ExpectHeardExactly(const Bytes &stream, const Bytes &next, int fadeMs) {
        const std::size_t heard = HeardAtLastFlush();
        ASSERT_GT(heard, 0u);
        const std::size_t frame = static_cast<std::size_t>(kFormat.FrameBytes());
        const Bytes pcm = out().Pcm();
        bool found = false;
        for (std::size_t from = heard - frame; from <= heard + frame && !found; from += frame)
            found = Compare(pcm, Joined(stream, heard,
                                        Mixed(kFormat, next, From(stream, from), fadeMs, false))) ==
                    "equal";
        EXPECT_TRUE(found) << "the stream does not go on within a frame of the one heard at the flush";
    }
    void ExpectHeard(const Bytes &stream, const std::function<Bytes(std::size_t)> &after,
                     bool sameOutput = true) {
        const std::size_t heard = HeardAtLastFlush();
        ASSERT_GT(heard, 0u);
        ASSERT_EQ(heard % kFormat.FrameBytes(), 0u);
        const std::size_t frame = static_cast<std::size_t>(kFormat.FrameBytes());
        const std::size_t latest = frame * (1 + FramesHeardSinceTheFlushWasDue(kFormat));
        const Bytes pcm = out().Pcm();
        std::size_t twice = 0;
        while (twice <= std::min(latest, heard) &&
               Compare(pcm, Joined(stream, heard, after(heard - twice))) != "equal")
            twice += frame;
        EXPECT_LE(twice, latest) << "no resumption of the stream within " << latest / frame
                                 << " frames before the flushed one";
        if (twice > frame)
            RecordProperty("FramesHeardTwice", static_cast<int>(twice / frame));
        if (!sameOutput)
            return;
        // The first mixed block went in right after the flush: the output never held nothing.
        const auto calls = out().Calls();
        const auto flush = std::find_if(calls.rbegin(), calls.rend(),
                                        [](const auto &c) { return c.Name == "Flush"; });
        ASSERT_NE(flush, calls.rend());
        const auto next = std::find_if(flush.base(), calls.end(), [&](const auto &c) {
            return c.ThreadId == flush->ThreadId && c.Name != "CanWrite";
        });
        ASSERT_NE(next, calls.end());
        EXPECT_EQ(next->Name, "Write");
        EXPECT_LT(UnderrunUntilTheLastWrite(), 2.0);
    }
    // Frames the output may have played past the moment the engine meant to flush at. The
    // engine's look before its last one still saw the clock short of that moment (it waits
    // until the clock reaches it), so the moment came after that look: at most what played
    // from that look to the flush, however long the thread was held up in between.
    std::size_t FramesHeardSinceTheFlushWasDue(const Format &format) {
        const auto calls = out().Calls();
        const auto flush = std::find_if(calls.rbegin(), calls.rend(),
                                        [](const auto &c) { return c.Name == "Flush"; });
        if (flush == calls.rend())
            return 0;
        const auto isLook = [&](const auto &c) {
            return c.Name == "GetOutputTime" && c.ThreadId == flush->ThreadId;
        };
        const auto last = std::find_if(flush, calls.rend(), isLook);
        if (last == calls.rend())
            return 0;
        const auto before = std::find_if(std::next(last), calls.rend(), isLook);
        const auto since = before != calls.rend() ? before : last;
        return static_cast<std::size_t>(
            std::ceil((flush->AtMs - since->AtMs) * format.Rate / 1000));
    }
    int PositionNow() { return host.ActiveModule()->GetOutputTime(); }
    // Starts the host with the fade on skip over skipFadeMs, then plays the two tracks.
    void PlayWithSkipFade(const std::wstring &first, const std::wstring &second,
                          int skipFadeMs = 300) {
        Settings settings;
        settings.SkipFadeMs = skipFadeMs;
        StartInRealTime(settings);
        host.SetPlaylist({first, second});
        ASSERT_EQ(host.StartPlaying(0), 0);
    }
    static constexpr Format kFormat{8000, 2, 16};
};

// Seekable or not, the skipped track is read on from where it was, never sought back.
class SkipFadeFrom : public SkipFade, public ::testing::WithParamInterface<const wchar_t *> {};

TEST_P(SkipFadeFrom, TheFrameTheListenerHearsAtTheFlushIntoTheNewTrack) {
    host.InstallPlugin(L"in_synthnoseek.dll");
    const std::wstring first = ToneName(8000, 2, 16, 5000, GetParam(), 31);
    const std::wstring second = ToneName(8000, 2, 16, 1000, L"sya", 32);
    PlayWithSkipFade(first, second);
    host.Pump(250);
    // The player's Play opens the next file as a real decoder does, taking its time while the
    // skipped track sounds on.
    PluginProbe(host, L"in_syntha.dll").Set("OpenDelayMs", 150);
    ASSERT_EQ(host.SkipTo(1), 0);
    EXPECT_EQ(PositionNow(), 0); // the new track's time, though the old one still sounds
    WaitForTheEnd();
    ExpectHeard(TonePcm(first), TonePcm(second), 300);
    // One output throughout: never closed or opened again, flushed once.
    EXPECT_EQ(out().CountOf("Open"), 1);
    EXPECT_EQ(out().CountOf("Flush"), 1);
}

INSTANTIATE_TEST_SUITE_P(SkipFade, SkipFadeFrom, ::testing::Values(L"syw", L"syns"),
                         [](const ::testing::TestParamInfo<const wchar_t *> &info) {
                             return std::wstring(info.param) == L"syw" ? std::string("Seekable")
                                                                       : std::string("NotSeekable");
                         });

// The skipped track goes on converted into the new track's format, in the reopened output.
class SkipAcrossFormats : public SkipFade, public ::testing::WithParamInterface<Format> {};

TEST_P(SkipAcrossFormats, TheSkippedTrackGoesOnConvertedAndFadesOut) {
    Settings settings;
    settings.SkipFadeMs = 300;
    settings.AcrossFormats = true;
    StartInRealTime(settings);
    const Format to = GetParam();
    const std::wstring first = ToneName(8000, 2, 16, 5000, L"syw", 96);
    const std::wstring second = ToneName(to.Rate, to.Channels, to.Bits, 1000, L"sya", 97);
    host.SetPlaylist({first, second});
    ASSERT_EQ(host.StartPlaying(0), 0);
    host.Pump(250);
    ASSERT_EQ(host.SkipTo(1), 0);
    WaitForTheEnd();

    const Bytes stream = TonePcm(first);
    const auto oldBlock =
        static_cast<std::size_t>(kFormat.BlockBytes() / kFormat.FrameBytes() * to.FrameBytes());
    // Converted as the fade converts it, primed with what was heard just before.
    const auto primer = static_cast<std::size_t>(
        FadeOutPrimerFrames({16, 2, 8000}, {to.Bits, to.Channels, to.Rate}) * kFormat.FrameBytes());
    ExpectHeard(
        stream,
        [&](std::size_t from) {
            const Bytes before(stream.begin() + static_cast<long>(from - std::min(from, primer)),
                               stream.begin() + static_cast<long>(from));
            return Declicked(Mixed(to, TonePcm(second),
                                   ConvertedAsTheFade(kFormat, to, before, From(stream, from)), 300,
                                   false, false, oldBlock),
                             0, to, true);
        },
        false);
    EXPECT_EQ(out().CountOf("Open"), 2);
}

INSTANTIATE_TEST_SUITE_P(SkipFade, SkipAcrossFormats,
                         ::testing::Values(Format{8000, 1, 8}, Format{11025, 2, 16},
                                           Format{44100, 2, 24}),
                         [](const ::testing::TestParamInfo<Format> &info) {
                             return std::to_string(info.param.Rate) + "Hz" +
                                    std::to_string(info.param.Channels) + "ch" +
                                    std::to_string(info.param.Bits) + "bit";
                         });

// What the listener heard at the skip, the older track fading out of the newer one, fades out
// together from there: no gain changes by a step.
TEST_F(SkipFade, ASkipDuringAFadeFadesOutBothTracksAsTheyWereHeard) {
    Settings settings;
    settings.SkipFadeMs = 300;
    StartInRealTime(settings);
    const std::wstring first = ToneName(8000, 2, 16, 1500, L"syw", 33);
    const std::wstring second = ToneName(8000, 2, 16, 3000, L"sya", 34);
    const std::wstring third = ToneName(8000, 2, 16, 1000, L"syw", 35);
    host.SetPlaylist({first, second, third});
    ASSERT_EQ(host.StartPlaying(0), 0);
    // Early in the second track, while the first still fades out of it.
    ASSERT_TRUE(
        host.WaitUntil([&] { return host.State().Position == 1 && PositionNow() > 100; }, 5000));
    ASSERT_EQ(host.SkipTo(2), 0);
    WaitForTheEnd();
    ASSERT_LT(HeardAtLastFlush(), FindHandOver(kFormat, TonePcm(first).size(), 500).WrittenBytes +
                                      static_cast<std::size_t>(kFormat.BytesPerSecond()) / 2)
        << "the skip came after the fade";
    ExpectHeard(ExpectedTransition(first, second, settings), TonePcm(third), 300);
    EXPECT_EQ(out().CountOf("Open"), 1);
}

// A skip late in a track into a shorter one, and one into a track shorter than the skip fade:
// the skipped track fades to silence, in the incoming track's length at the most.
struct LateSkip {
    int SkipAtMs, NextMs, FadeMs;
};
class SkipFadeLate : public SkipFade, public ::testing::WithParamInterface<LateSkip> {};

TEST_P(SkipFadeLate, FadesTheSkippedTrackOutToSilence) {
    const LateSkip skip = GetParam();
    Settings settings;
    settings.SkipFadeMs = 600;
    StartInRealTime(settings);
    const std::wstring first = ToneName(8000, 2, 16, 3000, L"syw", 36);
    const std::wstring second = ToneName(8000, 2, 16, skip.NextMs, L"sya", 37);
    host.SetPlaylist({first, second});
    ASSERT_EQ(host.StartPlaying(0), 0);
    ASSERT_TRUE(host.WaitUntil([&] { return PositionNow() >= skip.SkipAtMs; }, 5000));
    ASSERT_EQ(host.SkipTo(1), 0);
    WaitForTheEnd();
    ExpectHeard(TonePcm(first), TonePcm(second), skip.FadeMs);
}

INSTANTIATE_TEST_SUITE_P(SkipFade, SkipFadeLate,
                         ::testing::Values(LateSkip{2000, 1000, 600}, LateSkip{300, 400, 400}),
                         [](const ::testing::TestParamInfo<LateSkip> &info) {
                             return info.param.NextMs < 600
                                        ? std::string("IntoATrackShorterThanTheFade")
                                        : std::string("IntoAShorterTrack");
                         });

// The track was read to its end (or handed over to a crossfade) and the output plays out its
// last second: a skip then fades what is still to be heard.
class SkipFadeInThePlayOut : public SkipFade, public ::testing::WithParamInterface<bool> {};

TEST_P(SkipFadeInThePlayOut, FadesWhatTheOutputStillHolds) {
    const bool handsOver = GetParam();
    Settings settings;
    settings.SkipFadeMs = 300;
    settings.MinFileSizeMs = handsOver ? 400 : 5000;
    StartInRealTime(settings, 1000);
    const std::wstring first = ToneName(8000, 2, 16, 1200, L"syw", 38);
    const std::wstring second = ToneName(8000, 2, 16, 1200, L"sya", 39);
    const std::wstring third = ToneName(8000, 2, 16, 1000, L"syw", 40);
    host.SetPlaylist({first, second, third});
    ASSERT_EQ(host.StartPlaying(0), 0);
    const int lastWriteMs = handsOver ? 700 : 1190;
    Out_Module *raw = out().Module();
    ASSERT_TRUE(host.WaitUntil([&] { return raw->GetWrittenTime() >= lastWriteMs; }, 5000));
    host.Pump(50);
    ASSERT_EQ(host.State().Position, 0);
    ASSERT_GT(raw->GetWrittenTime() - raw->GetOutputTime(), 400);
    ASSERT_EQ(host.SkipTo(2), 0);
    WaitForTheEnd();
    ExpectHeard(TonePcm(first), TonePcm(third), 300);
}

INSTANTIATE_TEST_SUITE_P(SkipFade, SkipFadeInThePlayOut, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool> &info) {
                             return info.param ? std::string("BeforeACrossfade")
                                               : std::string("AtAPlainEnd");
                         });

// The host seeks in the new track right after its Play: the seek's position stands, and the
// skipped track fades out over the new one from there.
TEST_F(SkipFade, ASeekRightAfterASkipStands) {
    const std::wstring first = ToneName(8000, 2, 16, 5000, L"syw", 41);
    const std::wstring second = ToneName(8000, 2, 16, 1500, L"sya", 42);
    PlayWithSkipFade(first, second);
    host.Pump(250);
    ASSERT_EQ(host.SkipTo(1), 0);
    host.JumpToTime(600);
    EXPECT_EQ(PositionNow(), 600);
    host.Pump(100);
    EXPECT_GE(PositionNow(), 600);
    WaitForTheEnd();
    ExpectHeard(TonePcm(first), From(TonePcm(second), 600 * 8 * kFormat.FrameBytes()), 300);
    EXPECT_EQ(out().CountOf("Flush"), 1);
}

// Stop, and Play only after the grace: the stop it always was; the next track starts anew.
TEST_F(SkipFade, AStopThatNoPlayFollowsInTheGraceStopsAsBefore) {
    const std::wstring first = ToneName(8000, 2, 16, 5000, L"syw", 36);
    const std::wstring second = ToneName(8000, 2, 16, 600, L"sya", 37);
    PlayWithSkipFade(first, second);
    host.Pump(200);
    host.PressStop();
    const double stoppedAt = refhost::RecordingOutput::ClockMs();
    ASSERT_TRUE(host.WaitUntil([&] { return !out().IsOpen(); }, 3000));
    double closedAt = 0.0;
    for (const auto &call : out().Calls())
        if (call.Name == "Close")
            closedAt = call.AtMs;
    // The grace and a block, with room for a loaded machine.
    EXPECT_LT(closedAt - stoppedAt, 50 + 16 + 500);
    const auto names = out().CallNames();
    ASSERT_GE(names.size(), 2u);
    EXPECT_EQ(names[names.size() - 2], "Flush");
    EXPECT_EQ(PluginProbe(host, L"in_synthw.dll").OpenReads(), 0);

    out().SetSpeed(0.0);
    ASSERT_EQ(host.StartPlaying(1), 0);
    WaitForTheEnd();
    EXPECT_EQ(out().CountOf("Open"), 2);
    const Bytes pcm = out().Pcm(), tail = TonePcm(second);
    ASSERT_GE(pcm.size(), tail.size());
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), pcm.end() - static_cast<long>(tail.size())));
}

// With the option off a skip cuts as it always did: the output is closed and opened anew.
TEST_F(SkipFade, WithTheOptionOffASkipIsAStopAndAPlay) {
    StartInRealTime({});
    const std::wstring first = ToneName(8000, 2, 16, 5000, L"syw", 38);
    const std::wstring second = ToneName(8000, 2, 16, 600, L"sya", 39);
    host.SetPlaylist({first, second});
    ASSERT_EQ(host.StartPlaying(0), 0);
    host.Pump(200);
    ASSERT_EQ(host.SkipTo(1), 0);
    out().SetSpeed(0.0);
    WaitForTheEnd();
    EXPECT_EQ(out().CountOf("Open"), 2);
    const Bytes pcm = out().Pcm(), tail = TonePcm(second);
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), pcm.end() - static_cast<long>(tail.size())));
}

// Every decoder is closed once, however the skip fade ends (checked as every test ends).
TEST_F(SkipFade, AStopDuringASkipFadeClosesEverything) {
    Settings settings;
    settings.SkipFadeMs = 2000;
    StartInRealTime(settings);
    host.SetPlaylist(
        {ToneName(8000, 2, 16, 5000, L"syw", 40), ToneName(8000, 2, 16, 5000, L"sya", 41)});
    ASSERT_EQ(host.StartPlaying(0), 0);
    host.Pump(200);
    ASSERT_EQ(host.SkipTo(1), 0);
    host.Pump(300);
    EXPECT_EQ(PluginProbe(host, L"in_synthw.dll").OpenReads(), 1); // the fading track
    host.PressStop();
    ASSERT_TRUE(host.WaitUntil([&] { return !out().IsOpen(); }, 3000));
    host.Pump(100);
    EXPECT_EQ(PluginProbe(host, L"in_synthw.dll").OpenReads(), 0);
    EXPECT_EQ(PluginProbe(host, L"in_syntha.dll").OpenReads(), 0);
}

TEST_F(SkipFade, QuitDuringASkipFadeClosesEverything) {
    Settings settings;
    settings.SkipFadeMs = 2000;
    StartInRealTime(settings);
    host.SetPlaylist(
        {ToneName(8000, 2, 16, 5000, L"syw", 42), ToneName(8000, 2, 16, 5000, L"sya", 43)});
    ASSERT_EQ(host.StartPlaying(0), 0);
    host.Pump(200);
    ASSERT_EQ(host.SkipTo(1), 0);
    host.Pump(300);
    host.Shutdown();
    EXPECT_FALSE(out().IsOpen());
}

TEST_F(SkipFade, QuitInTheGraceClosesTheOutputAndEveryDecoder) {
    Settings settings;
    settings.SkipFadeMs = 300;
    StartInRealTime(settings);
    host.SetPlaylist({ToneName(8000, 2, 16, 5000, L"syw", 44)});
    ASSERT_EQ(host.StartPlaying(0), 0);
    host.Pump(200);
    host.PressStop();
    host.Shutdown();
    EXPECT_FALSE(out().IsOpen());
}

// A skip to a file its own plug-in plays: that plug-in finds the output closed, as after any
// stop, and the engine calls it no more.
TEST_F(SkipFade, ASkipToADirectModeFileStopsFirst) {
    Settings settings;
    settings.SkipFadeMs = 300;
    StartInRealTime(settings);
    host.SetPlaylist(
        {ToneName(8000, 2, 16, 5000, L"syw", 47), ToneName(8000, 2, 16, 300, L"synx", 48)});
    ASSERT_EQ(host.StartPlaying(0), 0);
    host.Pump(200);
    unsigned long engineThread = 0; // the writer of the first track
    for (const auto &call : out().Calls())
        if (call.Name == "Write")
            engineThread = call.ThreadId;
    ASSERT_EQ(host.SkipTo(1), 0);
    WaitForTheEnd();
    ASSERT_EQ(PluginProbe(host, L"in_synthnx.dll").Count("Play"), 1);
    const auto calls = out().Calls();
    std::vector<std::size_t> opens;
    std::size_t lastOfEngine = 0;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        if (calls[i].Name == "Open")
            opens.push_back(i);
        if (calls[i].ThreadId == engineThread)
            lastOfEngine = i;
    }
    ASSERT_EQ(opens.size(), 2u);
    EXPECT_LT(lastOfEngine, opens[1]);
    EXPECT_EQ(calls[opens[1] - 1].Name, "Close");
}

// ---- moments only a held-up thread meets, made to happen every time ----

// The playback thread held up between the look that saw the output's clock turn and its flush:
// the listener hears on meanwhile, and the skipped track goes on from where the flush finds him.
TEST_F(SkipFade, AFlushHeldUpAfterTheClockTurnedHearsNothingTwice) {
    hookBuild_ = true;
    const std::wstring first = ToneName(8000, 2, 16, 5000, L"syw", 61);
    const std::wstring second = ToneName(8000, 2, 16, 1000, L"sya", 62);
    PlayWithSkipFade(first, second);
    host.Pump(250);
    HoldAt("skip.flush", 20);
    ASSERT_EQ(host.SkipTo(1), 0);
    WaitForTheEnd();
    EXPECT_EQ(TimesHeld("skip.flush"), 1);
    ExpectHeardExactly(TonePcm(first), TonePcm(second), 300);
}

// The user's stop while the playback thread learns the next entry at the end of a track: the
// stop finds nothing prepared yet, and the request lets go of what it prepared after.
TEST_F(Crossfade, AUsersStopWhileTheNextEntryIsLearntLeavesNothingOpen) {
    hookBuild_ = true;
    StartWith({300, 5000, false}); // no crossfade: the next entry is opened at the track's end
    HoldAt("end-of-track.next-learnt", 400);
    host.SetPlaylist({ToneName(8000, 2, 16, 600, L"syw", 63), ToneName(8000, 2, 16, 600, L"sya", 64)});
    ASSERT_EQ(host.StartPlaying(0), 0);
    ASSERT_TRUE(host.WaitUntil([&] { return TimesHeld("end-of-track.next-learnt") == 1; }, 5000));
    host.PressStop();
    ASSERT_TRUE(host.WaitUntil([&] { return !out().IsOpen(); }, 3000));
    host.Pump(500); // the held thread goes on, puts the next entry by and sees the stop
    EXPECT_EQ(PluginProbe(host, L"in_synthw.dll").OpenReads(), 0);
    EXPECT_EQ(PluginProbe(host, L"in_syntha.dll").OpenReads(), 0);
}

// A host that answers 0 to IPC_ISFULLSTOP at every Stop (an older player, or another program
// hosting these plug-ins) stops between the end-of-track message and its Play of the next entry:
// the prepared crossfade survives that Stop, and only a Stop without the Play ends it.
class WithoutFullStopQuery : public Crossfade, public ::testing::WithParamInterface<bool> {};

TEST_P(WithoutFullStopQuery, TheHostsOwnStopKeepsThePreparedFade) {
    const bool playsOn = GetParam();
    const Settings settings;
    StartWith(settings);
    host.State().Answers[IPC_ISFULLSTOP] = 0;
    host.State().StopAfterCurrent = !playsOn;
    const std::wstring first = ToneName(8000, 2, 16, 1500, L"syw", 85);
    const std::wstring second = ToneName(8000, 2, 16, 1000, L"sya", 86);
    PlayToTheEnd({first, second});
    if (playsOn) {
        EXPECT_EQ(Compare(out().Pcm(), ExpectedTransition(first, second, settings)), "equal");
        EXPECT_EQ(out().CountOf("Open"), 1);
        return;
    }
    // The user's stop after all: the output closes and every decoder with it (see TearDown).
    ASSERT_TRUE(host.WaitUntil([&] { return !out().IsOpen(); }, 2000));
    EXPECT_EQ(PluginProbe(host, L"in_synthw.dll").OpenReads(), 0);
    EXPECT_EQ(PluginProbe(host, L"in_syntha.dll").OpenReads(), 0);
}

// The host handles the end-of-track message before the playback thread has marked its request
// over: its Stop waits for that, and finds the prepared fade.
TEST_F(Crossfade, AHostsStopRightOnTheEndOfTrackMessageKeepsThePreparedFade) {
    hookBuild_ = true;
    const Settings settings;
    StartWith(settings);
    host.State().Answers[IPC_ISFULLSTOP] = 0;
    HoldAt("request.end-of-track-posted", 100);
    const std::wstring first = ToneName(8000, 2, 16, 1500, L"syw", 65);
    const std::wstring second = ToneName(8000, 2, 16, 1000, L"sya", 66);
    PlayToTheEnd({first, second});
    EXPECT_EQ(TimesHeld("request.end-of-track-posted"), 1);
    EXPECT_EQ(Compare(out().Pcm(), ExpectedTransition(first, second, settings)), "equal");
    EXPECT_EQ(out().CountOf("Open"), 1);
}

INSTANTIATE_TEST_SUITE_P(Crossfade, WithoutFullStopQuery, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool> &info) {
                             return info.param ? std::string("ThenPlaysTheNextEntry")
                                               : std::string("AndStopsThere");
                         });

// The engine ended its track with the last moments held in the output, and the host plays an
// entry of another plug-in while the output says it plays but its clock stands still: neither
// the engine's play-out nor the host's Play waits for it without a bound.
TEST_F(Crossfade, AStalledOutputHoldsUpNeitherTheEngineNorTheHostsPlayOfAnotherPlugin) {
    host.UseOutput(std::make_unique<refhost::RecordingOutput>(1.0, 1000));
    StartWith({300, 1000, false}); // no crossfade: the next track continues the stream
    host.SetPlaylist({ToneName(8000, 2, 16, 600, L"syw", 82),
                      ToneName(8000, 2, 16, 600, L"sya", 83),
                      ToneName(8000, 2, 16, 3000, L"synx", 84)});
    host.State().NextItemOverride = 1;
    ASSERT_EQ(host.StartPlaying(0), 0);
    Out_Module *raw = out().Module();
    ASSERT_TRUE(host.WaitUntil([&] { return raw->GetWrittenTime() >= 600; }, 5000));
    ASSERT_TRUE(
        host.WaitUntil([&] { return raw->GetWrittenTime() - raw->GetOutputTime() <= 260; }, 5000));
    raw->Pause(1);
    host.State().NextItemOverride = 2; // the host goes to the other plug-in's file
    const double stalledAt = refhost::RecordingOutput::ClockMs();
    // Frees the clock in the end, so that a wait without a bound cannot hang the program.
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread watchdog([&] {
        if (WaitForSingleObject(done, 8000) == WAIT_TIMEOUT)
            raw->Pause(0);
    });
    const bool played = host.WaitUntil(
        [&] { return PluginProbe(host, L"in_synthnx.dll").Count("Play") == 1; }, 9000);
    const double playedAt = refhost::RecordingOutput::ClockMs();
    SetEvent(done);
    watchdog.join();
    CloseHandle(done);
    ASSERT_TRUE(played);
    EXPECT_LT(playedAt - stalledAt, 3500.0); // two still-clock waits of a second, and slack
    host.PressStop();
}

// ---- track changes through an output on a real-time clock ----

// A playlist whose every track hands over to the next: each track's own written bytes decide its
// hand-over, and what it writes is itself mixed with the rest of the track before it.
Bytes ExpectedChain(const std::vector<std::wstring> &tracks, const Settings &settings) {
    const SynthFormat tone = *ParseSynthName(tracks.front());
    const Format format{tone.Rate, tone.Channels, tone.Bits};
    Bytes out, rest;
    int fadeMs = 0;
    for (std::size_t index = 0; index < tracks.size(); ++index) {
        const Bytes own = TonePcm(tracks[index]);
        const Bytes heard = Mixed(format, own, rest, fadeMs, settings.LogCurve);
        const HandOver handOver = index + 1 == tracks.size()
                                      ? HandOver{own.size(), 0}
                                      : FindHandOver(format, own.size(), settings.FadeTimeMs);
        out.insert(out.end(), heard.begin(),
                   heard.begin() + static_cast<long>(handOver.WrittenBytes));
        rest.assign(own.begin() + static_cast<long>(handOver.WrittenBytes), own.end());
        fadeMs = std::min(handOver.RemainingMs, settings.FadeTimeMs);
    }
    return out;
}

// The output plays in real time from a 500 ms buffer; the parameter is how much it still holds
// when it says it is no longer playing (0: only when empty; 300: a buffer-ahead output that asks
// for the next track in time).
class Seamless : public Crossfade, public ::testing::WithParamInterface<int> {
  protected:
    void StartInRealTime(const Settings &settings) {
        auto output = std::make_unique<refhost::RecordingOutput>(1.0, 500);
        output->SetPlayingThresholdMs(GetParam());
        host.UseOutput(std::move(output));
        StartWith(settings);
    }
    // Plays the playlist to its end; the end-of-track message of its last track comes only once
    // the output has played everything.
    void PlayAllInRealTime(const std::vector<std::wstring> &playlist) {
        host.SetPlaylist(playlist);
        ASSERT_EQ(host.StartPlaying(0), 0);
        ASSERT_TRUE(host.WaitUntil([&] { return !host.IsPlaying(); }, 30000));
        Out_Module *raw = out().Module();
        EXPECT_EQ(raw->GetWrittenTime() - raw->GetOutputTime(), 0) << "the last track cut short";
        int endOfTrack = 0;
        for (const auto &message : host.Messages())
            endOfTrack += message.Message == WM_WA_MPEG_EOF;
        EXPECT_EQ(endOfTrack, static_cast<int>(playlist.size())); // one per track
        ASSERT_EQ(host.PlayStarts().size(), playlist.size());
    }
};

TEST_P(Seamless, CrossfadesNeitherRunTheOutputDryNorThrowSoundAway) {
    const Settings settings{300, 500, false};
    StartInRealTime(settings);
    std::vector<std::wstring> playlist;
    for (int track = 0; track < 4; ++track)
        playlist.push_back(ToneName(44100, 2, 16, 900, track % 2 ? L"sya" : L"syw", 50 + track));
    PlayAllInRealTime(playlist);
    EXPECT_EQ(Compare(out().Pcm(), ExpectedChain(playlist, settings)), "equal");
    EXPECT_EQ(UnderrunUntilTheLastWrite(), 0.0);
    EXPECT_EQ(out().DiscardedMs(), 0.0);
}

TEST_P(Seamless, GaplessChangesNeitherRunTheOutputDryNorThrowSoundAway) {
    StartInRealTime({300, 1000, false}); // every track is shorter than the minimum: no fade
    std::vector<std::wstring> playlist;
    Bytes expected;
    for (int track = 0; track < 4; ++track) {
        playlist.push_back(ToneName(44100, 2, 16, 600, track % 2 ? L"sya" : L"syw", 60 + track));
        const Bytes pcm = TonePcm(playlist.back());
        expected.insert(expected.end(), pcm.begin(), pcm.end());
    }
    PlayAllInRealTime(playlist);
    EXPECT_EQ(Compare(out().Pcm(), expected), "equal");
    EXPECT_EQ(UnderrunUntilTheLastWrite(), 0.0);
    EXPECT_EQ(out().DiscardedMs(), 0.0);
}

// The next file is played by its own plug-in: the engine's output plays out whole, then closes.
TEST_P(Seamless, BeforeADirectModeFileTheLastTrackIsHeardWhole) {
    StartInRealTime({300, 1000, false});
    const std::wstring first = ToneName(44100, 2, 16, 600, L"syw", 70);
    // Long enough that its own plug-in is still playing it when the test looks.
    const std::wstring direct = ToneName(44100, 2, 16, 3000, L"synx", 71);
    host.SetPlaylist({first, direct});
    ASSERT_EQ(host.StartPlaying(0), 0);
    ASSERT_TRUE(host.WaitUntil(
        [&] { return PluginProbe(host, L"in_synthnx.dll").Count("Play") == 1; }, 10000));
    EXPECT_EQ(out().DiscardedMs(), 0.0);
    const auto names = out().CallNames();
    const auto secondOpen =
        std::find(std::find(names.begin(), names.end(), "Open") + 1, names.end(), "Open");
    ASSERT_NE(secondOpen, names.end());
    EXPECT_NE(std::find(names.begin(), secondOpen, "Close"), secondOpen);
    host.PressStop();
}

// Another format cannot continue the stream: the output plays out whole before it is reopened.
TEST_P(Seamless, AnotherFormatIsHeardWholeBeforeTheOutputReopens) {
    StartInRealTime({300, 1000, false});
    const std::wstring first = ToneName(44100, 2, 16, 600, L"syw", 72);
    const std::wstring second = ToneName(48000, 2, 16, 600, L"sya", 73);
    PlayAllInRealTime({first, second});
    Bytes expected = TonePcm(first);
    const Bytes b = TonePcm(second);
    expected.insert(expected.end(), b.begin(), b.end());
    EXPECT_EQ(Compare(out().Pcm(), expected), "equal");
    EXPECT_EQ(out().CountOf("Open"), 2);
    EXPECT_EQ(out().DiscardedMs(), 0.0);
}

INSTANTIATE_TEST_SUITE_P(RealTime, Seamless, ::testing::Values(0, 300),
                         [](const ::testing::TestParamInfo<int> &info) {
                             return info.param ? std::string("BufferAhead") : std::string("Plain");
                         });

} // namespace

// ---- transitions that follow the music ----

// Tracks with silences and fades of their own, on an output that plays faster than real time
// with a 2 s buffer: room for the engine to read a track's end ahead while the output is full.
// Where the look-ahead must be done in time, twice real time leaves room for a busy machine.
class FollowTheMusic : public Crossfade {
  protected:
    static constexpr Format kFormat{8000, 2, 16};
    void StartFollowing(const Settings &settings, double speed = 4.0) {
        host.UseOutput(std::make_unique<refhost::RecordingOutput>(speed, 2000));
        StartWith(settings);
    }
    static std::wstring Shaped(int ms, const wchar_t *extension, int seed, const wchar_t *shape) {
        return ToneName(kFormat.Rate, kFormat.Channels, kFormat.Bits, ms, extension, seed, shape);
    }
    static std::size_t BytesOfMs(int ms) {
        return static_cast<std::size_t>(ms) * kFormat.Rate / 1000 * kFormat.FrameBytes();
    }
    // Where the output first differs from the outgoing track: its hand-over, in bytes.
    std::size_t HandOverIn(const Bytes &outgoing) {
        const Bytes pcm = out().Pcm();
        const auto [differs, unused] = std::mismatch(pcm.begin(), pcm.end(), outgoing.begin(), outgoing.end());
        const auto at = static_cast<std::size_t>(differs - pcm.begin());
        const auto block = static_cast<std::size_t>(kFormat.BlockBytes());
        return at - at % block; // the hand-over's block begins unmixed where both are alike
    }
    // The output after the hand-over is the incoming track from `incomingFrom` with the outgoing
    // one's rest up to `soundEnd` mixed in over what was left of it.
    void ExpectMixedAfter(std::size_t handOver, const Bytes &outgoing, std::size_t soundEnd,
                          const Bytes &incoming, std::size_t incomingFrom, double inSpeed = 1.0,
                          double outSpeed = 1.0) {
        // The hand-over's block is the outgoing track's last: the rest was reckoned before it.
        const auto block = static_cast<std::size_t>(kFormat.BlockBytes());
        const auto writtenMs = static_cast<int>((handOver - block) * 1000 / kFormat.BytesPerSecond());
        const int remainingMs = static_cast<int>(soundEnd * 1000 / kFormat.BytesPerSecond()) - writtenMs;
        Bytes expected(outgoing.begin(), outgoing.begin() + static_cast<long>(handOver));
        const Bytes mixed = Mixed(kFormat, Bytes(incoming.begin() + static_cast<long>(incomingFrom), incoming.end()),
                                  Bytes(outgoing.begin() + static_cast<long>(handOver), outgoing.end()), remainingMs, false, false, 0, inSpeed, outSpeed);
        expected.insert(expected.end(), mixed.begin(), mixed.end());
        EXPECT_EQ(Compare(out().Pcm(), expected), "equal");
    }
};

// Where the outgoing track's sound ends, and over the tracks' own ramps: the hand-over where the
// plan puts it (within the loudness's 150 ms and a block), then the incoming track from its first
// sound with the outgoing one's rest to its sound's end mixed in, sample for sample. Both tracks'
// sound is heard untouched; skipped silence is never played.
struct FollowCase {
    const char *Name;
    bool SkipSilence, OwnRamps;
    int FadeTimeMs;
    int FirstMs;
    const wchar_t *FirstShape;
    int SecondMs;
    const wchar_t *SecondShape;
    int HandOverMs;   // where the plan starts the fade, in the first track
    int SoundEndMs;   // where the first track's sound ends
    int SoundStartMs; // where the second track's sound starts
    double InSpeed = 1.0, OutSpeed = 1.0; // over an own fade-out the incoming track is in by
                                          // the fade's middle; over a fade-in the outgoing holds
};

// Twice real time, and an output that takes everything at once (a disk writer): the same.
std::string PlanName(const std::tuple<FollowCase, double> &param) {
    return std::string(std::get<0>(param).Name) +
           (std::get<1>(param) > 0.0 ? "InRealTime" : "AllAtOnce");
}

class FollowTheMusicPlan : public FollowTheMusic,
                           public ::testing::WithParamInterface<std::tuple<FollowCase, double>> {};

TEST_P(FollowTheMusicPlan, TheFadeLiesWhereThePlanSaysAndTheSoundIsUntouched) {
    const FollowCase &c = std::get<0>(GetParam());
    Settings settings;
    settings.FadeTimeMs = c.FadeTimeMs;
    settings.MinFileSizeMs = 1000;
    settings.SkipSilence = c.SkipSilence;
    settings.OwnFadeOuts = c.OwnRamps;
    StartFollowing(settings, std::get<1>(GetParam()));
    const std::wstring first = Shaped(c.FirstMs, L"syw", 41, c.FirstShape);
    const std::wstring second = Shaped(c.SecondMs, L"sya", 42, c.SecondShape);
    PlayToTheEnd({first, second});
    const Bytes a = TonePcm(first), b = TonePcm(second);
    const std::size_t handOver = HandOverIn(a);
    EXPECT_NEAR(static_cast<double>(handOver) / BytesOfMs(1), c.HandOverMs, 250.0);
    ExpectMixedAfter(handOver, a, BytesOfMs(c.SoundEndMs), b, BytesOfMs(c.SoundStartMs), c.InSpeed,
                     c.OutSpeed);
}

INSTANTIATE_TEST_SUITE_P(
    Crossfade, FollowTheMusicPlan,
    ::testing::Combine(::testing::Values(
        // 2 s of trailing silence, 1 s of leading: the 1 s fade ends with the sound at 4000 ms.
        FollowCase{"Silence", true, false, 1000, 6000, L"T2000", 3000, L"L1000", 3000, 4000, 1000},
        // Falls from 5000 ms to -60 dB at 9000 ms: 12 dB down at 5800 ms.
        FollowCase{"OwnFadeOut", false, true, 5000, 10000, L"F4000_T1000", 4000, L"B6", 5800, 9000,
                   0, 2.0, 1.0},
        // Rises from -60 dB to its body over 2000 ms: 12 dB below it at 1600 ms.
        FollowCase{"OwnFadeIn", false, true, 5000, 8000, L"B6", 4000, L"I2000", 6400, 8000, 0, 1.0,
                   2.0}), ::testing::Values(2.0, 0.0)),
    [](const auto &info) { return PlanName(info.param); });

// 40 s of trailing silence, more than the look-ahead reads at once: it is followed back (on an
// output that takes everything at once, where the block loop waits for the look-ahead).
INSTANTIATE_TEST_SUITE_P(
    LongSilence, FollowTheMusicPlan,
    ::testing::Combine(::testing::Values(FollowCase{"LongSilence", true, false, 1000, 60000,
                                                    L"T40000", 3000, L"B6", 19000, 20000, 0}),
                       ::testing::Values(0.0)),
    [](const auto &info) { return PlanName(info.param); });

// The host is shown the file's time: a track begun after a second of silence shows a second as
// its first sound is heard. A track silent throughout plays as it is.
TEST_F(FollowTheMusic, SkippedLeadingSilenceShowsInTheTimeAndASilentTrackPlaysAsItIs) {
    Settings settings;
    settings.FadeTimeMs = 1000;
    settings.SkipSilence = true;
    StartFollowing(settings);
    const std::wstring first = Shaped(4000, L"syw", 50, L"B6");
    const std::wstring second = Shaped(4000, L"sya", 51, L"L1000");
    const std::wstring silent = Shaped(3000, L"syw", 52, L"L3000");
    host.SetPlaylist({first, second, silent});
    ASSERT_EQ(host.StartPlaying(0), 0);
    // From its Play until its first block (the silence read past) the time shows 0.
    int shown = 0;
    ASSERT_TRUE(host.WaitUntil(
        [&] {
            shown = host.State().Position == 1 ? host.ActiveModule()->GetOutputTime() : 0;
            return shown > 0;
        },
        10000));
    EXPECT_GE(shown, 1000);
    EXPECT_LT(shown, 1400);
    ASSERT_TRUE(host.WaitUntil([&] { return !host.IsPlaying(); }, 20000));
    host.Pump(30);
    // The silent track's 3 s are all there: the second track fades out over its first second,
    // two seconds of nothing follow.
    const Bytes pcm = out().Pcm();
    const auto quiet = static_cast<long>(BytesOfMs(2000));
    ASSERT_GT(pcm.size(), BytesOfMs(3000));
    EXPECT_TRUE(std::all_of(pcm.end() - quiet, pcm.end(), [](std::uint8_t b) { return b == 0; }));
    EXPECT_FALSE(std::all_of(pcm.end() - quiet - static_cast<long>(BytesOfMs(500)), pcm.end() - quiet,
                             [](std::uint8_t b) { return b == 0; }));
}

// Without the option, or where the owner will not open the track a second time, the same tracks
// crossfade over the file's last second as they always did: silence into silence.
class FollowTheMusicFallBack : public FollowTheMusic, public ::testing::WithParamInterface<bool> {};

TEST_P(FollowTheMusicFallBack, TheFadeIsTheSetTime) {
    const bool oneHandle = GetParam();
    Settings settings;
    settings.FadeTimeMs = 1000;
    settings.SkipSilence = oneHandle;
    StartFollowing(settings);
    if (oneHandle)
        PluginProbe(host, L"in_synthw.dll").Set("MaxOpenReads", 1);
    const std::wstring first = Shaped(6000, L"syw", 43, L"T2000");
    const std::wstring second = Shaped(3000, L"sya", 44, L"B6"); // no leading silence to skip
    PlayToTheEnd({first, second});
    EXPECT_EQ(Compare(out().Pcm(), ExpectedTransition(first, second, settings)), "equal");
}

INSTANTIATE_TEST_SUITE_P(Crossfade, FollowTheMusicFallBack, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &info) {
                             return info.param ? std::string("OneHandleOnly")
                                               : std::string("OptionOff");
                         });

// Consecutive tracks of one album join without a crossfade: the output is the piece they were
// cut from, sample for sample. Out of order, or without the option, they crossfade.
struct AlbumCase {
    const char *Name;
    bool AlbumsThrough;
    std::vector<int> Order; // of the album's three tracks
    bool WholePiece;
};

class AlbumThrough : public Crossfade, public ::testing::WithParamInterface<AlbumCase> {};

TEST_P(AlbumThrough, IsThePieceItWasCutFromOrCrossfades) {
    const AlbumCase &c = GetParam();
    const std::vector<std::wstring> album = AlbumNames(8000, 2, 16, {1500, 1200, 1000}, 47, 3);
    const Bytes piece = TonePcm(ToneName(8000, 2, 16, 3700, L"syw", 47, L"P0"));
    Settings settings;
    settings.AlbumsThrough = c.AlbumsThrough;
    StartWith(settings);
    std::vector<std::wstring> playlist;
    for (const int track : c.Order)
        playlist.push_back(album[static_cast<std::size_t>(track)]);
    PlayToTheEnd(playlist);
    EXPECT_EQ(Compare(out().Pcm(), piece) == "equal", c.WholePiece);
    EXPECT_EQ(out().Pcm().size() == piece.size(), c.WholePiece);
}

INSTANTIATE_TEST_SUITE_P(Crossfade, AlbumThrough,
                         ::testing::Values(AlbumCase{"InOrder", true, {0, 1, 2}, true},
                                           AlbumCase{"OptionOff", false, {0, 1, 2}, false},
                                           AlbumCase{"OutOfOrder", true, {0, 2, 1}, false}),
                         [](const ::testing::TestParamInfo<AlbumCase> &info) {
                             return std::string(info.param.Name);
                         });

// ---- what a listener's machine meets: other hosts' stops, other entries, other outputs ----

// The host ends after this track (stop after current, or its playlist's end): IPC_ISFULLSTOP
// answers 2 at its Stop. The track is heard to its last sample, what was prepared for the next
// entry goes at once, and a later Play of that entry starts clean.
TEST_F(Crossfade, StopAfterCurrentHearsTheTrackToItsLastSample) {
    const Settings settings;
    StartWith(settings);
    host.State().StopAfterCurrent = true;
    const std::wstring first = ToneName(8000, 2, 16, 1500, L"syw", 90);
    const std::wstring second = ToneName(8000, 2, 16, 1000, L"sya", 91);
    PlayToTheEnd({first, second});
    ASSERT_TRUE(host.WaitUntil([&] { return out().Pcm().size() >= TonePcm(first).size(); }, 3000));
    host.Pump(100);
    EXPECT_EQ(Compare(out().Pcm(), TonePcm(first)), "equal");
    EXPECT_EQ(PluginProbe(host, L"in_synthw.dll").OpenReads(), 0);
    EXPECT_EQ(PluginProbe(host, L"in_syntha.dll").OpenReads(), 0);
    out().ClearRecord();
    host.State().StopAfterCurrent = false;
    ASSERT_EQ(host.StartPlaying(1), 0);
    ASSERT_TRUE(host.WaitUntil([&] { return !host.IsPlaying(); }, 10000));
    EXPECT_EQ(Compare(out().Pcm(), TonePcm(second)), "equal");
}

// A stream next (its plug-in reads it for others and knows its length): nothing is prepared for
// it, the look-ahead reads none of it, the track before plays to its end, and the stream's own
// plug-in plays it.
TEST_F(Crossfade, BeforeAStreamTheTrackPlaysToItsEndAndTheStreamIsNeverOpened) {
    Settings settings;
    settings.SkipSilence = true;
    settings.OwnFadeOuts = true;
    StartWith(settings);
    const std::wstring first = ToneName(8000, 2, 16, 1500, L"syw", 92);
    const std::wstring stream = L"http://radio.example/tone_8000_2_16_1000_93.syw";
    PlayToTheEnd({first, stream});
    Bytes both = TonePcm(first);
    const Bytes streamed = TonePcm(stream);
    both.insert(both.end(), streamed.begin(), streamed.end());
    EXPECT_EQ(Compare(out().Pcm(), both), "equal");
    const std::string log = PluginProbe(host, L"in_synthw.dll").Log();
    EXPECT_EQ(log.find("ExtOpen http://"), std::string::npos) << log;
    EXPECT_EQ(PluginProbe(host, L"in_synthw.dll").Count("Play"), 1); // the stream, by its owner
}

// A skip into the playlist's last track, shorter than the fade on skip: when it ends, the skipped
// track it faded out over is let go too.
TEST_F(SkipFade, ASkipIntoALastTrackShorterThanTheFadeLetsGoOfEverythingAtItsEnd) {
    PlayWithSkipFade(ToneName(8000, 2, 16, 5000, L"syw", 94), ToneName(8000, 2, 16, 600, L"sya", 95),
                     1000);
    host.Pump(250);
    ASSERT_EQ(host.SkipTo(1), 0);
    WaitForTheEnd();
    ASSERT_TRUE(host.WaitUntil([&] { return !Busy(); }, 3000));
    EXPECT_EQ(PluginProbe(host, L"in_synthw.dll").OpenReads(), 0);
    EXPECT_EQ(PluginProbe(host, L"in_syntha.dll").OpenReads(), 0);
}

// Outputs whose clock steps (by 10 ms, or a whole write at a time) tell where the listener is
// only as they step: a skip is cut there, as cleanly as on a clock that runs.
class SkipFadeOnAClockThatSteps : public SkipFade, public ::testing::WithParamInterface<int> {};

TEST_P(SkipFadeOnAClockThatSteps, JoinsAsCleanlyAsOnAClockThatRuns) {
    const std::wstring first = ToneName(8000, 2, 16, 5000, L"syw", 96);
    const std::wstring second = ToneName(8000, 2, 16, 1000, L"sya", 97);
    PlayWithSkipFade(first, second);
    out().SetClock(refhost::RecordingOutput::Clock::Steps, GetParam());
    host.Pump(250);
    ASSERT_EQ(host.SkipTo(1), 0);
    WaitForTheEnd();
    ExpectHeardExactly(TonePcm(first), TonePcm(second), 300);
}

INSTANTIATE_TEST_SUITE_P(SkipFade, SkipFadeOnAClockThatSteps, ::testing::Values(10, 0),
                         [](const ::testing::TestParamInfo<int> &info) {
                             return info.param ? std::string("ByTenMs") : std::string("ByWholeWrites");
                         });

// A stalled output (its clock stands still: nothing plays, nothing is taken) cannot say which
// frame is heard: a skip waits for it a second at most, then cuts to the new track's start.
TEST_F(SkipFade, OnAStalledOutputASkipCutsWithinASecond) {
    const std::wstring first = ToneName(8000, 2, 16, 5000, L"syw", 98);
    const std::wstring second = ToneName(8000, 2, 16, 1000, L"sya", 99);
    PlayWithSkipFade(first, second);
    host.Pump(250);
    out().SetClock(refhost::RecordingOutput::Clock::StandsStill);
    host.Pump(100);
    const std::size_t callsBefore = out().Calls().size();
    const double skipped = refhost::RecordingOutput::ClockMs();
    ASSERT_EQ(host.SkipTo(1), 0);
    ASSERT_TRUE(host.WaitUntil([&] { return out().CountOf("Flush") > 0; }, 3000));
    const auto calls = out().Calls();
    const auto flush = std::find_if(calls.begin() + static_cast<long>(callsBefore), calls.end(),
                                    [](const auto &c) { return c.Name == "Flush"; });
    ASSERT_NE(flush, calls.end());
    EXPECT_LT(flush->AtMs - skipped, 1500.0);
    out().SetClock(refhost::RecordingOutput::Clock::Runs);
    WaitForTheEnd();
    const Bytes pcm = out().Pcm(), whole = TonePcm(second);
    ASSERT_GE(pcm.size(), whole.size());
    EXPECT_TRUE(std::equal(whole.begin(), whole.end(), pcm.end() - static_cast<long>(whole.size())))
        << "the new track is heard from its start, unmixed";
}

// Without a crossfade (into another rate with fades across formats off, or into a track shorter
// than the shortest faded) Skip Silence still goes from sound to sound: neither the outgoing
// track's trailing silence nor the incoming one's leading silence is heard.
struct SoundToSoundCase {
    const char *Name;
    int SecondRate;
    int SecondMs;
};

class SoundToSound : public FollowTheMusic, public ::testing::WithParamInterface<SoundToSoundCase> {};

TEST_P(SoundToSound, NeitherSilenceIsHeard) {
    const SoundToSoundCase &c = GetParam();
    Settings settings;
    settings.FadeTimeMs = 1000;
    settings.MinFileSizeMs = 1000;
    settings.SkipSilence = true;
    StartFollowing(settings, 0.0);
    const std::wstring first = Shaped(6000, L"syw", 100, L"T2000");
    const std::wstring second =
        ToneName(c.SecondRate, 2, 16, c.SecondMs, L"sya", 101, L"L500");
    PlayToTheEnd({first, second});
    const Bytes a = TonePcm(first), b = TonePcm(second);
    Bytes expected(a.begin(), a.begin() + static_cast<long>(BytesOfMs(4000)));
    const auto lead = static_cast<long>(std::int64_t{500} * c.SecondRate / 1000 * 4);
    expected.insert(expected.end(), b.begin() + lead, b.end());
    EXPECT_EQ(Compare(out().Pcm(), expected), "equal");
}

INSTANTIATE_TEST_SUITE_P(Crossfade, SoundToSound,
                         ::testing::Values(SoundToSoundCase{"IntoAnotherRate", 11025, 3000},
                                           SoundToSoundCase{"IntoATrackTooShortToFade", 8000, 900}),
                         [](const ::testing::TestParamInfo<SoundToSoundCase> &info) {
                             return std::string(info.param.Name);
                         });

// Skip Silence at -80 dBFS with "silences" that hold noise at -70 dBFS: nothing is silence, and
// the transition is the plain crossfade byte for byte (at 44.1 kHz a track's length in whole
// milliseconds is not its last frame's time).
TEST_F(FollowTheMusic, NothingToSkipIsThePlainCrossfade) {
    Settings settings;
    settings.FadeTimeMs = 1000;
    settings.MinFileSizeMs = 1000;
    settings.SkipSilence = true;
    settings.SilenceThresholdDb = -80;
    StartFollowing(settings, 0.0);
    const std::wstring first = ToneName(44100, 2, 16, 3001, L"syw", 102, L"B70");
    // Its first two frames lie below -80 dBFS: noise, not silence to read past.
    const std::wstring second = ToneName(44100, 2, 16, 2001, L"sya", 194, L"B70");
    PlayToTheEnd({first, second});
    EXPECT_EQ(Compare(out().Pcm(), ExpectedTransition(first, second, settings)), "equal");
}

// A seek in a track whose leading silence was read past: the host is shown the time sought,
// and the skipped silence no longer counts.
TEST_F(FollowTheMusic, ASeekAfterSkippedLeadingSilenceShowsTheTimeSought) {
    Settings settings;
    settings.FadeTimeMs = 1000;
    settings.MinFileSizeMs = 1000;
    settings.SkipSilence = true;
    StartFollowing(settings, 1.0);
    const std::wstring first = Shaped(2000, L"syw", 104, L"B6");
    const std::wstring second = Shaped(12000, L"sya", 105, L"L1000");
    host.SetPlaylist({first, second});
    ASSERT_EQ(host.StartPlaying(0), 0);
    ASSERT_TRUE(host.WaitUntil(
        [&] { return host.State().Position == 1 && host.ActiveModule()->GetOutputTime() > 1200; },
        10000));
    host.JumpToTime(5000);
    int shown = 0;
    ASSERT_TRUE(host.WaitUntil(
        [&] {
            shown = host.ActiveModule()->GetOutputTime();
            return shown >= 5000 && out().CountOf("Flush") > 0;
        },
        5000));
    EXPECT_LT(shown, 5400);
    host.PressStop();
}

// An owner whose open takes 2.5 s (a slow share, a decoder that reads a long header): the
// look-ahead waits for it on its own thread; the output never runs dry and a Stop is not held up.
TEST_F(FollowTheMusic, ASlowOwnerHoldsUpNeitherTheOutputNorAStop) {
    Settings settings;
    settings.FadeTimeMs = 1000;
    settings.MinFileSizeMs = 1000;
    settings.SkipSilence = true;
    settings.OwnFadeOuts = true;
    StartFollowing(settings, 1.0);
    PluginProbe(host, L"in_synthw.dll").Set("OpenDelayMs", 2500);
    host.SetPlaylist({Shaped(8000, L"syw", 106, L"B6"), Shaped(3000, L"syw", 107, L"B6")});
    ASSERT_EQ(host.StartPlaying(0), 0);
    ASSERT_TRUE(host.WaitUntil([&] { return out().HeardMs() >= 3000.0; }, 10000));
    const double before = refhost::RecordingOutput::ClockMs();
    host.PressStop();
    const double stopMs = refhost::RecordingOutput::ClockMs() - before;
    EXPECT_LT(stopMs, 500.0);
    EXPECT_LT(UnderrunUntilTheLastWrite(), 50.0);
    PluginProbe(host, L"in_synthw.dll").Set("OpenDelayMs", 0);
    host.Pump(3000); // the look-ahead's open comes back and is let go
}
