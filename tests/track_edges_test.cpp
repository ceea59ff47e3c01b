// Where a track's sound starts and ends and where it fades by itself, on tracks made here: tones
// or noise at a body level, digital silence, hiss under and over the threshold, fades linear in
// dB. Edges found per frame are exact; the scanner's answers come in 10 ms windows, so they are
// checked to the window (sound ends: never before the last sound, less than a window after it)
// or, for a ramp's start or end that a level decides, to two windows either side.
#include "sound/CrossfadeMixer.h"
#include "sound/FormatConverter.h"
#include "sound/EndPlan.h"
#include "sound/TrackEdges.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <optional>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr int kRate = 44100;
constexpr double kNone = -1e9; // a level that is digital silence

enum class TWave { Tone, Noise };

// seconds of the wave whose peak goes from fromDb to toDb dBFS, linearly in dB.
struct TPiece {
    double Seconds;
    double FromDb;
    double ToDb;
    TWave Wave = TWave::Tone;
};
TPiece Silence(double seconds) {
    return {seconds, kNone, kNone};
}
TPiece Hiss(double seconds, double db) {
    return {seconds, db, db, TWave::Noise};
}

struct TTrack {
    Bytes Pcm;
    int Bits;
    int Channels;
    int Frames() const { return static_cast<int>(Pcm.size()) / (Bits / 8 * Channels); }
};

// A 1 kHz cosine (at its peak on whole seconds) or uniform noise, the same on every channel but
// the noise.
TTrack MakeTrack(int bits, int channels, const std::vector<TPiece> &pieces) {
    TTrack track{{}, bits, channels};
    std::uint32_t noise = 12345;
    std::int64_t frame = 0;
    for (const TPiece &piece : pieces) {
        const auto frames = static_cast<std::int64_t>(std::lround(piece.Seconds * kRate));
        for (std::int64_t f = 0; f < frames; ++f, ++frame) {
            const double db = piece.FromDb + (piece.ToDb - piece.FromDb) * f / frames;
            const double gain = piece.FromDb == kNone ? 0.0 : std::pow(10.0, db / 20.0);
            for (int c = 0; c < channels; ++c) {
                noise = noise * 1664525u + 1013904223u;
                const double wave = piece.Wave == TWave::Tone
                                        ? std::cos(2 * std::numbers::pi * 1000.0 * frame / kRate)
                                        : noise / 2147483648.0 - 1.0;
                const std::int64_t value = pcmformat::SampleFor(gain * wave, bits);
                for (int b = 0; b < bits / 8; ++b)
                    track.Pcm.push_back(static_cast<std::uint8_t>(value >> (8 * b)));
            }
        }
    }
    return track;
}

int FramesOf(double seconds) {
    return static_cast<int>(std::lround(seconds * kRate));
}

// The track's first sound frame, asked block by block as the engine does.
int FirstSoundByBlocks(const TTrack &track, double thresholdDb) {
    constexpr int kBlock = 689;
    const int frameBytes = track.Bits / 8 * track.Channels;
    for (int at = 0; at < track.Frames(); at += kBlock) {
        const int frames = std::min(kBlock, track.Frames() - at);
        const int found = trackedges::FirstSoundFrame(track.Pcm.data() + at * frameBytes, frames,
                                                      track.Bits, track.Channels, thresholdDb);
        if (found < frames)
            return at + found;
    }
    return track.Frames();
}

// A scanner of maxSeconds fed the whole track in uneven blocks, the track's first frame being
// numbered firstFrame.
TTrackEndScanner Scan(const TTrack &track, double maxSeconds, std::int64_t firstFrame) {
    TTrackEndScanner scanner(kRate, track.Bits, track.Channels, maxSeconds);
    scanner.Reset(firstFrame);
    const std::size_t capacity = scanner.WindowCapacity();
    const int frameBytes = track.Bits / 8 * track.Channels;
    for (int at = 0, block = 300; at < track.Frames(); at += block, block = block * 7 % 1009 + 1)
        scanner.Feed(track.Pcm.data() + at * frameBytes, std::min(block, track.Frames() - at));
    EXPECT_EQ(scanner.WindowCapacity(), capacity) << "Feed allocated";
    return scanner;
}

struct TEdgeCase {
    const char *Name;
    int Bits;
    int Channels;
    std::vector<TPiece> Pieces;
    double SoundSeconds; // where the sound starts or ends; < 0: nowhere
};

TEST(TrackEdges, FirstSoundFrameSkipsSilenceAndHissBelowTheThreshold) {
    const TEdgeCase cases[] = {
        {"8-bit stereo after silence", 8, 2, {Silence(1.5), {1, -20, -20}}, 1.5},
        {"16-bit mono, -55 dBFS hiss is silence", 16, 1, {Hiss(0.7, -55), {1, -20, -20}}, 0.7},
        {"24-bit stereo, -45 dBFS hiss is sound", 24, 2, {Hiss(0.7, -45), {1, -20, -20}}, 0},
        {"16-bit stereo, sound at once", 16, 2, {{1, -6, -6}}, 0},
        {"32-bit 6 channels, silence throughout", 32, 6, {Silence(1)}, -1},
    };
    for (const TEdgeCase &c : cases) {
        SCOPED_TRACE(c.Name);
        const TTrack track = MakeTrack(c.Bits, c.Channels, c.Pieces);
        const int first = FirstSoundByBlocks(track, trackedges::kDefaultThresholdDb);
        if (c.SoundSeconds < 0)
            EXPECT_EQ(first, track.Frames());
        else if (c.Pieces[0].Wave == TWave::Noise && c.SoundSeconds == 0)
            EXPECT_LT(first, 10); // hiss over the threshold: a loud enough sample comes at once
        else
            EXPECT_EQ(first, FramesOf(c.SoundSeconds));
    }
    const Bytes frame = {0, 0, 1, 0};
    EXPECT_EQ(trackedges::FirstSoundFrame(frame.data(), 1, 12, 2, -50), 0) << "unknown width";
    EXPECT_EQ(trackedges::FirstSoundFrame(frame.data(), 2, 16, 1, -120), 1) << "one step";
}

TEST(TrackEdges, SoundEndInBlockFindsTheLastFrameOfSound) {
    const TTrack track = MakeTrack(16, 2, {{0.5, -20, -20}, {0.3, -55, -55}, Silence(0.2)});
    EXPECT_EQ(trackedges::SoundEndInBlock(track.Pcm.data(), track.Frames(), 16, 2, -50),
              FramesOf(0.5));
    EXPECT_EQ(trackedges::SoundEndInBlock(track.Pcm.data(), track.Frames(), 16, 2, -60),
              FramesOf(0.8));
    EXPECT_EQ(trackedges::SoundEndInBlock(track.Pcm.data() + FramesOf(0.5) * 4, FramesOf(0.5), 16,
                                          2, -50),
              0);
}

// A full-scale negative sample is the only one that reaches 0 dBFS: wherever it lies in the
// eight-wide groups or the frames after them, in a block or a window, it is found.
TEST(TrackEdges, TheLoudestSampleCountsWhereverItLies) {
    for (const int channels : {1, 2, 6}) {
        for (const int frame : {0, 3, 441, 500, 879, 999}) {
            SCOPED_TRACE(testing::Message() << channels << " channels, frame " << frame);
            TTrack track = MakeTrack(16, channels, {{1000.0 / kRate, -0.01, -0.01}});
            pcm::WriteSample(
                &track.Pcm[static_cast<std::size_t>(frame * channels + channels - 1) * 2], 16,
                -32768);
            EXPECT_EQ(trackedges::FirstSoundFrame(track.Pcm.data(), 1000, 16, channels, 0), frame);
            EXPECT_EQ(trackedges::SoundEndInBlock(track.Pcm.data(), 1000, 16, channels, 0),
                      frame + 1);
            const TTrackEndScanner scanner = Scan(track, 1, 0);
            const auto end = scanner.SoundEndFrame(0, 0);
            ASSERT_TRUE(end.has_value());
            EXPECT_GT(*end, frame);
            EXPECT_LE(*end, frame + scanner.WindowFrames());
        }
    }
}

struct TEndCase {
    TEdgeCase Edge;
    int MinSilenceMs;
    double MaxSeconds = 20;
};

TEST(TrackEdges, ScannerFindsWhereTheSoundEnds) {
    const TEndCase cases[] = {
        {{"16-bit stereo, silence mid-window", 16, 2, {{5.003, -12, -12}, Silence(3)}, 5.003}, 500},
        {{"24-bit mono, -55 dBFS hiss", 24, 1, {{5, -12, -12}, Hiss(3, -55)}, 5}, 500},
        {{"8-bit stereo, noise then silence", 8, 2, {{5, -6, -6, TWave::Noise}, Silence(2)}, 5},
         500},
        {{"16-bit stereo, -45 dBFS hiss is sound", 16, 2, {{5, -12, -12}, Hiss(3, -45)}, 8}, 500},
        {{"too little silence to count", 16, 2, {{5, -12, -12}, Silence(0.3)}, 5.3}, 500},
        {{"silence in the middle plays", 16, 1, {{3, -12, -12}, Silence(3), {3, -12, -12}}, 9},
         500},
        {{"more fed than kept", 16, 2, {{25, -12, -12}, Silence(4)}, 25}, 500, 10},
        {{"silent throughout", 16, 2, {Silence(2), Hiss(6, -55)}, -1}, 500},
    };
    const std::int64_t firstFrame = 123456;
    for (const TEndCase &c : cases) {
        SCOPED_TRACE(c.Edge.Name);
        const TTrack track = MakeTrack(c.Edge.Bits, c.Edge.Channels, c.Edge.Pieces);
        const TTrackEndScanner scanner = Scan(track, c.MaxSeconds, firstFrame);
        EXPECT_EQ(scanner.EndFrame(), firstFrame + track.Frames());
        const auto end = scanner.SoundEndFrame(trackedges::kDefaultThresholdDb, c.MinSilenceMs);
        if (c.Edge.SoundSeconds < 0) {
            EXPECT_FALSE(end.has_value());
            continue;
        }
        ASSERT_TRUE(end.has_value());
        const std::int64_t expected = firstFrame + FramesOf(c.Edge.SoundSeconds);
        EXPECT_GE(*end, expected);
        EXPECT_LT(*end, expected + scanner.WindowFrames());
    }
}

struct TRampCase {
    const char *Name;
    int Bits;
    int Channels;
    std::vector<TPiece> Pieces;
    double RampSeconds; // where the ramp starts (a fade-out) or ends (a fade-in); < 0: none
    // Two windows; noise's body, the 90th percentile of its windows' levels, lies about 0.25 dB
    // over its mean, which a slow ramp takes longer to cross.
    double ToleranceMs = 20;
};

void ExpectRampAt(std::optional<std::int64_t> found, const TRampCase &c, std::int64_t firstFrame) {
    if (c.RampSeconds < 0) {
        EXPECT_FALSE(found.has_value()) << *found - firstFrame;
        return;
    }
    ASSERT_TRUE(found.has_value());
    EXPECT_NEAR(static_cast<double>(*found - firstFrame), FramesOf(c.RampSeconds),
                FramesOf(c.ToleranceMs / 1000));
}

// Bodies at -12 dBFS peak; a 12 dB drop lies a fifth into a fade of 60 dB.
TEST(TrackEdges, OwnFadeOutIsARampFallingFromTheBodyToTheEnd) {
    const TRampCase cases[] = {
        {"16-bit stereo tone, 5 s fade", 16, 2, {{10, -12, -12}, {5, -12, -72}, Silence(2)}, 11},
        {"24-bit mono noise, 8 s fade",
         24,
         1,
         {{6, -12, -12, TWave::Noise}, {8, -12, -72, TWave::Noise}, Silence(1)},
         7.6,
         60},
        {"8-bit stereo tone, 3 s fade to nothing", 8, 2, {{10, -12, -12}, {3, -12, -72}}, 10.6},
        {"16-bit mono, 0.5 s fade is no ramp", 16, 1, {{10, -12, -12}, {0.5, -12, -72}}, -1},
        {"ends loud", 16, 2, {{10, -12, -12}, Silence(2)}, -1},
        {"quiet passage, then the body again",
         16,
         2,
         {{5, -12, -12}, {3, -40, -40}, {5, -12, -12}, Silence(1)},
         -1},
        {"flat quiet passage into silence", 16, 2, {{8, -12, -12}, {3, -40, -40}, Silence(2)}, -1},
        {"settles 18 dB down, then stops",
         16,
         2,
         {{8, -12, -12}, {2, -12, -30}, {3, -30, -30}, Silence(1)},
         -1},
    };
    const std::int64_t firstFrame = 5000000;
    for (const TRampCase &c : cases) {
        SCOPED_TRACE(c.Name);
        const TTrack track = MakeTrack(c.Bits, c.Channels, c.Pieces);
        const TTrackEndScanner scanner = Scan(track, 20, firstFrame);
        const auto end = scanner.SoundEndFrame(trackedges::kDefaultThresholdDb, 500);
        ASSERT_TRUE(end.has_value());
        ExpectRampAt(scanner.OwnFadeOut(12, *end), c, firstFrame);
    }
}

TEST(TrackEdges, OwnFadeInIsARampRisingToTheBody) {
    const TRampCase cases[] = {
        {"16-bit stereo tone, 4 s rise",
         16,
         2,
         {Silence(0.5), {4, -72, -12}, {6, -12, -12}},
         0.5 + 4 * 0.8},
        {"24-bit stereo noise, 3 s rise",
         24,
         2,
         {{3, -72, -12, TWave::Noise}, {5, -12, -12, TWave::Noise}},
         3 * 0.8,
         30},
        {"starts loud", 16, 2, {Silence(1), {8, -12, -12}}, -1},
        {"quiet opening, then the body", 16, 1, {{3, -40, -40}, {6, -12, -12}}, -1},
    };
    for (const TRampCase &c : cases) {
        SCOPED_TRACE(c.Name);
        const TTrack track = MakeTrack(c.Bits, c.Channels, c.Pieces);
        const TTrackEndScanner scanner = Scan(track, 10, 0);
        const int start = FirstSoundByBlocks(track, trackedges::kDefaultThresholdDb);
        ExpectRampAt(scanner.OwnFadeIn(12, start), c, 0);
    }
}

// A scanner made for one format takes the one an open tells later, without allocating, where its
// windows hold the seconds it was made for.
TEST(TrackEdges, AScannerTakesAnotherFormatWithinItsWindows) {
    TTrackEndScanner scanner(8000, 16, 2, 13.0 * 1.05);
    const std::size_t capacity = scanner.WindowCapacity();
    for (const int rate : {11025, 22050, 44100, 48000, 96000})
        EXPECT_TRUE(scanner.Reformat(rate, 24, 1, 13.0)) << rate;
    EXPECT_EQ(scanner.WindowCapacity(), capacity);
    EXPECT_FALSE(scanner.Reformat(11025, 16, 2, 13.0 * 1.05)); // 110-frame windows need more
}

// Where the transition out of a track ends and how long it fades: the end found, and the longer
// of the tracks' own ramps, at most the set time.
TEST(EndPlan, TheFadeIsTheLongerOwnRampAtMostTheSetTime) {
    using endplan::PlanEnd;
    const struct {
        const char *Name;
        std::optional<TTrackEnd> End;
        std::optional<TTrackStart> Next;
        std::int64_t EndMs, FadeMs;
    } cases[] = {
        {"nothing known", std::nullopt, std::nullopt, 10000, 5000},
        {"silence at the end", TTrackEnd{7000, {}}, std::nullopt, 7000, 5000},
        {"an own fade-out", TTrackEnd{9000, 6000}, std::nullopt, 9000, 3000},
        {"a fade-out longer than the set time", TTrackEnd{9000, 1000}, std::nullopt, 9000, 5000},
        {"a fade-in", std::nullopt, TTrackStart{0, 2000}, 10000, 2000},
        {"both: the longer", TTrackEnd{9000, 7000}, TTrackStart{500, 2500}, 9000, 2500},
        {"an end past the length", TTrackEnd{12000, {}}, std::nullopt, 10000, 5000},
    };
    for (const auto &c : cases) {
        const endplan::TPlannedEnd plan = PlanEnd(10000, 5000, c.End, c.Next);
        EXPECT_EQ(plan.EndMs, c.EndMs) << c.Name;
        EXPECT_EQ(plan.FadeMs, c.FadeMs) << c.Name;
    }
}

} // namespace
