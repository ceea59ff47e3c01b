// Every entry point the product calls, made to fault: a test plug-in (in_faulty) raises an access
// violation or another compiler's C++ exception in the entry point a knob names, and the
// reference host's output, DSP and visualisation do the same in theirs. For each one the host
// survives, gets the documented answer, plays on with the next entry, and every decoder that was
// opened is closed exactly once.
//
// A plug-in that faulted is called no more in this run of the host: its files are still claimed
// but not played (the host skips them), and the decoders it had open are left to it, never
// closed through it; the tests that make a decoder fault count those as left open.
#include "RefHost.h"
#include "support/PluginProbe.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

namespace {

using namespace hostapi;
using refhost::RefHost;
using support::PluginProbe;
using support::ToneName;
using support::TonePcm;
using Bytes = std::vector<std::uint8_t>;

constexpr int kAccessViolation = 1;
constexpr int kForeignException = 2;

const wchar_t *const kPlugins[] = {L"in_faulty.dll", L"in_synthw.dll", L"in_synthnx.dll"};

std::wstring FaultyTone(int ms = 400, int seed = 0) {
    return ToneName(44100, 2, 16, ms, L"syk", seed);
}

bool EndsWith(const Bytes &all, const Bytes &tail) {
    return all.size() >= tail.size() &&
           std::equal(tail.begin(), tail.end(), all.end() - static_cast<long>(tail.size()));
}

std::string HowName(const ::testing::TestParamInfo<int> &info) {
    return info.param == kAccessViolation ? "AccessViolation" : "ForeignCppException";
}

class FaultMatrix : public ::testing::TestWithParam<int> {
  protected:
    void SetUp() override {
        host.InstallProduct();
        for (const wchar_t *plugin : kPlugins)
            host.InstallPlugin(plugin);
        WriteSettings((host.PluginsFolder() / L"HVQBlend.ini").string());
        host.Start();
        // The host's first question loads the hooked-in plug-ins.
        EXPECT_EQ(host.Product()->IsOurFile(ToneName(44100, 2, 16, 300).c_str()), 1);
    }
    void TearDown() override {
        host.Shutdown();
        for (const wchar_t *plugin : {L"in_faulty.dll", L"in_synthw.dll"}) {
            PluginProbe probe(host, plugin);
            const int leftOpen = plugin == std::wstring(L"in_faulty.dll") ? faultyLeftOpen : 0;
            EXPECT_EQ(probe.OpenReads(), leftOpen) << plugin;
            EXPECT_EQ(probe.TotalOpens(), probe.TotalCloses() + leftOpen) << plugin;
            EXPECT_EQ(probe.BadCloses(), 0) << plugin;
        }
    }

    // The settings file before the host starts the plug-in; the defaults without one.
    virtual void WriteSettings(const std::string &) {}
    PluginProbe Faulty() { return PluginProbe(host, L"in_faulty.dll"); }
    int faultyLeftOpen = 0; // decoders in_faulty.dll had open when it faulted
    // The faulty plug-in faults in this entry point from now on.
    void FaultIn(const char *entryPoint) {
        Faulty().Set((std::string("Fault") + entryPoint).c_str(), GetParam());
    }
    refhost::RecordingOutput &out() { return host.Output(); }

    // Plays the playlist from its first entry until the host has stopped at its end.
    void PlayToTheEnd(std::vector<std::wstring> playlist, int timeoutMs = 20000) {
        host.SetPlaylist(std::move(playlist));
        host.StartPlaying(0);
        ASSERT_TRUE(host.WaitUntil(
            [&] {
                return !host.IsPlaying() &&
                       host.State().Position + 1 >= static_cast<int>(host.State().Playlist.size());
            },
            timeoutMs));
        host.Pump(50);
    }
    // A faulty plug-in's entry, then a healthy one of another plug-in: the host gets past the
    // first, whatever became of it, and the second plays whole through the engine.
    void PlayFaultyThenHealthy(const std::wstring &faulty) {
        const std::wstring healthy = ToneName(44100, 2, 16, 300, L"syw", 7);
        PlayToTheEnd({faulty, healthy});
        EXPECT_EQ(host.State().Position, 1);
        EXPECT_FALSE(host.IsPlaying());
        EXPECT_TRUE(EndsWith(out().Pcm(), TonePcm(healthy)));
        EXPECT_EQ(PluginProbe(host, L"in_synthw.dll").Count("Play"), 0); // through the engine
    }
    int EndOfTrackMessages() const {
        int count = 0;
        for (const auto &message : host.Messages())
            count += message.Message == WM_WA_MPEG_EOF;
        return count;
    }

    RefHost host;
};

// A fault that no one handled ends this program at once with its code, as a crashed host would
// end, instead of waiting for a debugger.
LONG WINAPI EndWithExceptionCode(EXCEPTION_POINTERS *exception) {
    std::fprintf(stderr, "unhandled exception %08lx: the host would have crashed\n",
                 exception->ExceptionRecord->ExceptionCode);
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), exception->ExceptionRecord->ExceptionCode);
    return EXCEPTION_CONTINUE_SEARCH;
}

class CrashesEndTheProgram : public ::testing::Environment {
  public:
    void SetUp() override { SetUnhandledExceptionFilter(&EndWithExceptionCode); }
};
const auto *const kCrashes = ::testing::AddGlobalTestEnvironment(new CrashesEndTheProgram);

INSTANTIATE_TEST_SUITE_P(Each, FaultMatrix, ::testing::Values(kAccessViolation, kForeignException),
                         HowName);

// ---- the faulty plug-in's entry points ----

// With the options that follow the music the look-ahead opens the playing track a second time
// and the next entry ahead of its Play; here each of those opens faults. That ends the
// look-ahead and nothing else: the track plays to its end, the next one after it (the plain
// transition), both through the engine, the plug-in not taken for faulted.
class LookAheadFault : public FaultMatrix {
    void WriteSettings(const std::string &ini) override {
        WritePrivateProfileStringA("HVQBlend", "FadeTime", "1000", ini.c_str());
        WritePrivateProfileStringA("HVQBlend", "MinFileSize", "500", ini.c_str());
        WritePrivateProfileStringA("HVQBlend", "SkipSilence", "1", ini.c_str());
        WritePrivateProfileStringA("HVQBlend", "FadeOverOwnFadeOut", "1", ini.c_str());
    }
};

INSTANTIATE_TEST_SUITE_P(Each, LookAheadFault,
                         ::testing::Values(kAccessViolation, kForeignException), HowName);

TEST_P(LookAheadFault, EndsOnlyTheLookAheadNeverThePlayingTrack) {
    Faulty().Set("FaultSecondOpen", GetParam());
    const std::wstring first = FaultyTone(3000, 1), second = FaultyTone(1000, 2);
    PlayToTheEnd({first, second});
    Bytes both = TonePcm(first);
    const Bytes b = TonePcm(second);
    both.insert(both.end(), b.begin(), b.end());
    EXPECT_EQ(out().Pcm(), both);
    EXPECT_EQ(Faulty().Count("Play"), 0); // never left to its own playing
}

TEST_P(FaultMatrix, IsOurFile) {
    FaultIn("IsOurFile");
    In_Module *product = host.Product();
    product->IsOurFile(FaultyTone().c_str()); // either answer will do: the host goes on
    EXPECT_GE(Faulty().Count("IsOurFile"), 1);
    EXPECT_EQ(product->IsOurFile(ToneName(44100, 2, 16, 300).c_str()), 1);
    PlayFaultyThenHealthy(FaultyTone());
}

TEST_P(FaultMatrix, GetFileInfoAnswersAsForAFileOfNobody) {
    FaultIn("GetFileInfo");
    std::wstring title(kTitleLength, L'x');
    int length = 12345;
    host.Product()->GetFileInfo(FaultyTone().c_str(), title.data(), &length);
    EXPECT_EQ(Faulty().Count("GetFileInfo"), 1);
    EXPECT_EQ(title[0], L'\0');
    EXPECT_EQ(length, -1000);
    PlayFaultyThenHealthy(FaultyTone());
}

TEST_P(FaultMatrix, ExtendedFileInformation) {
    FaultIn("ExtendedInfo");
    using GetInfoW = int(__cdecl *)(const wchar_t *, const char *, wchar_t *, int);
    const auto getInfo = reinterpret_cast<GetInfoW>(reinterpret_cast<void *>(
        GetProcAddress(host.Plugin(L"in_hvqblend.dll")->Library, "winampGetExtendedFileInfoW")));
    ASSERT_NE(getInfo, nullptr);
    wchar_t answer[64] = L"unchanged";
    const int askedBefore = Faulty().Count("GetExtendedFileInfo"); // the host's probe at start
    EXPECT_EQ(getInfo(FaultyTone().c_str(), "length", answer, 64), 0);
    EXPECT_EQ(Faulty().Count("GetExtendedFileInfo"), askedBefore + 1);
    // The engine would ask for the length and the type before it takes a file.
    PlayFaultyThenHealthy(FaultyTone());
}

TEST_P(FaultMatrix, ExtendedReadOpenLeavesTheFileToItsPlugin) {
    FaultIn("ExtOpen");
    PlayFaultyThenHealthy(FaultyTone());
    EXPECT_GE(Faulty().Count("ExtOpen"), 1);
    EXPECT_EQ(Faulty().TotalOpens(), 0);
}

TEST_P(FaultMatrix, GetDataEndsTheTrackAndTheDecoderIsLeftToItsPlugin) {
    FaultIn("ExtGetData");
    PlayFaultyThenHealthy(FaultyTone());
    EXPECT_EQ(Faulty().Count("ExtGetData"), 1);
    EXPECT_EQ(Faulty().TotalOpens(), 1);
    EXPECT_EQ(Faulty().Count("ExtClose"), 0);
    faultyLeftOpen = 1;
}

TEST_P(FaultMatrix, CloseIsCalledOnceAndTheHostMovesOn) {
    FaultIn("ExtClose");
    PlayFaultyThenHealthy(FaultyTone());
    EXPECT_GE(Faulty().TotalOpens(), 1);
    EXPECT_EQ(Faulty().Count("ExtClose"), Faulty().TotalOpens());
}

TEST_P(FaultMatrix, PlayInDirectModeAnswersAFailure) {
    Faulty().Set("Channels", -1); // a format the engine cannot play: the plug-in plays it itself
    FaultIn("Play");
    host.SetPlaylist({FaultyTone()});
    EXPECT_NE(host.Product()->Play(FaultyTone().c_str()), 0);
    EXPECT_EQ(Faulty().Count("Play"), 1);
    // Nothing was left active: the next calls reach the engine, which plays the next entry.
    host.Product()->Stop();
    EXPECT_EQ(Faulty().Count("Stop"), 0);
    PlayFaultyThenHealthy(FaultyTone(300, 1));
}

// ---- the host's DSP and visualisation ----

TEST_P(FaultMatrix, DspEndsEachTrackAsIfItRanOut) {
    host.State().DspActive = 1;
    host.State().DspFaults = true;
    host.State().FaultHow = GetParam();
    PlayToTheEnd({ToneName(44100, 2, 16, 500), ToneName(44100, 2, 16, 400, L"syw", 2)});
    EXPECT_EQ(host.State().Position, 1);
    EXPECT_EQ(EndOfTrackMessages(), 2);
    EXPECT_EQ(host.ServiceCount("dsp_dosamples"), 2);
    EXPECT_TRUE(out().Pcm().empty());
}

TEST_P(FaultMatrix, VisualisationEndsEachTrackAsIfItRanOut) {
    host.State().VisualisationFaults = true;
    host.State().FaultHow = GetParam();
    PlayToTheEnd({ToneName(44100, 2, 16, 500), ToneName(22050, 1, 16, 400, L"syw", 2)});
    EXPECT_EQ(host.State().Position, 1);
    EXPECT_EQ(EndOfTrackMessages(), 2);
    EXPECT_EQ(host.ServiceCount("SAAddPCMData"), 2);
    EXPECT_TRUE(out().Pcm().empty());
    // Without the fault the next track plays whole.
    host.State().VisualisationFaults = false;
    out().ClearRecord();
    const std::wstring track = ToneName(22050, 1, 16, 400, L"syw", 3);
    PlayToTheEnd({track});
    EXPECT_EQ(out().Pcm(), TonePcm(track));
}

// ---- the host's output, called from the playback thread ----

// One call of the output faults during a playlist of three (the second in another format): the
// track it met ends early or loses nothing, the host gets through the list, and the last track,
// which starts after the fault, plays whole.
TEST_P(FaultMatrix, EachOutputCallOfThePlaybackThread) {
    for (const char *call :
         {"Open", "Write", "CanWrite", "GetWrittenTime", "IsPlaying", "Flush", "Close"}) {
        SCOPED_TRACE(call);
        out().ClearRecord();
        host.ClearMessages();
        const int raisedBefore = out().FaultsRaised();
        out().FaultNext(call, GetParam());
        const std::wstring last = ToneName(48000, 1, 16, 300, L"syw", 3);
        PlayToTheEnd(
            {ToneName(44100, 2, 16, 300, L"syw", 1), ToneName(48000, 1, 16, 300, L"syw", 2), last});
        EXPECT_EQ(out().FaultsRaised(), raisedBefore + 1);
        EXPECT_EQ(host.State().Position, 2);
        EXPECT_TRUE(EndsWith(out().Pcm(), TonePcm(last)));
        out().FaultNext(call, 0, 0);
    }
}

// ---- the host's output, called on the host's thread through the product ----

class FaultMatrixInRealTime : public FaultMatrix {
  protected:
    void SetUp() override {
        host.UseOutput(std::make_unique<refhost::RecordingOutput>(1.0, 500));
        FaultMatrix::SetUp();
    }
};

INSTANTIATE_TEST_SUITE_P(Each, FaultMatrixInRealTime,
                         ::testing::Values(kAccessViolation, kForeignException), HowName);

TEST_P(FaultMatrixInRealTime, OutputCallsOfTheHostsThread) {
    const std::wstring track = ToneName(44100, 2, 16, 1500);
    host.SetPlaylist({track});
    ASSERT_EQ(host.StartPlaying(0), 0);
    host.Pump(100);
    In_Module *product = host.Product();
    out().FaultNext("GetOutputTime", GetParam());
    EXPECT_EQ(product->GetOutputTime(), 0);
    out().FaultNext("SetVolume", GetParam());
    product->SetVolume(99);
    out().FaultNext("SetPan", GetParam());
    product->SetPan(12);
    out().FaultNext("Pause", GetParam());
    product->Pause();
    EXPECT_EQ(product->IsPaused(), 1);
    host.Pump(50);
    out().FaultNext("Pause", GetParam());
    product->UnPause();
    EXPECT_EQ(product->IsPaused(), 0);
    EXPECT_EQ(out().FaultsRaised(), 5);
    ASSERT_TRUE(host.WaitUntil([&] { return !host.IsPlaying(); }, 10000));
    EXPECT_EQ(out().Pcm(), TonePcm(track));
}

// On a real-time clock, so that the plug-in still plays when the user stops it.
TEST_P(FaultMatrixInRealTime, StopInDirectModeLeavesNothingActive) {
    Faulty().Set("Channels", -1);
    host.SetPlaylist({FaultyTone(5000), ToneName(44100, 2, 16, 300, L"syw", 3)});
    ASSERT_EQ(host.StartPlaying(0), 0);
    ASSERT_EQ(Faulty().Count("Play"), 1);
    FaultIn("Stop");
    host.PressStop();
    EXPECT_EQ(Faulty().Count("Stop"), 1);
    EXPECT_EQ(host.Plugin(L"in_faulty.dll")->Module->outMod, nullptr);
    // The engine's next track gets the output and the playback calls.
    out().ClearRecord();
    ASSERT_EQ(host.StartPlaying(1), 0);
    EXPECT_EQ(host.Product()->IsPaused(), 0);
    ASSERT_TRUE(host.WaitUntil([&] { return !host.IsPlaying(); }));
    EXPECT_TRUE(EndsWith(out().Pcm(), TonePcm(ToneName(44100, 2, 16, 300, L"syw", 3))));
    EXPECT_EQ(Faulty().Count("Stop"), 1);
}

// ---- the playback calls the host passes on to a plug-in playing in direct mode ----

struct DirectModeCall {
    const char *Entry;
    int (*Call)(In_Module &product);
};

const DirectModeCall kDirectModeCalls[] = {
    {"Pause", [](In_Module &p) { return p.Pause(), 0; }},
    {"UnPause", [](In_Module &p) { return p.UnPause(), 0; }},
    {"IsPaused", [](In_Module &p) { return p.IsPaused(); }},
    {"GetLength", [](In_Module &p) { return p.GetLength(); }},
    {"GetOutputTime", [](In_Module &p) { return p.GetOutputTime(); }},
    {"SetOutputTime", [](In_Module &p) { return p.SetOutputTime(1000), 0; }},
    {"SetVolume", [](In_Module &p) { return p.SetVolume(200), 0; }},
    {"EQSet",
     [](In_Module &p) {
         char bands[10] = {};
         return p.EQSet(1, bands, 31), 0;
     }},
};
constexpr int kDirectModeCases = 2 * static_cast<int>(std::size(kDirectModeCalls));

// The parameter picks the entry and the kind of fault.
class DirectModeFaults : public FaultMatrixInRealTime {
  protected:
    const DirectModeCall &Call() const { return kDirectModeCalls[GetParam() / 2]; }
    int How() const { return GetParam() % 2 ? kForeignException : kAccessViolation; }
};

INSTANTIATE_TEST_SUITE_P(Each, DirectModeFaults, ::testing::Range(0, kDirectModeCases),
                         [](const ::testing::TestParamInfo<int> &info) {
                             return std::string(kDirectModeCalls[info.param / 2].Entry) +
                                    (info.param % 2 ? "_ForeignCppException" : "_AccessViolation");
                         });

// The host gets the answer of a plug-in without the entry, the plug-in is asked no more, a Stop
// still reaches it so that its own thread ends, and the engine plays the next entry whole.
TEST_P(DirectModeFaults, AnswerAsWithoutTheEntryAndStopStillReachesThePlugin) {
    Faulty().Set("Channels", -1); // a format the engine cannot play: the plug-in plays it itself
    const std::wstring next = ToneName(44100, 2, 16, 300, L"syw", 3);
    host.SetPlaylist({FaultyTone(5000), next});
    ASSERT_EQ(host.StartPlaying(0), 0);
    ASSERT_EQ(Faulty().Count("Play"), 1);
    const int asked = Faulty().Count(Call().Entry);
    Faulty().Set((std::string("Fault") + Call().Entry).c_str(), How());
    In_Module &product = *host.Product();
    EXPECT_EQ(Call().Call(product), 0);
    EXPECT_EQ(Call().Call(product), 0);
    EXPECT_EQ(Faulty().Count(Call().Entry), asked + 1);

    host.PressStop();
    EXPECT_EQ(Faulty().Count("Stop"), 1);
    EXPECT_EQ(host.Plugin(L"in_faulty.dll")->Module->outMod, nullptr);
    out().ClearRecord();
    ASSERT_EQ(host.StartPlaying(1), 0);
    ASSERT_TRUE(host.WaitUntil([&] { return !host.IsPlaying(); }));
    EXPECT_TRUE(EndsWith(out().Pcm(), TonePcm(next)));
}

TEST_P(FaultMatrixInRealTime, SetTimeEndsTheTrackAtTheSeek) {
    const std::wstring healthy = ToneName(44100, 2, 16, 300, L"syw", 4);
    host.SetPlaylist({FaultyTone(3000), healthy});
    ASSERT_EQ(host.StartPlaying(0), 0);
    host.Pump(150);
    FaultIn("ExtSetTime");
    host.JumpToTime(2000); // the host asks only a seekable module; either way it goes on
    ASSERT_TRUE(host.WaitUntil([&] { return !host.IsPlaying(); }, 10000));
    EXPECT_EQ(host.State().Position, 1);
    EXPECT_TRUE(EndsWith(out().Pcm(), TonePcm(healthy)));
    EXPECT_GE(Faulty().Count("ExtSetTime"), 2); // the seekable test at Play, then the seek
    EXPECT_EQ(Faulty().Count("ExtClose"), 0);
    faultyLeftOpen = Faulty().TotalOpens();
    EXPECT_GE(faultyLeftOpen, 1);
}

// A decoder that stalls in getData and ignores its kill switch: the user's Stop returns all the
// same, nothing of that request reaches the output afterwards, and once the decoder lets go it
// is closed; the next track plays whole.
TEST_P(FaultMatrixInRealTime, AStallInGetData) {
    Faulty().Set("StallAtBytes", 44100);
    Faulty().Set("StallIgnoresKill", 1);
    host.SetPlaylist({FaultyTone(20000)});
    ASSERT_EQ(host.StartPlaying(0), 0);
    ASSERT_TRUE(host.WaitUntil([&] { return Faulty().Count("ExtStall") > 0; }, 5000));
    std::atomic<bool> returned{false}, rescued{false};
    std::thread watchdog([&] {
        for (int waited = 0; waited < 20000 && !returned; waited += 10)
            Sleep(10);
        if (!returned) {
            rescued = true;
            PluginProbe(host, L"in_faulty.dll").Set("StallAtBytes", 0);
        }
    });
    host.PressStop();
    returned = true;
    watchdog.join();
    EXPECT_FALSE(rescued) << "only the watchdog ended the stall";
    const std::size_t callsAtStop = out().Calls().size();
    Faulty().Set("StallAtBytes", 0);
    ASSERT_TRUE(host.WaitUntil([&] { return Faulty().OpenReads() == 0; }, 5000));
    host.Pump(100);
    EXPECT_EQ(out().Calls().size(), callsAtStop);
    out().SetSpeed(0.0);
    out().ClearRecord();
    const std::wstring next = ToneName(44100, 2, 16, 300, L"syw", 5);
    host.SetPlaylist({next});
    ASSERT_EQ(host.StartPlaying(0), 0);
    ASSERT_TRUE(host.WaitUntil([&] { return !host.IsPlaying(); }, 5000));
    EXPECT_EQ(out().Pcm(), TonePcm(next));
}

// ---- the extended-read exports, as a host reads a file outside playback ----

TEST_P(FaultMatrix, ExtendedReadExports) {
    HMODULE product = host.Plugin(L"in_hvqblend.dll")->Library;
    const auto find = [&](const char *name) {
        return reinterpret_cast<void *>(GetProcAddress(product, name));
    };
    const auto openW =
        reinterpret_cast<intptr_t(__cdecl *)(const wchar_t *, int *, int *, int *, int *)>(
            find("winampGetExtendedRead_openW"));
    const auto getData = reinterpret_cast<intptr_t(__cdecl *)(intptr_t, char *, int, int *)>(
        find("winampGetExtendedRead_getData"));
    const auto setTime =
        reinterpret_cast<int(__cdecl *)(intptr_t, int)>(find("winampGetExtendedRead_setTime"));
    const auto close =
        reinterpret_cast<void(__cdecl *)(intptr_t)>(find("winampGetExtendedRead_close"));
    ASSERT_TRUE(openW && getData && setTime && close);
    const auto open = [&] {
        int size = 0, bits = 0, channels = 0, rate = 0;
        return openW(FaultyTone().c_str(), &size, &bits, &channels, &rate);
    };

    FaultIn("ExtOpen");
    EXPECT_EQ(open(), 0);
    Faulty().Set("FaultExtOpen", 0);
    EXPECT_EQ(open(), 0); // not asked again
    EXPECT_EQ(Faulty().Count("ExtOpen"), 1);

    // Another run of the host trusts the plug-in again; its first fault, in a read's setTime,
    // ends that read on our side and every later call reaches nothing of the plug-in.
    host.Shutdown();
    host.Start();
    host.Product()->IsOurFile(FaultyTone().c_str());
    const intptr_t reading = open();
    ASSERT_NE(reading, 0);
    FaultIn("ExtSetTime");
    EXPECT_EQ(setTime(reading, 100), 0);
    char buffer[4096];
    int stop = 0;
    EXPECT_EQ(getData(reading, buffer, sizeof buffer, &stop), -1);
    EXPECT_EQ(stop, 1);
    close(reading);
    close(reading); // already closed: refused without asking the plug-in
    EXPECT_EQ(Faulty().Count("ExtGetData"), 0);
    EXPECT_EQ(Faulty().Count("ExtClose"), 0);
    faultyLeftOpen = 1;
}

} // namespace
