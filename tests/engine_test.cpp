// The playback engine in the reference host: files the engine accepts play on its own thread
// through the owning plug-in's extended read into the host's output, sample for sample, with the
// documented calls at the output, and every decoder opened is closed once.
#include "RefHost.h"
#include "playback/InPluginPlaybackThreadUnit.h"
#include "globals/PluginGlobals.h"
#include "plugin/PluginModuleUnit.h"
#include "support/PluginProbe.h"

#include <gtest/gtest.h>

#include <atomic>
#include <numeric>
#include <thread>

namespace {

using namespace hostapi;
using refhost::RefHost;
using support::PluginProbe;
using support::ToneName;
using support::TonePcm;

std::vector<std::uint8_t> Concat(std::initializer_list<std::vector<std::uint8_t>> parts) {
    std::vector<std::uint8_t> all;
    for (const auto &part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

class Engine : public ::testing::Test {
  protected:
    void SetUp() override {
        host.InstallProduct();
        for (const wchar_t *plugin : {L"in_synthw.dll", L"in_syntha.dll", L"in_synthnx.dll",
                                      L"in_synthnoseek.dll", L"in_faultinfo.dll"})
            host.InstallPlugin(plugin);
        host.Start();
    }
    void TearDown() override {
        // Where the host has stopped, what the engine opened is closed before the host quits
        // (which lets go of everything anyway); a reader ahead may take a moment to come back
        // from an open it began.
        if (!host.IsPlaying()) {
            const auto openReads = [&] {
                int open = 0;
                for (const wchar_t *plugin : {L"in_synthw.dll", L"in_syntha.dll", L"in_synthnoseek.dll"})
                    open += PluginProbe(host, plugin).OpenReads();
                return open;
            };
            const bool quiet =
                host.WaitUntil([&] { return openReads() == 0 || host.IsPlaying(); }, 2000);
            EXPECT_TRUE(quiet) << openReads() << " decoders open after the host stopped";
        }
        host.Shutdown();
        // Every decoder any test plug-in opened is closed exactly once; a plug-in that faulted
        // keeps the decoders it had open, as it is not called again.
        for (const wchar_t *plugin :
             {L"in_synthw.dll", L"in_syntha.dll", L"in_synthnoseek.dll", L"in_faultinfo.dll"}) {
            PluginProbe probe(host, plugin);
            const int leftOpen =
                plugin == std::wstring(L"in_faultinfo.dll") ? faultInfoLeftOpen : 0;
            EXPECT_EQ(probe.OpenReads(), leftOpen) << plugin;
            EXPECT_EQ(probe.TotalOpens(), probe.TotalCloses() + leftOpen) << plugin;
            EXPECT_EQ(probe.BadCloses(), 0) << plugin;
        }
    }

    int faultInfoLeftOpen = 0; // decoders in_faultinfo.dll had open when it faulted

    // Plays the playlist from its first entry until the host has stopped at its end.
    void PlayToTheEnd(std::vector<std::wstring> playlist, int timeoutMs = 20000) {
        host.SetPlaylist(std::move(playlist));
        ASSERT_EQ(host.StartPlaying(0), 0);
        ASSERT_TRUE(host.WaitUntil([&] { return !host.IsPlaying(); }, timeoutMs));
        host.Pump(50);
    }
    std::vector<int> WriteLengths() const {
        std::vector<int> lengths;
        for (const auto &call : out().Calls()) {
            if (call.Name == "Write")
                lengths.push_back(call.Args[0]);
        }
        return lengths;
    }
    refhost::RecordingOutput &out() const { return const_cast<RefHost &>(host).Output(); }
    int EndOfTrackMessages() const {
        int count = 0;
        for (const auto &message : host.Messages())
            count += message.Message == WM_WA_MPEG_EOF;
        return count;
    }

    RefHost host;
};

TEST_F(Engine, PlaysAWholeTrackSampleExactThroughExtendedRead) {
    const std::wstring track = ToneName(44100, 2, 16, 3000);
    PlayToTheEnd({track});

    EXPECT_EQ(out().Pcm(), TonePcm(track));
    EXPECT_EQ(out().CountOf("Open"), 1);
    const auto calls = out().Calls();
    const auto open =
        std::find_if(calls.begin(), calls.end(), [](auto &c) { return c.Name == "Open"; });
    EXPECT_EQ(open->Args, (std::vector<int>{44100, 2, 16, -1, -1}));
    const auto services = host.ServiceCalls();
    const auto setInfo =
        std::find_if(services.begin(), services.end(), [](auto &c) { return c.Name == "SetInfo"; });
    ASSERT_NE(setInfo, services.end());
    EXPECT_EQ(setInfo->Args, (std::vector<int>{1411, 44, 2, 1}));
    EXPECT_EQ(host.ServiceCount("SAVSAInit"), 1);
    EXPECT_EQ(host.ServiceCount("VSASetInfo"), 1);
    EXPECT_EQ(EndOfTrackMessages(), 1);
    EXPECT_EQ(PluginProbe(host, L"in_synthw.dll").Count("Play"), 0); // never played directly
    // The engine told the host it leaves the equaliser to it.
    EXPECT_EQ(host.Product()->UsesOutputPlug & 3, 3);
}

TEST_F(Engine, WritesBlocksOfOneSixtyFourthSecondAndNeverMoreThan8192Bytes) {
    struct Case {
        int rate, channels, bits, block;
    };
    for (const Case c : {Case{44100, 2, 16, 2756}, Case{22050, 2, 24, 2064}, Case{8000, 1, 8, 125},
                         Case{96000, 2, 24, 9000}}) {
        out().ClearRecord();
        const std::wstring track = ToneName(c.rate, c.channels, c.bits, 5000);
        PlayToTheEnd({track});
        EXPECT_EQ(out().Pcm(), TonePcm(track)) << c.rate;
        const auto lengths = WriteLengths();
        ASSERT_FALSE(lengths.empty());
        if (c.block <= 8192) {
            EXPECT_EQ(lengths.front(), c.block) << c.rate;
        } else {
            EXPECT_EQ(lengths[0], 8190); // whole 6-byte frames
            EXPECT_EQ(lengths[1], c.block - 8190);
        }
        EXPECT_LE(*std::max_element(lengths.begin(), lengths.end()), 8192) << c.rate;
    }
}

TEST_F(Engine, ABlockLargerThanTheWholeOutputBufferIsWrittenInWhatFits) {
    // 1 kHz 8-bit mono reads 4096-byte blocks; the output holds 2000 bytes (two seconds).
    const std::wstring track = ToneName(1000, 1, 8, 5000);
    PlayToTheEnd({track});
    EXPECT_EQ(out().Pcm(), TonePcm(track));
    const auto lengths = WriteLengths();
    EXPECT_EQ(lengths.front(), 2000);
    EXPECT_LE(out().CountOf("CanWrite"), 1000); // no busy waiting either
}

TEST_F(Engine, ASecondTrackOfTheSameFormatReusesTheOutputWithFlush) {
    const std::wstring first = ToneName(44100, 2, 16, 2000, L"syw", 1);
    const std::wstring second = ToneName(44100, 2, 16, 1000, L"sya", 2);
    PlayToTheEnd({first, second});

    EXPECT_EQ(out().Pcm(), Concat({TonePcm(first), TonePcm(second)}));
    EXPECT_EQ(out().CountOf("Open"), 1);
    EXPECT_EQ(host.ServiceCount("SetInfo"), 1);
    const auto names = out().CallNames();
    const auto flush = std::find(names.begin(), names.end(), "Flush");
    ASSERT_NE(flush, names.end());
    EXPECT_EQ(out().Calls()[flush - names.begin()].Args[0], 0);
    EXPECT_EQ(EndOfTrackMessages(), 2);
    // The ANSI plug-in got its name in the ANSI code page and no format wishes.
    int bps = -1, nch = -1, srate = -1;
    PluginProbe(host, L"in_syntha.dll").LastWishes(bps, nch, srate);
    EXPECT_EQ(bps, 0);
    EXPECT_EQ(nch, 0);
    EXPECT_EQ(srate, 0);
}

TEST_F(Engine, AFormatChangeReopensTheOutput) {
    const std::wstring first = ToneName(44100, 2, 16, 1000);
    const std::wstring second = ToneName(48000, 1, 24, 1000);
    PlayToTheEnd({first, second});
    EXPECT_EQ(out().Pcm(), Concat({TonePcm(first), TonePcm(second)}));
    EXPECT_EQ(out().CountOf("Open"), 2);
    EXPECT_EQ(host.ServiceCount("SAVSADeInit"), 1); // at the reopen; the output stays open after
}

TEST_F(Engine, ADecoderThatGivesNothingStillEndsItsTrack) {
    const std::wstring empty = ToneName(100, 1, 16, 1); // one millisecond of no whole frame
    const std::wstring next = ToneName(44100, 2, 16, 500);
    PlayToTheEnd({empty, next});
    EXPECT_EQ(out().Pcm(), TonePcm(next));
    EXPECT_EQ(EndOfTrackMessages(), 2);
}

TEST_F(Engine, UnknownSizesTakeTheLengthFromThePlugin) {
    PluginProbe(host, L"in_synthw.dll").Set("SizeUnknown", 1);
    const std::wstring track = ToneName(44100, 2, 16, 1234);
    host.SetPlaylist({track});
    ASSERT_EQ(host.StartPlaying(0), 0);
    EXPECT_EQ(host.Product()->GetLength(), 1234);
    ASSERT_TRUE(host.WaitUntil([&] { return !host.IsPlaying(); }));
    EXPECT_EQ(out().Pcm(), TonePcm(track));
}

TEST_F(Engine, ImpossibleFormatsAreLeftToTheirOwnPlugin) {
    PluginProbe probe(host, L"in_synthw.dll");
    probe.Set("Channels", -1); // the extended read reports a format nobody can play
    const std::wstring track = ToneName(44100, 2, 16, 300);
    PlayToTheEnd({track});
    EXPECT_EQ(probe.Count("Play"), 1); // played directly instead
    EXPECT_EQ(out().Pcm(), TonePcm(track));
}

// Any byte count is a valid read: a frame torn between two reads is put together again.
TEST_F(Engine, ReadsThatTearFramesApartLoseNoByte) {
    PluginProbe probe(host, L"in_synthw.dll");
    for (const int chunk : {1001, 7, 2755}) {
        probe.Set("TornReads", chunk);
        out().ClearRecord();
        const std::wstring track = ToneName(22050, 2, 24, 300, L"syw", chunk);
        PlayToTheEnd({track});
        EXPECT_EQ(out().Pcm(), TonePcm(track)) << chunk;
        for (const int length : WriteLengths())
            EXPECT_EQ(length % 6, 0) << chunk; // whole frames only reach the output
    }
}

// 10 MHz and 64 channels would make a block buffer no allocation gives: such a file is left to
// its own plug-in, and a format at the bounds still plays through the engine.
TEST_F(Engine, RatesAndChannelsBeyondWhatAnOutputTakesAreLeftToTheirOwnPlugin) {
    PluginProbe probe(host, L"in_synthw.dll");
    probe.Set("Rate", 10'000'000);
    probe.Set("Channels", 64);
    probe.Set("Bits", 32);
    const std::wstring track = ToneName(44100, 2, 16, 300);
    PlayToTheEnd({track});
    EXPECT_EQ(probe.Count("Play"), 1);
    EXPECT_EQ(out().Pcm(), TonePcm(track));
    EXPECT_EQ(probe.OpenReads(), 0);
}

TEST_F(Engine, NamesLongerThanAPathPlay) {
    std::wstring folder = L"C:\\music\\";
    while (folder.size() < 300)
        folder += L"a very long folder name\\";
    const std::wstring track = folder + L"tone_22050_1_16_400.syw";
    PlayToTheEnd({track});
    EXPECT_EQ(out().Pcm(), TonePcm(track));
    EXPECT_EQ(PluginProbe(host, L"in_synthw.dll").Count("Play"), 0);
}

class EngineInRealTime : public Engine {
  protected:
    void SetUp() override {
        host.UseOutput(std::make_unique<refhost::RecordingOutput>(1.0, 500));
        Engine::SetUp();
    }
    // Written bytes so far.
    std::size_t Written() const { return out().Pcm().size(); }
    // Silence heard up to the last write: after it the playlist is over.
    double UnderrunUntilTheLastWrite() const {
        const auto calls = out().Calls();
        const auto last =
            std::find_if(calls.rbegin(), calls.rend(), [](auto &c) { return c.Name == "Write"; });
        return last == calls.rend() ? -1.0 : last->UnderrunMs;
    }
};

TEST_F(EngineInRealTime, AnImmediateStopEndsTheTrackWithinABlockAndPostsNothing) {
    host.SetPlaylist({ToneName(44100, 2, 16, 20000), ToneName(44100, 2, 16, 1000)});
    ASSERT_EQ(host.StartPlaying(0), 0);
    host.Pump(300);
    host.ClearMessages();
    host.PressStop(); // IPC_ISFULLSTOP answers 0: the user's stop
    ASSERT_TRUE(host.WaitUntil([&] { return !out().IsOpen(); }, 2000));
    const auto names = out().CallNames();
    ASSERT_GE(names.size(), 2u);
    EXPECT_EQ(names[names.size() - 2], "Flush");
    EXPECT_EQ(names.back(), "Close");
    host.Pump(200);
    EXPECT_EQ(EndOfTrackMessages(), 0);
    EXPECT_FALSE(host.IsPlaying());
}

// The host's end-of-track handling may stop a paused track: the next track must sound.
TEST_F(EngineInRealTime, AStopWhilePausedLeavesTheOutputUnpausedForTheNextTrack) {
    const std::wstring first = ToneName(44100, 2, 16, 20000);
    const std::wstring second = ToneName(44100, 2, 16, 400, L"sya");
    host.SetPlaylist({first, second});
    ASSERT_EQ(host.StartPlaying(0), 0);
    host.Pump(200);
    host.PressPause();
    host.Pump(100);
    host.State().Answers[IPC_ISFULLSTOP] = 1; // as while the host moves on to the next entry
    host.Product()->Stop();
    ASSERT_EQ(host.StartPlaying(1), 0); // Stop once more, then Play
    host.State().Answers.erase(IPC_ISFULLSTOP);
    ASSERT_TRUE(host.WaitUntil([&] { return !host.IsPlaying(); }, 5000));
    std::vector<int> pauses;
    for (const auto &call : out().Calls()) {
        if (call.Name == "Pause")
            pauses.push_back(call.Args[0]);
    }
    ASSERT_FALSE(pauses.empty());
    EXPECT_EQ(pauses.back(), 0);
    const auto pcm = out().Pcm();
    const auto tail = TonePcm(second);
    ASSERT_GE(pcm.size(), tail.size());
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), pcm.end() - static_cast<long>(tail.size())));
}

TEST_F(EngineInRealTime, SeeksThroughTheDecoderAndFlushesTheOutputThere) {
    const std::wstring track = ToneName(44100, 2, 16, 3000);
    host.SetPlaylist({track});
    ASSERT_EQ(host.StartPlaying(0), 0);
    EXPECT_EQ(host.Product()->is_seekable, 1);
    host.Pump(200);
    EXPECT_EQ(host.JumpToTime(2000), 0);
    ASSERT_TRUE(host.WaitUntil([&] { return !host.IsPlaying(); }, 5000));
    // What was written after Flush(2000) is the tone from frame 88200 to its end.
    std::size_t before = 0;
    bool flushed = false;
    for (const auto &call : out().Calls()) {
        if (call.Name == "Flush" && call.Args[0] == 2000)
            flushed = true;
        if (call.Name == "Write" && !flushed)
            before += static_cast<std::size_t>(call.Args[0]);
    }
    ASSERT_TRUE(flushed);
    const auto pcm = out().Pcm();
    const auto expectedTail = TonePcm(track, 88200);
    ASSERT_EQ(pcm.size() - before, expectedTail.size());
    EXPECT_TRUE(std::equal(expectedTail.begin(), expectedTail.end(),
                           pcm.begin() + static_cast<long>(before)));
}

// A host that resumes a position seeks as soon as Play returns, often before the playback thread
// has taken the request: the seek is kept for the request rather than dropped.
TEST_F(EngineInRealTime, ASeekRightAfterPlayIsWhereTheTrackStarts) {
    const std::wstring track = ToneName(44100, 2, 16, 3000);
    host.SetPlaylist({track});
    for (int round = 0; round < 10; ++round) {
        out().ClearRecord();
        ASSERT_EQ(host.StartPlaying(0), 0);
        host.Product()->SetOutputTime(2000);
        ASSERT_TRUE(host.WaitUntil(
            [&] {
                const auto calls = out().Calls();
                return std::any_of(calls.begin(), calls.end(), [](const auto &call) {
                    return call.Name == "Flush" && call.Args[0] == 2000;
                });
            },
            3000))
            << "round " << round;
        host.PressStop();
    }
}

TEST_F(EngineInRealTime, ADecoderWithoutSetTimeIsNotSeekable) {
    const std::wstring track = ToneName(44100, 2, 16, 1500, L"syns");
    host.SetPlaylist({track});
    ASSERT_EQ(host.StartPlaying(0), 0);
    EXPECT_EQ(host.Product()->is_seekable, 0);
    EXPECT_EQ(host.JumpToTime(1000), -1); // the host does not even ask
    host.Product()->SetOutputTime(1000);  // and asking anyway changes nothing
    ASSERT_TRUE(host.WaitUntil([&] { return !host.IsPlaying(); }, 5000));
    EXPECT_EQ(out().CountOf("Flush"), 0);
    EXPECT_EQ(out().Pcm(), TonePcm(track));
}

TEST_F(EngineInRealTime, PauseHoldsTheTrackAndASeekWhilePausedIsCarriedOutAfterwards) {
    const std::wstring track = ToneName(44100, 2, 16, 3000);
    host.SetPlaylist({track});
    ASSERT_EQ(host.StartPlaying(0), 0);
    host.Pump(200);
    host.PressPause();
    EXPECT_EQ(host.Product()->IsPaused(), 1);
    host.Pump(100);
    const std::size_t held = Written();
    const int heldTime = host.Product()->GetOutputTime();
    host.Pump(300);
    EXPECT_EQ(Written(), held); // nothing written while paused
    EXPECT_EQ(host.Product()->GetOutputTime(), heldTime);
    host.Product()->SetOutputTime(1000);
    host.Pump(100);
    EXPECT_EQ(out().CountOf("Flush"), 0);
    host.PressPause();
    EXPECT_EQ(host.Product()->IsPaused(), 0);
    ASSERT_TRUE(host.WaitUntil([&] { return out().CountOf("Flush") == 1; }, 2000));
    const auto calls = out().Calls();
    const std::vector<std::string> pauses = [&] {
        std::vector<std::string> found;
        for (const auto &call : calls) {
            if (call.Name == "Pause")
                found.push_back("Pause" + std::to_string(call.Args[0]));
        }
        return found;
    }();
    EXPECT_EQ(pauses, (std::vector<std::string>{"Pause1", "Pause0"}));
    ASSERT_TRUE(host.WaitUntil([&] { return !host.IsPlaying(); }, 5000));
}

TEST_F(EngineInRealTime, TheOutputNeverRunsDry) {
    const std::wstring track = ToneName(44100, 2, 16, 2000);
    PlayToTheEnd({track}, 10000);
    EXPECT_EQ(out().Pcm(), TonePcm(track));
    EXPECT_EQ(out().Underruns(), 0);
}

// The next track writes on after what the output still holds of the one before: its position
// counts from its own first sample as the listener hears it, and is never below 0.
TEST_F(EngineInRealTime, TheNextTracksPositionCountsFromItsFirstAudibleSample) {
    const std::wstring first = ToneName(44100, 2, 16, 1000, L"syw", 1);
    const std::wstring second = ToneName(44100, 2, 16, 1500, L"sya", 2);
    host.SetPlaylist({first, second});
    ASSERT_EQ(host.StartPlaying(0), 0);
    ASSERT_TRUE(host.WaitUntil([&] { return host.State().Position == 1; }, 5000));
    // The first track's sound ends where the second's begins on the output's own clock.
    const int secondBeginsMs = 1000;
    Out_Module *raw = out().Module();
    constexpr int kBlockMs = 16;
    int samples = 0, whileTheFirstSounded = 0;
    while (host.IsPlaying() && samples < 60) {
        const int position = host.Product()->GetOutputTime();
        const int heard = raw->GetOutputTime() - secondBeginsMs;
        EXPECT_GE(position, 0);
        EXPECT_NEAR(position, std::max(heard, 0), kBlockMs) << "heard " << heard;
        whileTheFirstSounded += heard < 0;
        ++samples;
        host.Pump(10);
    }
    EXPECT_GT(samples, 20);
    ASSERT_TRUE(host.WaitUntil([&] { return !host.IsPlaying(); }, 5000));
    EXPECT_EQ(out().CountOf("Flush"), 0);
    EXPECT_EQ(out().Pcm(), Concat({TonePcm(first), TonePcm(second)}));
    EXPECT_EQ(EndOfTrackMessages(), 2);
    EXPECT_EQ(out().DiscardedMs(), 0.0);
}

// Right after the host moved on, the output still sounds the previous track: what the user
// does now acts on what is heard.
TEST_F(EngineInRealTime, AStopRightAfterATrackChangeSilencesBothTracksAtOnce) {
    host.SetPlaylist(
        {ToneName(44100, 2, 16, 800, L"syw", 3), ToneName(44100, 2, 16, 3000, L"sya", 4)});
    ASSERT_EQ(host.StartPlaying(0), 0);
    ASSERT_TRUE(host.WaitUntil([&] { return host.State().Position == 1; }, 5000));
    host.PressStop();
    EXPECT_FALSE(out().IsOpen());
    const auto names = out().CallNames();
    EXPECT_EQ(names.back(), "Close");
    EXPECT_EQ(PluginProbe(host, L"in_synthw.dll").OpenReads(), 0);
    EXPECT_EQ(PluginProbe(host, L"in_syntha.dll").OpenReads(), 0);
}

TEST_F(EngineInRealTime, ASeekRightAfterATrackChangeFlushesTheRestOfThePreviousTrackWithIt) {
    const std::wstring second = ToneName(44100, 2, 16, 3000, L"sya", 6);
    const std::wstring first = ToneName(44100, 2, 16, 800, L"syw", 5);
    host.SetPlaylist({first, second});
    ASSERT_EQ(host.StartPlaying(0), 0);
    // The second track's request runs (its first block is written): it takes the seek.
    const std::size_t firstBytes = TonePcm(first).size();
    ASSERT_TRUE(host.WaitUntil([&] { return Written() > firstBytes; }, 5000));
    const std::size_t before = Written();
    EXPECT_EQ(host.JumpToTime(2000), 0);
    ASSERT_TRUE(host.WaitUntil([&] { return out().CountOf("Flush") == 1; }, 2000));
    EXPECT_GE(host.Product()->GetOutputTime(), 2000);
    EXPECT_LT(host.Product()->GetOutputTime(), 2000 + 100);
    ASSERT_TRUE(host.WaitUntil([&] { return !host.IsPlaying(); }, 5000));
    // After the flush: the second track from 2000 ms on, and nothing of the first.
    std::size_t flushedAt = 0, bytes = 0;
    for (const auto &call : out().Calls()) {
        if (call.Name == "Flush")
            flushedAt = bytes;
        if (call.Name == "Write")
            bytes += static_cast<std::size_t>(call.Args[0]);
    }
    ASSERT_GE(flushedAt, before);
    const auto pcm = out().Pcm();
    EXPECT_EQ(std::vector<std::uint8_t>(pcm.begin() + static_cast<long>(flushedAt), pcm.end()),
              TonePcm(second, 88200));
}

TEST_F(EngineInRealTime, APauseRightAfterATrackChangeHoldsWhatIsHeardAndLosesNothing) {
    const std::wstring first = ToneName(44100, 2, 16, 800, L"syw", 7);
    const std::wstring second = ToneName(44100, 2, 16, 800, L"sya", 8);
    host.SetPlaylist({first, second});
    ASSERT_EQ(host.StartPlaying(0), 0);
    // The second track's request runs (its first block is written): IsPaused answers for it.
    const std::size_t firstBytes = TonePcm(first).size();
    ASSERT_TRUE(host.WaitUntil([&] { return Written() > firstBytes; }, 5000));
    host.PressPause();
    EXPECT_EQ(host.Product()->IsPaused(), 1);
    Out_Module *raw = out().Module();
    const int held = raw->GetOutputTime();
    host.Pump(200);
    EXPECT_EQ(raw->GetOutputTime(), held);
    host.PressPause();
    ASSERT_TRUE(host.WaitUntil([&] { return !host.IsPlaying(); }, 5000));
    EXPECT_EQ(out().Pcm(), Concat({TonePcm(first), TonePcm(second)}));
    EXPECT_EQ(out().DiscardedMs(), 0.0);
    EXPECT_EQ(UnderrunUntilTheLastWrite(), 0.0);
}

TEST_F(EngineInRealTime, QuitWhilePlayingEndsCleanly) {
    host.SetPlaylist({ToneName(44100, 2, 16, 20000)});
    ASSERT_EQ(host.StartPlaying(0), 0);
    host.Pump(200);
    host.Product()->Quit(); // no Stop first
    EXPECT_FALSE(out().IsOpen());
}

// Other programs broadcast WM_USER and its neighbours with numbers of their own in lParam.
TEST_F(Engine, StrayMessagesNeverReachThePlayRequests) {
    HWND window = FindWindowExA(HWND_MESSAGE, nullptr, "HVQBlendPlaybackThreadUtilWindow", nullptr);
    ASSERT_NE(window, nullptr);
    EXPECT_NE(GetAncestor(window, GA_PARENT), GetDesktopWindow()); // message-only, not top-level
    static std::uint8_t junk[64] = {};
    const auto post = [&](UINT first, UINT count) {
        for (UINT message = first; message < first + count; ++message) {
            PostMessageA(window, message, reinterpret_cast<WPARAM>(junk),
                         reinterpret_cast<LPARAM>(junk));
            PostMessageA(window, message, 0, 1);
        }
        host.Pump(20);
    };
    for (UINT block = 0; block < 4; ++block)
        post(WM_USER + block * 0x100, 0x100);
    for (UINT block = 0; block < 4; ++block)
        post(WM_APP + block * 0x100, 0x100);
    const std::wstring track = ToneName(44100, 2, 16, 500);
    PlayToTheEnd({track});
    EXPECT_EQ(out().Pcm(), TonePcm(track));
    EXPECT_EQ(EndOfTrackMessages(), 1);
    EXPECT_TRUE(std::all_of(std::begin(junk), std::end(junk), [](auto b) { return b == 0; }));
}

// The engine leaves its output open at the end of a playlist; a direct-mode plug-in then opens
// and closes that same output. The engine's next track must open it again.
TEST_F(Engine, AfterADirectModeTrackTheEngineOpensTheOutputAgain) {
    const std::wstring first = ToneName(44100, 2, 16, 300, L"syw", 1);
    const std::wstring direct = ToneName(44100, 2, 16, 200, L"synx", 2);
    const std::wstring last = ToneName(44100, 2, 16, 300, L"syw", 3);
    PlayToTheEnd({first});
    ASSERT_TRUE(out().IsOpen());
    PlayToTheEnd({direct});
    ASSERT_EQ(PluginProbe(host, L"in_synthnx.dll").Count("Play"), 1);
    PlayToTheEnd({last}, 5000);
    EXPECT_EQ(out().Pcm(), Concat({TonePcm(first), TonePcm(direct), TonePcm(last)}));
    EXPECT_EQ(out().CountOf("Open"), 3);
}

// Whatever stops the host, its thread meanwhile answers the playback thread's messages.
class EngineWithStalls : public EngineInRealTime {
  protected:
    // Runs what may hang on the host's thread; a watchdog ends the stall after 20 seconds, and
    // the test fails if it had to.
    template <class F> void WithinWatchdog(F &&call) {
        std::atomic<bool> done{false}, rescued{false};
        std::thread watchdog([&] {
            for (int waited = 0; waited < 20000 && !done; waited += 10)
                Sleep(10);
            if (!done) {
                rescued = true;
                PluginProbe(host, L"in_synthw.dll").Set("StallAtBytes", 0);
            }
        });
        call();
        done = true;
        watchdog.join();
        EXPECT_FALSE(rescued) << "only the watchdog ended the wait";
    }
    void PlayUntilStalled(int knobIgnoresKill) {
        PluginProbe probe(host, L"in_synthw.dll");
        probe.Set("StallAtBytes", 44100 * 4 / 4);
        probe.Set("StallIgnoresKill", knobIgnoresKill);
        host.SetPlaylist({ToneName(44100, 2, 16, 20000), ToneName(44100, 2, 16, 500, L"sya")});
        ASSERT_EQ(host.StartPlaying(0), 0);
        ASSERT_TRUE(host.WaitUntil([&] { return probe.Count("ExtStall") > 0; }, 5000));
    }
};

TEST_F(EngineWithStalls, AUsersStopEndsADecoderStalledInGetDataThroughItsKillSwitch) {
    PlayUntilStalled(0);
    WithinWatchdog([&] { host.PressStop(); });
    EXPECT_EQ(PluginProbe(host, L"in_synthw.dll").Count("ExtKilled"), 1);
    // Done before Stop returned: the decoder closed, the output flushed and closed.
    EXPECT_EQ(PluginProbe(host, L"in_synthw.dll").OpenReads(), 0);
    EXPECT_FALSE(out().IsOpen());
}

TEST_F(EngineWithStalls, QuitEndsADecoderStalledInGetData) {
    PlayUntilStalled(0);
    WithinWatchdog([&] { host.Product()->Quit(); });
    EXPECT_EQ(PluginProbe(host, L"in_synthw.dll").OpenReads(), 0);
    EXPECT_FALSE(out().IsOpen());
}

// A decoder that ignores its kill switch: Quit returns all the same; the playback thread ends
// by itself once the decoder lets go, and closes it.
TEST_F(EngineWithStalls, QuitDoesNotWaitForeverForADecoderThatNeverLetsGo) {
    PlayUntilStalled(1);
    WithinWatchdog([&] { host.Product()->Quit(); });
    PluginProbe probe(host, L"in_synthw.dll");
    probe.Set("StallAtBytes", 0);
    ASSERT_TRUE(host.WaitUntil([&] { return probe.OpenReads() == 0; }, 5000));
    host.Pump(200);
}

TEST_F(EngineWithStalls, AStopWaitsWhileTheStoppedDecoderSendsToTheHost) {
    PluginProbe(host, L"in_synthw.dll").Set("KillSendsToHost", 1);
    PlayUntilStalled(0);
    WithinWatchdog([&] { host.PressStop(); });
    EXPECT_EQ(PluginProbe(host, L"in_synthw.dll").Count("ExtKilled"), 1);
    EXPECT_FALSE(out().IsOpen()); // the request ended its own way, not by the bound
}

// A decoder that ignores its kill switch: Stop returns after its bound, and the engine never
// calls the output again for that request, not even once the decoder lets go.
TEST_F(EngineWithStalls, AStopGivesTheOutputUpWhenTheDecoderNeverLetsGo) {
    PlayUntilStalled(1);
    WithinWatchdog([&] { host.PressStop(); });
    const std::size_t callsAtStop = out().Calls().size();
    PluginProbe(host, L"in_synthw.dll").Set("StallAtBytes", 0);
    ASSERT_TRUE(
        host.WaitUntil([&] { return PluginProbe(host, L"in_synthw.dll").OpenReads() == 0; }, 5000));
    host.Pump(100);
    EXPECT_EQ(out().Calls().size(), callsAtStop);
    // The next track opens the output anew and plays whole.
    out().ClearRecord();
    out().SetSpeed(0.0);
    const std::wstring next = ToneName(44100, 2, 16, 300, L"sya");
    host.SetPlaylist({next});
    ASSERT_EQ(host.StartPlaying(0), 0);
    ASSERT_TRUE(host.WaitUntil([&] { return !host.IsPlaying(); }, 5000));
    EXPECT_EQ(out().Pcm(), TonePcm(next));
    EXPECT_EQ(out().CountOf("Open"), 1);
}

// The host hands the next entry to another plug-in right after a user's Stop: nothing of the
// engine may reach the output after Stop has returned.
TEST_F(EngineInRealTime, AfterAUsersStopReturnsTheEngineNeverCallsTheOutput) {
    for (int round = 0; round < 5; ++round) {
        host.SetPlaylist({ToneName(44100, 2, 16, 20000, L"syw", round)});
        ASSERT_EQ(host.StartPlaying(0), 0);
        host.Pump(150 + 10 * round);
        host.PressStop();
        const std::size_t callsAtStop = out().Calls().size();
        EXPECT_FALSE(out().IsOpen());
        host.Pump(150);
        EXPECT_EQ(out().Calls().size(), callsAtStop) << round;
    }
}

// An end-of-track message in the middle of a track (an extension's "play now"): the host stops
// and plays the next entry; the old request must not post one more for a track already left.
TEST_F(EngineInRealTime, AStopOfTheHostsOwnEndsTheRequestWithoutAnotherEndOfTrack) {
    host.SetPlaylist(
        {ToneName(44100, 2, 16, 20000, L"syns", 1), ToneName(44100, 2, 16, 20000, L"syw", 2),
         ToneName(44100, 2, 16, 20000, L"sya", 3), ToneName(44100, 2, 16, 20000, L"syw", 4),
         ToneName(44100, 2, 16, 20000, L"sya", 5)});
    ASSERT_EQ(host.StartPlaying(0), 0);
    host.Pump(300);
    PostMessageW(host.MainWindow(), WM_WA_MPEG_EOF, 0, 0);
    host.Pump(1000);
    EXPECT_EQ(host.State().Position, 1);
    // The first decoder cannot seek: it is closed all the same and plays on under no title.
    EXPECT_EQ(PluginProbe(host, L"in_synthnoseek.dll").OpenReads(), 0);
    EXPECT_EQ(PluginProbe(host, L"in_synthw.dll").OpenReads(), 1);
    PostMessageW(host.MainWindow(), WM_WA_MPEG_EOF, 0, 0);
    host.Pump(1000);
    EXPECT_EQ(host.State().Position, 2);
    EXPECT_TRUE(host.IsPlaying());
}

TEST(EngineVolume, GoesToTheHostsOutputBeforeAnyTrack) {
    RefHost host;
    host.InstallProduct();
    host.InstallPlugin(L"in_synthw.dll");
    host.Start();
    In_Module *product = host.Product();
    product->outMod = host.Output().Module();
    product->SetVolume(100);
    product->SetPan(-20);
    EXPECT_EQ(host.Output().Volume(), 100);
    EXPECT_EQ(host.Output().Pan(), -20);
    EXPECT_EQ(product->IsPaused(), 0);
    EXPECT_EQ(product->GetOutputTime(), 0);
    product->SetOutputTime(5000); // nothing plays: dropped
    const std::wstring track = ToneName(44100, 2, 16, 500);
    host.SetPlaylist({track});
    ASSERT_EQ(host.StartPlaying(0), 0);
    ASSERT_TRUE(host.WaitUntil([&] { return !host.IsPlaying(); }));
    EXPECT_EQ(host.Output().Pcm(), TonePcm(track));
    EXPECT_EQ(host.Output().CountOf("Flush"), 0);
    host.Shutdown();
}

TEST_F(Engine, ADecoderThatFaultsEndsItsTrackAndTheHostMovesOn) {
    const std::wstring crashing = L"C:\\music\\tone_44100_2_16_1000_0_crash_data.syf";
    const std::wstring next = ToneName(44100, 2, 16, 500);
    PlayToTheEnd({crashing, next});
    EXPECT_EQ(out().Pcm(), TonePcm(next));
    // The plug-in that faulted is called no more: its decoder is not closed through it, and its
    // files, still claimed so that the host does not play them through it, start nowhere.
    faultInfoLeftOpen = 1;
    PluginProbe faulty(host, L"in_faultinfo.dll");
    faulty.ClearLog();
    const std::wstring another = L"C:\\music\\tone_44100_2_16_1000.syf";
    host.SetPlaylist({another, next});
    out().ClearRecord();
    EXPECT_NE(host.StartPlaying(0), 0); // a failed start: the host skips to the next entry
    ASSERT_TRUE(host.WaitUntil([&] { return !host.IsPlaying() && host.State().Position == 1; }));
    host.Pump(50);
    EXPECT_EQ(out().Pcm(), TonePcm(next));
    EXPECT_EQ(faulty.Log(), "");
}

TEST_F(Engine, TheHostsDspMayDoubleABlockAndTheWritesStaySmall) {
    host.State().DspActive = 1;
    host.State().DspDoublesFrames = true;
    const std::wstring track = ToneName(44100, 2, 16, 500);
    PlayToTheEnd({track});
    const auto pcm = TonePcm(track);
    std::vector<std::uint8_t> doubled;
    for (std::size_t frame = 0; frame < pcm.size(); frame += 4)
        for (int twice = 0; twice < 2; ++twice)
            doubled.insert(doubled.end(), pcm.begin() + static_cast<long>(frame),
                           pcm.begin() + static_cast<long>(frame) + 4);
    EXPECT_EQ(out().Pcm(), doubled);
    const auto lengths = WriteLengths();
    EXPECT_LE(*std::max_element(lengths.begin(), lengths.end()), 8192);
}

TEST_F(Engine, AFaultInTheHostsDspEndsTheTrackAsIfItRanOut) {
    host.State().DspActive = 1;
    host.State().DspFaults = true;
    // Each track ends at its first block, before anything is written; the host moves on.
    PlayToTheEnd({ToneName(44100, 2, 16, 500), ToneName(44100, 2, 16, 400, L"sya")});
    EXPECT_EQ(host.State().Position, 1);
    EXPECT_EQ(EndOfTrackMessages(), 2);
    EXPECT_EQ(host.ServiceCount("dsp_dosamples"), 2);
    EXPECT_TRUE(out().Pcm().empty());
}

TEST_F(EngineInRealTime, PlayAndStopAtAnyMomentNeverLoseOrDoubleADecoder) {
    out().SetSpeed(40.0); // tracks end within a few tens of milliseconds
    const std::vector<std::wstring> playlist{ToneName(8000, 2, 16, 1200, L"syw", 1),
                                             ToneName(8000, 2, 16, 1100, L"sya", 2),
                                             ToneName(8000, 2, 16, 1000, L"syw", 3)};
    host.SetPlaylist(playlist);
    for (int round = 0; round < 40; ++round) {
        ASSERT_EQ(host.StartPlaying(round % 3), 0);
        host.Pump(round % 7 * 5); // stops land anywhere: in a track, at its end, between tracks
        if (round % 2)
            host.PressStop();
        else
            host.Product()->Stop(); // as the host's end-of-track handling does
    }
    host.PressStop();
    const auto state = [&] {
        return "paused " + std::to_string(host.Product()->IsPaused()) + ", open reads " +
               std::to_string(PluginProbe(host, L"in_synthw.dll").OpenReads()) + " and " +
               std::to_string(PluginProbe(host, L"in_syntha.dll").OpenReads());
    };
    EXPECT_TRUE(host.WaitUntil([&] { return state() == "paused 0, open reads 0 and 0"; }, 5000))
        << state() << "; the output " << (out().IsOpen() ? "open" : "closed");
}

TEST(EngineThread, RunsAtTheSettingsPriorityWithItsUtilityWindowUntilQuit) {
    RefHost host;
    const std::string ini = (host.PluginsFolder() / L"HVQBlend.ini").string();
    WritePrivateProfileStringA("HVQBlend", "PlaybackThreadPriority", "Lowest", ini.c_str());
    PluginModule.hMainWindow = host.MainWindow();
    PluginInit();
    ASSERT_NE(InPluginPlaybackThread, nullptr);
    HANDLE thread = OpenThread(SYNCHRONIZE | THREAD_QUERY_INFORMATION, FALSE,
                               InPluginPlaybackThread->ThreadId());
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(GetThreadPriority(thread), THREAD_PRIORITY_LOWEST);
    HWND window = InPluginPlaybackThread->Window();
    char className[64] = {};
    GetClassNameA(window, className, sizeof className);
    EXPECT_STREQ(className, "HVQBlendPlaybackThreadUtilWindow");
    EXPECT_EQ(GetWindowThreadProcessId(window, nullptr), InPluginPlaybackThread->ThreadId());
    EXPECT_EQ(GetWindowLongA(window, GWL_EXSTYLE) & WS_EX_TOOLWINDOW, WS_EX_TOOLWINDOW);
    PluginQuit();
    EXPECT_EQ(InPluginPlaybackThread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0); // the thread has ended
    EXPECT_FALSE(IsWindow(window));
    CloseHandle(thread);
    PluginModule.hMainWindow = nullptr;
}

} // namespace
