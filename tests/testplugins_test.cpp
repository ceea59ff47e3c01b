// The fixtures that the product's tests trust: the synthetic tone, the test input plug-ins (their
// extended read, file information, direct playback and real faults) and the WAV plug-in with its
// reader and writer.
#include "RefHost.h"
#include "support/Library.h"
#include "support/PluginProbe.h"
#include "SynthSignal.h"
#include "TransitionSignal.h"
#include "WavFile.h"

#include <gtest/gtest.h>

#include <cmath>
#include <csetjmp>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <optional>

namespace {

using namespace hostapi;
using refhost::RefHost;
namespace fs = std::filesystem;

// ------------------------------------------------------------------ helpers

using OpenWFn = intptr_t(__cdecl *)(const wchar_t *, int *, int *, int *, int *);
using OpenAFn = intptr_t(__cdecl *)(const char *, int *, int *, int *, int *);
using GetDataFn = intptr_t(__cdecl *)(intptr_t, char *, int, int *);
using SetTimeFn = int(__cdecl *)(intptr_t, int);
using CloseFn = void(__cdecl *)(intptr_t);
using InfoWFn = int(__cdecl *)(const wchar_t *, const char *, wchar_t *, int);
using InfoAFn = int(__cdecl *)(const char *, const char *, char *, int);

std::string Narrow(const std::wstring &text) {
    return std::string(text.begin(), text.end()); // the tests' names are ASCII
}

using support::Library;
using Probe = support::PluginProbe;

// The extended-read exports of a library, opened with the wide name or its ANSI form.
struct Reader {
    explicit Reader(const Library &library)
        : openW(library.Get<OpenWFn>("winampGetExtendedRead_openW")),
          openA(library.Get<OpenAFn>("winampGetExtendedRead_open")),
          getData(library.Get<GetDataFn>("winampGetExtendedRead_getData")),
          setTime(library.Get<SetTimeFn>("winampGetExtendedRead_setTime")),
          close(library.Get<CloseFn>("winampGetExtendedRead_close")) {}
    intptr_t Open(const std::wstring &name, int *size, int *bps, int *nch, int *srate) const {
        if (openW)
            return openW(name.c_str(), size, bps, nch, srate);
        return openA(Narrow(name).c_str(), size, bps, nch, srate);
    }
    // Everything up to the end, asked for in pieces of chunk bytes.
    std::vector<uint8_t> ReadAll(intptr_t handle, int chunk) const {
        std::vector<uint8_t> all;
        std::vector<char> buffer(static_cast<std::size_t>(chunk));
        int kill = 0;
        for (intptr_t got; (got = getData(handle, buffer.data(), chunk, &kill)) > 0;)
            all.insert(all.end(), buffer.begin(), buffer.begin() + got);
        return all;
    }
    OpenWFn openW;
    OpenAFn openA;
    GetDataFn getData;
    SetTimeFn setTime;
    CloseFn close;
};

std::vector<uint8_t> Tone(const SynthFormat &format, int64_t firstFrame = 0, int64_t frames = -1) {
    if (frames < 0)
        frames = SynthTotalFrames(format) - firstFrame;
    std::vector<uint8_t> pcm(static_cast<std::size_t>(frames * SynthFrameBytes(format)));
    SynthPcm(format, firstFrame, frames, pcm.data());
    return pcm;
}

std::vector<uint8_t> ToneOf(const std::wstring &name) {
    return Tone(ParseSynthName(name).value());
}

// A structured exception (an access violation) inside call is caught here and reported, not
// passed on: a vectored handler jumps back to the guarded call site.
thread_local std::jmp_buf *FaultLanding = nullptr;

LONG CALLBACK LandOnFault(EXCEPTION_POINTERS *info) {
    if (FaultLanding && info->ExceptionRecord->ExceptionCode == EXCEPTION_ACCESS_VIOLATION)
        std::longjmp(*FaultLanding, 1);
    return EXCEPTION_CONTINUE_SEARCH;
}

bool Faults(const std::function<void()> &call) {
    std::jmp_buf landing;
    void *handler = AddVectoredExceptionHandler(1, &LandOnFault);
    volatile bool faulted = false;
    if (setjmp(landing) == 0) {
        FaultLanding = &landing;
        call();
    } else {
        faulted = true;
    }
    FaultLanding = nullptr;
    RemoveVectoredExceptionHandler(handler);
    return faulted;
}

// A folder of its own under the temporary folder, removed with the object.
class TempFolder {
  public:
    TempFolder() {
        static int counter = 0;
        path_ = fs::temp_directory_path() / (L"hvq-wav-" + std::to_wstring(GetCurrentProcessId()) +
                                             L"-" + std::to_wstring(counter++));
        fs::create_directories(path_);
    }
    ~TempFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder &) = delete;
    TempFolder &operator=(const TempFolder &) = delete;
    fs::path operator/(const std::wstring &name) const { return path_ / name; }

  private:
    fs::path path_;
};

// True when nobody holds the file open: an exclusive open succeeds only then.
bool NobodyHolds(const fs::path &file) {
    HANDLE handle = CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(handle);
    return true;
}

void WriteBytes(const fs::path &file, const std::vector<uint8_t> &bytes) {
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char *>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

int CountMessages(const RefHost &host, UINT message) {
    int n = 0;
    for (const auto &m : host.Messages())
        n += m.Message == message ? 1 : 0;
    return n;
}

// Every Write took whole frames of the format last opened, and at most 8192 bytes.
void ExpectWholeFrameWrites(const refhost::RecordingOutput &output) {
    int frameBytes = 1;
    for (const auto &call : output.Calls()) {
        if (call.Name == "Open")
            frameBytes = call.Args[1] * (call.Args[2] / 8);
        if (call.Name != "Write")
            continue;
        EXPECT_EQ(call.Args[0] % frameBytes, 0) << call.Args[0];
        EXPECT_LE(call.Args[0], kOutWriteMaxBytes);
    }
}

// ------------------------------------------------------------------ the synthetic tone

TEST(SynthSignal, ParsesTheNameGrammarAndRefusesEverythingElse) {
    const auto plain = ParseSynthName(L"C:\\music\\tone_44100_2_16_3000.syw");
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->Rate, 44100);
    EXPECT_EQ(plain->Channels, 2);
    EXPECT_EQ(plain->Bits, 16);
    EXPECT_EQ(plain->LengthMs, 3000);
    EXPECT_EQ(plain->Seed, 0u);

    const auto marked = ParseSynthName(L"d:/x/tone_48000_1_24_1000_7_crash_data.syf");
    ASSERT_TRUE(marked);
    EXPECT_EQ(marked->Seed, 7u);
    EXPECT_EQ(marked->Bits, 24);
    const auto markedNoSeed = ParseSynthName(L"tone_8000_8_32_0_crash_open.syf");
    ASSERT_TRUE(markedNoSeed);
    EXPECT_EQ(markedNoSeed->Seed, 0u);
    EXPECT_EQ(markedNoSeed->Channels, 8);
    EXPECT_EQ(ParseSynthName(L"tone_768000_1_8_5_4294967295.syw")->Seed, 4294967295u);

    for (const wchar_t *bad :
         {L"tone_0_2_16_100.syw", L"tone_768001_2_16_100.syw", L"tone_44100_0_16_100.syw",
          L"tone_44100_9_16_100.syw", L"tone_44100_2_12_100.syw", L"tone_44100_2_16_-5.syw",
          L"tone_44100_2_16.syw", L"tone_44100_2_16_100", L"song_44100_2_16_100.syw",
          L"tone_44100__2_16_100.syw", L"tone_44100_2_16_1x0.syw",
          L"C:\\tone_44100_2_16_100.syw\\x.syw", L"tone_44100_2_16_100_4294967296.syw", L""})
        EXPECT_FALSE(ParseSynthName(bad)) << Narrow(bad);
}

TEST(SynthSignal, CountsFramesAndBytesTruncated) {
    const SynthFormat format{22050, 3, 24, 333, 0};
    EXPECT_EQ(SynthTotalFrames(format), 7342); // 7342.65
    EXPECT_EQ(SynthTotalBytes(format), 7342 * 9);
    EXPECT_EQ(SynthTotalFrames({44100, 2, 16, 0, 0}), 0);
    EXPECT_EQ(SynthTotalBytes({768000, 8, 32, 3600000, 0}), int64_t{768000} * 3600 * 32);
}

TEST(SynthSignal, EightBitSamplesAreUnsignedBytesOverTheFullRange) {
    const SynthFormat format{8000, 2, 8, 1000, 3};
    const auto pcm = Tone(format);
    ASSERT_EQ(pcm.size(), 16000u);
    int lowest = 255, highest = 0;
    for (uint32_t i = 0; i < pcm.size(); ++i) {
        ASSERT_EQ(pcm[i], SynthSample(i / 2, i % 2, format));
        lowest = std::min<int>(lowest, pcm[i]);
        highest = std::max<int>(highest, pcm[i]);
    }
    EXPECT_LT(lowest, 4);
    EXPECT_GT(highest, 251);
}

TEST(SynthSignal, TwentyFourBitSamplesAreThreeLittleEndianBytesTwosComplement) {
    const SynthFormat format{48000, 2, 24, 100, 9};
    const auto pcm = Tone(format);
    ASSERT_EQ(pcm.size(), 4800u * 6);
    bool negative = false, positive = false;
    for (std::size_t at = 0; at < pcm.size(); at += 3) {
        const int32_t raw = pcm[at] | pcm[at + 1] << 8 | pcm[at + 2] << 16;
        const int32_t value = raw >= 0x800000 ? raw - 0x1000000 : raw;
        const auto sample = static_cast<uint32_t>(at / 3);
        ASSERT_EQ(value, SynthSample(sample / 2, sample % 2, format)) << at;
        negative |= value < -0x700000;
        positive |= value > 0x700000;
    }
    EXPECT_TRUE(negative && positive);
}

TEST(SynthSignal, SixteenAndThirtyTwoBitSamplesAreSignedLittleEndian) {
    const SynthFormat sixteen{44100, 1, 16, 10, 0};
    const auto pcm16 = Tone(sixteen);
    for (uint32_t f = 0; f < 441; ++f)
        ASSERT_EQ(static_cast<int16_t>(pcm16[2 * f] | pcm16[2 * f + 1] << 8),
                  SynthSample(f, 0, sixteen));
    const SynthFormat wide{44100, 1, 32, 10, 0};
    const auto pcm32 = Tone(wide);
    for (uint32_t f = 0; f < 441; ++f) {
        const uint32_t raw = pcm32[4 * f] | pcm32[4 * f + 1] << 8 | pcm32[4 * f + 2] << 16 |
                             static_cast<uint32_t>(pcm32[4 * f + 3]) << 24;
        ASSERT_EQ(static_cast<int32_t>(raw), SynthSample(f, 0, wide));
    }
}

TEST(SynthSignal, AnyShiftOrOtherSeedOrChannelChangesTheBytes) {
    const SynthFormat format{44100, 2, 16, 100, 0};
    const auto whole = Tone(format);
    // A slice starting anywhere is the same bytes as that part of the whole.
    const auto slice = Tone(format, 1234, 500);
    EXPECT_TRUE(std::equal(slice.begin(), slice.end(), whole.begin() + 1234 * 4));
    // Shifted by one byte, one frame, or with another seed: almost nothing lines up.
    auto similarity = [](const std::vector<uint8_t> &a, const std::vector<uint8_t> &b,
                         std::size_t skip) {
        std::size_t same = 0;
        for (std::size_t i = 0; i + skip < a.size() && i < b.size(); ++i)
            same += a[i + skip] == b[i] ? 1 : 0;
        return same * 1.0 / a.size();
    };
    EXPECT_LT(similarity(whole, whole, 1), 0.02);
    EXPECT_LT(similarity(whole, whole, 4), 0.02);
    EXPECT_LT(similarity(whole, Tone(SynthFormat{44100, 2, 16, 100, 1}), 0), 0.02);
    EXPECT_NE(SynthSample(10, 0, format), SynthSample(10, 1, format));
}

// The shape tokens place the silences and fades; a shape that does not fit is refused, and an
// upper-case letter with a number is the only token that shapes.
TEST(SynthSignal, ShapingTokensPlaceSilencesAndFadesInAnyOrder) {
    struct Case {
        const wchar_t *name;
        SynthLayout layout; // sound start, body start, fade-out start, sound end, total
    };
    const Case cases[] = {
        {L"tone_8000_1_16_3000_7.syw", {0, 0, 24000, 24000, 24000}},
        {L"tone_8000_1_16_3000_7_l500_x1.syw", {0, 0, 24000, 24000, 24000}},
        {L"tone_8000_1_16_3000_7_L500_T1000.syw", {4000, 4000, 16000, 16000, 24000}},
        {L"tone_8000_1_16_3000_T1000_F1500_L250_I250.syw", {2000, 4000, 4000, 16000, 24000}},
        {L"tone_8000_1_16_3000_7_crash_data_F1000.syw", {0, 0, 16000, 24000, 24000}},
        {L"tone_8000_1_16_3000_3_L3000.syw", {24000, 24000, 24000, 24000, 24000}},
        {L"tone_44100_2_16_1001_I1_T1.syw", {0, 44, 44100, 44100, 44144}},
    };
    for (const Case &c : cases) {
        const auto format = ParseSynthName(c.name);
        ASSERT_TRUE(format) << Narrow(c.name);
        const SynthLayout got = SynthLayoutOf(*format);
        EXPECT_EQ(std::vector<int64_t>(
                      {got.SoundStart, got.BodyStart, got.FadeOutStart, got.SoundEnd, got.Total}),
                  std::vector<int64_t>({c.layout.SoundStart, c.layout.BodyStart,
                                        c.layout.FadeOutStart, c.layout.SoundEnd, c.layout.Total}))
            << Narrow(c.name);
        EXPECT_EQ(format->Shape.Shaped,
                  std::wstring_view(c.name).find_first_of(L"LTFI") != std::wstring_view::npos)
            << Narrow(c.name);
    }
    for (const wchar_t *bad :
         {L"tone_8000_1_16_3000_7_L2000_T1001.syw", L"tone_8000_1_16_3000_F2000_I1001.syw",
          L"tone_8000_1_16_3000_7_L9999999999.syw", L"tone_8000_1_16_3000_M2900_D101.syw"})
        EXPECT_FALSE(ParseSynthName(bad)) << Narrow(bad);
}

// Silence (at the edges, or M..M+D inside) is digital zero (the middle, 128, for 8-bit samples);
// the fades are straight lines in dB between -60 dB and the body, which sits B dB (6 unless named)
// below the bare hash.
TEST(SynthSignal, ShapedSamplesAreTheBareHashAtTheFramesLevel) {
    const std::wstring name = L"tone_8000_2_16_3000_7_L500_I500_F1000_T500_P123_M1200_D200.syw";
    const SynthFormat shaped = *ParseSynthName(name);
    const SynthFormat bare{8000, 2, 16, 3000, 7};
    const double silence = -std::numeric_limits<double>::infinity();
    const std::pair<uint32_t, double> levels[] = {
        {0, silence},     {3999, silence},  {4000, -66.0},  {6000, -36.0},
        {8000, -6.0},     {12000, -6.0},    {16000, -36.0}, {19999, -6.0 - 60.0 * 7999 / 8000},
        {20000, silence}, {23999, silence}, {9599, -6.0},   {9600, silence},
        {11199, silence}, {11200, -6.0}};
    const auto pcm = Tone(shaped);
    for (const auto &[frame, level] : levels) {
        EXPECT_EQ(SynthLevelDb(frame, shaped), level) << frame;
        for (uint32_t c = 0; c < 2; ++c) {
            const double gain = std::isinf(level) ? 0.0 : std::pow(10.0, level / 20);
            const auto expected =
                static_cast<int16_t>(std::llround(SynthSample(frame + 123, c, bare) * gain));
            EXPECT_EQ(SynthSample(frame, c, shaped), expected) << frame;
            EXPECT_EQ(
                static_cast<int16_t>(pcm[4 * frame + 2 * c] | pcm[4 * frame + 2 * c + 1] << 8),
                expected)
                << frame;
        }
    }
    // The body's peak is the level's: -6 dBFS, or full scale for B0.
    auto peak = [](const SynthFormat &format, int64_t from, int64_t to) {
        int highest = 0;
        for (int64_t f = from; f < to; ++f)
            highest = std::max(highest, std::abs(SynthSample(static_cast<uint32_t>(f), 0, format)));
        return highest;
    };
    EXPECT_NEAR(peak(shaped, 8000, 12000), 16423, 100);
    EXPECT_LE(peak(shaped, 8000, 12000), 16423);
    EXPECT_GT(peak(*ParseSynthName(L"tone_8000_1_16_1000_B0_L1.syw"), 8, 8000), 32700);
    EXPECT_LE(peak(shaped, 19900, 20000), 18); // below -65.2 dBFS, and not yet silence
    EXPECT_GT(peak(shaped, 19900, 20000), 0);
    const SynthFormat eightBit = *ParseSynthName(L"tone_8000_1_8_1000_2_T500.syw");
    EXPECT_EQ(Tone(eightBit, 4000), std::vector<uint8_t>(4000, 128));
}

// Consecutive album tracks are cuts of one piece, so played one after the other they are the
// piece sample for sample.
TEST(SynthSignal, AlbumTracksAreCutsOfOnePiece) {
    const auto names = support::AlbumNames(8000, 2, 16, {1000, 1500, 700}, 5, 3);
    EXPECT_EQ(names,
              (std::vector<std::wstring>{L"C:\\music\\tone_8000_2_16_1000_5_P0_A3_N1.syw",
                                         L"C:\\music\\tone_8000_2_16_1500_5_P8000_A3_N2.syw",
                                         L"C:\\music\\tone_8000_2_16_700_5_P20000_A3_N3.syw"}));
    std::vector<uint8_t> album;
    for (const auto &name : names) {
        const auto track = support::TonePcm(name);
        album.insert(album.end(), track.begin(), track.end());
    }
    const auto piece = support::TonePcm(support::ToneName(8000, 2, 16, 3200, L"syw", 5, L"P0"));
    EXPECT_TRUE(album == piece);
    EXPECT_EQ(ParseSynthName(names[1])->Shape.Album, 3u);
    EXPECT_EQ(ParseSynthName(names[1])->Shape.Track, 2u);
    EXPECT_EQ(support::ToneName(44100, 2, 16, 12000, L"syw", 7, L"L500_T3000_F4000"),
              L"C:\\music\\tone_44100_2_16_12000_7_L500_T3000_F4000.syw");
}

// ------------------------------------------------------------------ extended read

struct Flavour {
    const wchar_t *dll;
    const wchar_t *extension;
    bool ansi;
    bool seeks;
};

std::ostream &operator<<(std::ostream &out, const Flavour &f) {
    return out << Narrow(f.dll);
}

class ExtendedRead : public ::testing::TestWithParam<Flavour> {
  protected:
    std::wstring Name(const std::wstring &stem) const {
        return L"C:\\music\\" + stem + L"." + GetParam().extension;
    }
    Library library{GetParam().dll};
    Reader reader{library};
    Probe probe{library.Handle()};
};

TEST_P(ExtendedRead, HasExactlyTheExportsOfItsFlavour) {
    ASSERT_NE(library.Handle(), nullptr);
    EXPECT_EQ(reader.openW != nullptr, !GetParam().ansi);
    EXPECT_EQ(reader.openA != nullptr, GetParam().ansi);
    EXPECT_EQ(reader.setTime != nullptr, GetParam().seeks);
    EXPECT_NE(reader.getData, nullptr);
    EXPECT_NE(reader.close, nullptr);
    In_Module *module = library.Module();
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(module->version, GetParam().ansi ? 0x100 : 0x0F000100);
    EXPECT_EQ(module->UsesOutputPlug, 1);
    EXPECT_EQ(module->is_seekable, 1);
    EXPECT_STREQ(module->FileExtensions, Narrow(GetParam().extension).c_str());
    EXPECT_NE(module->EQSet, nullptr);
}

TEST_P(ExtendedRead, DeliversTheToneInWholeFramesAndCountsOpensAndCloses) {
    const std::wstring name = Name(L"tone_44100_2_24_250_5");
    int size = 0, bps = 16, nch = 2, srate = 48000; // the caller's wishes
    const intptr_t handle = reader.Open(name, &size, &bps, &nch, &srate);
    ASSERT_NE(handle, 0);
    int wished[3] = {};
    probe.LastWishes(wished[0], wished[1], wished[2]);
    EXPECT_EQ(std::vector<int>(wished, wished + 3), (std::vector<int>{16, 2, 48000}));
    EXPECT_EQ(bps, 24);
    EXPECT_EQ(nch, 2);
    EXPECT_EQ(srate, 44100);
    EXPECT_EQ(size, 11025 * 6);
    EXPECT_EQ(probe.OpenReads(), 1);

    // 1000 bytes is not a whole number of 6-byte frames: 996 come.
    std::vector<char> first(1000);
    int kill = 0;
    EXPECT_EQ(reader.getData(handle, first.data(), 1000, &kill), 996);
    auto all = reader.ReadAll(handle, 4097);
    all.insert(all.begin(), first.begin(), first.begin() + 996);
    EXPECT_EQ(all, ToneOf(name));
    EXPECT_EQ(reader.getData(handle, first.data(), 1000, &kill), 0);

    const intptr_t second = reader.Open(name, &size, &bps, &nch, &srate);
    EXPECT_NE(second, handle);
    EXPECT_EQ(probe.OpenReads(), 2);
    reader.close(handle);
    reader.close(second);
    reader.close(second); // already closed: counted, not touched
    EXPECT_EQ(probe.TotalOpens(), 2);
    EXPECT_EQ(probe.TotalCloses(), 2);
    EXPECT_EQ(probe.OpenReads(), 0);
    EXPECT_EQ(probe.BadCloses(), 1);
    EXPECT_EQ(probe.Count("ExtOpen"), 2);
    EXPECT_EQ(probe.Count("ExtClose"), 3);
    EXPECT_EQ(reader.getData(second, first.data(), 1000, &kill), 0);
}

TEST_P(ExtendedRead, DeliversShapedTracksFromTheStartAndFromWhereItSeeks) {
    const std::wstring name = Name(L"tone_22050_2_16_1000_3_L100_I200_F300_T150");
    const auto shaped = ToneOf(name);
    ASSERT_EQ(shaped.size(), 22050u * 4);
    EXPECT_EQ(std::count(shaped.begin(), shaped.begin() + 2205 * 4, 0), 2205 * 4);
    EXPECT_NE(shaped[2205 * 4 + 1000], 0);
    int size = 0, bps = 0, nch = 0, srate = 0;
    const intptr_t handle = reader.Open(name, &size, &bps, &nch, &srate);
    EXPECT_EQ(reader.ReadAll(handle, 4096), shaped);
    if (GetParam().seeks) { // into the fade-out: 550..850 ms
        EXPECT_EQ(reader.setTime(handle, 700), 1);
        EXPECT_EQ(reader.ReadAll(handle, 4096), support::TonePcm(name, 22050 * 700 / 1000));
    }
    reader.close(handle);
}

TEST_P(ExtendedRead, RefusesNamesOutsideTheGrammar) {
    int size = 7, bps = 0, nch = 0, srate = 0;
    EXPECT_EQ(reader.Open(L"C:\\music\\song.syw", &size, &bps, &nch, &srate), 0);
    EXPECT_EQ(reader.Open(L"", &size, &bps, &nch, &srate), 0);
    EXPECT_EQ(size, 7);
    EXPECT_EQ(probe.TotalOpens(), 0);
    EXPECT_EQ(probe.Count("ExtOpen"), 2);
}

// The flavours that export setTime.
class SeekingRead : public ExtendedRead {};

TEST_P(SeekingRead, SetTimeLandsOnTheFrameOfTheTime) {
    const std::wstring name = Name(L"tone_22050_1_16_1000_3");
    int size = 0, bps = 0, nch = 0, srate = 0;
    const intptr_t handle = reader.Open(name, &size, &bps, &nch, &srate);
    EXPECT_EQ(reader.setTime(handle, 333), 1);
    const auto rest = reader.ReadAll(handle, 2048);
    EXPECT_EQ(rest, Tone(*ParseSynthName(name), 22050 * 333 / 1000)); // frame 7342
    EXPECT_EQ(reader.setTime(handle, 0), 1);
    EXPECT_EQ(reader.ReadAll(handle, 2048), ToneOf(name));
    EXPECT_EQ(reader.setTime(handle, 5000), 1); // past the end: nothing more
    EXPECT_TRUE(reader.ReadAll(handle, 2048).empty());
    reader.close(handle);
    EXPECT_EQ(reader.setTime(handle, 0), 0);
}

// The transition audit asks for its own tone by name, and for opens as slow as a real decoder's.
TEST_P(SeekingRead, DeliversTheAuditsToneAndOpensSlowlyWhenAsked) {
    const std::wstring name = Name(L"tone_22050_1_16_1000_3_audit2");
    int size = 0, bps = 0, nch = 0, srate = 0;
    probe.Set("OpenDelayMs", 120);
    const ULONGLONG before = GetTickCount64();
    const intptr_t handle = reader.Open(name, &size, &bps, &nch, &srate);
    EXPECT_GE(GetTickCount64() - before, 100u);
    probe.Set("OpenDelayMs", 0);
    std::vector<uint8_t> tone(22050 * 2);
    audit::ToneTrack(2, 1.0).Pcm(22050, 1, 16, 0, 22050, tone.data());
    EXPECT_EQ(reader.ReadAll(handle, 2048), tone);
    EXPECT_EQ(reader.setTime(handle, 500), 1);
    EXPECT_EQ(reader.ReadAll(handle, 2048), std::vector<uint8_t>(tone.begin() + 22050, tone.end()));
    reader.close(handle);
}

TEST_P(ExtendedRead, KnobsBendTheReportAndTheDelivery) {
    const std::wstring name = Name(L"tone_8000_2_16_500");
    int size = 0, bps = 0, nch = 0, srate = 0;
    probe.Set("SizeUnknown", 1);
    probe.Set("Channels", 7);
    probe.Set("Bits", 12);
    probe.Set("Rate", 1);
    intptr_t handle = reader.Open(name, &size, &bps, &nch, &srate);
    EXPECT_EQ(std::vector<int>({size, bps, nch, srate}), std::vector<int>({-1, 12, 7, 1}));
    reader.close(handle);
    for (const char *knob : {"SizeUnknown", "Channels", "Bits", "Rate"})
        probe.Set(knob, 0);

    probe.Set("ReadLimit", 100);
    handle = reader.Open(name, &size, &bps, &nch, &srate);
    EXPECT_EQ(size, 16000);
    std::vector<char> buffer(4096);
    int kill = 0;
    EXPECT_EQ(reader.getData(handle, buffer.data(), 4096, &kill), 100);
    probe.Set("ReadLimit", 0);
    probe.Set("EndAfterBytes", 1002); // ends early, on a whole frame
    const auto rest = reader.ReadAll(handle, 4096);
    EXPECT_EQ(rest.size(), 900u);
    probe.Set("EndAfterBytes", 0);
    kill = 1;
    EXPECT_EQ(reader.getData(handle, buffer.data(), 4096, &kill), 0);
    reader.close(handle);
}

const Flavour kWide{L"in_synthw.dll", L"SYW", false, true};
const Flavour kAnsi{L"in_syntha.dll", L"SYA", true, true};
const Flavour kNoSeek{L"in_synthnoseek.dll", L"SYNS", false, false};
const Flavour kFaulty{L"in_faultinfo.dll", L"SYF", false, true};
INSTANTIATE_TEST_SUITE_P(Flavours, ExtendedRead, ::testing::Values(kWide, kAnsi, kNoSeek, kFaulty));
INSTANTIATE_TEST_SUITE_P(Flavours, SeekingRead, ::testing::Values(kWide, kAnsi, kFaulty));

TEST(ExtendedReadless, SynthNxHasNoReadAndNoEqualizer) {
    Library library(L"in_synthnx.dll");
    Reader reader(library);
    EXPECT_EQ(reader.openW, nullptr);
    EXPECT_EQ(reader.openA, nullptr);
    EXPECT_EQ(reader.getData, nullptr);
    EXPECT_EQ(reader.close, nullptr);
    EXPECT_EQ(reader.setTime, nullptr);
    ASSERT_NE(library.Module(), nullptr);
    EXPECT_EQ(library.Module()->EQSet, nullptr);
    EXPECT_NE(library.Get<InfoWFn>("winampGetExtendedFileInfoW"), nullptr);
}

// ------------------------------------------------------------------ file information

TEST(FileInformation, WideAndAnsiAnswerTheFourFields) {
    Library wide(L"in_synthw.dll");
    auto infoW = wide.Get<InfoWFn>("winampGetExtendedFileInfoW");
    ASSERT_NE(infoW, nullptr);
    EXPECT_EQ(wide.Get<InfoAFn>("winampGetExtendedFileInfo"), nullptr);
    const wchar_t *name = L"C:\\music\\tone_44100_2_16_3000.syw";
    const std::map<std::string, std::wstring> expected{{"length", L"3000"},
                                                       {"type", L"0"},
                                                       {"title", L"tone_44100_2_16_3000"},
                                                       {"family", L"Synthetic tone"}};
    for (const auto &[field, value] : expected) {
        wchar_t answer[64] = L"junk";
        EXPECT_EQ(infoW(name, field.c_str(), answer, 64), 1) << field;
        EXPECT_EQ(std::wstring(answer), value) << field;
    }
    wchar_t answer[64] = {};
    EXPECT_EQ(infoW(name, "artist", answer, 64), 0);
    EXPECT_EQ(infoW(L"", "type", answer, 64), 0); // the host's probe at load
    EXPECT_EQ(infoW(L"C:\\music\\song.syw", "length", answer, 64), 0);
    EXPECT_EQ(infoW(name, "title", answer, 5), 1); // cut to fit
    EXPECT_EQ(std::wstring(answer), L"tone");

    Library ansi(L"in_syntha.dll");
    auto infoA = ansi.Get<InfoAFn>("winampGetExtendedFileInfo");
    ASSERT_NE(infoA, nullptr);
    EXPECT_EQ(ansi.Get<InfoWFn>("winampGetExtendedFileInfoW"), nullptr);
    char text[64] = {};
    EXPECT_EQ(infoA("C:\\music\\tone_8000_1_8_1234_9.sya", "length", text, 64), 1);
    EXPECT_STREQ(text, "1234");
    EXPECT_EQ(infoA("C:\\music\\tone_8000_1_8_1234_9.sya", "title", text, 64), 1);
    EXPECT_STREQ(text, "tone_8000_1_8_1234_9");
    EXPECT_EQ(infoA("", "type", text, 64), 0);
    EXPECT_EQ(Probe(ansi.Handle()).Count("GetExtendedFileInfo"), 3);
}

// A and N tag a track with its album and place; without them the album fields are unknown.
TEST(FileInformation, AlbumTracksAnswerAlbumArtistsAndTrackWideAndAnsi) {
    Library wide(L"in_synthw.dll");
    Library ansi(L"in_syntha.dll");
    const auto infoW = wide.Get<InfoWFn>("winampGetExtendedFileInfoW");
    const auto infoA = ansi.Get<InfoAFn>("winampGetExtendedFileInfo");
    ASSERT_TRUE(infoW && infoA);
    const std::wstring track = L"C:\\music\\tone_8000_1_16_1000_5_P8000_A12_N2.";
    const std::map<std::string, std::wstring> expected{{"album", L"Album 12"},
                                                       {"ALBUMARTIST", L"Synth Artist"},
                                                       {"artist", L"Synth Artist"},
                                                       {"track", L"2"}};
    for (const auto &[field, value] : expected) {
        wchar_t answer[64] = {};
        EXPECT_EQ(infoW((track + L"syw").c_str(), field.c_str(), answer, 64), 1) << field;
        EXPECT_EQ(std::wstring(answer), value) << field;
        char text[64] = {};
        EXPECT_EQ(infoA(Narrow(track + L"sya").c_str(), field.c_str(), text, 64), 1) << field;
        EXPECT_EQ(std::string(text), Narrow(value)) << field;
        EXPECT_EQ(infoW(L"C:\\music\\tone_8000_1_16_1000_5_L10.syw", field.c_str(), answer, 64), 0)
            << field;
    }
    wchar_t answer[64] = {};
    EXPECT_EQ(infoW(L"C:\\music\\tone_8000_1_16_1000_N4.syw", "album", answer, 64), 0);
    EXPECT_EQ(infoW(L"C:\\music\\tone_8000_1_16_1000_N4.syw", "track", answer, 64), 1);
    EXPECT_EQ(std::wstring(answer), L"4");
}

TEST(FileInformation, GetFileInfoGivesTitleAndLengthAndToleratesNullOutputs) {
    Library library(L"in_synthw.dll");
    In_Module *module = library.Module();
    std::vector<wchar_t> title(kTitleLength, L'x');
    int length = 0;
    module->GetFileInfo(L"C:\\m\\tone_8000_1_16_1234.syw", title.data(), &length);
    EXPECT_EQ(std::wstring(title.data()), L"tone_8000_1_16_1234");
    EXPECT_EQ(length, 1234);
    module->GetFileInfo(L"C:\\m\\song.syw", title.data(), &length);
    EXPECT_EQ(std::wstring(title.data()), L"");
    EXPECT_EQ(length, -1);
    module->GetFileInfo(L"C:\\m\\tone_8000_1_16_1234.syw", nullptr, &length);
    module->GetFileInfo(L"C:\\m\\tone_8000_1_16_1234.syw", title.data(), nullptr);
    module->GetFileInfo(nullptr, nullptr, nullptr);
    EXPECT_EQ(module->InfoBox(L"C:\\m\\tone_8000_1_16_1234.syw", nullptr), kInfoBoxUnchanged);
    EXPECT_EQ(module->IsOurFile(L"C:\\m\\tone_8000_1_16_1234.syw"), 0); // claimed by extension

    Probe probe(library.Handle());
    probe.Set("IsOurFile", 1);
    EXPECT_EQ(module->IsOurFile(L"anything"), 1);
    EXPECT_EQ(probe.Count("GetFileInfo"), 5);
    EXPECT_NE(probe.Log().find("GetFileInfo(C:\\m\\song.syw)\n"), std::string::npos);
}

// ------------------------------------------------------------------ real faults

class FaultInfo : public ::testing::Test {
  protected:
    Library library{L"in_faultinfo.dll"};
    Reader reader{library};
    Probe probe{library.Handle()};
    int size = 0, bps = 0, nch = 0, srate = 0;
    int kill = 0;
    char buffer[256] = {};
};

TEST_F(FaultInfo, GetFileInfoAlwaysFaults) {
    int length = 0;
    wchar_t title[kTitleLength] = {};
    In_Module *module = library.Module();
    EXPECT_TRUE(
        Faults([&] { module->GetFileInfo(L"C:\\m\\tone_8000_1_16_100.syf", title, &length); }));
    EXPECT_TRUE(Faults([&] { module->GetFileInfo(nullptr, title, &length); }));
    EXPECT_EQ(probe.Count("GetFileInfo"), 2);
}

TEST_F(FaultInfo, EachMarkerFaultsItsOwnCallAndNothingElse) {
    EXPECT_TRUE(Faults([&] {
        reader.Open(L"C:\\m\\tone_8000_1_16_100_crash_open.syf", &size, &bps, &nch, &srate);
    }));
    EXPECT_EQ(probe.TotalOpens(), 0);

    const intptr_t data =
        reader.Open(L"C:\\m\\tone_8000_1_16_100_1_crash_data.syf", &size, &bps, &nch, &srate);
    ASSERT_NE(data, 0);
    EXPECT_TRUE(Faults([&] { reader.getData(data, buffer, 256, &kill); }));
    EXPECT_FALSE(Faults([&] { EXPECT_EQ(reader.setTime(data, 50), 1); }));

    // The plug-in kept no lock across the fault: another read works as before.
    const std::wstring clean = L"C:\\m\\tone_8000_1_16_100_2.syf";
    const intptr_t other = reader.Open(clean, &size, &bps, &nch, &srate);
    EXPECT_EQ(reader.ReadAll(other, 256), ToneOf(clean));

    const intptr_t seek =
        reader.Open(L"C:\\m\\tone_8000_1_16_100_crash_seek.syf", &size, &bps, &nch, &srate);
    EXPECT_TRUE(Faults([&] { reader.setTime(seek, 50); }));
    EXPECT_GT(reader.getData(seek, buffer, 256, &kill), 0);

    const intptr_t close =
        reader.Open(L"C:\\m\\tone_8000_1_16_100_crash_close.syf", &size, &bps, &nch, &srate);
    EXPECT_TRUE(Faults([&] { reader.close(close); }));
    EXPECT_FALSE(Faults([&] {
        reader.close(data);
        reader.close(other);
        reader.close(seek);
    }));
    EXPECT_EQ(probe.TotalOpens(), 4);
    EXPECT_EQ(probe.TotalCloses(), 3);
    EXPECT_EQ(probe.OpenReads(), 1); // the one whose close faulted
    EXPECT_EQ(probe.BadCloses(), 0);

    auto info = library.Get<InfoWFn>("winampGetExtendedFileInfoW");
    wchar_t answer[32] = {};
    EXPECT_TRUE(
        Faults([&] { info(L"C:\\m\\tone_8000_1_16_100_crash_info.syf", "length", answer, 32); }));
    EXPECT_FALSE(Faults(
        [&] { EXPECT_EQ(info(L"C:\\m\\tone_8000_1_16_100.syf", "length", answer, 32), 1); }));
    EXPECT_EQ(std::wstring(answer), L"100");
}

// ------------------------------------------------------------------ broken libraries

TEST(BrokenPlugins, EachIsBrokenInItsOwnWayAndStillCountsCalls) {
    Library noExport(L"in_noexport.dll");
    ASSERT_NE(noExport.Handle(), nullptr);
    EXPECT_EQ(noExport.Get<WinampGetInModule2Fn>("winampGetInModule2"), nullptr);
    EXPECT_NE(noExport.Get<void *>("TestPlugin_Count"), nullptr);

    Library nullRecord(L"in_nullrec.dll");
    ASSERT_NE(nullRecord.Get<WinampGetInModule2Fn>("winampGetInModule2"), nullptr);
    EXPECT_EQ(nullRecord.Module(), nullptr);
    EXPECT_EQ(Probe(nullRecord.Handle()).Count("winampGetInModule2"), 1);

    Library badExtensions(L"in_badext.dll");
    In_Module *module = badExtensions.Module();
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(module->version, 0x0F000100);
    EXPECT_EQ(module->FileExtensions, reinterpret_cast<char *>(0x10));
    const char *volatile extensions = module->FileExtensions;
    EXPECT_TRUE(Faults([&] { [[maybe_unused]] volatile char first = extensions[0]; }));
}

TEST(BrokenPlugins, TheHostSkipsTheLibrariesWithoutARecord) {
    RefHost host;
    for (const wchar_t *dll : {L"in_noexport.dll", L"in_nullrec.dll", L"in_synthw.dll"})
        host.InstallPlugin(dll);
    host.Start();
    ASSERT_NE(host.Plugin(L"in_noexport.dll"), nullptr); // stays loaded, ignored
    EXPECT_EQ(host.Plugin(L"in_noexport.dll")->Module, nullptr);
    EXPECT_EQ(host.Plugin(L"in_nullrec.dll"), nullptr); // released
    ASSERT_NE(host.Plugin(L"in_synthw.dll"), nullptr);
    EXPECT_EQ(host.TypeProbes()[L"in_synthw.dll"], "W:0:;"); // the empty-name probe answers 0
}

// ------------------------------------------------------------------ direct playback

struct PlayCase {
    const wchar_t *dll;
    const wchar_t *extension;
};

std::ostream &operator<<(std::ostream &out, const PlayCase &c) {
    return out << Narrow(c.dll);
}

class DirectPlay : public ::testing::TestWithParam<PlayCase> {
  protected:
    void SetUp() override {
        host.InstallPlugin(GetParam().dll);
        host.Start();
    }
    std::wstring Name(const std::wstring &stem) const {
        return L"C:\\music\\" + stem + L"." + GetParam().extension;
    }
    Probe HostProbe() { return Probe(host.Plugin(GetParam().dll)->Library); }
    // Plays the entry and waits until the host has stopped (playlist ended).
    void PlayToTheEnd(int index = 0) {
        ASSERT_EQ(host.StartPlaying(index), 0);
        ASSERT_TRUE(host.WaitUntil([&] { return !host.IsPlaying(); }, 20000));
    }
    RefHost host;
};

TEST_P(DirectPlay, PlaysThePlaylistToItsEndSampleExact) {
    const std::wstring a = Name(L"tone_44100_2_16_300_1");
    const std::wstring b = Name(L"tone_22050_1_8_200_2");
    host.SetPlaylist({a, b});
    host.SetVolume(123);
    host.SetPan(-20);
    PlayToTheEnd();

    auto expected = ToneOf(a);
    const auto second = ToneOf(b);
    expected.insert(expected.end(), second.begin(), second.end());
    const auto pcm = host.Output().Pcm();
    ASSERT_EQ(pcm.size(), expected.size());
    EXPECT_TRUE(pcm == expected);
    EXPECT_EQ(CountMessages(host, WM_WA_MPEG_EOF), 2);
    EXPECT_EQ(host.Output().Volume(), 123);
    EXPECT_EQ(host.Output().Pan(), -20);
    EXPECT_FALSE(host.Output().IsOpen());

    std::vector<std::vector<int>> opens;
    for (const auto &call : host.Output().Calls()) {
        if (call.Name == "Open")
            opens.push_back(call.Args);
    }
    EXPECT_EQ(opens,
              (std::vector<std::vector<int>>{{44100, 2, 16, -1, -1}, {22050, 1, 8, -1, -1}}));
    EXPECT_EQ(host.Output().CountOf("Close"), 2);
    ExpectWholeFrameWrites(host.Output());
    EXPECT_EQ(host.ServiceCount("SAVSAInit"), 2);
    EXPECT_EQ(host.ServiceCount("SAVSADeInit"), 2);
    EXPECT_EQ(host.ServiceCount("VSASetInfo"), 2);
    EXPECT_EQ(host.ServiceCalls().front().Name, "SetInfo");
    EXPECT_EQ(host.ServiceCalls().front().Args, (std::vector<int>{1411, 44, 2, 1}));
    EXPECT_EQ(host.LastTitle(), L"tone_22050_1_8_200_2");

    const Probe probe = HostProbe();
    EXPECT_EQ(probe.Count("Play"), 2);
    EXPECT_EQ(probe.Count("Stop"), 2);
    EXPECT_NE(probe.Log().find("Play(" + Narrow(a) + ")\nGetOutputTime()"), std::string::npos);
}

TEST_P(DirectPlay, SeeksByFlushingAndGoingOnFromTheFrameOfTheTime) {
    host.UseOutput(std::make_unique<refhost::RecordingOutput>(1.0, 300));
    // Shaped: the jump lands in the track's own fade-out (800..1400 ms).
    const std::wstring name = Name(L"tone_32000_2_16_1500_4_L200_F600_T100");
    host.SetPlaylist({name});
    ASSERT_EQ(host.StartPlaying(0), 0);
    ASSERT_TRUE(host.WaitUntil([&] { return !host.Output().Pcm().empty(); }));
    EXPECT_EQ(host.JumpToTime(1000), 0);
    ASSERT_TRUE(host.WaitUntil([&] { return !host.IsPlaying(); }, 20000));

    // What was written before the flush is the start of the tone; after it, the tone from 1 s on.
    EXPECT_EQ(host.Output().CountOf("Flush"), 1);
    for (const auto &call : host.Output().Calls()) {
        if (call.Name == "Flush") {
            EXPECT_EQ(call.Args[0], 1000);
        }
    }
    const auto pcm = host.Output().Pcm();
    const auto whole = ToneOf(name);
    const auto tail = Tone(*ParseSynthName(name), 32000);
    ASSERT_GE(pcm.size(), tail.size());
    const std::size_t before = pcm.size() - tail.size();
    EXPECT_GT(before, 0u);
    EXPECT_TRUE(std::equal(pcm.begin(), pcm.begin() + before, whole.begin()));
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), pcm.begin() + before));
    EXPECT_EQ(HostProbe().Count("SetOutputTime"), 1);
}

TEST_P(DirectPlay, PauseHoldsTheWriterUntilResumed) {
    host.UseOutput(std::make_unique<refhost::RecordingOutput>(1.0, 200));
    const std::wstring name = Name(L"tone_8000_1_16_800");
    host.SetPlaylist({name});
    ASSERT_EQ(host.StartPlaying(0), 0);
    ASSERT_TRUE(host.WaitUntil([&] { return !host.Output().Pcm().empty(); }));
    EXPECT_EQ(host.ActiveModule()->GetLength(), 800);
    host.PressPause();
    EXPECT_EQ(host.ActiveModule()->IsPaused(), 1);
    EXPECT_EQ(host.Output().CallNames().back(), "Pause");
    // A held writer does not even ask the output whether it has room.
    const int asked = host.Output().CountOf("CanWrite") + host.Output().CountOf("IsPlaying");
    const std::size_t held = host.Output().Pcm().size();
    host.Pump(400);
    EXPECT_EQ(host.Output().CountOf("CanWrite") + host.Output().CountOf("IsPlaying"), asked);
    EXPECT_EQ(host.Output().Pcm().size(), held);
    EXPECT_EQ(CountMessages(host, WM_WA_MPEG_EOF), 0);
    host.PressPause();
    EXPECT_EQ(host.ActiveModule()->IsPaused(), 0);
    ASSERT_TRUE(host.WaitUntil([&] { return !host.IsPlaying(); }, 20000));
    EXPECT_TRUE(host.Output().Pcm() == ToneOf(name));
    EXPECT_EQ(HostProbe().Count("Pause"), 1);
    EXPECT_EQ(HostProbe().Count("UnPause"), 1);
}

TEST_P(DirectPlay, StopEndsTheWriterClosesTheOutputAndTellsTheHostNothing) {
    host.UseOutput(std::make_unique<refhost::RecordingOutput>(1.0, 200));
    host.SetPlaylist({Name(L"tone_8000_2_16_5000")});
    ASSERT_EQ(host.StartPlaying(0), 0);
    ASSERT_TRUE(host.WaitUntil([&] { return !host.Output().Pcm().empty(); }));
    host.PressStop();
    EXPECT_EQ(host.Output().CallNames().back(), "Close");
    const auto calls = host.Output().Calls().size();
    host.Pump(200);
    EXPECT_EQ(host.Output().Calls().size(), calls);
    EXPECT_EQ(CountMessages(host, WM_WA_MPEG_EOF), 0);
    EXPECT_EQ(host.ActiveModule(), nullptr);
}

TEST_P(DirectPlay, FailuresAnswerTheirCodesAndOpenNothingForLong) {
    host.SetPlaylist({Name(L"song"), Name(L"tone_8000_1_16_100")});
    EXPECT_EQ(host.StartPlaying(0), -1); // not a tone
    HostProbe().Set("PlayResult", 5);
    EXPECT_EQ(host.StartPlaying(1), 5);
    HostProbe().Set("PlayResult", 0);
    host.Output().SetOpenAnswer(-1);
    EXPECT_EQ(host.StartPlaying(1), 1); // the output refused the format
    host.Pump(100);
    EXPECT_EQ(host.Output().CountOf("Write"), 0);
    EXPECT_EQ(host.Output().CountOf("Open"), 1);
    EXPECT_EQ(HostProbe().Count("Play"), 3);
}

INSTANTIATE_TEST_SUITE_P(Plugins, DirectPlay,
                         ::testing::Values(PlayCase{L"in_synthw.dll", L"syw"},
                                           PlayCase{L"in_syntha.dll", L"sya"},
                                           PlayCase{L"in_synthnx.dll", L"synx"}));

TEST(StreamPlugin, ClaimsAddressesPlaysTheirLengthAndKnowsNoLength) {
    RefHost host;
    host.InstallPlugin(L"in_stream.dll");
    host.Start();
    In_Module *module = host.Plugin(L"in_stream.dll")->Module;
    EXPECT_EQ(module->FileExtensions[0], '\0');
    EXPECT_EQ(module->IsOurFile(L"HTTP://radio.example/live"), 1);
    EXPECT_EQ(module->IsOurFile(L"strm://x"), 1);
    EXPECT_EQ(module->IsOurFile(L"C:\\m\\tone_8000_1_16_100.syw"), 0);
    EXPECT_EQ(host.TypeProbes()[L"in_stream.dll"], "W:0:;");

    const std::wstring url = L"http://radio.example/live?ms=250";
    host.SetPlaylist({url});
    ASSERT_EQ(host.StartPlaying(0), 0);
    EXPECT_EQ(module->GetLength(), -1000);
    ASSERT_TRUE(host.WaitUntil([&] { return !host.IsPlaying(); }));
    EXPECT_TRUE(host.Output().Pcm() == Tone(SynthFormat{44100, 2, 16, 250, 0}));

    auto info = reinterpret_cast<InfoWFn>(reinterpret_cast<void *>(
        GetProcAddress(host.Plugin(L"in_stream.dll")->Library, "winampGetExtendedFileInfoW")));
    wchar_t answer[16] = {};
    EXPECT_EQ(info(url.c_str(), "type", answer, 16), 1);
    EXPECT_EQ(std::wstring(answer), L"0");
    EXPECT_EQ(info(url.c_str(), "length", answer, 16), 0);
    Library alone(L"in_stream.dll");
    EXPECT_EQ(Reader(alone).openW, nullptr);
}

// ------------------------------------------------------------------ WAV files

TEST(WavFile, WritesTheCanonicalHeader) {
    const wav::WavFormat format{44100, 2, 16};
    const std::vector<uint8_t> pcm{1, 2, 3, 4, 5, 6, 7, 8};
    const auto file = wav::MakeFile(format, pcm);
    const std::vector<uint8_t> header{'R', 'I', 'F',  'F',  44,  0,   0,    0,    'W', 'A', 'V',
                                      'E', 'f', 'm',  't',  ' ', 16,  0,    0,    0,   1,   0,
                                      2,   0,   0x44, 0xAC, 0,   0,   0x10, 0xB1, 2,   0,   4,
                                      0,   16,  0,    'd',  'a', 't', 'a',  8,    0,   0,   0};
    ASSERT_EQ(file.size(), 52u);
    EXPECT_TRUE(std::equal(header.begin(), header.end(), file.begin()));
    EXPECT_TRUE(std::equal(pcm.begin(), pcm.end(), file.begin() + 44));
    // An odd data size is padded, and the RIFF size counts the pad.
    const auto odd = wav::MakeFile({8000, 1, 8}, std::vector<uint8_t>{9, 9, 9});
    ASSERT_EQ(odd.size(), 48u);
    EXPECT_EQ(odd[4], 40);
    EXPECT_EQ(odd[40], 3);
}

// Bytes of a RIFF/WAVE file built from the chunks given (tag, declared size, body).
struct Chunk {
    std::string Tag;
    uint32_t Size;
    std::vector<uint8_t> Body;
};

std::vector<uint8_t> Riff(const std::vector<Chunk> &chunks) {
    std::vector<uint8_t> out{'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
    for (const Chunk &chunk : chunks) {
        out.insert(out.end(), chunk.Tag.begin(), chunk.Tag.end());
        for (int b = 0; b < 4; ++b)
            out.push_back(static_cast<uint8_t>(chunk.Size >> (8 * b)));
        out.insert(out.end(), chunk.Body.begin(), chunk.Body.end());
    }
    return out;
}

std::vector<uint8_t> FmtBody(uint16_t tag, int channels, int rate, int bits) {
    const auto header = wav::CanonicalHeader({rate, channels, bits}, 0);
    std::vector<uint8_t> body(header.begin() + 20, header.begin() + 36);
    body[0] = static_cast<uint8_t>(tag);
    body[1] = static_cast<uint8_t>(tag >> 8);
    return body;
}

std::vector<uint8_t> ExtensibleBody(int channels, int rate, int bits, uint16_t subFormat) {
    auto body = FmtBody(0xFFFE, channels, rate, bits);
    const std::vector<uint8_t> tail{22,   0,    static_cast<uint8_t>(bits),
                                    0,    3,    0,
                                    0,    0,    static_cast<uint8_t>(subFormat),
                                    0,    0,    0,
                                    0,    0,    0x10,
                                    0,    0x80, 0,
                                    0,    0xAA, 0,
                                    0x38, 0x9B, 0x71};
    body.insert(body.end(), tail.begin(), tail.end());
    return body;
}

std::optional<wav::WavLayout> Layout(const std::vector<uint8_t> &bytes) {
    wav::MemorySource source(bytes);
    return wav::ReadLayout(source);
}

TEST(WavFile, WalksOddChunksAndClampsATruncatedDataChunk) {
    const std::vector<uint8_t> pcm(40, 7);
    const auto file = Riff({{"LIST", 3, {1, 2, 3, 0}}, // odd size, padded
                            {"fmt ", 16, FmtBody(1, 2, 8000, 16)},
                            {"junk", 1, {0, 0}},
                            {"data", 1000, pcm}}); // claims more than the file holds
    const auto layout = Layout(file);
    ASSERT_TRUE(layout);
    EXPECT_EQ(layout->Format, (wav::WavFormat{8000, 2, 16}));
    EXPECT_EQ(layout->DataOffset, file.size() - 40);
    EXPECT_EQ(layout->DataBytes, 40u);
    EXPECT_EQ(layout->Frames(), 10);

    // Cut inside a frame: only whole frames count.
    auto cut = file;
    cut.resize(cut.size() - 3);
    EXPECT_EQ(Layout(cut)->DataBytes, 36u);
    // The data chunk may come before the format.
    EXPECT_EQ(
        Layout(Riff({{"data", 4, {1, 2, 3, 4}}, {"fmt ", 16, FmtBody(1, 1, 8000, 16)}}))->DataBytes,
        4u);
}

TEST(WavFile, TakesIntegerPcmAndExtensiblePcmAndRefusesTheRest) {
    const std::vector<uint8_t> data(12, 0);
    EXPECT_EQ(
        Layout(Riff({{"fmt ", 40, ExtensibleBody(2, 48000, 24, 1)}, {"data", 12, data}}))->Format,
        (wav::WavFormat{48000, 2, 24}));
    const std::vector<std::vector<uint8_t>> refused{
        Riff({{"fmt ", 40, ExtensibleBody(2, 48000, 32, 3)}, {"data", 12, data}}), // float inside
        Riff({{"fmt ", 16, FmtBody(3, 2, 48000, 32)}, {"data", 12, data}}),        // float
        Riff({{"fmt ", 16, FmtBody(1, 2, 48000, 12)}, {"data", 12, data}}),        // 12-bit
        Riff({{"fmt ", 16, FmtBody(1, 9, 48000, 16)}, {"data", 12, data}}),        // 9 channels
        Riff({{"fmt ", 16, FmtBody(1, 2, 0, 16)}, {"data", 12, data}}),            // no rate
        Riff({{"data", 12, data}}),                                                // no format
        Riff({{"fmt ", 16, FmtBody(1, 2, 48000, 16)}}),                            // no data
        Riff({{"fmt ", 14, std::vector<uint8_t>(14, 1)}, {"data", 12, data}}),     // short format
        std::vector<uint8_t>{'R', 'I', 'F', 'F', 0, 0, 0, 0, 'A', 'V', 'I', ' '},
        std::vector<uint8_t>{'R', 'I', 'F'},
    };
    for (std::size_t i = 0; i < refused.size(); ++i)
        EXPECT_FALSE(Layout(refused[i])) << i;
}

// ------------------------------------------------------------------ the WAV plug-in

class WavPlugin : public ::testing::Test {
  protected:
    // A file of the given format whose samples are the synthetic tone.
    fs::path Write(const std::wstring &stem, const SynthFormat &format) {
        const fs::path path = folder / (stem + L".wav");
        EXPECT_TRUE(wav::SaveFile(path, {format.Rate, format.Channels, format.Bits}, Tone(format)));
        return path;
    }
    TempFolder folder;
    Library library{L"in_wavpcm.dll"};
    Reader reader{library};
    InfoWFn infoW = library.Get<InfoWFn>("winampGetExtendedFileInfoW");
    InfoAFn infoA = library.Get<InfoAFn>("winampGetExtendedFileInfo");
};

TEST_F(WavPlugin, RoundTripsEveryWidthInMonoAndStereo) {
    for (int bits : {8, 16, 24, 32}) {
        for (int channels : {1, 2}) {
            const SynthFormat format{11025 * channels, channels, bits, 700,
                                     static_cast<uint32_t>(bits)};
            const fs::path path =
                Write(L"w" + std::to_wstring(bits) + L"_" + std::to_wstring(channels), format);
            int size = 0, bps = 0, nch = 0, srate = 0;
            const intptr_t handle = reader.openW(path.c_str(), &size, &bps, &nch, &srate);
            ASSERT_NE(handle, 0) << bits << "/" << channels;
            EXPECT_EQ(std::vector<int>({size, bps, nch, srate}),
                      std::vector<int>({static_cast<int>(SynthTotalBytes(format)), bits, channels,
                                        format.Rate}));
            EXPECT_TRUE(reader.ReadAll(handle, 1001) == Tone(format)) << bits << "/" << channels;
            EXPECT_FALSE(NobodyHolds(path));
            reader.close(handle);
            EXPECT_TRUE(NobodyHolds(path));
        }
    }
}

TEST_F(WavPlugin, SeeksOpensAnsiNamesAndRefusesWhatIsNoWav) {
    const SynthFormat format{16000, 2, 16, 1000, 8};
    const fs::path path = Write(L"seek", format);
    int size = 0, bps = 0, nch = 0, srate = 0;
    const intptr_t handle = reader.openA(Narrow(path.wstring()).c_str(), &size, &bps, &nch, &srate);
    ASSERT_NE(handle, 0);
    EXPECT_EQ(reader.setTime(handle, 250), 1);
    EXPECT_TRUE(reader.ReadAll(handle, 4096) == Tone(format, 4000));
    reader.close(handle);
    reader.close(handle); // twice: ignored
    EXPECT_TRUE(NobodyHolds(path));

    const fs::path text = folder / L"text.wav";
    WriteBytes(text, std::vector<uint8_t>(100, 'x'));
    EXPECT_EQ(reader.openW(text.c_str(), &size, &bps, &nch, &srate), 0);
    EXPECT_EQ(reader.openW((folder / L"missing.wav").c_str(), &size, &bps, &nch, &srate), 0);
    EXPECT_TRUE(NobodyHolds(text));
}

TEST_F(WavPlugin, ReadsOddChunksAndATruncatedDataChunkThroughTheFile) {
    const SynthFormat format{8000, 2, 24, 100, 1};
    const auto pcm = Tone(format); // 800 frames of 6 bytes
    auto bytes = Riff({{"LIST", 5, {1, 2, 3, 4, 5, 0}},
                       {"fmt ", 16, FmtBody(1, 2, 8000, 24)},
                       {"data", 100000, pcm}});
    bytes.resize(bytes.size() - 4); // the last frame is cut
    const fs::path path = folder / L"odd.wav";
    WriteBytes(path, bytes);
    int size = 0, bps = 0, nch = 0, srate = 0;
    const intptr_t handle = reader.openW(path.c_str(), &size, &bps, &nch, &srate);
    ASSERT_NE(handle, 0);
    EXPECT_EQ(size, 799 * 6);
    EXPECT_TRUE(reader.ReadAll(handle, 600) == Tone(format, 0, 799));
    reader.close(handle);
}

TEST_F(WavPlugin, AnswersFileInformationWideAndAnsi) {
    const fs::path path = Write(L"Info Song", {48000, 2, 24, 1500, 0});
    const std::map<std::string, std::string> expected{
        {"length", "1500"},      {"type", "0"},
        {"title", "Info Song"},  {"bitrate", "2304"},
        {"samplerate", "48000"}, {"channels", "2"},
        {"bps", "24"},           {"family", "Waveform Audio"}};
    for (const auto &[field, value] : expected) {
        wchar_t wide[64] = {};
        EXPECT_EQ(infoW(path.c_str(), field.c_str(), wide, 64), 1) << field;
        EXPECT_EQ(Narrow(wide), value) << field;
        char ansi[64] = {};
        EXPECT_EQ(infoA(Narrow(path.wstring()).c_str(), field.c_str(), ansi, 64), 1) << field;
        EXPECT_EQ(std::string(ansi), value) << field;
    }
    wchar_t answer[64] = {};
    EXPECT_EQ(infoW(path.c_str(), "artist", answer, 64), 0);
    EXPECT_EQ(infoW(L"", "type", answer, 64), 0);
    EXPECT_EQ(infoW((folder / L"missing.wav").c_str(), "length", answer, 64), 0);
    EXPECT_TRUE(NobodyHolds(path));

    In_Module *module = library.Module();
    EXPECT_EQ(module->version, 0x0F000100);
    EXPECT_EQ(std::string(module->FileExtensions), "WAV");
    EXPECT_EQ(std::string(module->FileExtensions + 4), "Waveform Audio (*.WAV)");
    int length = 0;
    std::vector<wchar_t> title(kTitleLength, L'x');
    module->GetFileInfo(path.c_str(), title.data(), &length);
    EXPECT_EQ(std::wstring(title.data()), L"Info Song");
    EXPECT_EQ(length, 1500);
    EXPECT_TRUE(NobodyHolds(path));
}

TEST_F(WavPlugin, PlaysFilesInTheHostSampleExactAndLetsGoOfThem) {
    RefHost host;
    host.InstallPlugin(L"in_wavpcm.dll");
    host.Start();
    const SynthFormat first{44100, 2, 16, 400, 1};
    const SynthFormat second{48000, 1, 24, 300, 2};
    const fs::path a = Write(L"a", first);
    const fs::path b = Write(L"b", second);
    host.SetPlaylist({a.wstring(), L"C:\\nowhere\\gone.wav", b.wstring()});
    ASSERT_EQ(host.StartPlaying(0), 0);
    EXPECT_EQ(host.ActiveModule()->GetLength(), 400);
    EXPECT_FALSE(NobodyHolds(a));
    ASSERT_TRUE(
        host.WaitUntil([&] { return !host.IsPlaying() && host.State().Position == 2; }, 20000));

    auto expected = Tone(first);
    const auto more = Tone(second);
    expected.insert(expected.end(), more.begin(), more.end());
    EXPECT_TRUE(host.Output().Pcm() == expected);
    EXPECT_EQ(host.LastTitle(), L"b");
    ExpectWholeFrameWrites(host.Output());
    EXPECT_TRUE(NobodyHolds(a));
    EXPECT_TRUE(NobodyHolds(b));
}

} // namespace
