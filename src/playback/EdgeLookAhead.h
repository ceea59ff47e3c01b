// What lies at a track's edges, learnt ahead of time: a decoder of its own reads the playing
// track's last seconds, or the next entry's first ones, a slice at a time while the block loop
// waits for room in the output, and a scanner finds where the sound ends (or starts) and where
// the track fades out (or in) by itself. The playing decoder and the output are never touched:
// until the answer is ready (or where the owner refuses another handle or a seek) the transition
// is the plain one.
#pragma once

#include "DecoderUnit.h"
#include "../sound/EndPlan.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class TEdgeLookAhead {
  public:
    // A decoder is opened only while the output holds this much: its open may take as long as
    // any decoder's open does.
    static constexpr int kOpenWhenHeldMs = 600;
    // Reading stops after an eighth of what the output holds (2 to 20 ms), for the next wait:
    // a full output plays on for far longer than that.
    static constexpr int kLeastSliceMs = 2;
    static constexpr int kMostSliceMs = 20;

    // Ready everything a scan needs (outside the block loop: all allocation is here). Nothing is
    // done when no wish asks for it. The end of the playing track, in its known format:
    void PrepareEnd(THookedInPlugin *plugin, const std::wstring &fileName, const TDecoder &playing,
                    int fadeTimeMs, const TLookAheadWishes &wishes, int *killSwitch);
    // The start of the next entry, whose format its open tells.
    void PrepareStart(THookedInPlugin *plugin, const std::wstring &fileName,
                      const TLookAheadWishes &wishes, int *killSwitch);
    // Closes the decoder; an answer stays.
    void Finish() noexcept;
    // Closes the decoder and forgets the answers.
    void Clear() noexcept;
    // A slice of the work, for a moment the block loop would otherwise sleep through.
    void Work(int heldMs);
    bool Wanted() const { return state_ == State::Waiting || state_ == State::Reading; }
    // The answers, once the part is read; none before, or where it could not be read.
    const std::optional<TTrackEnd> &End() const { return end_; }
    const std::optional<TTrackStart> &Start() const { return start_; }

  private:
    enum class State { Off, Waiting, Reading, Done };
    enum class Part { End, Start };
    bool Begin(THookedInPlugin *plugin, const std::wstring &fileName, const TLookAheadWishes &wishes,
               int *killSwitch, Part part);
    bool Open();
    void ReadSlice(double sliceMs);
    bool ReadAll() const;
    void Conclude();

    State state_ = State::Off;
    Part part_ = Part::End;
    THookedInPlugin *plugin_ = nullptr;
    std::wstring fileName_;
    std::string ansiName_; // for a plug-in without the wide open, made before the block loop
    TDecoder decoder_;
    int *killSwitch_ = nullptr;
    TLookAheadWishes wishes_;
    int lengthMs_ = 0;
    int fromMs_ = 0;
    int rate_ = 0, bits_ = 0, channels_ = 0;
    std::int64_t soundStart_ = -1; // the start's first frame of sound, once read
    std::unique_ptr<TTrackEndScanner> scanner_;
    std::vector<std::uint8_t> block_;
    std::optional<TTrackEnd> end_;
    std::optional<TTrackStart> start_;
};
