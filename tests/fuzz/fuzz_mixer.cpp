// The crossfade mixer fed random formats on both sides, block sizes, fade lengths and old
// tracks that end anywhere: no read or write outside the buffers, no undefined arithmetic, p
// stays a weight, and once the old track is gone the new one passes untouched.
#include "../../src/sound/BlockMath.h"
#include "../../src/sound/CrossfadeMixer.h"
#include "FuzzInput.h"

#include <cmath>
#include <vector>

namespace {

constexpr int kWidths[] = {8, 16, 24, 32};

// An outgoing decoder whose PCM is the fuzzer's bytes, in reads of any size.
class FuzzSource : public TFadeOutSource {
  public:
    FuzzSource(FuzzInput &input, std::span<const std::uint8_t> pcm) : input_(input), pcm_(pcm) {}
    int GetData(std::uint8_t *destination, int length) override {
        FUZZ_CHECK(!closed_);
        const int wanted = std::min(length, input_.TakeInRange(0, length));
        const auto part = pcm_.first(std::min<std::size_t>(wanted, pcm_.size()));
        std::copy(part.begin(), part.end(), destination);
        pcm_ = pcm_.subspan(part.size());
        return static_cast<int>(part.size());
    }
    void Close() noexcept override { closed_ = true; }

  private:
    FuzzInput &input_;
    std::span<const std::uint8_t> pcm_;
    bool closed_ = false;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    FuzzInput input(data, size);
    const int bits = kWidths[input.TakeInRange(0, 3)];
    const int channels = input.TakeInRange(1, 8);
    const int rate = input.TakeInRange(1, 768000);
    const bool sameFormat = input.TakeInRange(0, 3) != 0;
    const int fadeTimeMs = input.Take<std::int32_t>();
    const auto curve = static_cast<TFadeCurve>(input.TakeInRange(0, 2));

    TCrossfadeState state;
    state.SetCurve(curve);
    auto source = std::make_unique<FuzzSource>(input, input.TakeBytes(input.TakeInRange(0, 65536)));
    source->BitsPerSample = sameFormat ? bits : kWidths[input.TakeInRange(0, 3)];
    source->Channels = sameFormat ? channels : input.TakeInRange(1, 8);
    source->SampleRate = sameFormat ? rate : input.TakeInRange(1, 768000);
    source->BlockBytes = input.TakeInRange(0, 1 << 16);
    source->RemainingMs = input.Take<std::int32_t>();
    state.HoldSource(std::move(source));
    state.Armed = true;

    const int frameBytes = blockmath::FrameBytes(bits, channels);
    std::vector<std::uint8_t> buffer;
    for (int block = 0; block < 16 && !input.Empty(); ++block) {
        const int frames = input.TakeInRange(0, 4096);
        buffer.assign(static_cast<std::size_t>(frames) * frameBytes, 0);
        const auto fill = input.TakeBytes(buffer.size());
        std::copy(fill.begin(), fill.end(), buffer.begin());
        const std::vector<std::uint8_t> before = buffer;
        const bool hadOldTrack = state.Source || state.HasBlock;

        FUZZ_CHECK(state.MixingStep(buffer.data(), frames, bits, channels, rate, fadeTimeMs) ==
                   frames);
        FUZZ_CHECK(state.FadePosition >= 0.0 && state.FadePosition <= 1.0);
        if (!hadOldTrack)
            FUZZ_CHECK(buffer == before);
        // Only the equal-power curve sums above full scale.
        if (curve != TFadeCurve::EqualPower)
            FUZZ_CHECK(state.SaturatedSamples == 0);
    }
    state.ReleaseSource();

    const double x = input.TakeInRange(0, 1 << 20) / double(1 << 20);
    const double gain = TCrossfadeState::GainOf(x, curve);
    FUZZ_CHECK(gain >= 0.0 && gain <= 1.0);
    const double other = TCrossfadeState::GainOf(1.0 - x, curve);
    if (curve == TFadeCurve::EqualPower)
        FUZZ_CHECK(std::abs(gain * gain + other * other - 1.0) <= 1e-12);
    else
        FUZZ_CHECK(gain + other <= 1.0 + 1e-12);
    return 0;
}
