// One open extended-read decoder of a hooked-in plug-in, with every call into the plug-in
// guarded: a fault or an exception inside it reads as the end of the track, and marks the
// plug-in faulted (see THookedInPlugin::Faulted): none of its decoders calls it again. A decoder
// of the look-ahead answers for itself alone: its fault ends only its own reading, and never
// the track that plays.
#pragma once

#include "../hookedins/HookedInsUnit.h"
#include "../sound/BlockMath.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>

class TDecoder {
  public:
    TDecoder() = default;
    ~TDecoder() { Close(); }
    TDecoder(TDecoder &&other) noexcept { *this = std::move(other); }
    TDecoder &operator=(TDecoder &&other) noexcept;
    TDecoder(const TDecoder &) = delete;
    TDecoder &operator=(const TDecoder &) = delete;

    bool IsOpen() const { return Handle != 0; }
    // Bytes delivered; below 1 at the end, after a read error, a fault or an exception.
    int GetData(std::uint8_t *destination, int length) noexcept;
    // Whole frames only, at most length bytes (at least one frame): a decoder may deliver any
    // byte count, and the bytes of a frame it tore apart are kept and put in front of the next
    // read. Below 1 at the end; a torn frame left at the end is dropped.
    int ReadFrames(std::uint8_t *destination, int length) noexcept;
    enum class SeekResult { Moved, Refused, Failed };
    SeekResult SetTime(int milliseconds) noexcept;
    // Closes the plug-in's handle once; later calls do nothing.
    void Close() noexcept;

    // The kill switch getData is given: another thread sets it to make a blocked read return.
    // Null gives the decoder one of its own that stays 0. Must outlive every read.
    int *KillSwitch = nullptr;
    // A fault inside the plug-in marks the plug-in faulted (false: only this decoder, which then
    // keeps its handle and calls the plug-in no more).
    bool GuardsOwner = true;
    // This decoder met a fault of its plug-in.
    bool Faulted() const { return faulted_; }
    THookedInPlugin *Plugin = nullptr;
    hookedin::ExtendedReadGetDataFn GetDataFn = nullptr;
    hookedin::ExtendedReadSetTimeFn SetTimeFn = nullptr;
    hookedin::ExtendedReadCloseFn CloseFn = nullptr;
    intptr_t Handle = 0;
    int BitsPerSample = 0;
    int Channels = 0;
    int SampleRate = 0;
    std::int64_t SizeBytes = 0; // what open reported; 0 or below = unknown
    int LengthMs = 0;

  private:
    // One guarded call into the decoder's plug-in; false when it faulted now or before.
    template <class F> bool CallDecoder(F &&body) const;

    int killSwitch_ = 0; // for a decoder nobody interrupts
    mutable bool faulted_ = false;
    // The bytes of a frame the last read tore apart; held here, not on the heap, for reads run
    // in the block loop.
    std::array<std::uint8_t, blockmath::kMaxFrameBytes> torn_{};
    int tornBytes_ = 0;
};

struct TDecoderOpenOptions {
    int PresetSize = 0;       // the size variable's value before open
    bool NeedSetTime = false; // refuse plug-ins without setTime
    int KnownLengthMs = 0;    // the plug-in's own length answer, for sizes open cannot tell
    // The file's ANSI name, made beforehand for a plug-in without the wide open (an open in the
    // block loop asks the heap for nothing); null: made here.
    const std::string *AnsiName = nullptr;
    // See TDecoder::GuardsOwner: a look-ahead's open that faults leaves the plug-in as it was.
    bool GuardsOwner = true;
    // Set when the open faulted (with GuardsOwner off).
    bool *Faulted = nullptr;
};

// Opens fileName through plugin's extended read: the wide open when the plug-in has it with
// getData and close, else the narrow one with the ANSI name. The format variables start at 0
// (no wishes). Refuses a failed or faulting open and formats that cannot be played; a size of 0
// or below (unknown, or past 2 GiB) takes the length from KnownLengthMs.
std::optional<TDecoder> OpenDecoder(THookedInPlugin &plugin, const std::wstring &fileName,
                                    const TDecoderOpenOptions &options);

// Whether plugin has an open function the engine can use (with getData and close).
bool HasUsableOpen(const THookedInPlugin &plugin, bool needSetTime);
