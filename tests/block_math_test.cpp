// Block sizes, lengths and output figures of the playback engine.
#include "sound/BlockMath.h"

#include <gtest/gtest.h>

namespace {

using namespace blockmath;

TEST(BlockMath, BlocksAreOneSixtyFourthSecondInWholeFrames) {
    EXPECT_EQ(BlockBytesFor(44100, 16, 2), 2756); // 689 frames
    EXPECT_EQ(BlockBytesFor(22050, 24, 2), 2064);
    EXPECT_EQ(BlockBytesFor(8000, 8, 1), 125);
    EXPECT_EQ(BlockBytesFor(1000, 8, 1), 4096); // 15 bytes is below 20
    EXPECT_EQ(BlockBytesFor(48000, 24, 6) % FrameBytes(24, 6), 0);
    EXPECT_EQ(BlockBytesFor(96000, 24, 2), 9000);
    EXPECT_EQ(BlockBytesFor(192000, 32, 2), 24000);
}

TEST(BlockMath, LengthComesFromTheDecodedSize) {
    EXPECT_EQ(LengthMsFor(10'584'000, 16, 2, 44100), 60000);
    EXPECT_EQ(LengthMsFor(0, 16, 2, 44100), 0);
    // 3 frames at 2 kHz are 1.5 ms: halves round away from zero.
    EXPECT_EQ(LengthMsFor(12, 16, 2, 2000), 2);
    // More than 2 GiB of PCM still gives its length.
    EXPECT_EQ(LengthMsFor(3'000'000'000LL, 16, 2, 48000), 15'625'000);
}

TEST(BlockMath, HostInfoFigures) {
    EXPECT_EQ(KbpsFor(16, 44100, 2), 1411);
    EXPECT_EQ(KhzFor(44100), 44);
    EXPECT_EQ(KhzFor(22050), 22); // 22.05 rounds down
    EXPECT_EQ(KhzFor(11025), 11);
    EXPECT_EQ(KhzFor(88200), 88);
    EXPECT_EQ(KbpsFor(24, 96000, 2), 4608);
    EXPECT_EQ(RoundHalfAway(2.5), 3);
    EXPECT_EQ(RoundHalfAway(-2.5), -3);
    EXPECT_EQ(RoundHalfAway(2.4999), 2);
}

TEST(BlockMath, BlockDurationIsTruncatedToWholeMilliseconds) {
    EXPECT_EQ(BlockDurationMs(2756, 16, 2, 44100), 15); // 15.6 ms
    EXPECT_EQ(BlockDurationMs(4096, 8, 1, 1000), 4096);
    EXPECT_EQ(BlockDurationMs(0, 16, 2, 44100), 0);
}

TEST(BlockMath, RefusesFormatsThatCannotBePlayed) {
    EXPECT_TRUE(IsPlayableFormat(16, 2, 44100));
    EXPECT_TRUE(IsPlayableFormat(8, 1, 8000));
    EXPECT_TRUE(IsPlayableFormat(24, 6, 96000));
    EXPECT_TRUE(IsPlayableFormat(32, 2, 192000));
    EXPECT_FALSE(IsPlayableFormat(16, 0, 44100));
    EXPECT_FALSE(IsPlayableFormat(4, 2, 44100));
    EXPECT_FALSE(IsPlayableFormat(12, 2, 44100));
    EXPECT_FALSE(IsPlayableFormat(0, 2, 44100));
    EXPECT_FALSE(IsPlayableFormat(16, 2, 0));
    EXPECT_FALSE(IsPlayableFormat(16, 2, -44100));
    EXPECT_FALSE(IsPlayableFormat(16, -2, 44100));
}

TEST(BlockMath, RatesAndChannelsStayWithinWhatAnOutputTakes) {
    EXPECT_TRUE(IsPlayableFormat(32, 8, 768000));
    EXPECT_FALSE(IsPlayableFormat(16, 2, 768001));
    EXPECT_FALSE(IsPlayableFormat(16, 9, 44100));
    EXPECT_FALSE(IsPlayableFormat(32, 64, 10'000'000));
}

TEST(BlockMath, WritesArePiecesOfAtMost8192BytesInWholeFrames) {
    EXPECT_EQ(MaxWritePiece(4), 8192);
    EXPECT_EQ(MaxWritePiece(6), 8190);
    EXPECT_EQ(MaxWritePiece(3), 8190);
    EXPECT_EQ(MaxWritePiece(36), 8172);
    EXPECT_EQ(MaxWritePiece(1), 8192);
}

} // namespace
