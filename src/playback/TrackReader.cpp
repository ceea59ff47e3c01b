#include "TrackReader.h"

#include "../sound/BlockMath.h"
#include "../sound/TrackEdges.h"
#include "../sound/EndPlan.h"

#include <algorithm>
#include <cstring>

void TTrackReader::Start(bool trimsLeading, int thresholdDb) {
    blockBytes_ = blockmath::BlockBytesFor(Decoder.SampleRate, Decoder.BitsPerSample,
                                           Decoder.Channels);
    frameBytes_ = blockmath::FrameBytes(Decoder.BitsPerSample, Decoder.Channels);
    thresholdDb_ = thresholdDb;
    decodedFromMs_ = 0;
    decodedFrames_ = 0;
    recent_.Reset(frameBytes_);
    trimming_ = trimsLeading;
    silenceFrames_ = 0;
    keptBytes_ = replayed_ = 0;
    replaying_ = false;
    SkippedLeadMs = 0;
    if (trimsLeading) {
        const std::int64_t shortest =
            std::int64_t{Decoder.SampleRate} * endplan::kMinLeadingSilenceMs / 1000;
        kept_.resize(static_cast<std::size_t>(shortest * frameBytes_ + 2 * blockBytes_));
    }
}

int TTrackReader::ReadMs() const {
    const int rate = std::max(Decoder.SampleRate, 1);
    return decodedFromMs_ + static_cast<int>(decodedFrames_ * 1000 / rate);
}

int TTrackReader::ReadDecoded(std::uint8_t *block, int bytes) {
    const int read = Decoder.ReadFrames(block, bytes);
    if (read > 0) {
        decodedFrames_ += read / frameBytes_;
        recent_.Keep(block, read);
    }
    return read;
}

int TTrackReader::ReadBlock(std::uint8_t *block, int bytes) {
    if (replaying_)
        return Replay(block, bytes);
    const int read = ReadDecoded(block, bytes);
    if (!trimming_)
        return read < 1 ? -1 : read;
    if (read < 1) {
        // A track silent to its end plays as it is: from its start, or what was kept of it.
        const bool restarted = !state_.Stopped() && silenceFrames_ > 0 && keptBytes_ == 0 &&
                               PlayFromItsStart();
        StopTrimming();
        if (restarted)
            return 0;
        replaying_ = keptBytes_ > 0;
        return replaying_ ? Replay(block, bytes) : -1;
    }
    const int frames = TrimLeading(block, read / frameBytes_);
    if (frames < 0) {
        replaying_ = true;
        return Replay(block, bytes);
    }
    return frames * frameBytes_;
}

// The frames of sound left in the block: 0 while the silence goes on; below 0 when the silence
// proved too short and is handed out again as it was.
int TTrackReader::TrimLeading(std::uint8_t *block, int frames) {
    const int bits = Decoder.BitsPerSample, channels = Decoder.Channels;
    const int first = trackedges::FirstSoundFrame(block, frames, bits, channels, thresholdDb_);
    const std::int64_t rate = Decoder.SampleRate;
    const std::int64_t shortest = rate * endplan::kMinLeadingSilenceMs / 1000;
    const std::int64_t most = rate * endplan::kMaxLeadingSilenceMs / 1000;
    const auto keep = [&](int count) {
        const std::size_t bytes = static_cast<std::size_t>(count) * frameBytes_;
        if (keptBytes_ + bytes <= kept_.size()) {
            std::memcpy(kept_.data() + keptBytes_, block, bytes);
            keptBytes_ += bytes;
        }
    };
    if (first >= frames) {
        silenceFrames_ += frames;
        if (silenceFrames_ <= shortest)
            keep(frames);
        else
            keptBytes_ = 0; // long enough to be read past: nothing of it comes back
        if (silenceFrames_ <= most)
            return 0;
        StopTrimming();
        return PlayFromItsStart() ? 0 : frames;
    }
    const std::int64_t silence = silenceFrames_ + first;
    StopTrimming();
    if (!endplan::SkipsLead(silence, static_cast<int>(rate))) {
        // Part of the music: the kept silence and this whole block are heard as they were.
        keep(frames);
        return -1;
    }
    keptBytes_ = 0;
    SkippedLeadMs = static_cast<int>(silence * 1000 / std::max<std::int64_t>(rate, 1));
    std::memmove(block, block + static_cast<std::size_t>(first) * frameBytes_,
                 static_cast<std::size_t>(frames - first) * frameBytes_);
    return frames - first;
}

int TTrackReader::Replay(std::uint8_t *block, int bytes) {
    const std::size_t left = keptBytes_ - replayed_;
    const std::size_t whole = static_cast<std::size_t>(bytes / frameBytes_ * frameBytes_);
    const std::size_t count = std::min(left, whole);
    std::memcpy(block, kept_.data() + replayed_, count);
    replayed_ += count;
    if (replayed_ >= keptBytes_) {
        keptBytes_ = replayed_ = 0;
        replaying_ = false;
    }
    return static_cast<int>(count);
}

void TTrackReader::StopTrimming() {
    trimming_ = false;
}

bool TTrackReader::PlayFromItsStart() {
    keptBytes_ = replayed_ = 0;
    replaying_ = false;
    SkippedLeadMs = 0;
    if (Decoder.SetTime(0) != TDecoder::SeekResult::Moved)
        return false;
    decodedFromMs_ = 0;
    decodedFrames_ = 0;
    recent_.Clear();
    return true;
}

TDecoder::SeekResult TTrackReader::Seek(int milliseconds) {
    const TDecoder::SeekResult result = Decoder.SetTime(milliseconds);
    if (result != TDecoder::SeekResult::Moved)
        return result;
    decodedFromMs_ = milliseconds;
    decodedFrames_ = 0;
    recent_.Clear();
    // The output's clock counts from the target now: silence read past before it no longer
    // counts, and none is read past after it.
    StopTrimming();
    keptBytes_ = replayed_ = 0;
    replaying_ = false;
    SkippedLeadMs = 0;
    return result;
}
