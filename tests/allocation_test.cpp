// What the playback thread asks the heap for while tracks play. The plug-in here is the build
// with a counting operator new (in_hvqblend_alloccount.dll), counting on the thread of the
// output's first Write: the playback thread, from its first written block on. Every Write notes
// the count so far, so the allocations of each block fall between two writes whatever the
// machine's timing. Only where one track gives way to the next may the thread allocate: the
// hand-over block opens the next entry's decoder, and a new request starts.
//
// The program has the same counting operator new of its own, for the mixer alone.
#include "AllocationCounter.h"
#include "RefHost.h"
#include "sound/CrossfadeMixer.h"
#include "sound/FadeOutConversion.h"
#include "support/PluginProbe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>

namespace {

using refhost::RecordingOutput;
using refhost::RefHost;
using support::PluginProbe;
using support::ToneName;
using support::TonePcm;
using Bytes = std::vector<std::uint8_t>;

// One Write of the output as the playback thread made it.
struct CountedWrite {
    std::size_t StartByte = 0; // bytes written before it
    std::size_t Bytes = 0;
    long CountedBefore = 0; // allocations of the playback thread before the call
};

// Stands in for the output's Write: the first call makes its thread the counted one, and every
// call notes the count before it goes on to the output.
class WriteWatch {
  public:
    WriteWatch(Out_Module &output, HvqTestCountAllocationsOnThisThreadFn countHere,
               HvqTestCountedAllocationsFn counted)
        : output_(output), write_(output.Write), countHere_(countHere), counted_(counted) {
        watching = this;
        output.Write = &Write;
    }
    ~WriteWatch() {
        output_.Write = write_;
        watching = nullptr;
    }
    WriteWatch(const WriteWatch &) = delete;
    WriteWatch &operator=(const WriteWatch &) = delete;

    std::vector<CountedWrite> Writes() const {
        std::lock_guard guard(lock_);
        return writes_;
    }

  private:
    static int __cdecl Write(char *buffer, int length) {
        WriteWatch &self = *watching;
        {
            std::lock_guard guard(self.lock_);
            if (self.writes_.empty())
                self.countHere_();
            const std::size_t start =
                self.writes_.empty() ? 0
                                     : self.writes_.back().StartByte + self.writes_.back().Bytes;
            self.writes_.push_back({start, static_cast<std::size_t>(length), self.counted_()});
        }
        return self.write_(buffer, length);
    }

    static inline WriteWatch *watching = nullptr;
    Out_Module &output_;
    int(__cdecl *write_)(char *, int);
    HvqTestCountAllocationsOnThisThreadFn countHere_;
    HvqTestCountedAllocationsFn counted_;
    mutable std::mutex lock_;
    std::vector<CountedWrite> writes_;
};

// The allocations that led to each write: [k] between write k - 1 and write k; [0] is 0, for the
// count starts there.
std::vector<long> AllocationsPerBlock(const std::vector<CountedWrite> &writes) {
    std::vector<long> perBlock(writes.size(), 0);
    for (std::size_t k = 1; k < writes.size(); ++k)
        perBlock[k] = writes[k].CountedBefore - writes[k - 1].CountedBefore;
    return perBlock;
}

// Every block that allocated outside the allowed ones, as "block k (byte b): n"; empty when none.
std::string AllocatingBlocks(const std::vector<CountedWrite> &writes,
                             const std::set<std::size_t> &allowed) {
    const std::vector<long> perBlock = AllocationsPerBlock(writes);
    std::string found;
    long total = 0;
    for (std::size_t k = 0; k < writes.size(); ++k) {
        if (perBlock[k] == 0 || allowed.count(k))
            continue;
        total += perBlock[k];
        found += "block " + std::to_string(k) + " (byte " + std::to_string(writes[k].StartByte) +
                 "): " + std::to_string(perBlock[k]) + "; ";
    }
    if (total == 0)
        return "";
    return std::to_string(total) + " allocations in " + std::to_string(writes.size()) +
           " blocks: " + found;
}

bool WrittenAs(const Bytes &pcm, const CountedWrite &write, const Bytes &sound,
               std::size_t soundOffset) {
    if (write.StartByte + write.Bytes > pcm.size() || soundOffset + write.Bytes > sound.size())
        return false;
    const auto written = pcm.begin() + static_cast<long>(write.StartByte);
    return std::equal(written, written + static_cast<long>(write.Bytes),
                      sound.begin() + static_cast<long>(soundOffset));
}

// The first write that is not the first track's own sound at its place: the next track's first
// block (mixed with the rest of the first, or not).
std::size_t FirstWriteNotOf(const std::vector<CountedWrite> &writes, const Bytes &pcm,
                            const Bytes &first) {
    std::size_t k = 0;
    while (k < writes.size() && WrittenAs(pcm, writes[k], first, writes[k].StartByte))
        ++k;
    return k;
}

class PlaybackAllocations : public ::testing::Test {
  protected:
    struct Settings {
        int FadeTimeMs = 2000;
        int MinFileSizeMs = 1000;
        int SkipFadeMs = 0; // off at 0
        bool AcrossFormats = false;
        bool FollowTheMusic = false; // silence skipped, own fade-outs, albums played through
    };

    void StartWith(const Settings &settings) {
        host.InstallPlugin(L"in_hvqblend_alloccount.dll", L"in_hvqblend.dll");
        for (const wchar_t *plugin : kPlugins)
            host.InstallPlugin(plugin);
        const std::string ini = (host.PluginsFolder() / L"HVQBlend.ini").string();
        const auto write = [&](const char *key, const std::string &value) {
            WritePrivateProfileStringA("HVQBlend", key, value.c_str(), ini.c_str());
        };
        write("FadeTime", std::to_string(settings.FadeTimeMs));
        write("MinFileSize", std::to_string(settings.MinFileSizeMs));
        if (settings.SkipFadeMs > 0) {
            write("SkipFade", "1");
            write("SkipFadeTime", std::to_string(settings.SkipFadeMs));
        }
        if (settings.AcrossFormats)
            write("FadeAcrossFormats", "1");
        if (settings.FollowTheMusic) {
            write("SkipSilence", "1");
            write("FadeOverOwnFadeOut", "1");
            write("PlayAlbumsThrough", "1");
        }
        // The host's DSP and visualisation take every block, as in a player that has them on.
        host.State().DspActive = 1;
        host.Start();
        const HMODULE product = host.Plugin(L"in_hvqblend.dll")->Library;
        const auto countHere = reinterpret_cast<HvqTestCountAllocationsOnThisThreadFn>(
            GetProcAddress(product, "HvqTest_CountAllocationsOnThisThread"));
        const auto counted = reinterpret_cast<HvqTestCountedAllocationsFn>(
            GetProcAddress(product, "HvqTest_CountedAllocations"));
        ASSERT_TRUE(countHere && counted) << "not the counting build of the plug-in";
        watch = std::make_unique<WriteWatch>(*host.Output().Module(), countHere, counted);
    }
    void TearDown() override {
        host.Shutdown();
        for (const wchar_t *plugin : kPlugins) {
            PluginProbe probe(host, plugin);
            EXPECT_EQ(probe.OpenReads(), 0) << plugin;
            EXPECT_EQ(probe.TotalOpens(), probe.TotalCloses()) << plugin;
        }
    }
    void PlayToTheEnd(std::vector<std::wstring> playlist) {
        host.SetPlaylist(std::move(playlist));
        ASSERT_EQ(host.StartPlaying(0), 0);
        ASSERT_TRUE(host.WaitUntil([&] { return !host.IsPlaying(); }, 30000));
        host.Pump(30);
    }
    // The second track from its first block on: mixed with the first at its start, then as it is.
    // Answers how many of its blocks were mixed.
    int ExpectMixedInto(const std::vector<CountedWrite> &writes, std::size_t next,
                        const Bytes &second) {
        const Bytes pcm = host.Output().Pcm();
        const std::size_t start = writes[next].StartByte;
        EXPECT_EQ(pcm.size() - start, second.size());
        int mixed = 0;
        for (std::size_t k = next; k < writes.size(); ++k)
            mixed += WrittenAs(pcm, writes[k], second, writes[k].StartByte - start) ? 0 : 1;
        EXPECT_FALSE(WrittenAs(pcm, writes[next], second, 0)) << "the first block is not mixed";
        EXPECT_TRUE(WrittenAs(pcm, writes.back(), second, writes.back().StartByte - start));
        return mixed;
    }

    // Plays the first track into the second: the writes, and the one the second begins with.
    void PlayTransition(const std::wstring &first, const std::wstring &second) {
        PlayToTheEnd({first, second});
        writes = watch->Writes();
        next = FirstWriteNotOf(writes, host.Output().Pcm(), TonePcm(first));
        ASSERT_GT(next, 10u);
        ASSERT_LT(next, writes.size());
    }

    static constexpr const wchar_t *kPlugins[] = {L"in_synthw.dll", L"in_syntha.dll"};
    RefHost host;
    std::unique_ptr<WriteWatch> watch;
    std::vector<CountedWrite> writes;
    std::size_t next = 0;
};

TEST_F(PlaybackAllocations, AfterItsFirstBlockATrackAndItsCrossfadeAllocateNothing) {
    StartWith({});
    const std::wstring first = ToneName(44100, 2, 16, 3000, L"syw", 5);
    const std::wstring second = ToneName(44100, 2, 16, 2500, L"sya", 6);
    ASSERT_NO_FATAL_FAILURE(PlayTransition(first, second));
    EXPECT_EQ(AllocatingBlocks(writes, {next - 1, next}), "");
    // The counter does see the playback thread: the hand-over makes the fade's source.
    EXPECT_GT(AllocationsPerBlock(writes)[next - 1], 0);
    EXPECT_GT(ExpectMixedInto(writes, next, TonePcm(second)), 100);
}

// Into a track of another format the outgoing one is converted: the converter is built in the
// hand-over block, and the fade's blocks allocate nothing.
TEST_F(PlaybackAllocations, ACrossfadeAcrossFormatsAllocatesNothingAfterTheHandOver) {
    Settings settings;
    settings.AcrossFormats = true;
    StartWith(settings);
    const std::wstring first = ToneName(44100, 2, 16, 3000, L"syw", 11);
    const std::wstring second = ToneName(48000, 2, 24, 2500, L"sya", 12);
    PlayToTheEnd({first, second});
    writes = watch->Writes();
    // The first track's last block is de-clicked: the second begins at the output's second Open.
    std::size_t beforeReopen = 0;
    for (int opens = 0; const auto &call : host.Output().Calls()) {
        opens += call.Name == "Open" ? 1 : 0;
        if (opens == 2)
            break;
        beforeReopen += call.Name == "Write" ? static_cast<std::size_t>(call.Args[0]) : 0;
    }
    while (next < writes.size() && writes[next].StartByte < beforeReopen)
        ++next;
    ASSERT_GT(next, 10u);
    ASSERT_LT(next, writes.size());
    EXPECT_EQ(AllocatingBlocks(writes, {next - 1, next}), "");
    EXPECT_GT(AllocationsPerBlock(writes)[next - 1], 0); // the converter, made at the hand-over
    EXPECT_GT(ExpectMixedInto(writes, next, TonePcm(second)), 100);
    EXPECT_EQ(host.Output().CountOf("Open"), 2);
}

// A decoder that tears frames apart leaves their bytes with the engine until the next read, for
// the incoming track and for the outgoing one the mixer reads.
TEST_F(PlaybackAllocations, DecodersThatTearFramesApartAllocateNothingEither) {
    StartWith({});
    for (const wchar_t *plugin : kPlugins)
        PluginProbe(host, plugin).Set("TornReads", 997);
    const std::wstring first = ToneName(44100, 2, 24, 3000, L"syw", 7);
    const std::wstring second = ToneName(44100, 2, 24, 2500, L"sya", 8);
    ASSERT_NO_FATAL_FAILURE(PlayTransition(first, second));
    EXPECT_EQ(AllocatingBlocks(writes, {next - 1, next}), "");
    EXPECT_GT(ExpectMixedInto(writes, next, TonePcm(second)), 100);
}

// The fade on skip in real time: the skipped track is handed over after its last block, where
// the next request starts.
TEST_F(PlaybackAllocations, AFadeOnSkipAllocatesNothingAfterTheNewTracksFirstBlock) {
    host.UseOutput(std::make_unique<RecordingOutput>(1.0, 300));
    Settings settings;
    settings.SkipFadeMs = 500;
    StartWith(settings);
    const std::wstring first = ToneName(44100, 2, 16, 5000, L"syw", 9);
    const std::wstring second = ToneName(44100, 2, 16, 1000, L"sya", 10);
    host.SetPlaylist({first, second});
    ASSERT_EQ(host.StartPlaying(0), 0);
    host.Pump(500);
    ASSERT_EQ(host.SkipTo(1), 0);
    host.Output().SetSpeed(4.0);
    ASSERT_TRUE(host.WaitUntil([&] { return !host.IsPlaying(); }, 30000));
    host.Pump(30);

    writes = watch->Writes();
    next = FirstWriteNotOf(writes, host.Output().Pcm(), TonePcm(first));
    ASSERT_GT(next, 10u);
    ASSERT_LT(next, writes.size());
    EXPECT_EQ(AllocatingBlocks(writes, {next}), "");
    EXPECT_GT(AllocationsPerBlock(writes)[next], 0);
    // A machine so loaded that the host's Play came after the grace made the skip a stop and a
    // start, with the output opened anew: nothing was mixed, and the count above holds as well.
    if (host.Output().CountOf("Open") == 1) {
        EXPECT_GT(ExpectMixedInto(writes, next, TonePcm(second)), 25);
    }
}

// With the options that follow the music, on an output that fills: the look-ahead opens its
// second decoder, reads the end and the incoming track's silence is read past, all without
// asking the heap in the block loop.
TEST_F(PlaybackAllocations, ReadingATracksEndAheadAllocatesNothingInTheBlockLoop) {
    // Twice real time: time enough for the look-ahead on a busy machine.
    host.UseOutput(std::make_unique<RecordingOutput>(2.0, 2000));
    Settings settings;
    settings.FollowTheMusic = true;
    StartWith(settings);
    const std::wstring first = ToneName(44100, 2, 16, 6000, L"syw", 13, L"F2000_T1000");
    const std::wstring second = ToneName(44100, 2, 16, 2500, L"sya", 14, L"L500");
    ASSERT_NO_FATAL_FAILURE(PlayTransition(first, second));
    EXPECT_EQ(AllocatingBlocks(writes, {next - 1, next}), "");
    // The end was read ahead: the hand-over came within the fade-out, a second before its end.
    EXPECT_LT(writes[next].StartByte, static_cast<std::size_t>(44100 * 4 * 4));
}

// ---- the mixer alone, counted by this program's own operator new ----

// An outgoing track of 16-bit samples: a ramp, in blocks of a given size, endless or ending
// after a given number of bytes.
class RampSource : public TFadeOutSource {
  public:
    explicit RampSource(int blockBytes, int rate = 44100, int channels = 2, long endAfter = -1)
        : left_(endAfter) {
        BitsPerSample = 16;
        Channels = channels;
        SampleRate = rate;
        BlockBytes = blockBytes;
        RemainingMs = 1000;
    }
    int GetData(std::uint8_t *destination, int length) override {
        if (left_ >= 0)
            length = static_cast<int>(std::min<long>(length, left_));
        for (int byte = 0; byte < length; ++byte)
            destination[byte] = static_cast<std::uint8_t>(next_++);
        if (left_ >= 0)
            left_ -= length;
        return length;
    }
    void Close() noexcept override {}

  private:
    unsigned next_ = 0;
    long left_;
};

// The outgoing track's blocks are read into a buffer prepared when the track was handed over:
// neither the first block of a fade nor a later fade whose track reads larger blocks allocates.
TEST(MixerAllocations, AFadeReadsTheOutgoingTrackWithoutAskingTheHeap) {
    TCrossfadeState state;
    std::vector<std::uint8_t> block(2756);
    HvqTest_CountAllocationsOnThisThread();
    for (const int outgoingBlockBytes : {2756, 2756, 4 * 2756 + 8}) {
        state.HoldSource(std::make_unique<RampSource>(outgoingBlockBytes));
        state.Armed = true;
        state.Started = false;
        const long before = HvqTest_CountedAllocations();
        int blocks = 0;
        for (; state.Source && blocks < 200; ++blocks)
            state.MixingStep(block.data(), 689, 16, 2, 44100, 500);
        EXPECT_EQ(HvqTest_CountedAllocations() - before, 0)
            << "outgoing blocks of " << outgoingBlockBytes << " bytes";
        EXPECT_GT(blocks, 30); // the fade ran through many blocks
        EXPECT_FALSE(state.Source);
    }
}

// Across formats the converter and its buffers are made when the track is handed over; the
// fade's blocks, the resampler's last frames at the outgoing track's end included, allocate
// nothing.
TEST(MixerAllocations, AFadeAcrossFormatsAllocatesNothingOnceHandedOver) {
    struct Case {
        int Rate, Channels;
        TPcmFormat To;
    };
    HvqTest_CountAllocationsOnThisThread();
    for (const Case &c : {Case{44100, 2, {24, 2, 48000}}, Case{48000, 2, {16, 2, 44100}},
                          Case{22050, 1, {16, 2, 48000}}, Case{44100, 2, {8, 1, 44100}},
                          Case{96000, 2, {16, 2, 44100}}}) {
        const int blockBytes = c.Rate / 64 * 2 * c.Channels;
        for (const long endAfter : {-1L, 40L * blockBytes + 6}) {
            TCrossfadeState state;
            state.HoldSource(ConvertFadeOut(
                std::make_unique<RampSource>(blockBytes, c.Rate, c.Channels, endAfter), c.To));
            ASSERT_EQ(FormatOf(*state.Source), c.To);
            state.Armed = true;
            const int frames = c.To.SampleRate / 64;
            std::vector<std::uint8_t> block(static_cast<std::size_t>(frames) * c.To.FrameBytes());
            const long before = HvqTest_CountedAllocations();
            int blocks = 0;
            for (; state.Source && blocks < 200; ++blocks)
                state.MixingStep(block.data(), frames, c.To.BitsPerSample, c.To.Channels,
                                 c.To.SampleRate, 1000);
            EXPECT_EQ(HvqTest_CountedAllocations() - before, 0)
                << c.Rate << " Hz into " << c.To.SampleRate << " Hz, ending after " << endAfter;
            EXPECT_GT(blocks, 30);
            EXPECT_FALSE(state.Source);
        }
    }
}

} // namespace
