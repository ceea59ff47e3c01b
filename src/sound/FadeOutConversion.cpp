#include "FadeOutConversion.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

TPcmFormat FormatOf(const TFadeOutSource &source) {
    return {source.BitsPerSample, source.Channels, source.SampleRate};
}

bool CanConvertFadeOut(const TFadeOutSource &source, const TPcmFormat &to) {
    return TFormatConverter::CanConvert(FormatOf(source), to);
}

std::unique_ptr<TFadeOutSource> ConvertFadeOut(std::unique_ptr<TFadeOutSource> source,
                                               const TPcmFormat &to,
                                               std::span<const std::uint8_t> primer) noexcept {
    if (!source || FormatOf(*source) == to || !CanConvertFadeOut(*source, to))
        return source;
    try {
        auto converter = TFormatConverter::Create(FormatOf(*source), to);
        if (!converter)
            return source;
        converter->SetDither(true);
        converter->Prime(primer);
        auto wrapper =
            std::make_unique<TConvertingFadeOutSource>(std::move(converter), source->BlockBytes);
        wrapper->Adopt(std::move(source));
        return wrapper;
    } catch (const std::exception &) {
        return source; // nothing was taken from it
    }
}

int FadeOutPrimerFrames(const TPcmFormat &from, const TPcmFormat &to) {
    if (from.SampleRate == to.SampleRate || !TFormatConverter::CanConvert(from, to))
        return 0;
    return TResampler::PrimerFramesFor(from.SampleRate, to.SampleRate);
}

void TRecentFrames::Reset(int frameBytes) {
    room_.assign(static_cast<std::size_t>(TResampler::MaxPrimerFrames()) *
                     static_cast<std::size_t>(std::max(frameBytes, 0)),
                 0);
    kept_ = 0;
}

void TRecentFrames::Keep(const std::uint8_t *frames, int bytes) {
    const std::size_t room = room_.size();
    const std::size_t added = std::min(static_cast<std::size_t>(std::max(bytes, 0)), room);
    if (added == 0)
        return;
    const std::size_t staying = std::min(kept_, room - added);
    std::memmove(room_.data() + (room - added - staying), room_.data() + (room - staying), staying);
    std::memcpy(room_.data() + (room - added), frames + (bytes - added), added);
    kept_ = staying + added;
}

std::span<const std::uint8_t> TRecentFrames::Frames() const {
    return std::span(room_).last(kept_);
}

TConvertingFadeOutSource::TConvertingFadeOutSource(std::unique_ptr<TFormatConverter> converter,
                                                   int sourceBlockBytes)
    : converter_(std::move(converter)) {
    if (!converter_)
        throw std::invalid_argument("fade-out conversion without a converter");
    const TPcmFormat &from = converter_->From();
    const TPcmFormat &to = converter_->To();
    const int blockFrames = std::max(sourceBlockBytes / from.FrameBytes(), 1);
    // As long as a block of the outgoing track lasts, so the old blocks keep their rhythm.
    const auto blockOut = static_cast<int>(std::clamp<std::int64_t>(
        converter_->OutputFramesFor(blockFrames), 1, std::int64_t{1} << 20));
    BitsPerSample = to.BitsPerSample;
    Channels = to.Channels;
    SampleRate = to.SampleRate;
    BlockBytes = blockOut * to.FrameBytes();
    // Room for reads of a block (and a decoder that writes beyond it), for what is left of one
    // block asked for and for one block converted: the fade itself allocates nothing.
    read_.resize(static_cast<std::size_t>(blockFrames) * from.FrameBytes() * 2);
    const int convertedFrames = converter_->Reserve(blockFrames);
    converted_.reserve(static_cast<std::size_t>(BlockBytes) +
                       static_cast<std::size_t>(convertedFrames) * to.FrameBytes());
}

void TConvertingFadeOutSource::Adopt(std::unique_ptr<TFadeOutSource> source) noexcept {
    source_ = std::move(source);
    if (!source_)
        return;
    RemainingMs = source_->RemainingMs;
    const int frameBytes = converter_->From().FrameBytes();
    SizeBytes = converter_->OutputFramesFor(source_->SizeBytes / frameBytes) *
                converter_->To().FrameBytes();
}

int TConvertingFadeOutSource::GetData(std::uint8_t *destination, int length) {
    const int frameBytes = converter_->To().FrameBytes();
    const auto wanted = static_cast<std::size_t>(std::max(length, 0) / frameBytes * frameBytes);
    while (Available() < wanted && !dry_)
        Refill();
    const std::size_t bytes = std::min(wanted, Available());
    if (bytes == 0)
        return 0;
    std::memcpy(destination, converted_.data() + consumed_, bytes);
    consumed_ += bytes;
    return static_cast<int>(bytes);
}

void TConvertingFadeOutSource::Refill() {
    // The frames already handed out make room at the front.
    converted_.erase(converted_.begin(),
                     converted_.begin() + static_cast<std::ptrdiff_t>(consumed_));
    consumed_ = 0;
    const int blockBytes = static_cast<int>(read_.size() / 2);
    readAny_ = true;
    const int bytes = source_ ? source_->GetData(read_.data(), blockBytes) : 0;
    if (bytes < 1) {
        converter_->Finish(converted_);
        dry_ = true;
        return;
    }
    // A decoder may write more than it was asked for; only what was asked for counts.
    converter_->Convert(
        std::span(read_.data(), static_cast<std::size_t>(std::min(bytes, blockBytes))), converted_);
}

std::unique_ptr<TFadeOutSource> TConvertingFadeOutSource::TakeUnread() noexcept {
    if (readAny_)
        return nullptr;
    return std::move(source_);
}

void TConvertingFadeOutSource::Close() noexcept {
    if (source_)
        source_->Close();
}
