// The outgoing track's tail in the incoming track's format: a fade-out source that reads the
// outgoing decoder and hands the mixer converted frames, so that tracks of different rates,
// widths or channel counts can still crossfade. The incoming track is never touched.
// Pure code over buffers.
#pragma once

#include "CrossfadeMixer.h"
#include "FormatConverter.h"

#include <memory>

// The format a fade-out source delivers.
TPcmFormat FormatOf(const TFadeOutSource &source);

// Whether the source's frames can be converted into the format.
bool CanConvertFadeOut(const TFadeOutSource &source, const TPcmFormat &to);

// The source delivering the given format: itself when it already does or cannot be converted
// (the mixer then ends the fade as at any change of format), else wrapped in a converter. The
// wrapper owns the source and closes it. Never throws: without memory the source stays as it is.
std::unique_ptr<TFadeOutSource> ConvertFadeOut(std::unique_ptr<TFadeOutSource> source,
                                               const TPcmFormat &to) noexcept;

// The converting source. It reads the outgoing decoder a block at a time and keeps what the
// mixer has not asked for yet; at the decoder's end the resampler's last frames follow.
class TConvertingFadeOutSource final : public TFadeOutSource {
  public:
    // Buffers for blocks of sourceBlockBytes of the converter's input; may throw.
    TConvertingFadeOutSource(std::unique_ptr<TFormatConverter> converter, int sourceBlockBytes);
    // Takes the outgoing track over; from here on the wrapper answers for closing it.
    void Adopt(std::unique_ptr<TFadeOutSource> source) noexcept;

    // Whole frames of the new format, up to length bytes; 0 once the outgoing track and the
    // resampler are both dry.
    int GetData(std::uint8_t *destination, int length) override;
    void Close() noexcept override;

  private:
    std::size_t Available() const { return converted_.size() - consumed_; }
    // Reads one block of the outgoing track and appends it converted; at its end, Finish's frames.
    void Refill();

    std::unique_ptr<TFadeOutSource> source_;
    std::unique_ptr<TFormatConverter> converter_;
    std::vector<std::uint8_t> read_;      // one block of the outgoing track
    std::vector<std::uint8_t> converted_; // frames of the new format, from consumed_ on unread
    std::size_t consumed_ = 0;
    bool dry_ = false; // the outgoing track ended and the converter finished
};
