#include "FormatConverter.h"

#include "BlockMath.h"
#include "CrossfadeMixer.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace {

bool IsConvertible(const TPcmFormat &format) {
    return blockmath::IsPlayableFormat(format.BitsPerSample, format.Channels, format.SampleRate) &&
           format.Channels <= TResampler::kMaxChannels;
}

} // namespace

bool TFormatConverter::CanConvert(const TPcmFormat &from, const TPcmFormat &to) {
    return IsConvertible(from) && IsConvertible(to) &&
           (from.SampleRate == to.SampleRate ||
            TResampler::Supports(from.SampleRate, to.SampleRate));
}

std::unique_ptr<TFormatConverter> TFormatConverter::Create(const TPcmFormat &from,
                                                           const TPcmFormat &to) {
    if (!CanConvert(from, to))
        return nullptr;
    return std::make_unique<TFormatConverter>(from, to);
}

TFormatConverter::TFormatConverter(const TPcmFormat &from, const TPcmFormat &to)
    : from_(from), to_(to) {
    if (!CanConvert(from, to))
        throw std::invalid_argument("format converter: formats it cannot convert");
    // Fewer channels through the resampler: averaging before it, copying after it.
    if (from.SampleRate != to.SampleRate)
        resampler_ = std::make_unique<TResampler>(from.SampleRate, to.SampleRate,
                                                  std::min(from.Channels, to.Channels));
}

std::int64_t TFormatConverter::OutputFramesFor(std::int64_t inputFrames) const {
    if (!resampler_)
        return std::max<std::int64_t>(inputFrames, 0);
    return TResampler::OutputFramesFor(inputFrames, from_.SampleRate, to_.SampleRate);
}

int TFormatConverter::Reserve(int framesPerBlock) {
    const auto frames = static_cast<std::size_t>(std::max(framesPerBlock, 0));
    const auto mapped = static_cast<std::size_t>(MappedChannels());
    partial_.reserve(static_cast<std::size_t>(from_.FrameBytes()));
    if (!resampler_) {
        exact_.reserve(frames * mapped);
        return static_cast<int>(frames) + 1; // and a part frame completed ahead of the block
    }
    const std::int64_t pushed = resampler_->MaxOutputFramesPerPush(framesPerBlock);
    mapped_.reserve(frames * mapped);
    resampled_.reserve(static_cast<std::size_t>(pushed) * mapped);
    resampler_->Reserve(framesPerBlock);
    // A part frame completed ahead of a block is a push of its own.
    return static_cast<int>(pushed + resampler_->MaxOutputFramesPerPush(1));
}

int TFormatConverter::Convert(std::span<const std::uint8_t> input,
                              std::vector<std::uint8_t> &output) {
    if (finished_)
        return 0;
    const auto frameBytes = static_cast<std::size_t>(from_.FrameBytes());
    int frames = 0;
    if (!partial_.empty()) {
        const std::size_t missing = std::min(frameBytes - partial_.size(), input.size());
        partial_.insert(partial_.end(), input.begin(), input.begin() + missing);
        input = input.subspan(missing);
        if (partial_.size() < frameBytes)
            return 0;
        frames += ConvertFrames(partial_.data(), 1, output);
        partial_.clear();
    }
    const std::size_t whole = input.size() / frameBytes;
    frames += ConvertFrames(input.data(), static_cast<int>(whole), output);
    partial_.assign(input.begin() + whole * frameBytes, input.end());
    return frames;
}

int TFormatConverter::Finish(std::vector<std::uint8_t> &output) {
    if (finished_)
        return 0;
    finished_ = true;
    partial_.clear();
    if (!resampler_)
        return 0;
    resampler_->Finish(resampled_);
    return WriteResampled(output);
}

namespace {

// Frames into fractions of full scale in the mapped channels: two into one by their mean.
template <int Bits, class Value>
void ReadFractions(const std::uint8_t *frames, int count, int channels, int mappedChannels,
                   Value *into) {
    constexpr int kWidth = Bits / 8;
    for (int f = 0; f < count; ++f, frames += channels * kWidth) {
        if (mappedChannels < channels) {
            const double sum =
                pcmformat::FractionOf(pcm::ReadSampleAs<Bits>(frames), Bits) +
                pcmformat::FractionOf(pcm::ReadSampleAs<Bits>(frames + kWidth), Bits);
            *into++ = static_cast<Value>(sum / 2.0);
            continue;
        }
        for (int c = 0; c < channels; ++c)
            *into++ = static_cast<Value>(
                pcmformat::FractionOf(pcm::ReadSampleAs<Bits>(frames + c * kWidth), Bits));
    }
}

// Fractions in the mapped channels into frames: one into two by copying.
// With noise, each written sample gets its own, copies too.
template <int Bits, class Value>
void WriteFractions(const Value *values, int count, int mappedChannels, int channels,
                    TTpdfNoise *noise, std::uint8_t *out) {
    constexpr int kWidth = Bits / 8;
    constexpr double kStep = 1.0 / pcmformat::FullScale(Bits);
    for (int f = 0; f < count; ++f, values += mappedChannels) {
        for (int c = 0; c < channels; ++c, out += kWidth) {
            double value = values[std::min(c, mappedChannels - 1)];
            if (noise)
                value += noise->Next() * kStep;
            pcm::WriteSampleAs<Bits>(out, pcmformat::SampleFor(value, Bits));
        }
    }
}

template <class Value>
void ReadFractionsOf(int bits, const std::uint8_t *frames, int count, int channels,
                     int mappedChannels, Value *into) {
    switch (bits) {
    case 8:
        return ReadFractions<8>(frames, count, channels, mappedChannels, into);
    case 16:
        return ReadFractions<16>(frames, count, channels, mappedChannels, into);
    case 24:
        return ReadFractions<24>(frames, count, channels, mappedChannels, into);
    default:
        return ReadFractions<32>(frames, count, channels, mappedChannels, into);
    }
}

template <class Value>
void WriteFractionsOf(int bits, const Value *values, int count, int mappedChannels, int channels,
                      TTpdfNoise *noise, std::uint8_t *out) {
    switch (bits) {
    case 8:
        return WriteFractions<8>(values, count, mappedChannels, channels, noise, out);
    case 16:
        return WriteFractions<16>(values, count, mappedChannels, channels, noise, out);
    case 24:
        return WriteFractions<24>(values, count, mappedChannels, channels, noise, out);
    default:
        return WriteFractions<32>(values, count, mappedChannels, channels, noise, out);
    }
}

// Appends room for count frames of the format; answers where it starts.
std::uint8_t *GrowBy(std::vector<std::uint8_t> &output, int count, const TPcmFormat &format) {
    const std::size_t start = output.size();
    output.resize(start + static_cast<std::size_t>(count) * format.FrameBytes());
    return output.data() + start;
}

} // namespace

bool TFormatConverter::Dithers() const {
    const bool averages = from_.Channels > to_.Channels && to_.BitsPerSample <= from_.BitsPerSample;
    return dither_ && (resampler_ || to_.BitsPerSample < from_.BitsPerSample || averages);
}

int TFormatConverter::PrimerFrames() const {
    return resampler_ ? resampler_->PrimerFrames() : 0;
}

// Without a rate change every output frame depends on its own input frame alone.
void TFormatConverter::Prime(std::span<const std::uint8_t> frames) {
    const auto frameBytes = static_cast<std::size_t>(from_.FrameBytes());
    const std::size_t count =
        std::min(frames.size() / frameBytes, static_cast<std::size_t>(PrimerFrames()));
    if (count == 0)
        return;
    const std::uint8_t *newest = frames.data() + (frames.size() - count * frameBytes);
    mapped_.resize(count * static_cast<std::size_t>(MappedChannels()));
    ReadFractionsOf(from_.BitsPerSample, newest, static_cast<int>(count), from_.Channels,
                    MappedChannels(), mapped_.data());
    resampler_->Prime(mapped_);
}

int TFormatConverter::MappedChannels() const {
    return std::min(from_.Channels, to_.Channels);
}

// Without a rate change the fractions stay in double, where every width's values are exact.
int TFormatConverter::ConvertFrames(const std::uint8_t *frames, int count,
                                    std::vector<std::uint8_t> &output) {
    const auto values = static_cast<std::size_t>(count) * MappedChannels();
    if (resampler_) {
        mapped_.resize(values);
        ReadFractionsOf(from_.BitsPerSample, frames, count, from_.Channels, MappedChannels(),
                        mapped_.data());
        resampler_->Push(mapped_, resampled_);
        return WriteResampled(output);
    }
    exact_.resize(values);
    ReadFractionsOf(from_.BitsPerSample, frames, count, from_.Channels, MappedChannels(),
                    exact_.data());
    WriteFractionsOf(to_.BitsPerSample, exact_.data(), count, MappedChannels(), to_.Channels,
                     Dithers() ? &noise_ : nullptr, GrowBy(output, count, to_));
    return count;
}

int TFormatConverter::WriteResampled(std::vector<std::uint8_t> &output) {
    const int count = static_cast<int>(resampled_.size() / MappedChannels());
    WriteFractionsOf(to_.BitsPerSample, resampled_.data(), count, MappedChannels(), to_.Channels,
                     Dithers() ? &noise_ : nullptr, GrowBy(output, count, to_));
    resampled_.clear();
    return count;
}
