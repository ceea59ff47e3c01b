// The render tool's pure helpers: the PNG it writes must decode to the pixels drawn (checked with
// an inflater and checksums written here from the formats' definitions), and the transitions it
// reports must follow from what the output was asked.
#include "PngWriter.h"
#include "RenderOptions.h"
#include "Transitions.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// ----------------------------------------------------------------- an independent PNG reader

std::uint32_t BitwiseCrc(const std::uint8_t *data, std::size_t size) {
    std::uint32_t crc = 0xFFFFFFFF;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return ~crc;
}

std::uint32_t BigEndian(const std::uint8_t *p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

class BitReader {
  public:
    explicit BitReader(const Bytes &data, std::size_t at) : data_(data), at_(at) {}
    unsigned Bits(int n) {
        unsigned value = 0;
        for (int i = 0; i < n; ++i) {
            if (at_ >= data_.size())
                throw std::runtime_error("deflate data ends early");
            value |= ((data_[at_] >> bit_) & 1u) << i;
            if (++bit_ == 8)
                bit_ = 0, ++at_;
        }
        return value;
    }
    unsigned Code(int n) { // Huffman codes arrive from their most significant bit
        unsigned value = 0;
        for (int i = 0; i < n; ++i)
            value = value << 1 | Bits(1);
        return value;
    }
    void Align() {
        if (bit_)
            bit_ = 0, ++at_;
    }
    void Skip(std::size_t bytes) { at_ += bytes; } // only when aligned
    std::size_t At() const { return at_; }

  private:
    const Bytes &data_;
    std::size_t at_;
    int bit_ = 0;
};

// Deflate's fixed literal/length code: 7, 8 or 9 bits by range (RFC 1951, 3.2.6).
int FixedSymbol(BitReader &in) {
    unsigned code = in.Code(7);
    if (code <= 0x17)
        return static_cast<int>(code) + 256;
    code = code << 1 | in.Bits(1);
    if (code >= 0x30 && code <= 0xBF)
        return static_cast<int>(code) - 0x30;
    if (code >= 0xC0 && code <= 0xC7)
        return static_cast<int>(code) - 0xC0 + 280;
    code = code << 1 | in.Bits(1);
    return static_cast<int>(code) - 0x190 + 144;
}

// A zlib stream of stored and fixed-code blocks; the Adler-32 at its end is checked.
Bytes Inflate(const Bytes &z) {
    static const int lengthBase[] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                     15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                     67, 83, 99, 115, 131, 163, 195, 227, 258};
    static const int lengthExtra[] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
    if (z.size() < 6 || (z[0] & 0x0F) != 8 || (z[0] * 256 + z[1]) % 31 != 0)
        throw std::runtime_error("not a zlib header");
    BitReader in(z, 2);
    Bytes out;
    for (bool last = false; !last;) {
        last = in.Bits(1);
        const unsigned type = in.Bits(2);
        if (type == 0) {
            in.Align();
            const std::size_t at = in.At();
            const unsigned len = z[at] | z[at + 1] << 8, nlen = z[at + 2] | z[at + 3] << 8;
            if ((len ^ 0xFFFF) != nlen)
                throw std::runtime_error("stored block length check");
            out.insert(out.end(), z.begin() + at + 4, z.begin() + at + 4 + len);
            in.Skip(4 + len);
        } else if (type == 1) {
            for (int symbol; (symbol = FixedSymbol(in)) != 256;) {
                if (symbol < 256) {
                    out.push_back(static_cast<std::uint8_t>(symbol));
                    continue;
                }
                const int length = lengthBase[symbol - 257] + in.Bits(lengthExtra[symbol - 257]);
                const int d = static_cast<int>(in.Code(5));
                const int extra = d < 4 ? 0 : d / 2 - 1;
                const int distance = (d < 4 ? d + 1 : ((2 + d % 2) << extra) + 1) + in.Bits(extra);
                if (distance > static_cast<int>(out.size()))
                    throw std::runtime_error("distance reaches before the start");
                for (int i = 0; i < length; ++i)
                    out.push_back(out[out.size() - distance]);
            }
        } else {
            throw std::runtime_error("unexpected block type");
        }
    }
    in.Align();
    std::uint32_t a = 1, b = 0;
    for (std::uint8_t byte : out)
        a = (a + byte) % 65521, b = (b + a) % 65521;
    if (in.At() + 4 > z.size() || BigEndian(z.data() + in.At()) != (b << 16 | a))
        throw std::runtime_error("Adler-32 does not match");
    return out;
}

int PaethPredictor(int a, int b, int c) {
    const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
}

struct Decoded {
    int Width = 0, Height = 0;
    Bytes Rgb;
};

// Every chunk's CRC is checked; IHDR must say 8-bit RGB without interlace.
Decoded DecodePng(const Bytes &file) {
    static const std::uint8_t signature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (file.size() < 8 || !std::equal(signature, signature + 8, file.begin()))
        throw std::runtime_error("no PNG signature");
    Decoded image;
    Bytes idat;
    bool ended = false;
    for (std::size_t at = 8; at < file.size() && !ended;) {
        const std::uint32_t length = BigEndian(&file[at]);
        const std::string type(file.begin() + at + 4, file.begin() + at + 8);
        const std::uint8_t *body = &file[at + 8];
        if (BitwiseCrc(&file[at + 4], length + 4) != BigEndian(body + length))
            throw std::runtime_error("CRC of " + type);
        if (type == "IHDR") {
            image.Width = static_cast<int>(BigEndian(body));
            image.Height = static_cast<int>(BigEndian(body + 4));
            if (length != 13 || body[8] != 8 || body[9] != 2 || body[12] != 0)
                throw std::runtime_error("not 8-bit RGB");
        } else if (type == "IDAT") {
            idat.insert(idat.end(), body, body + length);
        }
        ended = type == "IEND";
        at += 12 + length;
    }
    const Bytes raw = Inflate(idat);
    const std::size_t stride = static_cast<std::size_t>(image.Width) * 3;
    if (raw.size() != (stride + 1) * image.Height)
        throw std::runtime_error("wrong amount of image data");
    for (int y = 0; y < image.Height; ++y) {
        const std::uint8_t filter = raw[y * (stride + 1)];
        const std::uint8_t *row = &raw[y * (stride + 1) + 1];
        const std::size_t rowStart = image.Rgb.size();
        for (std::size_t i = 0; i < stride; ++i) {
            const int a = i >= 3 ? image.Rgb[rowStart + i - 3] : 0;
            const int b = y > 0 ? image.Rgb[rowStart + i - stride] : 0;
            const int c = i >= 3 && y > 0 ? image.Rgb[rowStart + i - stride - 3] : 0;
            const int predictor[] = {0, a, b, (a + b) / 2, PaethPredictor(a, b, c)};
            if (filter > 4)
                throw std::runtime_error("unknown filter");
            image.Rgb.push_back(static_cast<std::uint8_t>(row[i] + predictor[filter]));
        }
    }
    return image;
}

// Flat areas, gradients and a scatter of values: every filter and long and short matches.
png::Image TestPicture(int width, int height) {
    png::Image image{width, height, {}};
    std::uint32_t noise = 12345;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            noise = noise * 1103515245u + 12345u;
            const bool flat = x < width / 3;
            image.Rgb.push_back(flat ? 20 : static_cast<std::uint8_t>(x * 3 + y));
            image.Rgb.push_back(flat ? 22 : static_cast<std::uint8_t>(y * 5));
            image.Rgb.push_back(x % 17 == 0 ? static_cast<std::uint8_t>(noise >> 24) : 27);
        }
    return image;
}

TEST(DemoPng, ChecksumsMatchTheirPublishedCheckValues) {
    const std::string digits = "123456789", word = "Wikipedia";
    EXPECT_EQ(png::Crc32({reinterpret_cast<const std::uint8_t *>(digits.data()), digits.size()}),
              0xCBF43926u);
    EXPECT_EQ(png::Adler32({reinterpret_cast<const std::uint8_t *>(word.data()), word.size()}),
              0x11E60398u);
    // Continuing a CRC over a second piece gives the CRC of the whole.
    const auto *bytes = reinterpret_cast<const std::uint8_t *>(digits.data());
    EXPECT_EQ(png::Crc32({bytes + 4, 5}, png::Crc32({bytes, 4})), 0xCBF43926u);
}

TEST(DemoPng, HeaderChunkCarriesSizeFormatAndItsCrc) {
    const Bytes file = png::Encode(TestPicture(300, 2));
    ASSERT_GT(file.size(), 33u);
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 8),
              (Bytes{0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A}));
    EXPECT_EQ(BigEndian(&file[8]), 13u);
    EXPECT_EQ(std::string(file.begin() + 12, file.begin() + 16), "IHDR");
    EXPECT_EQ(BigEndian(&file[16]), 300u);
    EXPECT_EQ(BigEndian(&file[20]), 2u);
    EXPECT_EQ(Bytes(file.begin() + 24, file.begin() + 29), (Bytes{8, 2, 0, 0, 0}));
    EXPECT_EQ(BigEndian(&file[29]), BitwiseCrc(&file[12], 17));
}

TEST(DemoPng, BothDeflateModesDecodeToThePixelsDrawn) {
    // More than one stored block's worth (65535 bytes) of image data.
    const png::Image picture = TestPicture(211, 157);
    for (png::Deflate mode : {png::Deflate::Stored, png::Deflate::Fixed}) {
        SCOPED_TRACE(mode == png::Deflate::Stored ? "stored" : "fixed codes");
        const Decoded decoded = DecodePng(png::Encode(picture, mode));
        EXPECT_EQ(decoded.Width, 211);
        EXPECT_EQ(decoded.Height, 157);
        EXPECT_TRUE(decoded.Rgb == picture.Rgb);
    }
    // The fixed codes must earn their keep on a drawing with flat areas.
    EXPECT_LT(png::Encode(picture, png::Deflate::Fixed).size() * 2,
              png::Encode(picture, png::Deflate::Stored).size());
}

TEST(DemoPng, EmptyAndShortImagesAreRefused) {
    EXPECT_TRUE(png::Encode({0, 5, {}}).empty());
    EXPECT_TRUE(png::Encode({2, 2, Bytes(11, 0)}).empty());
    const Bytes empty = png::ZlibCompress({}, png::Deflate::Stored);
    EXPECT_TRUE(Inflate(empty).empty());
    EXPECT_TRUE(Inflate(png::ZlibCompress({}, png::Deflate::Fixed)).empty());
}

// ----------------------------------------------------------------- transitions

using demo::OutputCall;
using K = demo::OutputCallKind;

constexpr unsigned long kPlayback = 7, kHostThread = 1;
// 1000 Hz mono 16-bit: a frame is a millisecond and two bytes.
const demo::PcmFormat kFormat{1000, 1, 16};

// An engine-like track: a GetWrittenTime before each block of 64 frames, the block written in
// two pieces, the host's thread asking the time in between.
void PlayBlocks(std::vector<OutputCall> &calls, int blocks) {
    for (int b = 0; b < blocks; ++b) {
        calls.push_back({K::WrittenTime, 0, kPlayback});
        calls.push_back({K::Write, 80, kPlayback});
        calls.push_back({K::WrittenTime, 0, kHostThread});
        calls.push_back({K::Write, 48, kPlayback});
    }
}

TEST(DemoTransitions, HandOverIsFoundFromWhereTheOutgoingSegmentEnds) {
    // Track 1: 10368 frames. With a fade time of 2100 ms the engine hands it over in the block
    // read at 8320 ms written (the first above 10368 - 2100), after writing that block.
    std::vector<OutputCall> calls{{K::Open, 1000, kPlayback}};
    PlayBlocks(calls, 131);
    calls.push_back({K::Flush, 0, kPlayback});
    PlayBlocks(calls, 200);

    const auto segments = demo::SplitSegments(calls, kFormat);
    ASSERT_EQ(segments.size(), 2u);
    EXPECT_EQ(segments[0].StartFrame, 0);
    EXPECT_EQ(segments[0].Frames, 131 * 64);
    EXPECT_EQ(segments[0].FramesBeforeLastBlock, 130 * 64); // not the first piece's end
    EXPECT_TRUE(segments[0].Reopened);
    EXPECT_EQ(segments[1].StartFrame, 8384);
    EXPECT_FALSE(segments[1].Reopened);

    const std::vector<std::int64_t> tracks{10368, 12800};
    const auto transitions = demo::FindTransitions(segments, tracks, kFormat, 2100);
    ASSERT_EQ(transitions.size(), 1u);
    const demo::Transition &t = transitions[0];
    EXPECT_TRUE(t.Crossfaded);
    EXPECT_EQ(t.StartFrame, 8384);
    EXPECT_EQ(t.RemainingMs, 2048);
    EXPECT_DOUBLE_EQ(t.FadeSeconds, 2.048);
    EXPECT_EQ(t.CurveFrames, 2048);
    EXPECT_EQ(t.OutgoingFrames, 10368 - 8384);
    EXPECT_EQ(t.MixedFrames(), 1984); // the outgoing decoder runs dry before p reaches 0

    // Half way down the curve, then past the outgoing sound.
    EXPECT_DOUBLE_EQ(t.IncomingGain(1024, false), 0.5);
    EXPECT_DOUBLE_EQ(t.OutgoingGain(1024, false), 0.5);
    EXPECT_NEAR(t.IncomingGain(1024, true), 0.2596, 5e-5);
    EXPECT_NEAR(t.OutgoingGain(1024, true), 0.2596, 5e-5);
    EXPECT_DOUBLE_EQ(t.OutgoingGain(1, false), 1.0 - 1.0 / 2048);
    EXPECT_EQ(t.IncomingGain(1985, true), 1.0);
    EXPECT_EQ(t.OutgoingGain(1985, true), 0.0);
}

TEST(DemoTransitions, FadeTimeShorterThanWhatIsLeftSetsTheCurve) {
    // The outgoing track holds 3000 frames more than the output took, but the fade is 1000 ms.
    const std::vector<demo::Segment> segments{{0, 5000, 4936, true}, {5000, 9000, 8936, false}};
    const std::vector<std::int64_t> tracks{8000, 9000};
    const auto t = demo::FindTransitions(segments, tracks, kFormat, 1000).at(0);
    EXPECT_EQ(t.RemainingMs, 8000 - 4936);
    EXPECT_DOUBLE_EQ(t.FadeSeconds, 1.0);
    EXPECT_EQ(t.OutgoingFrames, 3000);
    EXPECT_EQ(t.MixedFrames(), t.CurveFrames);
    EXPECT_NEAR(static_cast<double>(t.CurveFrames), 1000.0, 1.0);
}

TEST(DemoTransitions, TrackPlayedToItsEndIsAnOrdinaryBoundary) {
    std::vector<OutputCall> calls{{K::Open, 0, kPlayback}};
    PlayBlocks(calls, 10);
    calls.push_back({K::Flush, 0, kPlayback}); // a start nothing follows: dropped
    calls.push_back({K::Close, 0, kPlayback});
    calls.push_back({K::Write, 128, kPlayback}); // a closed output takes nothing
    calls.push_back({K::Open, 0, kPlayback});
    PlayBlocks(calls, 5);
    calls.push_back({K::Flush, 2000, kHostThread}); // a seek, not a new track
    PlayBlocks(calls, 5);

    const auto segments = demo::SplitSegments(calls, kFormat);
    ASSERT_EQ(segments.size(), 2u);
    EXPECT_EQ(segments[1].StartFrame, 640);
    EXPECT_EQ(segments[1].Frames, 640);
    EXPECT_TRUE(segments[1].Reopened);

    const std::vector<std::int64_t> tracks{640, 640};
    const auto t = demo::FindTransitions(segments, tracks, kFormat, 5000).at(0);
    EXPECT_FALSE(t.Crossfaded);
    EXPECT_TRUE(t.Reopened);
    EXPECT_EQ(t.MixedFrames(), 0);
    EXPECT_EQ(t.IncomingGain(1, false), 1.0);
    EXPECT_EQ(t.OutgoingGain(1, false), 0.0);
}

TEST(DemoTransitions, LengthsRoundHalfAwayAsThePluginDoes) {
    EXPECT_EQ(demo::TrackLengthMs(2646000, 44100), 60000);
    EXPECT_EQ(demo::TrackLengthMs(22, 44100), 0);   // 0.4989 ms
    EXPECT_EQ(demo::TrackLengthMs(441, 882000), 1); // exactly 0.5 ms
    EXPECT_EQ(demo::TrackLengthMs(100, 0), 0);
}

TEST(DemoLevels, SamplesPeaksAndEnvelopeAreFractionsOfFullScale) {
    const std::uint8_t minus1[] = {0xFF, 0xFF, 0xFF};
    EXPECT_DOUBLE_EQ(demo::SampleUnit(minus1, 24), -1.0 / 8388608);
    const std::uint8_t eight[] = {128, 0, 255};
    EXPECT_EQ(demo::SampleUnit(eight, 8), 0.0);
    EXPECT_EQ(demo::SampleUnit(eight + 1, 8), -1.0);

    // 16-bit stereo in two pieces; the meter looks at frames 1 and 2 only.
    const demo::PcmFormat stereo{44100, 2, 16};
    const Bytes first{0x00, 0x80, 0, 0, 0x00, 0x40, 0, 0};  // frames 0 (-32768) and 1 (16384)
    const Bytes second{0, 0, 0x00, 0xE0, 0xFF, 0x7F, 0, 0}; // frames 2 (-8192) and 3 (32767)
    demo::PeakMeter meter(stereo, 1, 2);
    meter.Feed(0, first);
    meter.Feed(2, second);
    EXPECT_DOUBLE_EQ(meter.Peak(), 0.5);
    EXPECT_NEAR(demo::ToDbfs(meter.Peak()), -6.0206, 1e-4);
    EXPECT_TRUE(std::isinf(demo::ToDbfs(0.0)));

    demo::EnvelopeBuilder builder(stereo, 4, 2);
    builder.Feed(0, first);
    builder.Feed(2, second);
    const demo::Envelope e = builder.Take();
    EXPECT_FLOAT_EQ(e.Min[0], -1.0f);
    EXPECT_FLOAT_EQ(e.Max[0], 0.5f);
    EXPECT_FLOAT_EQ(e.Rms[0], static_cast<float>(std::sqrt((1.0 + 0.25) / 4)));
    EXPECT_FLOAT_EQ(e.Min[1], -0.25f);
    EXPECT_FLOAT_EQ(e.Max[1], 32767.0f / 32768);
}

// ----------------------------------------------------------------- command line

demo::ParsedArgs Parse(std::vector<std::string> args) {
    return demo::ParseRenderArgs(args);
}

TEST(DemoOptions, SettingsAndFilesAreTakenInEitherSpelling) {
    const auto parsed =
        Parse({"--fade-ms", "3000", "--min-ms=8000", "--curve", "log", "--priority", "TimeCritical",
               "-o", "mix.wav", "--png=mix.png", "--speed", "2.5", "a.wav", "--", "-odd.wav"});
    ASSERT_EQ(parsed.Error, "");
    const demo::RenderOptions &o = parsed.Options;
    EXPECT_EQ(o.FadeMs, 3000);
    EXPECT_EQ(o.MinMs, 8000);
    EXPECT_TRUE(o.LogCurve);
    EXPECT_EQ(o.Priority, "TimeCritical");
    EXPECT_EQ(o.Output, "mix.wav");
    EXPECT_EQ(o.Png, "mix.png");
    EXPECT_DOUBLE_EQ(o.Speed, 2.5);
    EXPECT_EQ(o.Inputs, (std::vector<std::string>{"a.wav", "-odd.wav"}));

    const auto defaults = Parse({"one.wav"});
    EXPECT_EQ(defaults.Options.FadeMs, 5000);
    EXPECT_EQ(defaults.Options.MinMs, 10000);
    EXPECT_FALSE(defaults.Options.LogCurve);
    EXPECT_EQ(defaults.Options.Priority, "Higher");
}

TEST(DemoOptions, WrongValuesAreRefusedWithTheReason) {
    EXPECT_NE(Parse({"--fade-ms", "-5", "a.wav"}).Error.find("--fade-ms"), std::string::npos);
    EXPECT_NE(Parse({"--fade-ms", "12x", "a.wav"}).Error, "");
    EXPECT_NE(Parse({"--curve", "cubic", "a.wav"}).Error.find("linear or log"), std::string::npos);
    // The plug-in matches priority names exactly; anything else would silently mean Normal.
    EXPECT_NE(Parse({"--priority", "higher", "a.wav"}).Error, "");
    EXPECT_NE(Parse({"--speed", "-1", "a.wav"}).Error, "");
    EXPECT_NE(Parse({"a.wav", "--png"}).Error.find("needs a value"), std::string::npos);
    EXPECT_NE(Parse({"--volume", "3", "a.wav"}).Error.find("unknown option"), std::string::npos);
    EXPECT_NE(Parse({}).Error.find("no WAV files"), std::string::npos);
    EXPECT_EQ(Parse({"--help"}).Error, "");
}

} // namespace
