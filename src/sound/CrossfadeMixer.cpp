#include "CrossfadeMixer.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <utility>

namespace pcm {

std::int64_t ReadSample(const std::uint8_t *sample, int bits) {
    switch (bits) {
    case 8:
        return sample[0];
    case 16:
        return static_cast<std::int16_t>(sample[0] | (sample[1] << 8));
    case 24: {
        const std::int32_t value = sample[0] | (sample[1] << 8) | (sample[2] << 16);
        return (value & 0x800000) ? value - 0x1000000 : value;
    }
    case 32:
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(sample[0]) |
                                         (static_cast<std::uint32_t>(sample[1]) << 8) |
                                         (static_cast<std::uint32_t>(sample[2]) << 16) |
                                         (static_cast<std::uint32_t>(sample[3]) << 24));
    default:
        return 0;
    }
}

void WriteSample(std::uint8_t *sample, int bits, std::int64_t value) {
    const auto bits64 = static_cast<std::uint64_t>(value);
    for (int byte = 0; byte < bits / 8; ++byte)
        sample[byte] = static_cast<std::uint8_t>(bits64 >> (8 * byte));
}

void Ramp(std::uint8_t *frames, int count, int bits, int channels, bool up) {
    const int width = bits / 8;
    const std::int64_t zero = bits == 8 ? 128 : 0;
    for (int k = 0; k < count; ++k) {
        const double gain = static_cast<double>(up ? k + 1 : count - k) / (count + 1);
        for (int channel = 0; channel < channels; ++channel) {
            std::uint8_t *sample = frames + (static_cast<std::size_t>(k) * channels + channel) * width;
            const auto value = static_cast<double>(ReadSample(sample, bits) - zero);
            WriteSample(sample, bits, static_cast<std::int64_t>(gain * value) + zero);
        }
    }
}

} // namespace pcm

namespace {

double StepFor(double fadeSeconds, int rate) {
    return fadeSeconds != 0.0 ? 1.0 / fadeSeconds / rate : 1.0;
}

} // namespace

double TCrossfadeState::GainOf(double x, TFadeCurve curve) {
    switch (curve) {
    case TFadeCurve::Logarithmic:
        return -std::log10(0.9 * (1.0 - x) + 0.1);
    case TFadeCurve::EqualPower:
        return std::sin(std::numbers::pi / 2 * x);
    case TFadeCurve::Linear:
        break;
    }
    return x;
}

int TCrossfadeState::MixingStep(std::uint8_t *buffer, int frames, int bits, int channels, int rate,
                                int fadeTimeMs) {
    if (!Source) {
        Armed = false;
        Started = false;
    }
    if (Armed && !Started) {
        // The fade is at most what was left of the outgoing track; nothing left is no fade.
        const double fadeSeconds = std::min(Source->RemainingMs * 0.001, fadeTimeMs * 0.001);
        if (!(fadeSeconds > 0.0)) {
            ReleaseSource();
            Armed = false;
            return frames;
        }
        Started = true;
        FadeSecondsIn = FadeSecondsOut = fadeSeconds;
        FadeTarget = 0.0;
        FadePosition = 1.0;
        FadeComplement = 0.0;
        Reached = false;
    }
    return MixBlock(buffer, frames, bits, channels, rate);
}

namespace {

// Truncates the mixed value toward zero and holds it at the format's limits: an equal-power fade
// of similar tracks sums above full scale, where wrapping around would be a loud click.
template <int Bits> std::int64_t Saturated(double mixed, std::int64_t &saturatedSamples) {
    constexpr std::int64_t kMin = pcm::MinSample(Bits);
    constexpr std::int64_t kMax = pcm::MaxSample(Bits);
    const auto value = static_cast<std::int64_t>(mixed);
    if (value < kMin || value > kMax) [[unlikely]] {
        ++saturatedSamples;
        return value < kMin ? kMin : kMax;
    }
    return value;
}

std::int64_t SaturatedAnyWidth(int bits, double mixed, std::int64_t &saturatedSamples) {
    switch (bits) {
    case 8:
        return Saturated<8>(mixed, saturatedSamples);
    case 16:
        return Saturated<16>(mixed, saturatedSamples);
    case 24:
        return Saturated<24>(mixed, saturatedSamples);
    default:
        return Saturated<32>(mixed, saturatedSamples);
    }
}

// Mixes the channels of one frame whose old samples all stand in the current old block.
template <int Bits>
void MixWholeFrame(std::uint8_t *frame, const std::uint8_t *old, int channels, double gainNew,
                   double gainOld, std::int64_t zeroLevel, std::int64_t &saturatedSamples) {
    constexpr int kWidth = Bits / 8;
    for (int channel = 0; channel < channels; ++channel) {
        std::uint8_t *sample = frame + channel * kWidth;
        const auto newValue = static_cast<double>(pcm::ReadSampleAs<Bits>(sample) - zeroLevel);
        const auto oldValue = static_cast<double>(pcm::ReadSampleAs<Bits>(old + channel * kWidth) - zeroLevel);
        double mixed = gainNew * newValue + gainOld * oldValue;
        mixed += static_cast<double>(zeroLevel);
        pcm::WriteSampleAs<Bits>(sample, Saturated<Bits>(mixed, saturatedSamples));
    }
}

using WholeFrameMixer = void (*)(std::uint8_t *, const std::uint8_t *, int, double, double,
                                 std::int64_t, std::int64_t &);

WholeFrameMixer WholeFrameMixerFor(int bits) {
    switch (bits) {
    case 8:
        return &MixWholeFrame<8>;
    case 16:
        return &MixWholeFrame<16>;
    case 24:
        return &MixWholeFrame<24>;
    case 32:
        return &MixWholeFrame<32>;
    default:
        return nullptr;
    }
}

} // namespace

void TCrossfadeState::MovePosition() {
    if (FadePosition != FadeTarget) {
        Reached = false;
        if (FadePosition > FadeTarget) {
            FadePosition -= StepDown;
            if (FadePosition < FadeTarget)
                FadePosition = FadeTarget;
        } else {
            FadePosition += StepUp;
            if (FadePosition > FadeTarget)
                FadePosition = FadeTarget;
        }
        FadeComplement = 1.0 - FadePosition;
    }
    if (FadePosition == FadeTarget)
        Reached = true;
}

int TCrossfadeState::MixBlock(std::uint8_t *buffer, int frames, int bits, int channels, int rate) {
    if (bits != LastBits) {
        LastBits = bits;
        ZeroLevel = bits == 8 ? 128 : 0;
    }
    StepUp = StepFor(FadeSecondsIn, rate);
    StepDown = StepFor(FadeSecondsOut, rate);
    const WholeFrameMixer mixWholeFrame = WholeFrameMixerFor(bits);
    const int width = bits / 8;
    const auto blockReady = [&] {
        return HasBlock && OldPos < Block.Samples && BlockMatches(bits, channels, rate);
    };

    for (int frame = 0; frame < frames; ++frame) {
        MovePosition();
        // Both gains change per frame only: computing them here gives the per-sample values.
        const TFadeCurve curve = GetCurve();
        const double gainNew = GainOf(std::min(1.0, FadeComplement * InSpeed), curve);
        const double gainOld = GainOf(std::min(1.0, FadePosition * OutSpeed), curve);
        std::uint8_t *frameData = buffer + static_cast<std::size_t>(frame) * channels * width;

        if (mixWholeFrame && blockReady() && Block.Samples - OldPos >= channels) {
            mixWholeFrame(frameData, Block.Data.data() + static_cast<std::size_t>(OldPos) * width,
                          channels, gainNew, gainOld, ZeroLevel, SaturatedSamples);
            OldPos += channels;
            if (OldPos == Block.Samples)
                EnsureOldBlock(bits, channels, rate);
            continue;
        }
        // The careful way, sample by sample: the old block may end inside this frame.
        for (int channel = 0; channel < channels; ++channel) {
            if (mixWholeFrame) {
                if (!blockReady() && !EnsureOldBlock(bits, channels, rate)) {
                    EnsureOldBlock(bits, channels, rate);
                    return frames;
                }
                std::uint8_t *sample = frameData + channel * width;
                const std::int64_t newValue = pcm::ReadSample(sample, bits) - ZeroLevel;
                const std::int64_t oldValue =
                    pcm::ReadSample(Block.Data.data() + static_cast<std::size_t>(OldPos) * width,
                                    bits) -
                    ZeroLevel;
                ++OldPos;
                double mixed = gainNew * static_cast<double>(newValue) +
                               gainOld * static_cast<double>(oldValue);
                mixed += static_cast<double>(ZeroLevel);
                pcm::WriteSample(sample, bits, SaturatedAnyWidth(bits, mixed, SaturatedSamples));
            }
            if (!blockReady())
                EnsureOldBlock(bits, channels, rate);
        }
    }
    return frames;
}

bool TCrossfadeState::BlockMatches(int bits, int channels, int rate) const {
    return Block.BitsPerSample == bits && Block.Channels == channels && Block.SampleRate == rate;
}

// Reads the next old block; one of another format than the incoming track's ends the fade.
bool TCrossfadeState::FetchMatchingBlock(int bits, int channels, int rate) {
    if (!FetchOldBlock())
        return false;
    OldPos = 0;
    if (BlockMatches(bits, channels, rate))
        return true;
    ReleaseSource();
    return false;
}

bool TCrossfadeState::EnsureOldBlock(int bits, int channels, int rate) {
    if (!HasBlock)
        return FetchMatchingBlock(bits, channels, rate) && OldPos < Block.Samples;
    if (!BlockMatches(bits, channels, rate)) {
        ReleaseSource();
        return false;
    }
    if (OldPos < Block.Samples)
        return true;
    DropBlock();
    // A block shorter than one sample holds nothing to mix; the next call reads on.
    return FetchMatchingBlock(bits, channels, rate) && OldPos < Block.Samples;
}

bool TCrossfadeState::FetchOldBlock() {
    if (!Source)
        return false;
    const int blockBytes = std::max(Source->BlockBytes, 1);
    MakeBlockRoom(); // grows only for a source whose read size grew after the hand-over
    const int bytes = Source->GetData(Block.Data.data(), blockBytes);
    if (bytes < 1 || Reached) {
        ReleaseSource();
        return false;
    }
    Block.Bytes = std::min(bytes, blockBytes);
    Block.BitsPerSample = Source->BitsPerSample;
    Block.Channels = Source->Channels;
    Block.SampleRate = Source->SampleRate;
    Block.Samples = Block.BitsPerSample >= 8 ? Block.Bytes / (Block.BitsPerSample / 8) : 0;
    HasBlock = true;
    return true;
}

void TCrossfadeState::HoldSource(std::unique_ptr<TFadeOutSource> source) {
    ReleaseSource();
    Started = false;
    InSpeed = OutSpeed = 1.0;
    Source = std::move(source);
    if (Source)
        MakeBlockRoom();
}

void TCrossfadeState::RestartFade() {
    DropBlock();
    Started = false;
    Armed = Source != nullptr;
}

void TCrossfadeState::MoveFadeInto(TCrossfadeState &other) {
    other.ReleaseSource();
    other.Armed = std::exchange(Armed, false);
    other.Started = std::exchange(Started, false);
    other.FadeSecondsIn = FadeSecondsIn;
    other.InSpeed = InSpeed;
    other.OutSpeed = OutSpeed;
    other.FadeSecondsOut = FadeSecondsOut;
    other.Source = std::move(Source);
    std::swap(other.Block, Block); // this keeps a buffer: the pool of its next fade
    other.HasBlock = std::exchange(HasBlock, false);
    other.OldPos = std::exchange(OldPos, 0);
    other.FadeTarget = FadeTarget;
    other.FadePosition = FadePosition;
    other.FadeComplement = FadeComplement;
    other.StepUp = StepUp;
    other.StepDown = StepDown;
    other.Reached = Reached;
    other.LastBits = LastBits;
    other.ZeroLevel = ZeroLevel;
    other.SetCurve(GetCurve());
    DropBlock();
}

// The old blocks share one buffer, kept from fade to fade and grown at the hand-over: the
// blocks of a fade read the outgoing track without waiting for the heap.
void TCrossfadeState::MakeBlockRoom() {
    const std::size_t room = static_cast<std::size_t>(std::max(Source->BlockBytes, 1)) * 2;
    if (Block.Data.size() < room)
        Block.Data.resize(room);
}

void TCrossfadeState::ReleaseSource() noexcept {
    if (Source) {
        Source->Close();
        Source.reset();
    }
    DropBlock();
}

void TCrossfadeState::DropBlock() {
    HasBlock = false;
    Block.Bytes = 0;
    Block.Samples = 0;
    OldPos = 0;
}
