#include "DecoderUnit.h"

#include "../hostlink/FaultGuard.h"
#include "../hostlink/TextConvert.h"
#include "../sound/BlockMath.h"

#include <algorithm>
#include <utility>

TDecoder &TDecoder::operator=(TDecoder &&other) noexcept {
    if (this != &other) {
        Close();
        KillSwitch = other.KillSwitch;
        GuardsOwner = other.GuardsOwner;
        faulted_ = std::exchange(other.faulted_, false);
        Plugin = other.Plugin;
        GetDataFn = other.GetDataFn;
        SetTimeFn = other.SetTimeFn;
        CloseFn = other.CloseFn;
        Handle = other.Handle;
        BitsPerSample = other.BitsPerSample;
        Channels = other.Channels;
        SampleRate = other.SampleRate;
        SizeBytes = other.SizeBytes;
        LengthMs = other.LengthMs;
        torn_ = other.torn_;
        tornBytes_ = std::exchange(other.tornBytes_, 0);
        other.Handle = 0;
    }
    return *this;
}

// A decoder without a plug-in (built by hand) is guarded alone, as is one of the look-ahead.
template <class F> bool TDecoder::CallDecoder(F &&body) const {
    if (faulted_)
        return false;
    if (Plugin && GuardsOwner)
        return CallPluginGuarded(*Plugin, std::forward<F>(body));
    if (Plugin && Plugin->IsFaulted())
        return false;
    if (!CallGuarded(std::forward<F>(body)))
        faulted_ = true;
    return !faulted_;
}

int TDecoder::GetData(std::uint8_t *destination, int length) noexcept {
    if (!IsOpen() || !GetDataFn)
        return 0;
    intptr_t bytes = -1;
    try {
        const auto getData = GetDataFn;
        const intptr_t handle = Handle;
        int *killSwitch = KillSwitch ? KillSwitch : &killSwitch_;
        char *target = reinterpret_cast<char *>(destination);
        if (!CallDecoder([&] { bytes = getData(handle, target, length, killSwitch); }))
            bytes = -1;
    } catch (...) {
        bytes = -1;
    }
    // A decoder that claims more than it was asked for is not believed past the request.
    return bytes > length ? length : static_cast<int>(bytes);
}

int TDecoder::ReadFrames(std::uint8_t *destination, int length) noexcept {
    const int frame = blockmath::FrameBytes(BitsPerSample, Channels);
    if (frame <= 0 || frame > blockmath::kMaxFrameBytes || length < frame)
        return GetData(destination, length);
    int held = std::exchange(tornBytes_, 0);
    std::copy_n(torn_.begin(), held, destination);
    // A read that ends inside the first frame is no end of the track: read on.
    while (held < frame) {
        const int bytes = GetData(destination + held, length - held);
        if (bytes < 1)
            return bytes;
        held += bytes;
    }
    const int whole = held - held % frame;
    tornBytes_ = held - whole;
    std::copy_n(destination + whole, tornBytes_, torn_.begin());
    return whole;
}

TDecoder::SeekResult TDecoder::SetTime(int milliseconds) noexcept {
    if (!IsOpen() || !SetTimeFn)
        return SeekResult::Refused;
    int moved = 0;
    try {
        const auto setTime = SetTimeFn;
        const intptr_t handle = Handle;
        if (!CallDecoder([&] { moved = setTime(handle, milliseconds); }))
            return SeekResult::Failed;
    } catch (...) {
        return SeekResult::Failed;
    }
    if (moved == 0)
        return SeekResult::Refused;
    tornBytes_ = 0; // the bytes of before the seek belong nowhere now
    return SeekResult::Moved;
}

void TDecoder::Close() noexcept {
    if (!IsOpen())
        return;
    const intptr_t handle = Handle;
    Handle = 0;
    if (!CloseFn)
        return;
    // A plug-in that faulted (through this decoder or any other) keeps the handle: entering it
    // again could block on a lock it died holding, and the handle's memory is the lesser loss.
    if (faulted_)
        return;
    try {
        const auto close = CloseFn;
        CallDecoder([&] { close(handle); });
    } catch (...) {
    }
}

bool HasUsableOpen(const THookedInPlugin &plugin, bool needSetTime) {
    const bool readAndClose = plugin.ExtendedReadGetData && plugin.ExtendedReadClose &&
                              (!needSetTime || plugin.ExtendedReadSetTime);
    return readAndClose && (plugin.ExtendedReadOpenW || plugin.ExtendedReadOpen);
}

std::optional<TDecoder> OpenDecoder(THookedInPlugin &plugin, const std::wstring &fileName,
                                    const TDecoderOpenOptions &options) {
    if (plugin.IsFaulted() || !HasUsableOpen(plugin, options.NeedSetTime))
        return std::nullopt;
    TDecoder decoder;
    decoder.Plugin = &plugin;
    decoder.GuardsOwner = options.GuardsOwner;
    decoder.GetDataFn = plugin.ExtendedReadGetData;
    decoder.SetTimeFn = plugin.ExtendedReadSetTime;
    decoder.CloseFn = plugin.ExtendedReadClose;

    // Some decoders read the format variables as wishes (one downmixes to mono on finding 1).
    int size = options.PresetSize, bits = 0, channels = 0, rate = 0;
    intptr_t handle = 0;
    try {
        const auto openW = plugin.ExtendedReadOpenW;
        const std::string ansiName =
            openW || options.AnsiName ? std::string() : WideToAnsi(fileName);
        const auto open = plugin.ExtendedReadOpen;
        const wchar_t *wideName = fileName.c_str();
        const char *narrowName = options.AnsiName ? options.AnsiName->c_str() : ansiName.c_str();
        const auto openIt = [&] {
            handle = openW ? openW(wideName, &size, &bits, &channels, &rate)
                           : open(narrowName, &size, &bits, &channels, &rate);
        };
        const bool guarded =
            options.GuardsOwner ? CallPluginGuarded(plugin, openIt) : CallGuarded(openIt);
        if (!guarded) {
            handle = 0;
            if (options.Faulted)
                *options.Faulted = true;
        }
    } catch (...) {
        handle = 0;
    }
    if (handle == 0)
        return std::nullopt;
    decoder.Handle = handle;
    if (!blockmath::IsPlayableFormat(bits, channels, rate))
        return std::nullopt; // the decoder closes its handle on the way out
    decoder.BitsPerSample = bits;
    decoder.Channels = channels;
    decoder.SampleRate = rate;
    decoder.SizeBytes = size;
    decoder.LengthMs = size > 0 ? blockmath::LengthMsFor(size, bits, channels, rate)
                                : (options.KnownLengthMs > 0 ? options.KnownLengthMs : 0);
    return decoder;
}
