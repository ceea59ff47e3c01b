// What fades out at a skip, on buffers: the output's history of frames, the unheard rest with
// its continuation, and a track that goes on mixing the fade it was in.
#include "sound/FadeOutChain.h"
#include "sound/StreamHistory.h"
#include "support/FakeFadeOutSource.h"

#include <gtest/gtest.h>

#include <numeric>

namespace {

using FakeSource = support::FakeFadeOutSource;
using Bytes = std::vector<std::uint8_t>;

// Mono 16-bit frames 0, 1, 2, ... of the given count, from first on.
Bytes Counting(int first, int count) {
    Bytes bytes(static_cast<std::size_t>(count) * 2);
    for (int i = 0; i < count; ++i)
        pcm::WriteSample(&bytes[static_cast<std::size_t>(i) * 2], 16, first + i);
    return bytes;
}

Bytes ReadAll(TFadeOutSource &source, int readBytes) {
    Bytes all, piece(static_cast<std::size_t>(readBytes));
    for (int n; (n = source.GetData(piece.data(), readBytes)) > 0;)
        all.insert(all.end(), piece.begin(), piece.begin() + n);
    return all;
}

TEST(StreamHistory, KeepsTheNewestFramesAcrossTheRingsEnd) {
    TStreamHistory history;
    history.Prepare(2, 8000, 100);
    for (int block = 0; block < 7; ++block)
        history.Append(Counting(block * 37, 37).data(), 37);
    EXPECT_EQ(history.Frames(), 259);
    EXPECT_EQ(history.OldestFrame(), 159);
    EXPECT_EQ(history.CopyFrom(200), Counting(200, 59));
    EXPECT_EQ(history.CopyFrom(0), Counting(159, 100)); // older than kept: from the oldest
    history.Append(Counting(259, 250).data(), 250);     // more than the room at once
    EXPECT_EQ(history.CopyFrom(0), Counting(409, 100));
}

TEST(StreamHistory, NumbersFramesFromTheOutputsClockOrigin) {
    TStreamHistory history;
    history.Prepare(4, 44100, 44100);
    history.Restart(1500); // a Flush(1500)
    EXPECT_EQ(history.FrameAt(1510), 441);
    // 44.1 kHz meets a whole frame every 10 ms; 48 kHz every ms; 22.05 kHz every 20 ms.
    EXPECT_EQ(history.ExactTimeFrom(1501), 1510);
    EXPECT_EQ(history.ExactTimeFrom(1510), 1510);
    history.Prepare(4, 48000, 48000);
    EXPECT_EQ(history.ExactTimeFrom(7), 7);
    history.Prepare(2, 22050, 22050);
    EXPECT_EQ(history.ExactTimeFrom(1), 20);
    history.Append(Counting(0, 10).data(), 10);
    history.Invalidate();
    EXPECT_FALSE(history.IsValid());
    EXPECT_TRUE(history.CopyFrom(0).empty());
}

TEST(UnheardRest, DeliversTheRestFromTheFlushedFrameThenTheContinuation) {
    int closes = 0;
    auto continuation = std::make_unique<FakeSource>(Counting(1000, 300), 16, 1, 1000, &closes);
    continuation->RemainingMs = 300;
    TUnheardRestSource rest(Counting(880, 120), 880, 900, std::move(continuation), 16, 1, 1000, 64);
    EXPECT_EQ(rest.RemainingMs, 400);
    rest.StartAt(950);
    rest.StartAt(940); // never back
    EXPECT_EQ(rest.RemainingMs, 350);
    const auto before = rest.FramesBefore(60); // heard, kept to prime a converter
    EXPECT_EQ(Bytes(before.begin(), before.end()), Counting(890, 60));
    EXPECT_EQ(ReadAll(rest, 64), Counting(950, 350));
    rest.Close();
    EXPECT_EQ(closes, 1);
}

TEST(UnheardRest, WithoutAContinuationEndsWithTheRest) {
    TUnheardRestSource rest(Counting(0, 10), 0, 0, nullptr, 16, 1, 1000, 64);
    rest.StartAt(rest.EndFrame());
    EXPECT_EQ(rest.RemainingMs, 0);
    EXPECT_TRUE(ReadAll(rest, 64).empty());
}

// A track that was fading in over an older one, read on as a fade-out source, delivers what its
// own request would have written: the same samples as going on mixing in place.
TEST(StillMixing, GoesOnWithTheFadeItWasIn) {
    const auto fadeOver = [](TCrossfadeState &fade, int *closes) {
        fade.HoldSource(std::make_unique<FakeSource>(Counting(-3000, 2000), 16, 1, 1000, closes));
        fade.Armed = true;
    };
    int closes = 0;
    TCrossfadeState inPlace;
    fadeOver(inPlace, &closes);
    Bytes expected = Counting(0, 1500);
    for (std::size_t at = 0; at < expected.size(); at += 128)
        inPlace.MixingStep(expected.data() + at, 64, 16, 1, 1000, 1000);

    TCrossfadeState engine;
    fadeOver(engine, &closes);
    Bytes first = Counting(0, 64);
    engine.MixingStep(first.data(), 64, 16, 1, 1000, 1000);
    auto older = std::make_unique<TCrossfadeState>();
    engine.MoveFadeInto(*older);
    EXPECT_FALSE(engine.Source);
    TStillMixingSource track(std::make_unique<FakeSource>(Counting(64, 1436), 16, 1, 1000, &closes),
                             std::move(older));
    Bytes actual = first;
    const Bytes rest = ReadAll(track, 128);
    actual.insert(actual.end(), rest.begin(), rest.end());
    EXPECT_EQ(actual, expected);
    track.Close();
    inPlace.ReleaseSource();
    EXPECT_EQ(closes, 3); // both older tracks and the track itself, once each
}

} // namespace
