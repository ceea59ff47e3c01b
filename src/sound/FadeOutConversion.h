// The outgoing track's tail in the incoming track's format: a fade-out source that reads the
// outgoing decoder and hands the mixer converted frames, so that tracks of different rates,
// widths or channel counts can still crossfade. The incoming track is never touched.
// Pure code over buffers.
#pragma once

#include "CrossfadeMixer.h"
#include "FormatConverter.h"

#include <memory>
#include <span>
#include <vector>

// The format a fade-out source delivers.
TPcmFormat FormatOf(const TFadeOutSource &source);

// Whether the source's frames can be converted into the format.
bool CanConvertFadeOut(const TFadeOutSource &source, const TPcmFormat &to);

// The source delivering the given format: itself when it already does or cannot be converted
// (the mixer then ends the fade as at any change of format), else wrapped in a converter. The
// wrapper owns the source and closes it. Never throws: without memory the source stays as it is.
//
// The primer: the outgoing track's own frames just before the source's first one (not a mixed
// block), whole frames in the source's format, oldest first. A change of rate reaches back
// FadeOutPrimerFrames of them (at most TResampler::MaxPrimerFrames; earlier ones are ignored);
// without them the tail starts from silence and its first milliseconds ring. They only prime the
// converter: the fade begins with the source's own first frame. Empty when nothing is known; a
// tail that starts at a seek gets its primer by seeking that many frames earlier and reading
// them first.
//
// Where the conversion rounds (fewer bits, another rate, two channels averaged), it is dithered
// with triangular noise of one output step: rounding alone leaves an error that follows the
// signal, heard as distortion in a quiet fading tail, where noise of the same size is not.
std::unique_ptr<TFadeOutSource> ConvertFadeOut(std::unique_ptr<TFadeOutSource> source,
                                               const TPcmFormat &to,
                                               std::span<const std::uint8_t> primer = {}) noexcept;

// Frames before a tail of the format that its conversion into the other reaches back to; 0 when
// it converts without a change of rate, or not at all.
int FadeOutPrimerFrames(const TPcmFormat &from, const TPcmFormat &to);

// The last frames a track decoded, oldest first: the primer of its tail when the tail is handed
// over to a conversion. Sized at the start of a track; keeping frames never allocates.
class TRecentFrames {
  public:
    // Room for the most any conversion reaches back, in frames of this many bytes; empty.
    void Reset(int frameBytes);
    // Forgets what it kept: what comes next does not follow it (a seek).
    void Clear() { kept_ = 0; }
    // Keeps whole frames; the oldest go when room runs out.
    void Keep(const std::uint8_t *frames, int bytes);
    // What it keeps, oldest first.
    std::span<const std::uint8_t> Frames() const;

  private:
    std::vector<std::uint8_t> room_; // the kept bytes at its end
    std::size_t kept_ = 0;
};

// The converting source. It reads the outgoing decoder a block at a time and keeps what the
// mixer has not asked for yet; at the decoder's end the resampler's last frames follow.
class TConvertingFadeOutSource final : public TFadeOutSource {
  public:
    // Buffers for blocks of sourceBlockBytes of the converter's input; may throw.
    TConvertingFadeOutSource(std::unique_ptr<TFormatConverter> converter, int sourceBlockBytes);
    // Takes the outgoing track over; from here on the wrapper answers for closing it.
    void Adopt(std::unique_ptr<TFadeOutSource> source) noexcept;
    // Gives the outgoing track back as it was handed over, when nothing of it was read yet (the
    // fade it was made for never began); null otherwise, the wrapper keeping it.
    std::unique_ptr<TFadeOutSource> TakeUnread() noexcept;

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
    bool readAny_ = false; // the outgoing track was read
};
