// The render tool's pure helpers: the PNG it writes must decode to the pixels drawn, the
// transitions it reports and the reasons it gives for a plain one must follow from what the
// output was asked, names must print and draw as written, labels must not run together, and a
// render stopped half way must leave a playable file or none.
#include "Canvas.h"
#include "EdgePlan.h"
#include "InputCheck.h"
#include "OutputWav.h"
#include "Plot.h"
#include "PluginFolder.h"
#include "PngWriter.h"
#include "RefHost.h"
#include "RenderOptions.h"
#include "RenderReport.h"
#include "Transitions.h"
#include "Utf8Text.h"
#include "WavFile.h"
#include "WavInfo.h"
#include "support/PluginProbe.h"

#include <gtest/gtest.h>
#include <windows.h>

#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_STATIC
#define STBI_ONLY_PNG
#include <stb_image.h>

#include <filesystem>
#include <fstream>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <numbers>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// ----------------------------------------------------------------- picture file

// A drawing with flat areas, gradients and a scatter of values.
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

TEST(DemoPng, FileDecodesToThePixelsDrawnAndEmptyImagesAreRefused) {
    const png::Image picture = TestPicture(211, 157);
    const Bytes file = png::Encode(picture);
    ASSERT_GT(file.size(), 8u);
    int width = 0, height = 0, channels = 0;
    std::uint8_t *pixels = stbi_load_from_memory(file.data(), static_cast<int>(file.size()), &width,
                                                 &height, &channels, 3);
    ASSERT_NE(pixels, nullptr) << stbi_failure_reason();
    EXPECT_EQ(width, 211);
    EXPECT_EQ(height, 157);
    EXPECT_EQ(channels, 3);
    EXPECT_TRUE(Bytes(pixels, pixels + picture.Rgb.size()) == picture.Rgb);
    stbi_image_free(pixels);

    EXPECT_TRUE(png::Encode({0, 5, {}}).empty());
    EXPECT_TRUE(png::Encode({2, 2, Bytes(11, 0)}).empty());
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
    // A speed near 0 would leave the output standing still until the render gave up.
    EXPECT_EQ(Parse({"--speed", "1e-9", "a.wav"}).Error,
              "--speed is 0 (as fast as the machine goes) or how many times real time the output "
              "plays, from 0.1 to 1000, not \"1e-9\"");
    EXPECT_NE(Parse({"--speed", "5000", "a.wav"}).Error, "");
    EXPECT_EQ(Parse({"--speed", "0.1", "a.wav"}).Options.Speed, 0.1);
    EXPECT_EQ(Parse({"--speed", "0", "a.wav"}).Error, "");
    EXPECT_NE(Parse({"a.wav", "--png"}).Error.find("needs a value"), std::string::npos);
    EXPECT_NE(Parse({"--volume", "3", "a.wav"}).Error.find("unknown option"), std::string::npos);
    EXPECT_NE(Parse({}).Error.find("no WAV files"), std::string::npos);
    EXPECT_EQ(Parse({"--help"}).Error, "");
}

// Each option of the music writes its keys after the others, as the plug-in's store does, and a
// level outside the store's range is refused naming the option and the range: the plug-in would
// quietly take its default instead.
TEST(DemoOptions, TheOptionsThatFollowTheMusicWriteTheirKeysAndKeepTheirLevelsInRange) {
    using Keys = std::vector<std::pair<std::string, std::string>>;
    const Keys four = {{"FadeTime", "5000"},
                       {"MinFileSize", "10000"},
                       {"LogTrans", "0"},
                       {"PlaybackThreadPriority", "Higher"}};
    struct Case {
        std::vector<std::string> Args;
        Keys After; // the keys after the four
    };
    for (const Case &c :
         {Case{{"a.wav"}, {}},
          Case{{"--skip-silence", "a.wav"}, {{"SkipSilence", "1"}, {"SilenceThreshold", "-50"}}},
          Case{{"--skip-silence=-90", "--fade-over-own-fade-outs=40", "--albums-through", "a.wav"},
               {{"SkipSilence", "1"},
                {"SilenceThreshold", "-90"},
                {"FadeOverOwnFadeOut", "1"},
                {"OwnFadeOutDrop", "40"},
                {"PlayAlbumsThrough", "1"}}},
          Case{{"--fade-over-own-fade-outs", "--fade-across-formats", "a.wav"},
               {{"FadeAcrossFormats", "1"}, {"FadeOverOwnFadeOut", "1"}, {"OwnFadeOutDrop", "12"}}},
          Case{{"--skip-silence=-20", "--fade-over-own-fade-outs=3", "a.wav"},
               {{"SkipSilence", "1"},
                {"SilenceThreshold", "-20"},
                {"FadeOverOwnFadeOut", "1"},
                {"OwnFadeOutDrop", "3"}}}}) {
        const auto parsed = Parse(c.Args);
        ASSERT_EQ(parsed.Error, "") << c.Args[0];
        Keys expected = four;
        expected.insert(expected.end(), c.After.begin(), c.After.end());
        EXPECT_EQ(demo::SettingsKeys(parsed.Options), expected) << c.Args[0];
        // A switch takes no value from the next argument: that stays a file.
        EXPECT_EQ(parsed.Options.Inputs, (std::vector<std::string>{"a.wav"}));
    }
    for (const auto &[arg, error] : std::initializer_list<std::pair<const char *, const char *>>{
             {"--skip-silence=-91",
              "--skip-silence takes a peak level in dBFS from -90 to -20, not \"-91\""},
             {"--skip-silence=-19",
              "--skip-silence takes a peak level in dBFS from -90 to -20, not \"-19\""},
             {"--skip-silence=", "--skip-silence takes a peak level in dBFS from -90 to -20, "
                                 "not \"\""},
             {"--fade-over-own-fade-outs=2", "--fade-over-own-fade-outs takes dB below the "
                                             "track's body from 3 to 40, not \"2\""},
             {"--fade-over-own-fade-outs=12dB", "--fade-over-own-fade-outs takes dB below the "
                                                "track's body from 3 to 40, not \"12dB\""},
             {"--albums-through=1", "--albums-through takes no value"}})
        EXPECT_EQ(Parse({arg, "a.wav"}).Error, error);
    for (const char *option :
         {"--skip-silence[=DB]", "--fade-over-own-fade-outs[=DB]", "--albums-through"})
        EXPECT_NE(demo::RenderUsage().find(option), std::string::npos) << option;
    // The plug-in waits for its look-ahead on an output that takes everything at once: the
    // options that follow the music render as fast as the machine goes.
    EXPECT_EQ(demo::OutputSpeed(Parse({"--skip-silence", "a.wav"}).Options), 0.0);
    EXPECT_EQ(demo::OutputSpeed(Parse({"--fade-over-own-fade-outs", "a.wav"}).Options), 0.0);
    EXPECT_EQ(demo::OutputSpeed(Parse({"--albums-through", "a.wav"}).Options), 0.0);
    EXPECT_EQ(demo::OutputSpeed(Parse({"--skip-silence", "--speed", "2", "a.wav"}).Options), 2.0);
}

// A level may follow its option as the next argument, as --fade-ms 5000 takes its value; a
// file name never reads as a level, and a level on its own is named as such.
TEST(DemoOptions, ALevelMayComeAsTheNextArgument) {
    struct Case {
        std::vector<std::string> Args;
        int SilenceDb, DropDb;
    };
    for (const Case &c :
         {Case{{"--skip-silence", "-60", "a.wav"}, -60, 12},
          Case{{"--fade-over-own-fade-outs", "20", "a.wav"}, -50, 20},
          Case{{"--skip-silence", "+0-.wav", "a.wav"}, -50, 12},
          Case{{"--skip-silence", "-35", "--fade-over-own-fade-outs", "3", "a.wav"}, -35, 3}}) {
        const auto parsed = Parse(c.Args);
        ASSERT_EQ(parsed.Error, "") << c.Args[1];
        EXPECT_EQ(parsed.Options.SilenceThresholdDb, c.SilenceDb) << c.Args[1];
        EXPECT_EQ(parsed.Options.OwnFadeOutDropDb, c.DropDb) << c.Args[1];
        EXPECT_EQ(parsed.Options.Inputs.back(), "a.wav") << c.Args[1];
    }
    EXPECT_EQ(Parse({"--skip-silence", "-91", "a.wav"}).Error,
              "--skip-silence takes a peak level in dBFS from -90 to -20, not \"-91\"");
    EXPECT_EQ(Parse({"--fade-over-own-fade-outs", "-12", "a.wav"}).Error,
              "--fade-over-own-fade-outs takes dB below the track's body from 3 to 40, not "
              "\"-12\"");
    EXPECT_EQ(Parse({"--albums-through", "--fade-ms", "3000", "-50", "a.wav"}).Error,
              "-50 is a number where an option or a file belongs: give a level with its option, "
              "as --skip-silence -50 or --skip-silence=-50");
    const std::string usage = demo::RenderUsage();
    EXPECT_NE(usage.find("--skip-silence -60"), std::string::npos);
    // What --speed is when not given, each way the render chooses it.
    EXPECT_NE(usage.find("as fast as the machine goes (default;"), std::string::npos) << usage;
    EXPECT_NE(usage.find("but 4 with --skip-at"), std::string::npos) << usage;
}

TEST(DemoOptions, APictureOfOneJoinNeedsThePictureAndAJoinOfThePlaylist) {
    const auto parsed = Parse({"--png", "p.png", "--png-join", "2", "a", "b", "c"});
    ASSERT_EQ(parsed.Error, "");
    EXPECT_EQ(parsed.Options.PngJoin, 2);
    EXPECT_EQ(Parse({"a", "b"}).Options.PngJoin, 0);
    EXPECT_EQ(Parse({"--png-join", "1", "a", "b"}).Error,
              "--png-join draws a picture of one join: give --png FILE for it too");
    EXPECT_EQ(Parse({"--png", "p.png", "--png-join=3", "a", "b", "c"}).Error,
              "--png-join 3: the 3 tracks given have joins 1 to 2");
    EXPECT_EQ(Parse({"--png", "p.png", "--png-join", "1", "a"}).Error,
              "--png-join 1: a single track has no join");
    EXPECT_EQ(Parse({"--png", "p.png", "--png-join", "0", "a", "b"}).Error,
              "--png-join takes the number of a join, 1 for the one from track 1 into track 2, "
              "not \"0\"");
    EXPECT_NE(demo::RenderUsage().find("--png-join N"), std::string::npos);
}

// ----------------------------------------------------------------- names

TEST(DemoNames, Utf8IsTakenApartAndMeasuredInTerminalColumns) {
    EXPECT_EQ(demo::DecodeUtf8("a\xC3\xA9\xE3\x82\xAC\xF0\x9F\x8E\xB5"),
              (std::u32string{U'a', 0xE9, 0x30AC, 0x1F3B5}));
    // A stray continuation byte, a sequence cut short, an overlong form and a surrogate: each
    // one replacement character, and what follows is read again.
    EXPECT_EQ(demo::DecodeUtf8("\x80"
                               "x"
                               "\xE0\x80\x80"
                               "\xED\xA0\x80"
                               "\xE3\x82"),
              (std::u32string{0xFFFD, U'x', 0xFFFD, 0xFFFD, 0xFFFD}));
    const std::string mixed = "02-\xD0\xBD\xD0\xBE\xD1\x87\xD1\x8C-\xE3\x82\xAC.wav";
    EXPECT_EQ(demo::EncodeUtf8(demo::DecodeUtf8(mixed)), mixed);

    EXPECT_EQ(demo::TextColumns("\xE3\x82\xAC\xE3\x83\xA9\xE3\x82\xB9"), 6); // three kana
    EXPECT_EQ(demo::TextColumns("Cafe\xCC\x81"), 4);                         // e + acute
    EXPECT_EQ(demo::TextColumns("\xD0\xBD\xD0\xBE\xD1\x87\xD1\x8C"), 4);     // Cyrillic
    EXPECT_EQ(demo::PadColumns("\xE3\x82\xAC", 4), "\xE3\x82\xAC  ");
    EXPECT_EQ(demo::PadColumns("toolong", 3), "toolong");
}

TEST(DemoNames, ReportColumnsStayAlignedWithWideAndCombiningNamesPastNineTracks) {
    demo::RenderResult result;
    result.Format = {1000, 1, 16};
    const std::vector<std::string> names = {
        "01-sunrise.wav", "02-\xE3\x82\xAC\xE3\x83\xA9\xE3\x82\xB9.wav", "03-Cafe\xCC\x81.wav",
        "04-\xD0\xBD\xD0\xBE\xD1\x87\xD1\x8C.wav"};
    for (int i = 0; i < 11; ++i)
        result.Tracks.push_back({names[static_cast<std::size_t>(i % 4)], 10000});
    const std::string report = demo::FormatReport(result, {});

    std::vector<int> lengthColumns;
    std::size_t at = 0;
    while ((at = report.find("0:10.000", at)) != std::string::npos) {
        const std::size_t lineStart = report.rfind('\n', at) + 1;
        lengthColumns.push_back(demo::TextColumns(report.substr(lineStart, at - lineStart)));
        at += 8;
    }
    ASSERT_EQ(lengthColumns.size(), 11u);
    for (int column : lengthColumns)
        EXPECT_EQ(column, lengthColumns.front());
    EXPECT_NE(report.find("\n   1  01-sunrise.wav"), std::string::npos);
    EXPECT_NE(report.find("\n  11  03-Cafe"), std::string::npos);
}

// ----------------------------------------------------------------- the picture's text

// The lit pixels of a text drawn alone.
std::vector<std::pair<int, int>> Lit(const std::string &text) {
    draw::Canvas canvas(80, 20, {0, 0, 0});
    canvas.Text(4, 6, text, {255, 255, 255});
    std::vector<std::pair<int, int>> lit;
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 80; ++x)
            if (canvas.At(x, y).R)
                lit.emplace_back(x, y);
    return lit;
}

TEST(DemoPictureText, LatinLettersAreDrawnWithTheirMarksAndOthersAsBoxes) {
    using draw::Canvas;
    const std::string eAcute = "\xC3\xA9", eCombining = "e\xCC\x81";
    EXPECT_EQ(Canvas::TextWidth(eAcute), Canvas::TextWidth("e"));
    EXPECT_EQ(Canvas::TextWidth(eCombining), Canvas::TextWidth("e"));
    EXPECT_EQ(Lit(eAcute), Lit(eCombining));
    EXPECT_NE(Lit(eAcute), Lit("e"));
    // A mark over a capital sits just above the cell.
    const auto capital = Lit("\xC3\x89");
    EXPECT_TRUE(std::any_of(capital.begin(), capital.end(), [](auto p) { return p.second < 6; }));
    EXPECT_TRUE(Canvas::HasGlyph(0xE9));
    EXPECT_TRUE(Canvas::HasGlyph(0x141)); // L with stroke

    // A Cyrillic letter: a box, hollow; a kana: a box two cells wide.
    EXPECT_FALSE(Canvas::HasGlyph(0x42F));
    const auto box = Lit("\xD0\xAF");
    EXPECT_EQ(box.size(), 20u); // the outline of 5 x 7 pixels
    EXPECT_EQ(Canvas::TextWidth("\xE3\x82\xAC"), Canvas::TextWidth("ab"));
}

TEST(DemoPictureText, NamesAreCutBetweenWholeCharacters) {
    using draw::Canvas;
    const std::string kana = "\xE3\x82\xAC\xE3\x83\xA9\xE3\x82\xB9.wav";
    EXPECT_EQ(Canvas::FitText(kana, Canvas::TextWidth(kana)), kana);
    const int room = Canvas::TextWidth("\xE3\x82\xAC\xE3\x83\xA9..");
    EXPECT_EQ(Canvas::FitText(kana, room), "\xE3\x82\xAC\xE3\x83\xA9..");
    EXPECT_EQ(Canvas::FitText(kana, room - 1), "\xE3\x82\xAC..");
    // A letter keeps its mark or goes with it.
    std::string marked;
    for (int i = 0; i < 5; ++i)
        marked += "e\xCC\x81";
    EXPECT_EQ(Canvas::FitText(marked, Canvas::TextWidth("ee..")), "e\xCC\x81"
                                                                  "e\xCC\x81..");
    EXPECT_EQ(Canvas::FitText(marked, Canvas::TextWidth("e..") + 2), "e\xCC\x81..");
    EXPECT_EQ(Canvas::FitText(marked, 5), "");
}

// ----------------------------------------------------------------- the picture's labels

TEST(DemoPictureLabels, CrowdedLabelsAreStaggeredShortenedOrLeftOut) {
    const std::vector<demo::LabelSpan> labels = {
        {0, {100, 30}}, {50, {100, 30}}, {120, {100, 30}}, {130, {50, 20}}, {140, {60, 20}}};
    const auto places = demo::PlaceLabels(labels, 2, 8);
    ASSERT_EQ(places.size(), 5u);
    EXPECT_EQ(places[0].Row, 0);
    EXPECT_EQ(places[0].Choice, 0);
    // The full form would run into the label two places on, which takes the same row.
    EXPECT_EQ(places[1].Row, 1);
    EXPECT_EQ(places[1].Choice, 1);
    EXPECT_EQ(places[2].Row, 0);
    EXPECT_EQ(places[3].Row, 1);
    EXPECT_EQ(places[4].Row, -1); // no row has room left

    // Whatever was placed does not overlap within its row.
    for (std::size_t i = 0; i < places.size(); ++i)
        for (std::size_t j = i + 1; j < places.size(); ++j) {
            if (places[i].Row < 0 || places[i].Row != places[j].Row)
                continue;
            const int end = labels[i].Left + labels[i].Widths[places[i].Choice];
            EXPECT_LE(end + 8, labels[j].Left) << i << " and " << j;
        }
}

TEST(DemoPictureLabels, NamesThatDoNotFitTheirBarsAreListedUnderThePicture) {
    demo::PlotInput few, many;
    for (demo::PlotInput *input : {&few, &many}) {
        input->Format = {1000, 1, 16};
        const int count = input == &few ? 4 : 20;
        for (int i = 0; i < count; ++i)
            input->Tracks.push_back(
                {"t" + std::to_string(i + 1) + "-a-long-name.wav", i * 15000LL, 15000});
        input->TotalFrames = count * 15000LL;
        input->Wave.Min.assign(static_cast<std::size_t>(demo::PlotColumns(1200)), -0.5f);
        input->Wave.Max.assign(input->Wave.Min.size(), 0.5f);
        input->Wave.Rms.assign(input->Wave.Min.size(), 0.3f);
    }
    const int fewHeight = demo::PictureHeight(few, 1200);
    EXPECT_GT(demo::PictureHeight(many, 1200), fewHeight);
    EXPECT_EQ(demo::DrawPlot(many, 1200).Height(), demo::PictureHeight(many, 1200));
    EXPECT_EQ(demo::DrawPlot(few, 1200).Height(), fewHeight);
}

// ----------------------------------------------------------------- why not a crossfade

std::string Joined(const std::vector<std::string> &lines) {
    std::string all;
    for (const std::string &line : lines)
        all += line + "\n";
    return all;
}

void PlayBlocksOn(std::vector<OutputCall> &calls, int blocks, unsigned long thread) {
    for (int b = 0; b < blocks; ++b) {
        calls.push_back({K::WrittenTime, 0, thread});
        calls.push_back({K::Write, 128, thread});
    }
}

TEST(DemoReasons, FileLeftToItsOwnPluginIsNamedWithWhatToDo) {
    constexpr unsigned long kWavPlugin = 9;
    std::vector<OutputCall> calls{{K::Open, 0, kPlayback}};
    PlayBlocksOn(calls, 100, kPlayback); // 6400 frames
    calls.push_back({K::Close, 0, kPlayback});
    calls.push_back({K::Open, 0, kWavPlugin});
    PlayBlocksOn(calls, 100, kWavPlugin);
    calls.push_back({K::Close, 0, kWavPlugin});
    calls.push_back({K::Open, 0, kPlayback});
    PlayBlocksOn(calls, 100, kPlayback);

    demo::RenderOptions options;
    options.FadeMs = 2000;
    options.MinMs = 3000;
    const std::vector<demo::TrackFile> tracks = {
        {"one.wav", 6400},
        {"\xD0\xBD\xD0\xBE\xD1\x87\xD1\x8C.wav", 6400, true},
        {"three.wav", 6400}};
    const auto result = demo::Analyse(calls, kFormat, tracks, options, kPlayback, 1252);
    ASSERT_EQ(result.Transitions.size(), 2u);
    for (const demo::Transition &t : result.Transitions) {
        EXPECT_FALSE(t.Crossfaded);
        EXPECT_TRUE(t.Reopened);
        const std::string why = Joined(demo::NoCrossfadeReasons(result, t, options));
        EXPECT_NE(why.find("track 2 was played by in_wavpcm.dll itself"), std::string::npos) << why;
    }
    const std::string notes = Joined(demo::ReportNotes(result, options));
    EXPECT_NE(notes.find("could not open track 2 (\xD0\xBD\xD0\xBE\xD1\x87\xD1\x8C.wav) itself"),
              std::string::npos)
        << notes;
    EXPECT_NE(notes.find("outside the ANSI code page (1252)"), std::string::npos) << notes;
    EXPECT_EQ(notes.find("track 1 ("), std::string::npos) << notes;
}

TEST(DemoReasons, ShortTracksEarlyEndsAndLongFadesAreReported) {
    demo::RenderOptions options;
    options.FadeMs = 2000;
    options.MinMs = 3000;
    // Track 1 (2000 ms) is too short to fade out; track 2's decoder gives out at 4480 of its
    // 10000 frames, long before its fade point; track 3 plays whole.
    std::vector<OutputCall> calls{{K::Open, 0, kPlayback}};
    PlayBlocksOn(calls, 31, kPlayback);
    calls.push_back({K::Write, 32, kPlayback}); // 1984 + 16 frames: all of track 1
    calls.push_back({K::Flush, 0, kPlayback});
    PlayBlocksOn(calls, 70, kPlayback);
    calls.push_back({K::Flush, 0, kPlayback});
    PlayBlocksOn(calls, 100, kPlayback);
    const std::vector<demo::TrackFile> tracks = {
        {"a.wav", 2000}, {"b.wav", 10000}, {"c.wav", 6400}};
    const auto result = demo::Analyse(calls, kFormat, tracks, options, kPlayback, 1252);
    ASSERT_EQ(result.Transitions.size(), 2u);

    const demo::Transition &first = result.Transitions[0];
    EXPECT_FALSE(first.Crossfaded);
    EXPECT_FALSE(first.EndedEarly);
    EXPECT_NE(Joined(demo::NoCrossfadeReasons(result, first, options))
                  .find("track 1 (2.000 s) is not longer than MinFileSize (3000 ms): give "
                        "--min-ms less than 2000"),
              std::string::npos);

    const demo::Transition &second = result.Transitions[1];
    EXPECT_FALSE(second.Crossfaded);
    EXPECT_TRUE(second.EndedEarly);
    EXPECT_EQ(second.MixedFrames(), 0);
    EXPECT_NE(Joined(demo::NoCrossfadeReasons(result, second, options))
                  .find("track 2's decoder ended early, after 4.480 s of its 10.000 s"),
              std::string::npos);

    // A fade shorter than the plug-in's blocks: nothing else to blame.
    const std::vector<demo::TrackFile> whole = {{"a.wav", 2000}, {"b.wav", 10000}, {"c.wav", 6400}};
    for (const auto &[fadeMs, blocks] : {std::pair{10, "one block"}, std::pair{20, "two blocks"}}) {
        options.FadeMs = fadeMs;
        options.MinMs = 1000;
        const auto shortFade = demo::Analyse(calls, kFormat, whole, options, kPlayback, 1252);
        const std::string why =
            Joined(demo::NoCrossfadeReasons(shortFade, shortFade.Transitions.at(0), options));
        EXPECT_EQ(why, "FadeTime " + std::to_string(fadeMs) + " ms is shorter than " + blocks +
                           " of the plug-in's (a block is 1/64 s, 15.6 ms): it looks once a "
                           "block whether the track's end is less than FadeTime away, and a fade "
                           "this short falls between two looks; give --fade-ms 32 or more\n");
    }

    // Fades longer than the tracks: track 1 is handed over after its first block; track 2 only
    // once track 1's rest has been mixed in (one fade at a time), 7040 ms before its end.
    options.FadeMs = 60000;
    std::vector<OutputCall> early{{K::Open, 0, kPlayback}};
    PlayBlocksOn(early, 1, kPlayback);
    early.push_back({K::Flush, 0, kPlayback});
    PlayBlocksOn(early, 391, kPlayback);
    early.push_back({K::Flush, 0, kPlayback});
    PlayBlocksOn(early, 625, kPlayback);
    const std::vector<demo::TrackFile> longer = {
        {"a.wav", 25000}, {"b.wav", 32000}, {"c.wav", 40000}};
    const auto faded = demo::Analyse(early, kFormat, longer, options, kPlayback, 1252);
    ASSERT_EQ(faded.Transitions.size(), 2u);
    EXPECT_TRUE(faded.Transitions[0].Crossfaded);
    EXPECT_TRUE(faded.Transitions[1].Crossfaded);
    EXPECT_EQ(Joined(demo::ReportNotes(faded, options)),
              "FadeTime 60000 ms is longer than track 1 (25 s): it fades out from its start\n"
              "FadeTime 60000 ms is longer than track 2 (32 s): it fades out as soon as the "
              "crossfade into it ends, over its last 7.040 s\n");
}

// ----------------------------------------------------------------- refused inputs

// A WAV file's bytes with the format chunk given; no data chunk when data is false.
Bytes WavWith(std::uint16_t tag, int channels, int bits, std::uint16_t subTag = 0,
              bool data = true) {
    Bytes file = wav::MakeFile({44100, channels, bits},
                               Bytes(static_cast<std::size_t>(channels * bits / 8 * 4), 0));
    file[20] = static_cast<std::uint8_t>(tag);
    file[21] = static_cast<std::uint8_t>(tag >> 8);
    if (tag == wav::kFormatExtensible) {
        // A 40-byte format chunk: 24 bytes more before the data chunk.
        Bytes extra(24, 0);
        extra[0] = 22;
        extra[8] = static_cast<std::uint8_t>(subTag);
        extra[9] = static_cast<std::uint8_t>(subTag >> 8);
        file[16] = 40;
        file.insert(file.begin() + 36, extra.begin(), extra.end());
    }
    if (!data)
        file.resize(file.size() - 8 - static_cast<std::size_t>(channels * bits / 8 * 4));
    return file;
}

std::string Why(const Bytes &file) {
    wav::MemorySource source(file);
    return demo::WhyNotPlayable(source);
}

TEST(DemoInputs, RefusedFilesAreDescribedWithWhatToDo) {
    EXPECT_EQ(Why(WavWith(3, 2, 32)),
              "32-bit float WAV files are not supported: convert them to 8-, 16-, 24- or 32-bit "
              "integer PCM");
    EXPECT_EQ(Why(WavWith(wav::kFormatExtensible, 2, 32, 3)).substr(0, 40),
              "32-bit float WAV files are not supported");
    EXPECT_NE(Why(WavWith(2, 2, 4)).find("compressed WAV files (MS ADPCM)"), std::string::npos);
    EXPECT_NE(Why(WavWith(0x55, 2, 0)).find("(MP3)"), std::string::npos);
    EXPECT_NE(Why(WavWith(1, 2, 12)).find("12-bit samples are not supported"), std::string::npos);
    EXPECT_EQ(Why(WavWith(1, 10, 16)), "10 channels: the WAV plug-in plays 1 to 8");
    EXPECT_NE(Why(WavWith(1, 2, 16, 0, false)).find("without a data chunk"), std::string::npos);
    const std::string ogg = "OggS and more bytes";
    EXPECT_EQ(Why(Bytes(ogg.begin(), ogg.end())), "not a WAV file (no RIFF/WAVE header)");
}

// ----------------------------------------------------------------- the output file

struct TempFolder {
    std::filesystem::path Path =
        std::filesystem::temp_directory_path() / ("hvq_demo_test_" + std::to_string(std::rand()));
    TempFolder() { std::filesystem::create_directories(Path); }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(Path, ignored);
    }
};

Bytes ReadAll(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

std::uint32_t Le32At(const Bytes &b, std::size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | std::uint32_t{b[at + 3]} << 24;
}

TEST(DemoOutput, StoppedRenderLeavesATrueHeaderUnderThePartNameAndCommitReplacesTheFile) {
    TempFolder folder;
    const auto final = folder.Path / "mix.wav";
    std::ofstream(final) << "the previous render";
    const Bytes first{1, 2, 3, 4, 5, 6}, second{7, 8, 9, 10, 11};
    {
        demo::OutputWav out(final, {8000, 1, 8});
        out.Append(first);
        // As a render stopped here finds it: the samples so far, and a header that says so.
        const Bytes part = ReadAll(demo::OutputWav::PartPathFor(final));
        ASSERT_EQ(part.size(), 44u + 6u);
        EXPECT_EQ(Le32At(part, 40), 6u);
        EXPECT_EQ(Le32At(part, 4), 36u + 6u);
        wav::MemorySource source(part);
        const auto layout = wav::ReadLayout(source);
        ASSERT_TRUE(layout);
        EXPECT_EQ(layout->DataBytes, 6u);
        EXPECT_EQ(ReadAll(final).size(), std::string("the previous render").size());

        out.Append(second);
        out.Commit();
    }
    EXPECT_FALSE(std::filesystem::exists(demo::OutputWav::PartPathFor(final)));
    const Bytes done = ReadAll(final);
    ASSERT_EQ(done.size(), 44u + 12u); // padded to an even length
    EXPECT_EQ(Le32At(done, 40), 11u);
    EXPECT_EQ(Bytes(done.begin() + 44, done.begin() + 55),
              (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
}

TEST(DemoOutput, RenderGivenUpLeavesNoPartFileAndTheOldOutputAsItWas) {
    TempFolder folder;
    const auto final = folder.Path / "mix.wav";
    std::ofstream(final) << "kept";
    {
        demo::OutputWav out(final, {8000, 1, 16});
        out.Append(Bytes(64, 1));
    } // an error or Ctrl-C unwinds past it
    EXPECT_FALSE(std::filesystem::exists(demo::OutputWav::PartPathFor(final)));
    EXPECT_EQ(ReadAll(final), (Bytes{'k', 'e', 'p', 't'}));
    EXPECT_THROW(demo::OutputWav(folder.Path / "no-such-folder" / "x.wav", {8000, 1, 16}),
                 std::runtime_error);
}

// Before the render: a track that is missing or a folder, an output with no folder to go to,
// each said with the path as the user typed it.
TEST(DemoOutput, WhatCannotBeReadOrWrittenIsSaidBeforeTheRender) {
    TempFolder folder;
    const auto wav = folder.Path / "a.wav";
    std::ofstream(wav) << "RIFF";
    EXPECT_EQ(demo::WhyNotReadable(wav), "");
    EXPECT_EQ(demo::WhyNotReadable(folder.Path / "b.wav"), "there is no such file");
    EXPECT_EQ(demo::WhyNotReadable(folder.Path),
              "is a folder, not a WAV file: give the WAV files in it");

    EXPECT_EQ(demo::WhyNotWritable(folder.Path / "mix.wav", "out/mix.wav"), "");
    EXPECT_EQ(demo::WhyNotWritable(wav, "a.wav"), ""); // replaced once the render is done
    EXPECT_EQ(demo::WhyNotWritable(folder.Path / "new" / "mix.wav", "out/new/mix.wav"),
              "there is no folder out/new to write it in: make it first, or give another");
    EXPECT_EQ(demo::WhyNotWritable(wav / "mix.wav", "out\\a.wav\\mix.wav"),
              "out\\a.wav is a file, not a folder");
    EXPECT_EQ(demo::WhyNotWritable(folder.Path, "out"),
              "is a folder: give the name of the file to write");
}

// ----------------------------------------------------------------- a user's plug-in folder

TEST(DemoPluginFolder, ItsInputPluginsAreTakenInThePlayersOrderAndItsOwnCopyLeftOut) {
    TempFolder folder;
    for (const char *name : {"in_zeta.dll", "IN_Alpha.DLL", "in_hvqblend.dll", "out_ds.dll",
                             "in_.dll", "gen_ml.dll", "in_notes.txt", "plugin.ini"})
        std::ofstream(folder.Path / name) << "x";
    std::filesystem::create_directories(folder.Path / "in_folder.dll");
    const demo::PluginFolder found = demo::ReadPluginFolder(folder.Path, "Plugins");
    ASSERT_EQ(found.InputPlugins.size(), 2u);
    EXPECT_EQ(found.InputPlugins[0].filename(), "IN_Alpha.DLL");
    EXPECT_EQ(found.InputPlugins[1].filename(), "in_zeta.dll");
    EXPECT_TRUE(found.HasOwnProduct);
    EXPECT_EQ(found.OtherFiles, 5);

    const auto refused = [](const std::filesystem::path &path) {
        try {
            demo::ReadPluginFolder(path, "my plugins");
        } catch (const std::runtime_error &error) {
            return std::string(error.what());
        }
        return std::string();
    };
    EXPECT_EQ(refused(folder.Path / "none"), "--plugins my plugins: there is no such folder");
    EXPECT_EQ(refused(folder.Path / "plugin.ini"),
              "--plugins my plugins: is a file, not a folder: give the folder of the plug-ins (a "
              "player's Plugins folder)");
    TempFolder own;
    std::ofstream(own.Path / "in_hvqblend.dll") << "x";
    std::ofstream(own.Path / "out_ds.dll") << "x";
    EXPECT_EQ(refused(own.Path),
              "--plugins my plugins: no input plug-ins there (files named in_*.dll besides "
              "in_hvqblend.dll, which the render plays in this build's version): give a player's "
              "Plugins folder");
    TempFolder empty;
    EXPECT_EQ(refused(empty.Path), "--plugins my plugins: no input plug-ins there (files named "
                                   "in_*.dll): give a player's Plugins folder");
}

TEST(DemoPluginFolder, AFileBelongsToAPluginByItsExtensionInAnyLetterCase) {
    // Patterns and descriptions in turn; a pattern is cut to 14 characters.
    const std::vector<std::string> patterns = demo::ExtensionPatterns(
        {"FLAC;fla", "FLAC files (*.FLAC)", "ReallyLongExtension", "Long", ";wv;", "WavPack"});
    EXPECT_EQ(patterns, (std::vector<std::string>{"FLAC", "FLA", "REALLYLONGEXTE", "WV"}));
    EXPECT_TRUE(demo::ExtensionListed(patterns, "C:\\music\\01 Song.flac"));
    EXPECT_TRUE(demo::ExtensionListed(patterns, "song.Wv"));
    EXPECT_TRUE(demo::ExtensionListed(patterns, "a.reallylongexte"));
    EXPECT_FALSE(demo::ExtensionListed(patterns, "a.reallylongextension"));
    EXPECT_FALSE(demo::ExtensionListed(patterns, "C:\\music.flac\\readme"));
    EXPECT_FALSE(demo::ExtensionListed(patterns, "song.mp3"));
    EXPECT_FALSE(demo::ExtensionListed(patterns, "flac"));
    EXPECT_EQ(demo::ExtensionsText(patterns), ".FLAC .FLA .REALLYLONGEXTE .WV");
    EXPECT_EQ(demo::ExtensionsText({}), "no extensions");
    EXPECT_TRUE(demo::IsInputPluginName(L"IN_MP3.DLL"));
    EXPECT_FALSE(demo::IsInputPluginName(L"in_.dll"));
    EXPECT_FALSE(demo::IsInputPluginName(L"in_mp3.dll.bak"));
}

} // namespace

// ----------------------------------------------------------------- the equal-power curve

namespace {

TEST(DemoOptions, TheEqualPowerCurveIsAThirdChoice) {
    const auto parsed = Parse({"--curve", "equal-power", "a.wav"});
    ASSERT_EQ(parsed.Error, "");
    EXPECT_TRUE(parsed.Options.EqualPower);
    EXPECT_FALSE(parsed.Options.LogCurve);
    EXPECT_EQ(demo::CurveOf(parsed.Options), demo::Curve::EqualPower);
    EXPECT_STREQ(demo::CurveName(demo::Curve::EqualPower), "equal-power");
    EXPECT_EQ(demo::CurveOf(Parse({"--curve", "log", "a.wav"}).Options), demo::Curve::Log);
    EXPECT_NEAR(demo::Gain(0.5, demo::Curve::EqualPower), std::sqrt(0.5), 1e-15);
}

// Two loud tracks of one constant level: an equal-power fade sums them above full scale in its
// middle, where the output holds full scale. The counts come from the curve's definition.
TEST(DemoFades, SaturatedSamplesAndTheLoudnessAtTheMiddleAreMeasured) {
    const demo::PcmFormat format{1000, 1, 16};
    constexpr std::int16_t kLevel = 30000;
    const std::vector<std::int64_t> tracks{3000, 3000};
    const std::vector<demo::Segment> segments{{0, 2000, 1984, true, 0},
                                              {2000, 3000, 2984, false, 0}};
    demo::RenderResult result;
    result.Format = format;
    result.Tracks = {{"a.wav", 3000}, {"b.wav", 3000}};
    result.Segments = segments;
    result.Transitions = demo::FindTransitions(segments, tracks, format, 1000);
    result.OutputFrames = 5000;
    ASSERT_EQ(result.Transitions.size(), 1u);
    const demo::Transition &t = result.Transitions[0];
    ASSERT_TRUE(t.Crossfaded);
    ASSERT_EQ(t.MixedFrames(), 1000);

    // The output as the plug-in writes it: sums held at the limit.
    std::vector<std::int16_t> output(5000, kLevel);
    std::int64_t expectedSaturated = 0;
    for (std::int64_t k = 1; k <= t.MixedFrames(); ++k) {
        const double p = t.Position(k);
        const double sum = std::trunc(
            (std::sin(std::numbers::pi / 2 * (1 - p)) + std::sin(std::numbers::pi / 2 * p)) *
            kLevel);
        if (sum > 32767)
            ++expectedSaturated;
        output[static_cast<std::size_t>(2000 + k - 1)] =
            static_cast<std::int16_t>(std::min(sum, 32767.0));
    }
    ASSERT_GT(expectedSaturated, 100);
    TempFolder folder;
    const auto file = folder.Path / "out.wav";
    ASSERT_TRUE(
        wav::SaveFile(file, {format.Rate, format.Channels, format.Bits},
                      {reinterpret_cast<const std::uint8_t *>(output.data()), output.size() * 2}));
    const auto readTrack = [&](int, std::int64_t first, std::int64_t count) {
        const std::int64_t frames =
            std::max<std::int64_t>(0, std::min<std::int64_t>(count, 3000 - first));
        std::vector<std::int16_t> samples(static_cast<std::size_t>(frames), kLevel);
        const auto *bytes = reinterpret_cast<const std::uint8_t *>(samples.data());
        return Bytes(bytes, bytes + samples.size() * 2);
    };
    demo::RenderOptions options;
    options.EqualPower = true;
    demo::MeasureFades(file, result, options, readTrack);
    ASSERT_EQ(result.Fades.size(), 1u);
    EXPECT_EQ(result.Fades[0].Saturated, expectedSaturated);
    // Held at full scale in the middle: 32767 against the tracks' own 30000.
    EXPECT_NEAR(result.Fades[0].MiddleDb, 20 * std::log10(32767.0 / kLevel), 0.01);
    const std::string report = demo::FormatReport(result, options);
    EXPECT_NE(report.find("saturated " + std::to_string(expectedSaturated) + " samples"),
              std::string::npos);
    EXPECT_NE(report.find("middle of the fade: +0.8 dB"), std::string::npos);
    EXPECT_NE(report.find("EqualPowerTrans 1"), std::string::npos);

    // The linear curve never sums above full scale.
    demo::MeasureFades(file, result, {}, readTrack);
    EXPECT_EQ(result.Fades[0].Saturated, 0);
    EXPECT_EQ(demo::FormatReport(result, {}).find("saturated"), std::string::npos);
}

} // namespace

// ----------------------------------------------------------------- skips

namespace {

TEST(DemoOptions, SkipsAreTimesInTheOutputInOrder) {
    const auto parsed =
        Parse({"--skip-fade-ms", "800", "--skip-at", "6", "--skip-at=1:15.5", "a.wav"});
    ASSERT_EQ(parsed.Error, "");
    EXPECT_EQ(parsed.Options.SkipFadeMs, 800);
    EXPECT_EQ(parsed.Options.SkipAtSeconds, (std::vector<double>{6.0, 75.5}));
    EXPECT_NE(Parse({"--skip-at", "8", "--skip-at", "7", "a.wav"}).Error.find("later"),
              std::string::npos);
    EXPECT_NE(Parse({"--skip-at", "1:1.5:2", "a.wav"}).Error, "");
    EXPECT_NE(Parse({"--skip-at", "soon", "a.wav"}).Error, "");
    EXPECT_EQ(Parse({"a.wav"}).Options.SkipFadeMs, 0);
}

// A skip in the output's calls: what a Flush threw away unplayed leaves the timeline, and the
// transition is a skip fade over the skip fade time, or a plain one when the output re-opened.
TEST(DemoSkips, AFlushThatDiscardsShortensTheTrackAndTheSkipFadesOverItsTime) {
    const demo::PcmFormat format{1000, 1, 16};
    using K = demo::OutputCallKind;
    const std::vector<demo::OutputCall> calls = {
        {K::Open, 0, 1},        {K::Write, 4000, 1}, {K::Write, 2000, 1},
        {K::Flush, 0, 1, 1000}, // 500 frames of the first track were never heard
        {K::Write, 6000, 1},
    };
    std::vector<demo::TrackFile> tracks = {{"a.wav", 10000}, {"b.wav", 3000}};
    demo::RenderOptions options;
    options.SkipFadeMs = 1000;
    const auto result = demo::Analyse(calls, format, tracks, options, 0, 0, {0});
    ASSERT_EQ(result.Segments.size(), 2u);
    EXPECT_EQ(result.Segments[0].Frames, 2500);
    EXPECT_EQ(result.Segments[1].StartFrame, 2500);
    ASSERT_EQ(result.Transitions.size(), 1u);
    const demo::Transition &t = result.Transitions[0];
    EXPECT_TRUE(t.Skipped);
    EXPECT_TRUE(t.Crossfaded);
    EXPECT_EQ(t.RemainingMs, 7500);
    EXPECT_DOUBLE_EQ(t.FadeSeconds, 1.0);
    EXPECT_EQ(t.MixedFrames(), 1000);
    EXPECT_NE(demo::FormatReport(result, options).find("skip (Next pressed), fade 1.000 s"),
              std::string::npos);

    options.SkipFadeMs = 0;
    const auto cut = demo::Analyse(calls, format, tracks, options, 0, 0, {0});
    EXPECT_FALSE(cut.Transitions[0].Crossfaded);
    EXPECT_NE(demo::FormatReport(cut, options).find("the fade on skip is off: give --skip-fade-ms"),
              std::string::npos);
    options.SkipFadeGiven = true; // --skip-fade-ms 0: given, and it says off
    EXPECT_NE(demo::FormatReport(cut, options)
                  .find("--skip-fade-ms 0 turns the fade on skip off: give it more than 0 ms"),
              std::string::npos);
}

// A skip time that pressed nothing is named with why; one past the tracks' end is refused first.
TEST(DemoSkips, ATimeThatDidNotSkipIsNamedWithWhy) {
    const std::vector<OutputCall> calls = {{K::Open, 0, 1}, {K::Write, 6000, 1}};
    demo::RenderOptions options;
    options.SkipAtSeconds = {1.0, 2.5, 9.0};
    auto result = demo::Analyse(calls, kFormat, {{"a.wav", 3000}}, options);
    result.Skips = {demo::SkipOutcome::InLastTrack, demo::SkipOutcome::InLastTrack,
                    demo::SkipOutcome::NotReached};
    EXPECT_EQ(Joined(demo::ReportNotes(result, options)),
              "--skip-at 0:01.000 came during the last track, which has no next one: Next did "
              "nothing\n"
              "--skip-at 0:02.500 came during the last track, which has no next one: Next did "
              "nothing\n"
              "--skip-at 0:09.000 is past the end of the output (0:03.000): Next was not "
              "pressed; give an earlier time\n");

    EXPECT_EQ(demo::WhySkipNeverComes(options.SkipAtSeconds, 9.5), "");
    EXPECT_EQ(demo::WhySkipNeverComes(options.SkipAtSeconds, 9.0),
              "--skip-at 0:09.000 is past the end: the tracks last 0:09.000 one after the other, "
              "and the crossfades make the output shorter still");
}

// The render marks a track's start at its first write after the host's Play; the playback
// thread may still write one block of the skipped track there, before it flushes the output.
// What that Flush throws away is the skipped track's, and comes off it too.
TEST(DemoSkips, ADiscardLargerThanTheTrackBegunComesOffTheTrackBefore) {
    const demo::PcmFormat format{1000, 1, 16};
    const std::vector<demo::OutputCall> calls = {
        {K::Open, 0, 1},        {K::Write, 6000, 1}, // 3000 frames of track 1
        {K::Flush, 0, 1},                            // the start marked at the next write
        {K::Write, 200, 1},                          // still track 1
        {K::Flush, 0, 1, 1200}, // 600 frames unheard: 100 of the marked part, 500 before
        {K::Write, 4000, 1},    // track 2
    };
    const std::vector<demo::TrackFile> tracks = {{"a.wav", 10000}, {"b.wav", 2000}};
    const auto segments = demo::SplitSegments(calls, format);
    ASSERT_EQ(segments.size(), 2u);
    EXPECT_EQ(segments[0].Frames, 2500);
    EXPECT_EQ(segments[1].StartFrame, 2500);
    EXPECT_EQ(segments[1].Frames, 2000);
    demo::RenderOptions options;
    options.SkipFadeMs = 1000;
    const auto result = demo::Analyse(calls, format, tracks, options, 0, 0, {0});
    EXPECT_EQ(result.OutputFrames, 4500);
    EXPECT_EQ(result.Transitions.at(0).RemainingMs, 7500);
}

// Three tracks of 1 kHz mono: Next pressed 3 s into the first (a fade on skip of 1 s), then the
// second handed over 5.1 s in, 0.9 s before its end, into the third (3 s).
demo::RenderResult SkipThenCrossfade() {
    const std::vector<OutputCall> calls = {{K::Open, 0, 1},  {K::Write, 6000, 1},
                                           {K::Flush, 0, 1}, {K::Write, 10200, 1},
                                           {K::Flush, 0, 1}, {K::Write, 6000, 1}};
    demo::RenderOptions options;
    options.FadeMs = 1000;
    options.MinMs = 1000;
    options.SkipFadeMs = 1000;
    return demo::Analyse(calls, kFormat, {{"a.wav", 10000}, {"b.wav", 6000}, {"c.wav", 3000}},
                         options, 0, 0, {0});
}

TEST(DemoPicture, TheTitleCountsSkipsApartFromCrossfades) {
    const demo::RenderResult result = SkipThenCrossfade();
    ASSERT_EQ(result.Transitions.size(), 2u);
    ASSERT_TRUE(result.Transitions[0].Skipped && result.Transitions[0].Crossfaded);
    ASSERT_TRUE(result.Transitions[1].Crossfaded && !result.Transitions[1].Skipped);
    EXPECT_EQ(demo::MakePlotInput(result, {}, {}).Title,
              "Halvern Q-Blend: 3 tracks, 1 crossfade, 1 skip");
}

// The picture of one join shows 3 s before it to 3 s after its mix, within the output: the
// envelope, the tracks and the joins of that span only, drawn inside the panels.
TEST(DemoPicture, APictureOfOneJoinShowsTheSecondsAroundIt) {
    demo::RenderResult result = SkipThenCrossfade();
    demo::RenderOptions options;
    options.PngJoin = 2;
    const demo::PictureSpan span = demo::PictureSpanOf(result, options);
    // Join 2 at 8.1 s, its mix 0.9 s (what was left of track 2); the output ends at 11.1 s.
    EXPECT_NEAR(span.FromSeconds, 5.1, 1e-9);
    EXPECT_NEAR(span.Seconds, 6.0, 1e-9);

    // The output at a quarter of full scale until join 2, then at three quarters: one column
    // per second of the span.
    TempFolder folder;
    const std::filesystem::path file = folder.Path / "out.wav";
    Bytes pcm;
    for (int frame = 0; frame < 11100; ++frame) {
        const std::int16_t value = frame < 8100 ? 8192 : 24576;
        pcm.push_back(static_cast<std::uint8_t>(value));
        pcm.push_back(static_cast<std::uint8_t>(value >> 8));
    }
    ASSERT_TRUE(wav::SaveFile(file, {1000, 1, 16}, pcm));
    const demo::Envelope wave =
        demo::MeasureOutput(std::span<const std::filesystem::path>(&file, 1), result, 6, span);
    EXPECT_EQ(wave.Max, (std::vector<float>{0.25f, 0.25f, 0.25f, 0.75f, 0.75f, 0.75f}));

    const demo::PlotInput plot = demo::MakePlotInput(result, options, wave);
    EXPECT_EQ(plot.Title, "Halvern Q-Blend: join 2 of 2, track 2 > 3");
    EXPECT_NE(plot.Subtitle.find("0:05.100 to 0:11.100 of 0:11.100"), std::string::npos)
        << plot.Subtitle;
    EXPECT_EQ(plot.TotalFrames, 6000);
    EXPECT_EQ(plot.Tracks.at(1).StartFrame, -2100);
    // The skip's fade ended at 4 s, before the span: left out.
    ASSERT_EQ(plot.Transitions.size(), 1u);
    EXPECT_EQ(plot.Transitions[0].From, 1);
    EXPECT_EQ(plot.Transitions[0].StartFrame, 3000);
    ASSERT_EQ(plot.TransitionSeconds.size(), 1u);
    EXPECT_NEAR(plot.TransitionSeconds[0], 8.1, 1e-9);

    // Track 2 began 2.1 s before the span: its bar starts at the panel's edge, not in the margin.
    const draw::Canvas canvas = demo::DrawPlot(plot, 600);
    for (int x = 0; x < 50; ++x) {
        const draw::Color margin = canvas.At(x, 77), corner = canvas.At(0, 0);
        EXPECT_TRUE(margin.R == corner.R && margin.G == corner.G && margin.B == corner.B) << x;
    }
}

} // namespace

// ----------------------------------------------------------------- playlists of mixed formats

namespace {

TEST(DemoFormats, AMixedPlaylistIsRefusedWithWhatToDoUnlessItIsToCrossfadeAcrossFormats) {
    const std::vector<demo::NamedFormat> tracks = {{"a.wav", {44100, 2, 16}},
                                                   {"b.wav", {44100, 2, 16}},
                                                   {"c.wav", {22050, 1, 8}},
                                                   {"d.wav", {48000, 2, 24}}};
    const std::string why = demo::WhyNotOneFormat(tracks, false);
    EXPECT_EQ(why.rfind("mixed formats: a.wav is 44100 Hz 16-bit stereo, c.wav is 22050 Hz 8-bit "
                        "mono. ",
                        0),
              0u)
        << why;
    EXPECT_NE(why.find("give it to crossfade them all"), std::string::npos) << why;
    EXPECT_NE(why.find("--fade-across-formats"), std::string::npos) << why;
    EXPECT_EQ(demo::WhyNotOneFormat(tracks, true), "");
    EXPECT_EQ(demo::WhyNotOneFormat(std::span(tracks).first(2), false), "");

    // The switch takes no value: the next argument stays a file.
    const auto parsed = Parse({"--fade-across-formats", "a.wav", "b.wav"});
    ASSERT_EQ(parsed.Error, "");
    EXPECT_TRUE(parsed.Options.FadeAcrossFormats);
    EXPECT_EQ(parsed.Options.Inputs, (std::vector<std::string>{"a.wav", "b.wav"}));
    EXPECT_FALSE(Parse({"a.wav"}).Options.FadeAcrossFormats);
    EXPECT_NE(demo::RenderUsage().find("--fade-across-formats"), std::string::npos);
}

constexpr demo::PcmFormat kMonoKilo{1000, 1, 16};      // a frame: 1 ms, 2 bytes
constexpr demo::PcmFormat kStereoTwoKilo{2000, 2, 16}; // a frame: 0.5 ms, 4 bytes

OutputCall OpenIn(const demo::PcmFormat &format, unsigned long thread = kPlayback) {
    return {K::Open, format.Rate, thread, 0, format};
}

Bytes Filled(std::size_t count, std::uint8_t first) {
    Bytes bytes(count);
    for (std::size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<std::uint8_t>(first + i);
    return bytes;
}

Bytes Concatenated(std::initializer_list<Bytes> pieces) {
    Bytes all;
    for (const Bytes &piece : pieces)
        all.insert(all.end(), piece.begin(), piece.end());
    return all;
}

TEST(DemoFormats, EachRunOfOneFormatIsAFileOfItsOwnAndNoneIsLeftEmpty) {
    TempFolder folder;
    const auto final = folder.Path / "mix.wav";
    const demo::PcmFormat eight{8000, 1, 8};
    const Bytes a1 = Filled(8, 0), b1 = Filled(12, 40), b2 = Filled(8, 80), a2 = Filled(4, 120);
    {
        // Made in the first track's format, but the output opens in another before any sound:
        // the first file takes that one.
        demo::OutputFiles files(final, eight);
        const std::vector<OutputCall> first = {OpenIn(kMonoKilo),        {K::Write, 4, kPlayback},
                                               {K::Write, 4, kPlayback}, {K::Close, 0, kPlayback},
                                               OpenIn(kStereoTwoKilo),   {K::Write, 12, kPlayback}};
        files.Take(first, Concatenated({a1, b1}));
        // Re-opened in the same format: the same file goes on. An Open in a third format that
        // takes no sound leaves no file; the next run takes its place.
        const std::vector<OutputCall> second = {
            {K::Close, 0, kPlayback}, OpenIn(kStereoTwoKilo),  {K::Write, 8, kPlayback},
            {K::Close, 0, kPlayback}, OpenIn(eight),           {K::Close, 0, kPlayback},
            OpenIn(kMonoKilo),        {K::Write, 4, kPlayback}};
        files.Take(second, Concatenated({b2, a2}));
        EXPECT_EQ(files.Bytes(), 32u);
        EXPECT_DOUBLE_EQ(files.Seconds(), 4 / 1000.0 + 5 / 2000.0 + 2 / 1000.0);
        const auto runs = files.Runs();
        ASSERT_EQ(runs.size(), 3u);
        EXPECT_EQ(runs[0].Path, final);
        EXPECT_EQ(runs[1].Path, folder.Path / "mix-2.wav");
        EXPECT_EQ(runs[2].Path, folder.Path / "mix-3.wav");
        EXPECT_EQ(runs[1].Format, kStereoTwoKilo);
        EXPECT_EQ(runs[2].Format, kMonoKilo);
        files.Commit();
    }
    const auto expect = [&](const std::filesystem::path &path, const demo::PcmFormat &format,
                            const Bytes &pcm) {
        SCOPED_TRACE(path.filename().string());
        EXPECT_FALSE(std::filesystem::exists(demo::OutputWav::PartPathFor(path)));
        EXPECT_EQ(ReadAll(path), wav::MakeFile({format.Rate, format.Channels, format.Bits}, pcm));
    };
    expect(final, kMonoKilo, a1);
    expect(folder.Path / "mix-2.wav", kStereoTwoKilo, Concatenated({b1, b2}));
    expect(folder.Path / "mix-3.wav", kMonoKilo, a2);
    EXPECT_FALSE(std::filesystem::exists(folder.Path / "mix-4.wav"));
}

TEST(DemoFormats, WhatTheOutputDiscardedComesOffTheRunItWasWrittenTo) {
    TempFolder folder;
    const auto final = folder.Path / "skip.wav";
    {
        demo::OutputFiles files(final, kMonoKilo);
        // 6 bytes of the second run were thrown away unplayed: the record no longer has them.
        const std::vector<OutputCall> calls = {OpenIn(kMonoKilo),
                                               {K::Write, 6, kPlayback},
                                               {K::Close, 0, kPlayback},
                                               OpenIn(kStereoTwoKilo),
                                               {K::Write, 8, kPlayback},
                                               {K::Write, 8, kPlayback},
                                               {K::Flush, 0, kPlayback, 12},
                                               {K::Write, 4, kPlayback}};
        files.Take(calls, Concatenated({Filled(6, 0), Filled(4, 10), Filled(4, 20)}));
        files.Commit();
    }
    EXPECT_EQ(ReadAll(final), wav::MakeFile({1000, 1, 16}, Filled(6, 0)));
    EXPECT_EQ(ReadAll(folder.Path / "skip-2.wav"),
              wav::MakeFile({2000, 2, 16}, Concatenated({Filled(4, 10), Filled(4, 20)})));
}

TEST(DemoFormats, TheFilesAreNamedAlikeInTheReportAndOnDisk) {
    for (const std::string name : {"mix.wav", "out/mix.wav", "out.v2/mix", "mix", "a.b.wav"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(demo::OutputFiles::RunName(name, 0), name);
        EXPECT_EQ(std::filesystem::path(demo::OutputFiles::RunName(name, 2)),
                  demo::OutputFiles::RunPath(name, 2));
    }
    EXPECT_EQ(demo::OutputFiles::RunName("out.v2/mix", 1), "out.v2/mix-2");
    EXPECT_EQ(demo::OutputFiles::RunName("a.b.wav", 3), "a.b-4.wav");
}

// Track 1: 6400 ms of 1 kHz mono, handed over 4480 ms in (past its fade point 4400 ms) and
// converted into track 2, 10 s of 2 kHz stereo, which the output is re-opened for.
std::vector<OutputCall> CrossfadeAcrossFormats() {
    std::vector<OutputCall> calls{OpenIn(kMonoKilo)};
    PlayBlocksOn(calls, 70, kPlayback); // 64 frames a block
    calls.push_back({K::Close, 0, kPlayback});
    calls.push_back(OpenIn(kStereoTwoKilo));
    PlayBlocksOn(calls, 625, kPlayback); // 32 frames a block: 20000 frames
    return calls;
}

const std::vector<demo::TrackFile> kMixedTracks = {{"one.wav", 6400, false, kMonoKilo},
                                                   {"two.wav", 20000, false, kStereoTwoKilo}};

TEST(DemoFormats, ACrossfadeIntoAnotherFormatIsCountedInTheIncomingTracksFrames) {
    demo::RenderOptions options;
    options.FadeMs = 2000;
    options.MinMs = 3000;
    options.FadeAcrossFormats = true;
    const auto result =
        demo::Analyse(CrossfadeAcrossFormats(), kMonoKilo, kMixedTracks, options, kPlayback, 1252);
    ASSERT_EQ(result.Segments.size(), 2u);
    EXPECT_EQ(result.Segments[1].File, 1);
    EXPECT_EQ(result.Segments[1].StartFrame, 0);
    EXPECT_EQ(result.Segments[1].Format, kStereoTwoKilo);
    ASSERT_EQ(result.Runs.size(), 2u);
    EXPECT_EQ(result.Runs[0].Frames, 4480);
    EXPECT_EQ(result.Runs[1].Frames, 20000);
    EXPECT_DOUBLE_EQ(result.Runs[1].StartSeconds, 4.48);
    EXPECT_DOUBLE_EQ(demo::OutputSeconds(result), 14.48);

    ASSERT_EQ(result.Transitions.size(), 1u);
    const demo::Transition &t = result.Transitions[0];
    EXPECT_TRUE(t.Crossfaded);
    EXPECT_TRUE(t.AcrossFormats);
    EXPECT_TRUE(t.Reopened);
    EXPECT_EQ(t.RemainingMs, 6400 - 69 * 64); // written when the last block was read
    EXPECT_DOUBLE_EQ(t.FadeSeconds, 1.984);
    EXPECT_NEAR(static_cast<double>(t.CurveFrames), 3968.0, 1.0); // at 2 kHz
    EXPECT_EQ(t.OutgoingFrames, (6400 - 4480) * 2);               // 1920 ms at 2 kHz
    EXPECT_EQ(t.MixedFrames(), 3840);

    const std::string report = demo::FormatReport(result, options);
    EXPECT_NE(report.find("FadeAcrossFormats 1"), std::string::npos) << report;
    EXPECT_NE(report.find("  1  one.wav    0:06.400  1000 Hz 16-bit mono     "
                          "0:00.000 - 0:04.480\n"),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("  2  two.wav    0:10.000  2000 Hz 16-bit stereo   "
                          "0:04.480 - 0:14.480\n"),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("its files one after the other"), std::string::npos) << report;
    EXPECT_NE(report.find("1 > 2  at 0:04.480  crossfade 1.920 s (curve 1.984 s)"),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("across formats: 1000 Hz 16-bit mono > 2000 Hz 16-bit stereo"),
              std::string::npos)
        << report;

    // One timeline for the picture, at the higher rate: track 1's 4480 ms are 8960 frames.
    const demo::PlotInput plot = demo::MakePlotInput(result, options, {});
    EXPECT_EQ(plot.Format.Rate, 2000);
    EXPECT_EQ(plot.TotalFrames, 28960);
    ASSERT_EQ(plot.Tracks.size(), 2u);
    EXPECT_EQ(plot.Tracks[0].Frames, 8960);
    EXPECT_EQ(plot.Tracks[1].StartFrame, 8960);
    EXPECT_EQ(plot.Tracks[0].Note, "1 kHz 16-bit mono");
    EXPECT_EQ(plot.Transitions.at(0).StartFrame, 8960);
    EXPECT_EQ(plot.Transitions.at(0).MixedFrames(), 3840);
    EXPECT_EQ(plot.TransitionSeconds, (std::vector<double>{4.48}));
    EXPECT_NE(plot.Subtitle.find("2 formats, 0:14.480"), std::string::npos) << plot.Subtitle;
    EXPECT_EQ(demo::DrawPlot(plot, 600).Width(), 600);
}

TEST(DemoFormats, APlainTransitionBetweenFormatsSaysWhy) {
    demo::RenderOptions options;
    options.FadeMs = 2000;
    options.MinMs = 3000;
    // Without the option the same cut-short track cannot have been handed over.
    const auto refused =
        demo::Analyse(CrossfadeAcrossFormats(), kMonoKilo, kMixedTracks, options, kPlayback, 1252);
    const demo::Transition &cut = refused.Transitions.at(0);
    EXPECT_FALSE(cut.Crossfaded);
    EXPECT_TRUE(cut.AcrossFormats);
    const std::string why = Joined(demo::NoCrossfadeReasons(refused, cut, options));
    EXPECT_NE(why.find("the tracks differ in format (1000 Hz 16-bit mono > 2000 Hz 16-bit "
                       "stereo): give --fade-across-formats"),
              std::string::npos)
        << why;

    // With it, a track played to its end before the output re-opened: the plug-in did not.
    options.FadeAcrossFormats = true;
    std::vector<OutputCall> whole{OpenIn(kMonoKilo)};
    PlayBlocksOn(whole, 100, kPlayback);
    whole.push_back({K::Close, 0, kPlayback});
    whole.push_back(OpenIn(kStereoTwoKilo));
    PlayBlocksOn(whole, 625, kPlayback);
    const auto plain = demo::Analyse(whole, kMonoKilo, kMixedTracks, options, kPlayback, 1252);
    const demo::Transition &t = plain.Transitions.at(0);
    EXPECT_FALSE(t.Crossfaded);
    EXPECT_TRUE(t.AcrossFormats);
    EXPECT_EQ(Joined(demo::NoCrossfadeReasons(plain, t, options)),
              "the tracks differ in format (1000 Hz 16-bit mono > 2000 Hz 16-bit stereo) and the "
              "plug-in re-opened the output without a crossfade (does this version crossfade "
              "across formats?)\n");
    EXPECT_NE(demo::FormatReport(plain, options).find("no crossfade (output re-opened)"),
              std::string::npos);

    // More than two channels on one side: the plug-in keeps the plain transition.
    const demo::PcmFormat six{2000, 6, 16};
    std::vector<OutputCall> surround{OpenIn(kMonoKilo)};
    PlayBlocksOn(surround, 100, kPlayback);
    surround.push_back({K::Close, 0, kPlayback});
    surround.push_back(OpenIn(six));
    PlayBlocksOn(surround, 100, kPlayback);
    const std::vector<demo::TrackFile> tracks = {{"one.wav", 6400, false, kMonoKilo},
                                                 {"six.wav", 6400, false, six}};
    const auto kept = demo::Analyse(surround, kMonoKilo, tracks, options, kPlayback, 1252);
    EXPECT_NE(Joined(demo::NoCrossfadeReasons(kept, kept.Transitions.at(0), options))
                  .find("across formats the plug-in converts only mono to stereo and back"),
              std::string::npos);
}

// Each run's samples are read from its own file in its own format: the peak of a crossfade from
// the incoming track's file, the envelope by time, and the loudness in the middle of the fade
// against the two tracks' own sound, each read in its own format.
TEST(DemoFormats, LevelsAreReadFromEachRunsFileInItsFormat) {
    demo::RenderOptions options;
    options.FadeMs = 2000;
    options.MinMs = 3000;
    options.FadeAcrossFormats = true;
    auto result =
        demo::Analyse(CrossfadeAcrossFormats(), kMonoKilo, kMixedTracks, options, kPlayback, 1252);
    const demo::Transition &t = result.Transitions.at(0);
    ASSERT_TRUE(t.Crossfaded);

    // Run 1 at a quarter of full scale; run 2 at a half, but 0.75 inside the mixed frames.
    TempFolder folder;
    const std::vector<std::filesystem::path> files = {folder.Path / "m.wav",
                                                      folder.Path / "m-2.wav"};
    const auto constant = [](std::int64_t samples, double unit) {
        Bytes pcm;
        const auto v = static_cast<std::int16_t>(std::lround(unit * 32768));
        for (std::int64_t i = 0; i < samples; ++i) {
            pcm.push_back(static_cast<std::uint8_t>(v));
            pcm.push_back(static_cast<std::uint8_t>(v >> 8));
        }
        return pcm;
    };
    ASSERT_TRUE(wav::SaveFile(files[0], {1000, 1, 16}, constant(4480, 0.25)));
    ASSERT_TRUE(wav::SaveFile(files[1], {2000, 2, 16},
                              Concatenated({constant(2 * t.MixedFrames(), 0.75),
                                            constant(2 * (20000 - t.MixedFrames()), 0.5)})));
    const demo::Envelope envelope = demo::MeasureOutput(files, result, 4);
    ASSERT_EQ(result.PeakDbfs.size(), 1u);
    EXPECT_NEAR(result.PeakDbfs[0], demo::ToDbfs(0.75), 1e-9);
    // 14.48 s in four columns of 3.62 s: the first all run 1, the second run 1 and the fade.
    EXPECT_FLOAT_EQ(envelope.Max[0], 0.25f);
    EXPECT_FLOAT_EQ(envelope.Min[1], 0.25f);
    EXPECT_FLOAT_EQ(envelope.Max[1], 0.75f);
    EXPECT_FLOAT_EQ(envelope.Max[3], 0.5f);

    // The tracks' own sound: track 1 at 0.25 (its rest from frame 4480), track 2 at 0.5.
    const auto readTrack = [&](int track, std::int64_t first, std::int64_t count) {
        const demo::PcmFormat &format = kMixedTracks[static_cast<std::size_t>(track)].Format;
        const std::int64_t frames = std::clamp<std::int64_t>(
            kMixedTracks[static_cast<std::size_t>(track)].Frames - first, 0, count);
        return constant(frames * format.Channels, track == 0 ? 0.25 : 0.5);
    };
    demo::MeasureFades(files, result, options, readTrack);
    ASSERT_EQ(result.Fades.size(), 1u);
    EXPECT_EQ(result.Fades[0].Saturated, 0); // not counted across formats
    EXPECT_NEAR(result.Fades[0].MiddleDb,
                10 * std::log10(0.75 * 0.75 / ((0.25 * 0.25 + 0.5 * 0.5) / 2)), 1e-3);
}

// A hand-over counts as a crossfade only where the output holds the curve's mix: a fade that was
// cut (the outgoing track gone at once, the incoming one at full level) is reported as such.
TEST(DemoFormats, AHandOverIsACrossfadeOnlyWhereTheOutputHoldsTheCurvesMix) {
    // Track 1 (10 s at 1 kHz) handed over after 8.1 s, its last block of 16 frames included.
    const std::vector<OutputCall> calls = {OpenIn(kMonoKilo), {K::Write, 16168, kPlayback},
                                           {K::Write, 32, kPlayback}, {K::Flush, 0, kPlayback},
                                           {K::Write, 8000, kPlayback}};
    const std::vector<demo::TrackFile> tracks = {{"one.wav", 10000, false, kMonoKilo},
                                                 {"two.wav", 4000, false, kMonoKilo}};
    demo::RenderOptions options;
    options.FadeMs = 2000;
    options.MinMs = 1000;
    const Bytes one = Filled(20000, 1), two = Filled(8000, 7);
    const demo::TrackReader readTrack = [&](int track, std::int64_t first, std::int64_t count) {
        const Bytes &own = track == 0 ? one : two;
        const auto from = std::min(own.size(), static_cast<std::size_t>(first * 2));
        const auto to = std::min(own.size(), from + static_cast<std::size_t>(count * 2));
        return Bytes(own.begin() + static_cast<std::ptrdiff_t>(from),
                     own.begin() + static_cast<std::ptrdiff_t>(to));
    };
    const auto confirmed = [&](const Bytes &afterHandOver) {
        TempFolder folder;
        const std::vector<std::filesystem::path> files = {folder.Path / "mix.wav"};
        EXPECT_TRUE(wav::SaveFile(
            files[0], {1000, 1, 16},
            Concatenated({Bytes(one.begin(), one.begin() + 16200), afterHandOver})));
        auto result = demo::Analyse(calls, kMonoKilo, tracks, options);
        demo::ConfirmFades(files, result, options, readTrack);
        return result;
    };
    const demo::Transition handOver = demo::Analyse(calls, kMonoKilo, tracks, options).Transitions.at(0);
    ASSERT_TRUE(handOver.Crossfaded);
    Bytes mixed = two;
    for (std::int64_t k = 1; k <= std::min<std::int64_t>(handOver.MixedFrames(), 4000); ++k) {
        const auto at = static_cast<std::size_t>(k - 1) * 2;
        const double value =
            handOver.IncomingGain(k, false) * static_cast<std::int16_t>(two[at] | two[at + 1] << 8) +
            handOver.OutgoingGain(k, false) *
                static_cast<std::int16_t>(one[16200 + at] | one[16201 + at] << 8);
        const auto sample = static_cast<std::int16_t>(std::trunc(value));
        mixed[at] = static_cast<std::uint8_t>(sample);
        mixed[at + 1] = static_cast<std::uint8_t>(sample >> 8);
    }
    EXPECT_TRUE(confirmed(mixed).Transitions.at(0).Crossfaded);

    const demo::RenderResult cut = confirmed(two);
    const demo::Transition &t = cut.Transitions.at(0);
    EXPECT_FALSE(t.Crossfaded);
    EXPECT_TRUE(t.NotHeardMixed);
    EXPECT_NE(Joined(demo::NoCrossfadeReasons(cut, t, options)).find("the fade was cut"),
              std::string::npos);
}

// A skip into another format re-opens the output whether or not the skipped track went on
// converted; the incoming track's first frames in the output tell.
TEST(DemoFormats, ASkipIntoAnotherFormatFadedWhereTheIncomingTrackIsMixed) {
    const std::vector<OutputCall> calls = {
        OpenIn(kMonoKilo),        {K::Write, 4000, kPlayback}, // 2000 frames
        {K::Flush, 0, kPlayback}, {K::Close, 0, kPlayback},
        OpenIn(kStereoTwoKilo),   {K::Write, 16000, kPlayback}}; // 4000 frames
    const std::vector<demo::TrackFile> tracks = {{"one.wav", 10000, false, kMonoKilo},
                                                 {"two.wav", 4000, false, kStereoTwoKilo}};
    demo::RenderOptions options;
    options.SkipFadeMs = 1000;
    options.FadeAcrossFormats = true;
    const Bytes own = Filled(16000, 3); // track 2 as its file holds it
    const demo::TrackReader readTrack = [&](int, std::int64_t first, std::int64_t count) {
        const auto from = std::min(own.size(), static_cast<std::size_t>(first * 4));
        const auto to = std::min(own.size(), from + static_cast<std::size_t>(count * 4));
        return Bytes(own.begin() + static_cast<std::ptrdiff_t>(from),
                     own.begin() + static_cast<std::ptrdiff_t>(to));
    };
    TempFolder folder;
    const std::vector<std::filesystem::path> files = {folder.Path / "s.wav",
                                                      folder.Path / "s-2.wav"};
    ASSERT_TRUE(wav::SaveFile(files[0], {1000, 1, 16}, Bytes(4000, 0)));

    // Mixed: the skip faded over a second at 2 kHz.
    Bytes mixed = own;
    mixed[2] ^= 0x40;
    ASSERT_TRUE(wav::SaveFile(files[1], {2000, 2, 16}, mixed));
    auto faded = demo::Analyse(calls, kMonoKilo, tracks, options, 0, 0, {0});
    demo::ConfirmFades(files, faded, options, readTrack);
    const demo::Transition &fade = faded.Transitions.at(0);
    EXPECT_TRUE(fade.Skipped);
    EXPECT_TRUE(fade.Crossfaded);
    EXPECT_TRUE(fade.AcrossFormats);
    EXPECT_EQ(fade.RemainingMs, 8000);
    EXPECT_NEAR(static_cast<double>(fade.MixedFrames()), 2000.0, 1.0); // a second at 2 kHz
    EXPECT_NE(demo::FormatReport(faded, options).find("skip (Next pressed), fade 1.00"),
              std::string::npos);

    // Exactly the file's own sound: it did not.
    ASSERT_TRUE(wav::SaveFile(files[1], {2000, 2, 16}, own));
    auto plain = demo::Analyse(calls, kMonoKilo, tracks, options, 0, 0, {0});
    demo::ConfirmFades(files, plain, options, readTrack);
    const demo::Transition &cut = plain.Transitions.at(0);
    EXPECT_TRUE(cut.Skipped);
    EXPECT_FALSE(cut.Crossfaded);
    EXPECT_NE(Joined(demo::NoCrossfadeReasons(plain, cut, options))
                  .find("track 1 could not go on from where it was heard, converted to the next "
                        "track's format"),
              std::string::npos);

    // Without the option the calls alone say it: nothing to confirm.
    options.FadeAcrossFormats = false;
    const auto off = demo::Analyse(calls, kMonoKilo, tracks, options, 0, 0, {0});
    EXPECT_FALSE(off.Transitions.at(0).Crossfaded);
    EXPECT_NE(Joined(demo::NoCrossfadeReasons(off, off.Transitions.at(0), options))
                  .find("give --fade-across-formats to fade across them"),
              std::string::npos);
}

TEST(DemoFormats, TheShortFormatNamesTheRateInKilohertz) {
    EXPECT_EQ(demo::ShortFormat({44100, 2, 16}), "44.1 kHz 16-bit stereo");
    EXPECT_EQ(demo::ShortFormat({22050, 1, 8}), "22.05 kHz 8-bit mono");
    EXPECT_EQ(demo::ShortFormat({48000, 6, 24}), "48 kHz 24-bit 6 ch");
}

// ----------------------------------------------------------------- transitions that follow the music

// A 1 kHz mono track: `silent` frames of silence, `sound` frames of a loud square wave, then
// `after` frames of silence.
Bytes EdgeTrack(int silent, int sound, int after) {
    Bytes pcm(static_cast<std::size_t>(silent + sound + after) * 2, 0);
    for (int i = 0; i < sound; ++i) {
        const auto value = static_cast<std::int16_t>(i % 8 < 4 ? 12000 + i % 97 : -11000 - i % 89);
        pcm[static_cast<std::size_t>(silent + i) * 2] = static_cast<std::uint8_t>(value);
        pcm[static_cast<std::size_t>(silent + i) * 2 + 1] = static_cast<std::uint8_t>(value >> 8);
    }
    return pcm;
}

Bytes FramesOf(const Bytes &pcm, std::int64_t first, std::int64_t count) {
    const auto from = std::min(pcm.size(), static_cast<std::size_t>(first * 2));
    const auto to = std::min(pcm.size(), from + static_cast<std::size_t>(count * 2));
    return Bytes(pcm.begin() + static_cast<std::ptrdiff_t>(from),
                 pcm.begin() + static_cast<std::ptrdiff_t>(to));
}

std::int16_t SampleAt(const Bytes &pcm, std::int64_t frame) {
    const auto at = static_cast<std::size_t>(frame) * 2;
    return at + 1 < pcm.size() ? static_cast<std::int16_t>(pcm[at] | pcm[at + 1] << 8) : 0;
}

// A 5 s crossfade at 8 kHz into a track whose first second lies between -70 and -60 dBFS: the
// output holds the curve's mix, though the incoming track is far below the output's rounding
// where the fade begins (a tenth of a step and less in its first 20 ms). Both tracks share a low
// note there, as music in one key does. Judged over the whole fade it is a crossfade; a fade cut
// at once into the same tracks is not.
TEST(DemoFades, AFadeIntoAQuietStartIsJudgedOverTheWholeFade) {
    constexpr demo::PcmFormat kEightKilo{8000, 1, 16};
    constexpr double kTwoPi = 2 * std::numbers::pi;
    const auto tone = [&](int frames, auto level) {
        Bytes pcm;
        for (int n = 0; n < frames; ++n) {
            const auto v = static_cast<std::int16_t>(std::lround(level(n)));
            pcm.push_back(static_cast<std::uint8_t>(v));
            pcm.push_back(static_cast<std::uint8_t>(v >> 8));
        }
        return pcm;
    };
    const Bytes one = tone(80000, [&](int n) {
        return 9000 * std::sin(kTwoPi * 55 * n / 8000) + 2000 * std::sin(kTwoPi * 220 * n / 8000);
    });
    const Bytes two = tone(64000, [&](int n) {
        if (n >= 8000)
            return 9000 * std::sin(kTwoPi * 82.4 * n / 8000) +
                   3000 * std::sin(kTwoPi * 330 * n / 8000);
        // -70 dBFS rising to -60 dBFS (RMS) over the first second.
        const double rms = 32768 * std::pow(10.0, (-70.0 + 10.0 * n / 8000) / 20);
        return rms * std::sqrt(2.0) * std::sin(kTwoPi * 55 * n / 8000 + 0.5);
    });
    // Track 1 handed over after 40064 frames, its last block of 64 frames included.
    const std::vector<OutputCall> calls = {OpenIn(kEightKilo),
                                           {K::Write, 80000, kPlayback},
                                           {K::Write, 128, kPlayback},
                                           {K::Flush, 0, kPlayback},
                                           {K::Write, 128000, kPlayback}};
    const std::vector<demo::TrackFile> tracks = {{"one.wav", 80000, false, kEightKilo},
                                                 {"two.wav", 64000, false, kEightKilo}};
    demo::RenderOptions options;
    options.FadeMs = 5000;
    options.MinMs = 1000;
    const demo::TrackReader readTrack = [&](int track, std::int64_t first, std::int64_t count) {
        return FramesOf(track == 0 ? one : two, first, count);
    };
    const demo::Transition handOver =
        demo::Analyse(calls, kEightKilo, tracks, options).Transitions.at(0);
    ASSERT_TRUE(handOver.Crossfaded);
    ASSERT_EQ(handOver.MixedFrames(), 39936);
    const auto rendered = [&](bool mixed) {
        Bytes out = FramesOf(one, 0, 40064);
        for (std::int64_t k = 1; k <= 64000; ++k) {
            double value = SampleAt(two, k - 1);
            if (mixed && k <= handOver.MixedFrames())
                value = std::trunc(handOver.IncomingGain(k, false) * value +
                                   handOver.OutgoingGain(k, false) * SampleAt(one, 40064 + k - 1));
            const auto sample = static_cast<std::int16_t>(value);
            out.push_back(static_cast<std::uint8_t>(sample));
            out.push_back(static_cast<std::uint8_t>(sample >> 8));
        }
        TempFolder folder;
        const std::vector<std::filesystem::path> files = {folder.Path / "mix.wav"};
        EXPECT_TRUE(wav::SaveFile(files[0], {8000, 1, 16}, out));
        demo::RenderResult result = demo::Analyse(calls, kEightKilo, tracks, options);
        demo::ConfirmFades(files, result, options, readTrack);
        return result;
    };
    const demo::RenderResult faded = rendered(true);
    EXPECT_TRUE(faded.Transitions.at(0).Crossfaded)
        << Joined(demo::NoCrossfadeReasons(faded, faded.Transitions.at(0), options));
    const demo::RenderResult cut = rendered(false);
    EXPECT_FALSE(cut.Transitions.at(0).Crossfaded);
    EXPECT_TRUE(cut.Transitions.at(0).NotHeardMixed);
}

TEST(DemoEdges, TheTrackEndAndLeadingSilenceAreFoundAsThePluginFindsThem) {
    demo::RenderOptions options;
    options.SkipSilence = true;
    const Bytes track = EdgeTrack(300, 20000, 3000);
    const demo::FrameReader read = [&](std::int64_t first, std::int64_t count) {
        return FramesOf(track, first, count);
    };
    const demo::TrackEdgePlan plan = demo::PlanTrackEdges(kMonoKilo, 23300, options, read);
    EXPECT_EQ(plan.EndMs, 20300);
    EXPECT_EQ(plan.FadeMs, 5000);
    EXPECT_FALSE(plan.OwnFadeOut);
    EXPECT_EQ(plan.LeadingSilenceFrames, 300);
    // Nothing followed: the plain rules.
    const demo::TrackEdgePlan off = demo::PlanTrackEdges(kMonoKilo, 23300, {}, read);
    EXPECT_EQ(off.EndMs, -1);
    EXPECT_EQ(off.LeadingSilenceFrames, 0);
}

// Track 1 (10 s) sounds for 7 s, track 2 starts after 0.5 s of silence. With a fade of 2 s the
// plug-in hands track 1 over in the block read at 5050 ms (the first past 7000 - 2000), mixes its
// rest over the 1950 ms to its sound's end and starts track 2 at its sound.
struct TrimmedCrossfade {
    const Bytes one = EdgeTrack(0, 7000, 3000), two = EdgeTrack(500, 5500, 0);
    const std::vector<OutputCall> calls = {OpenIn(kMonoKilo), {K::Write, 10100, kPlayback},
                                           {K::Write, 32, kPlayback}, {K::Flush, 0, kPlayback},
                                           {K::Write, 11000, kPlayback}};
    demo::RenderOptions options = [] {
        demo::RenderOptions o;
        o.FadeMs = 2000;
        o.MinMs = 1000;
        o.SkipSilence = true;
        return o;
    }();
    std::vector<demo::TrackFile> Tracks(bool planned) const {
        std::vector<demo::TrackFile> tracks = {{"one.wav", 10000, false, kMonoKilo},
                                               {"two.wav", 6000, false, kMonoKilo}};
        if (planned) {
            tracks[0].Edges = {7000, 2000};
            tracks[1].Edges.LeadingSilenceFrames = 500;
        }
        return tracks;
    }
    // The output as the plug-in writes it: track 1 to the hand-over, then the mix.
    Bytes Output(const demo::Transition &t) const {
        Bytes out = FramesOf(one, 0, 5066);
        for (std::int64_t k = 1; k <= 5500; ++k) {
            const double value = t.IncomingGain(k, false) * SampleAt(two, 500 + k - 1) +
                                 t.OutgoingGain(k, false) * SampleAt(one, 5066 + k - 1);
            const auto sample = static_cast<std::int16_t>(std::trunc(value));
            out.push_back(static_cast<std::uint8_t>(sample));
            out.push_back(static_cast<std::uint8_t>(sample >> 8));
        }
        return out;
    }
};

TEST(DemoEdges, ATrimmedCrossfadeIsHeardMixedAndReportedWithWhatWasTrimmed) {
    const TrimmedCrossfade c;
    const demo::TrackReader readTrack = [&](int track, std::int64_t first, std::int64_t count) {
        return FramesOf(track == 0 ? c.one : c.two, first, count);
    };
    demo::RenderResult result = demo::Analyse(c.calls, kMonoKilo, c.Tracks(true), c.options);
    const demo::Transition planned = result.Transitions.at(0);
    ASSERT_TRUE(planned.Crossfaded);
    EXPECT_EQ(planned.RemainingMs, 1950);
    EXPECT_EQ(planned.FadeStartMs, 5050);
    EXPECT_EQ(planned.TrailingTrimmedMs, 3000);
    EXPECT_EQ(planned.IncomingSkipped, 500);

    TempFolder folder;
    const std::vector<std::filesystem::path> files = {folder.Path / "mix.wav"};
    ASSERT_TRUE(wav::SaveFile(files[0], {1000, 1, 16}, c.Output(planned)));
    demo::ConfirmFades(files, result, c.options, readTrack);
    ASSERT_TRUE(result.Transitions.at(0).Crossfaded);
    EXPECT_EQ(demo::MixPointLine(result, result.Transitions[0]),
              "fade started at 0:05.050 of track 1, for the set time; silence trimmed: 3.000 s at "
              "the end of track 1, 0.500 s at the start of track 2");
    EXPECT_NE(demo::FormatReport(result, c.options)
                  .find("SkipSilence 1, SilenceThreshold -50 dBFS (skip silence at track edges)"),
              std::string::npos);

    // The plain rules cannot account for the same output: the trimming is what made it a mix.
    demo::RenderResult plain = demo::Analyse(c.calls, kMonoKilo, c.Tracks(false), c.options);
    demo::ConfirmFades(files, plain, c.options, readTrack);
    EXPECT_FALSE(plain.Transitions.at(0).Crossfaded);
}

TEST(DemoEdges, AFadeOverTheTracksOwnFadeOutAndAnAlbumJoinAreReportedSo) {
    demo::RenderOptions options;
    options.FadeMs = 2000;
    options.MinMs = 1000;
    options.FadeOverOwnFadeOuts = true;
    options.AlbumsThrough = true;
    // Track 1 fades out by itself from 5500 ms to its sound's end at 7000 ms; track 2 is followed
    // by the next track of its album, which it runs into without a break.
    std::vector<demo::TrackFile> tracks = {{"one.wav", 8000, false, kMonoKilo},
                                           {"two.wav", 4000, false, kMonoKilo},
                                           {"three.wav", 3000, false, kMonoKilo}};
    tracks[0].Edges = {7000, 1500, true};
    tracks[1].Edges.ContinuesAlbum = true;
    const std::vector<OutputCall> calls = {
        OpenIn(kMonoKilo),        {K::Write, 11100, kPlayback}, {K::Write, 32, kPlayback},
        {K::Flush, 0, kPlayback}, {K::Write, 8000, kPlayback},  {K::Flush, 0, kPlayback},
        {K::Write, 6000, kPlayback}};
    const demo::RenderResult result = demo::Analyse(calls, kMonoKilo, tracks, options);
    ASSERT_EQ(result.Transitions.size(), 2u);
    EXPECT_EQ(result.Transitions[0].Reason, demo::MixReason::OwnFadeOut);
    EXPECT_EQ(result.Transitions[1].Reason, demo::MixReason::AlbumJoin);
    const std::string report = demo::FormatReport(result, options);
    for (const char *line :
         {"crossfade 1.450 s (curve 1.450 s)",
          "fade started at 0:05.550 of track 1, for its own fade-out; silence trimmed: 1.000 s at "
          "the end of track 1\n",
          "2 > 3  at 0:09.566  album join: no crossfade, track 3 written straight on after the last "
          "sample of track 2 (gapless)\n",
          "PlayAlbumsThrough 1 (albums joined without a crossfade)"})
        EXPECT_NE(report.find(line), std::string::npos) << line << "\n" << report;
}

// 16-bit mono noise at an RMS level (dBFS), from a linear congruential generator, in dB steps
// per frame: level(frame) gives the frame's level, -infinity for digital silence.
template <class Level> Bytes Noise(int frames, std::uint32_t seed, Level level) {
    Bytes pcm;
    for (int n = 0; n < frames; ++n) {
        seed = seed * 1103515245u + 12345u;
        const double uniform = static_cast<double>(seed >> 8) / (1 << 24) * 2.0 - 1.0;
        // A uniform sample's RMS is its peak over the square root of 3.
        const double peak = 32768.0 * std::sqrt(3.0) * std::pow(10.0, level(n) / 20.0);
        const auto v =
            static_cast<std::int16_t>(std::clamp(std::lround(uniform * peak), -32768L, 32767L));
        pcm.push_back(static_cast<std::uint8_t>(v));
        pcm.push_back(static_cast<std::uint8_t>(v >> 8));
    }
    return pcm;
}

// In the middle of a fade over a track's own ramp the other track is at full level: the
// loudness there is measured against it alone; elsewhere against the two tracks' mean power.
TEST(DemoEdges, TheMiddleOfAFadeOverAnOwnRampIsMeasuredAgainstTheTrackAtFullLevel) {
    // 1 kHz mono, constant levels: the output holds 0.55 of full scale through the fade, the
    // incoming track 0.5, the outgoing one 0.1.
    const auto constant = [](int frames, double unit) {
        Bytes pcm;
        const auto v = static_cast<std::int16_t>(std::lround(unit * 32768));
        for (int n = 0; n < frames; ++n) {
            pcm.push_back(static_cast<std::uint8_t>(v));
            pcm.push_back(static_cast<std::uint8_t>(v >> 8));
        }
        return pcm;
    };
    const Bytes one = constant(8000, 0.1), two = constant(6000, 0.5);
    const demo::TrackReader readTrack = [&](int track, std::int64_t first, std::int64_t count) {
        return FramesOf(track == 0 ? one : two, first, count);
    };
    const std::vector<OutputCall> calls = {OpenIn(kMonoKilo),
                                           {K::Write, 12000, kPlayback},
                                           {K::Write, 32, kPlayback},
                                           {K::Flush, 0, kPlayback},
                                           {K::Write, 12000, kPlayback}};
    TempFolder folder;
    const std::vector<std::filesystem::path> files = {folder.Path / "mix.wav"};
    ASSERT_TRUE(wav::SaveFile(files[0], {1000, 1, 16},
                              Concatenated({FramesOf(one, 0, 6016), constant(6000, 0.55)})));
    struct Case {
        double InSpeed, OutSpeed, Db;
        demo::FadeMeasure::Against Against;
        const char *Line;
    };
    using A = demo::FadeMeasure::Against;
    for (const Case &c :
         {Case{1.0, 1.0, 10 * std::log10(0.55 * 0.55 / ((0.5 * 0.5 + 0.1 * 0.1) / 2)),
               A::BothTracks,
               "middle of the fade: +3.7 dB against the two tracks' own loudness "
               "(RMS over 50 ms)\n"},
          Case{2.0, 1.0, 20 * std::log10(0.55 / 0.5), A::Incoming,
               "middle of the fade: +0.8 dB against track 2's own loudness there, which is in at "
               "full level by the middle of a fade over track 1's own fade-out (RMS over 50 ms)\n"},
          Case{1.0, 2.0, 20 * std::log10(0.55 / 0.1), A::Outgoing,
               "middle of the fade: +14.8 dB against track 1's own loudness there, which holds its "
               "full level until the middle of a fade over track 2's own fade-in (RMS over 50 "
               "ms)\n"},
          Case{
              2.0, 2.0, 10 * std::log10(0.55 * 0.55 / (0.5 * 0.5 + 0.1 * 0.1)), A::BothTogether,
              "middle of the fade: +0.7 dB against the two tracks' own sound together there, both "
              "at full level by the middle of a fade over track 1's own fade-out and track 2's own "
              "fade-in (RMS over 50 ms)\n"}}) {
        std::vector<demo::TrackFile> tracks = {{"one.wav", 8000, false, kMonoKilo},
                                               {"two.wav", 6000, false, kMonoKilo}};
        tracks[0].Edges.EndMs = 8000;
        tracks[0].Edges.FadeMs = 2000;
        tracks[0].Edges.InSpeed = c.InSpeed;
        tracks[0].Edges.OutSpeed = c.OutSpeed;
        demo::RenderOptions options;
        options.FadeMs = 2000;
        options.MinMs = 1000;
        demo::RenderResult result = demo::Analyse(calls, kMonoKilo, tracks, options);
        ASSERT_TRUE(result.Transitions.at(0).Crossfaded);
        demo::MeasureFades(files, result, options, readTrack);
        ASSERT_EQ(result.Fades.size(), 1u);
        EXPECT_EQ(result.Fades[0].MiddleAgainst, c.Against) << c.Line;
        EXPECT_NEAR(result.Fades[0].MiddleDb, c.Db, 0.01) << c.Line;
        const std::string report = demo::FormatReport(result, options);
        EXPECT_NE(report.find(c.Line), std::string::npos) << c.Line << report;
    }
}

// The plan of the tracks' files lays a fade over track 1's own fade-out (the incoming gain twice
// as fast); where the output holds the plain fade instead, the plug-in acted on the set time, and
// the report names that, with what the files gave.
TEST(DemoEdges, TheReasonNamedIsTheOneTheOutputHolds) {
    const Bytes one = Noise(10000, 1, [](int) { return -10.0; });
    const Bytes two = Noise(8000, 2, [](int) { return -10.0; });
    const demo::TrackReader readTrack = [&](int track, std::int64_t first, std::int64_t count) {
        return FramesOf(track == 0 ? one : two, first, count);
    };
    // Handed over after 8016 frames, 2 s before the end: a 2 s fade of which 1984 frames mix.
    const std::vector<OutputCall> calls = {OpenIn(kMonoKilo),
                                           {K::Write, 16000, kPlayback},
                                           {K::Write, 32, kPlayback},
                                           {K::Flush, 0, kPlayback},
                                           {K::Write, 16000, kPlayback}};
    std::vector<demo::TrackFile> tracks = {{"one.wav", 10000, false, kMonoKilo},
                                           {"two.wav", 8000, false, kMonoKilo}};
    tracks[0].Edges.EndMs = 10000;
    tracks[0].Edges.FadeMs = 2000;
    tracks[0].Edges.OwnFadeOut = true;
    tracks[0].Edges.InSpeed = 2.0;
    demo::RenderOptions options;
    options.FadeMs = 2000;
    options.MinMs = 1000;
    options.FadeOverOwnFadeOuts = true;
    // The linear curve over 2000 frames, each gain sped up as given and held at 1.
    const auto output = [&](double inSpeed) {
        Bytes out = FramesOf(one, 0, 8016);
        for (std::int64_t k = 1; k <= 8000; ++k) {
            double value = SampleAt(two, k - 1);
            if (k <= 1984) {
                const double p = 1.0 - k / 2000.0;
                value = std::trunc(std::min(1.0, (1.0 - p) * inSpeed) * value +
                                   p * SampleAt(one, 8016 + k - 1));
            }
            const auto sample = static_cast<std::int16_t>(value);
            out.push_back(static_cast<std::uint8_t>(sample));
            out.push_back(static_cast<std::uint8_t>(sample >> 8));
        }
        return out;
    };
    struct Case {
        double InSpeed;
        demo::MixReason Reason;
        const char *Line;
    };
    for (const Case &c :
         {Case{2.0, demo::MixReason::OwnFadeOut,
               "fade started at 0:08.000 of track 1, for its own fade-out; silence trimmed: none"},
          Case{1.0, demo::MixReason::SetTime,
               "fade started at 0:08.000 of track 1, for the set time (the files give its own "
               "fade-out, but the output holds this fade: was the plug-in's look-ahead late?); "
               "silence trimmed: none"}}) {
        TempFolder folder;
        const std::vector<std::filesystem::path> files = {folder.Path / "mix.wav"};
        ASSERT_TRUE(wav::SaveFile(files[0], {1000, 1, 16}, output(c.InSpeed)));
        demo::RenderResult result = demo::Analyse(calls, kMonoKilo, tracks, options);
        demo::ConfirmFades(files, result, options, readTrack);
        const demo::Transition &t = result.Transitions.at(0);
        ASSERT_TRUE(t.Crossfaded) << c.Line;
        EXPECT_EQ(t.Reason, c.Reason) << c.Line;
        EXPECT_EQ(t.FilesReason, demo::MixReason::OwnFadeOut) << c.Line;
        EXPECT_DOUBLE_EQ(t.InSpeed, c.InSpeed) << c.Line;
        EXPECT_EQ(demo::MixPointLine(result, t), c.Line);
    }
}

// The files' plan ends track 1 where its sound ends, but the plug-in's look-ahead had no answer
// in time: it handed the track over 2 s before the file's end, as without the options. Where
// that lies before the plan's end, the sound tells which fade the output holds; after it, the
// output's calls do.
TEST(DemoEdges, AFadeThePlanDidNotReachIsThePlainOneAndSaysWhy) {
    for (const int soundEndMs : {9000, 7500}) {
        SCOPED_TRACE(soundEndMs);
        const Bytes one = Noise(10000, 3, [&](int n) {
            return n < soundEndMs ? -10.0 : -std::numeric_limits<double>::infinity();
        });
        const Bytes two = Noise(6000, 4, [](int) { return -10.0; });
        const demo::TrackReader readTrack = [&](int track, std::int64_t first, std::int64_t count) {
            return FramesOf(track == 0 ? one : two, first, count);
        };
        const std::vector<OutputCall> calls = {OpenIn(kMonoKilo),
                                               {K::Write, 16000, kPlayback},
                                               {K::Write, 32, kPlayback},
                                               {K::Flush, 0, kPlayback},
                                               {K::Write, 12000, kPlayback}};
        std::vector<demo::TrackFile> tracks = {{"one.wav", 10000, false, kMonoKilo},
                                               {"two.wav", 6000, false, kMonoKilo}};
        tracks[0].Edges.EndMs = soundEndMs;
        tracks[0].Edges.FadeMs = 2000;
        demo::RenderOptions options;
        options.FadeMs = 2000;
        options.MinMs = 1000;
        options.SkipSilence = true;
        // The plain fade: 2 s, linear, from the hand-over after 8016 frames.
        Bytes out = FramesOf(one, 0, 8016);
        for (std::int64_t k = 1; k <= 6000; ++k) {
            double value = SampleAt(two, k - 1);
            if (k <= 1984)
                value = std::trunc(k / 2000.0 * value +
                                   (1.0 - k / 2000.0) * SampleAt(one, 8016 + k - 1));
            const auto sample = static_cast<std::int16_t>(value);
            out.push_back(static_cast<std::uint8_t>(sample));
            out.push_back(static_cast<std::uint8_t>(sample >> 8));
        }
        TempFolder folder;
        const std::vector<std::filesystem::path> files = {folder.Path / "mix.wav"};
        ASSERT_TRUE(wav::SaveFile(files[0], {1000, 1, 16}, out));
        demo::RenderResult result = demo::Analyse(calls, kMonoKilo, tracks, options);
        demo::ConfirmFades(files, result, options, readTrack);
        const demo::Transition &t = result.Transitions.at(0);
        ASSERT_TRUE(t.Crossfaded);
        EXPECT_TRUE(t.PlanMissed);
        EXPECT_DOUBLE_EQ(t.FadeSeconds, 2.0);
        EXPECT_EQ(t.MixedFrames(), 1984);
        EXPECT_EQ(demo::MixPointLine(result, t),
                  "fade started at 0:08.000 of track 1, for the set time before the file's end: "
                  "the plug-in's look-ahead had no answer in time, so the fade is the plain one "
                  "(the files give the set time, ending at " +
                      demo::FormatTime(soundEndMs / 1000.0, true) +
                      "; a lower --speed gives the look-ahead more time); silence trimmed: none");
    }
}

// A quiet track (its body at -38 dBFS) fading out by itself over 9 s by 70 dB: its peaks fall
// below -50 dBFS about 2.2 s into the fade, long before it has fallen far enough to count as a
// fade-out of its own. With silence skipped it ends there, for the set time, and the report says
// why its own fade-out was not followed; with the silence played it is followed.
TEST(DemoEdges, AnOwnFadeOutCutShortByTheSilenceThresholdIsNamed) {
    constexpr demo::PcmFormat kEightKilo{8000, 1, 16};
    const Bytes track = Noise(160000, 7, [](int n) {
        if (n >= 152000)
            return -std::numeric_limits<double>::infinity();
        return n < 80000 ? -38.0 : -38.0 - 70.0 * (n - 80000) / 72000.0;
    });
    const demo::FrameReader read = [&](std::int64_t first, std::int64_t count) {
        return FramesOf(track, first, count);
    };
    demo::RenderOptions both;
    both.SkipSilence = both.FadeOverOwnFadeOuts = true;
    const demo::TrackEdgePlan cut = demo::PlanTrackEdges(kEightKilo, 160000, both, read);
    EXPECT_FALSE(cut.OwnFadeOut);
    EXPECT_EQ(cut.OwnFadeOutCutAtDb, -50);
    EXPECT_NEAR(static_cast<double>(cut.EndMs), 12200.0, 150.0);
    demo::RenderOptions fadeOutsOnly;
    fadeOutsOnly.FadeOverOwnFadeOuts = true;
    const demo::TrackEdgePlan followed =
        demo::PlanTrackEdges(kEightKilo, 160000, fadeOutsOnly, read);
    EXPECT_TRUE(followed.OwnFadeOut);
    EXPECT_EQ(followed.OwnFadeOutCutAtDb, 0);
    demo::RenderOptions silenceOnly;
    silenceOnly.SkipSilence = true;
    EXPECT_EQ(demo::PlanTrackEdges(kEightKilo, 160000, silenceOnly, read).OwnFadeOutCutAtDb, 0);

    TrimmedCrossfade c;
    std::vector<demo::TrackFile> tracks = c.Tracks(true);
    tracks[0].Edges.OwnFadeOutCutAtDb = -50;
    const demo::RenderResult result = demo::Analyse(c.calls, kMonoKilo, tracks, c.options);
    EXPECT_EQ(demo::MixPointLine(result, result.Transitions.at(0)),
              "fade started at 0:05.050 of track 1, for the set time (its own fade-out falls below "
              "-50 dBFS, where silence is skipped, before it has fallen far enough to count as "
              "one: it is trimmed as silence from there); silence trimmed: 3.000 s at the end of "
              "track 1, 0.500 s at the start of track 2");
}

// ----------------------------------------------------------------- album tags of WAV files

// A LIST chunk's body from its sub-chunks: id, declared size, bytes (padded by the caller).
Bytes InfoBody(const char *form, std::initializer_list<std::tuple<const char *, std::uint32_t, std::string>> subs) {
    Bytes body(form, form + 4);
    for (const auto &[id, size, bytes] : subs) {
        body.insert(body.end(), id, id + 4);
        for (int i = 0; i < 4; ++i)
            body.push_back(static_cast<std::uint8_t>(size >> (8 * i)));
        body.insert(body.end(), bytes.begin(), bytes.end());
    }
    return body;
}

TEST(DemoWavTags, AlbumTagsAreReadFromListInfoChunksDefensively) {
    using std::string_literals::operator""s;
    struct Case {
        const char *What;
        Bytes Body;
        std::optional<wav::InfoTags> Expected;
    };
    const Case cases[] = {
        {"album, artist and track, terminated",
         InfoBody("INFO", {{"IPRD", 6, "Suite\0"s}, {"IART", 5, "Demo\0\0"s}, {"ITRK", 2, "2\0"s}}),
         wav::InfoTags{"Suite", "Demo", "", "2"}},
        {"no terminator, odd size padded, trailing blanks",
         InfoBody("INFO", {{"IPRD", 7, "Suite  \0"s}, {"IAAR", 4, "Band"s}}),
         wav::InfoTags{"Suite", "", "Band", ""}},
        {"the part where the track is missing; the track wins over it",
         InfoBody("INFO", {{"IPRT", 2, "3\0"s}}), wav::InfoTags{"", "", "", "3"}},
        {"track and part", InfoBody("INFO", {{"IPRT", 2, "3\0"s}, {"ITRK", 2, "4\0"s}}),
         wav::InfoTags{"", "", "", "4"}},
        {"a size past the body ends the walk",
         InfoBody("INFO", {{"IART", 2, "A\0"s}, {"IPRD", 4000, "Suite\0"s}}),
         wav::InfoTags{"", "A", "", ""}},
        {"a header cut short", Bytes{'I', 'N', 'F', 'O', 'I', 'P', 'R'}, wav::InfoTags{}},
        {"another form type", InfoBody("adtl", {{"IPRD", 2, "x\0"s}}), std::nullopt},
        {"too short for a form type", Bytes{'I', 'N'}, std::nullopt},
    };
    for (const Case &c : cases)
        EXPECT_EQ(wav::ParseInfoList(c.Body), c.Expected) << c.What;

    // Whole files: written after the samples and found again; a LIST chunk that claims more
    // than the file holds is read as far as the file goes.
    const wav::InfoTags tags{"Homeward Suite", "Halvern Demo", "", "2"};
    Bytes file = wav::MakeFile({1000, 1, 16}, Bytes(21, 3));
    wav::AppendInfoList(file, tags);
    EXPECT_EQ(Le32At(file, 4), file.size() - 8);
    wav::MemorySource whole(file);
    EXPECT_EQ(wav::ReadInfoTags(whole), tags);
    EXPECT_EQ(wav::ReadLayout(whole)->DataBytes, 20u);
    Bytes cut(file.begin(), file.end() - 3); // the track number's sub-chunk cut short
    for (std::size_t i = 70; i < 74; ++i)     // the LIST chunk's size, after 44 + 22 bytes
        cut[i] = 0xFF;
    wav::MemorySource broken(cut);
    EXPECT_EQ(wav::ReadInfoTags(broken), (wav::InfoTags{"Homeward Suite", "Halvern Demo", "", ""}));
    const Bytes notWav = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'A', 'V', 'I', ' '};
    wav::MemorySource other(notWav);
    EXPECT_EQ(wav::ReadInfoTags(other), wav::InfoTags{});
}

} // namespace

// ----------------------------------------------------------------- the render tool itself

namespace {

// What a program printed, with when each piece came, and when the program ended.
struct Printed {
    using Clock = std::chrono::steady_clock;
    std::string Text;
    std::vector<std::pair<std::size_t, Clock::time_point>> Pieces; // where each begins, when
    Clock::time_point Ended;
    DWORD ExitCode = 1;

    // When the first text containing `what` had come.
    Clock::time_point When(const std::string &what) const {
        const std::size_t at = Text.find(what);
        auto when = Ended;
        for (const auto &[start, came] : Pieces)
            if (start <= at)
                when = came;
        return when;
    }
};

// A program of this folder run with its stdout and stderr in one pipe, as tools/setup/wine-run-live
// hands it a terminal (HVQ_TERMINAL=1), read as it prints.
Printed RunWatched(const std::wstring &program, const std::wstring &arguments) {
    wchar_t self[MAX_PATH + 1] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring line = L"\"" + (std::filesystem::path(self).parent_path() / program).wstring() +
                        L"\" " + arguments;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0))
        throw std::runtime_error("no pipe");
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = writeEnd;
    PROCESS_INFORMATION process{};
    SetEnvironmentVariableW(L"HVQ_TERMINAL", L"1");
    const BOOL started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        nullptr, &startup, &process);
    SetEnvironmentVariableW(L"HVQ_TERMINAL", nullptr);
    CloseHandle(writeEnd);
    Printed printed;
    if (!started) {
        CloseHandle(readEnd);
        throw std::runtime_error("cannot start the program");
    }
    // Read as it comes while the program runs, then what it left: not to the pipe's end, which a
    // helper process of Wine's that inherited the pipe (the desktop a first window starts) holds
    // open after the program has ended.
    const auto readWaiting = [&] {
        DWORD waiting = 0;
        while (PeekNamedPipe(readEnd, nullptr, 0, nullptr, &waiting, nullptr) && waiting > 0) {
            char buffer[4096];
            DWORD got = 0;
            if (!ReadFile(readEnd, buffer, std::min<DWORD>(waiting, sizeof buffer), &got,
                          nullptr) ||
                got == 0)
                return;
            printed.Pieces.push_back({printed.Text.size(), Printed::Clock::now()});
            printed.Text.append(buffer, got);
        }
    };
    while (WaitForSingleObject(process.hProcess, 5) == WAIT_TIMEOUT)
        readWaiting();
    printed.Ended = Printed::Clock::now();
    readWaiting();
    GetExitCodeProcess(process.hProcess, &printed.ExitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    CloseHandle(readEnd);
    return printed;
}

// Watched on a terminal, the render shows its progress as it goes, and clears it before the
// report begins: the two never share a line.
TEST(DemoRenderTool, ProgressComesAsItGoesAndEndsBeforeTheReport) {
    TempFolder folder;
    const wav::WavFormat format{44100, 2, 16};
    Bytes pcm(static_cast<std::size_t>(format.Rate * 3 / 2) * 4);
    for (std::size_t i = 0; i < pcm.size() / 2; ++i) {
        const auto sample =
            static_cast<std::int16_t>(8000 * std::sin(2 * std::numbers::pi * 440.0 *
                                                      static_cast<double>(i / 2) / format.Rate));
        pcm[2 * i] = static_cast<std::uint8_t>(sample);
        pcm[2 * i + 1] = static_cast<std::uint8_t>(sample >> 8);
    }
    for (const char *name : {"a.wav", "b.wav"})
        ASSERT_TRUE(wav::SaveFile(folder.Path / name, format, pcm));

    // Two tracks of 1.5 s played in real time: 2.5 s with the fade.
    const std::wstring in = folder.Path.wstring() + L"\\";
    const Printed printed =
        RunWatched(L"hvq_render.exe", L"--speed 1 --fade-ms 500 --min-ms 1000 -o \"" + in +
                                          L"mix.wav\" \"" + in + L"a.wav\" \"" + in + L"b.wav\"");
    ASSERT_EQ(printed.ExitCode, 0u) << printed.Text;
    const std::size_t report = printed.Text.find("settings:");
    ASSERT_NE(report, std::string::npos) << printed.Text;
    // Held back in pieces, the progress would come only as the program ends.
    const auto ahead = std::chrono::duration_cast<std::chrono::milliseconds>(
        printed.Ended - printed.When("rendering"));
    EXPECT_GT(ahead.count(), 1000)
        << "the first progress came " << ahead.count() << " ms before the end of the render";
    const std::size_t lastProgress = printed.Text.rfind("rendering");
    ASSERT_LT(lastProgress, report);
    const std::size_t cleared = printed.Text.find_last_of('\r', report);
    EXPECT_GT(cleared, lastProgress) << "the last progress line is not cleared";
    EXPECT_EQ(printed.Text.find_first_not_of(' ', printed.Text.find('\r', lastProgress) + 1),
              cleared)
        << "the last progress line is not cleared";
    EXPECT_EQ(printed.Text.find('\r', report), std::string::npos);
    // In real time the second track follows with no Flush to mark its start, and is still found.
    EXPECT_NE(printed.Text.find("  1 > 2  at ", report), std::string::npos) << printed.Text;
    EXPECT_EQ(printed.Text.find("(not played)", report), std::string::npos) << printed.Text;
}

// A user's plug-in folder (--plugins) of test plug-ins and tracks of their formats: the files
// are empty, the plug-ins play the tones their names describe.
struct UserFolder {
    TempFolder Root;
    std::filesystem::path Plugins = Root.Path / "Plugins";
    std::filesystem::path Music = Root.Path / "music";
    std::filesystem::path Output = Root.Path / "mix.wav";

    // Built DLLs laid into the folder under the names given.
    explicit UserFolder(std::initializer_list<std::pair<const wchar_t *, const wchar_t *>> dlls) {
        std::filesystem::create_directories(Music);
        if (dlls.size() == 0)
            return;
        std::filesystem::create_directories(Plugins);
        for (const auto &[built, named] : dlls)
            std::filesystem::copy_file(refhost::RefHost::BuildFolder() / built, Plugins / named);
    }
    std::filesystem::path Track(const std::string &name) const {
        std::ofstream(Music / name) << "";
        return Music / name;
    }
    Printed Render(const std::vector<std::filesystem::path> &tracks,
                   const std::wstring &options = L"") const {
        std::wstring line =
            L"--plugins \"" + Plugins.wstring() + L"\" -o \"" + Output.wstring() + L"\" " + options;
        for (const auto &track : tracks)
            line += L" \"" + track.wstring() + L"\"";
        return RunWatched(L"hvq_render.exe", line);
    }
    bool NothingWritten() const {
        return !std::filesystem::exists(Output) &&
               !std::filesystem::exists(demo::OutputWav::PartPathFor(Output));
    }
};

// Three tones of the in_synthw plug-in (.syw), crossfaded through the plug-in: the output holds
// them sample for sample outside the fades, and the report names the plug-in of each track.
TEST(DemoRenderTool, APlayersPluginFolderPlaysTracksOfItsFormats) {
    const UserFolder user({{L"in_synthw.dll", L"in_synthw.dll"},
                           {L"in_hvqblend.dll", L"in_hvqblend.dll"},
                           {L"in_wavpcm.dll", L"out_other.dll"}});
    const std::vector<std::string> names = {"tone_44100_2_16_12000_1_B6.syw",
                                            "tone_44100_2_16_12000_2_B6.syw",
                                            "tone_44100_2_16_12000_3_B6.syw"};
    std::vector<std::filesystem::path> tracks;
    for (const std::string &name : names)
        tracks.push_back(user.Track(name));
    const auto picture = user.Root.Path / "mix.png";
    const Printed printed =
        user.Render(tracks, L"--fade-ms 2000 --min-ms 5000 --png \"" + picture.wstring() + L"\"");
    ASSERT_EQ(printed.ExitCode, 0u) << printed.Text;
    EXPECT_NE(printed.Text.find("plug-ins: in_synthw.dll from " + user.Plugins.string() +
                                ", beside this build's in_hvqblend.dll (the folder's own left "
                                "out)\n"),
              std::string::npos)
        << printed.Text;
    for (const std::string &name : names)
        EXPECT_NE(printed.Text.find(name + "    0:12.000  in_synthw.dll   "), std::string::npos)
            << name << "\n"
            << printed.Text;
    EXPECT_NE(printed.Text.find("  1 > 2  at "), std::string::npos) << printed.Text;
    EXPECT_EQ(printed.Text.find("no crossfade"), std::string::npos) << printed.Text;

    const Bytes file = ReadAll(user.Output);
    wav::MemorySource source(file);
    const auto layout = wav::ReadLayout(source);
    ASSERT_TRUE(layout);
    ASSERT_EQ(layout->Format, (wav::WavFormat{44100, 2, 16}));
    const Bytes output(file.begin() + static_cast<std::ptrdiff_t>(layout->DataOffset),
                       file.begin() +
                           static_cast<std::ptrdiff_t>(layout->DataOffset + layout->DataBytes));
    // 36 s of tones, two fades of 2 s less what the plug-in wrote of the block it handed over at.
    const double seconds = static_cast<double>(layout->Frames()) / 44100;
    EXPECT_GT(seconds, 32.0 - 0.1);
    EXPECT_LT(seconds, 32.0 + 0.1);
    // No fade begins before 2 s (and a block) before a track's end: the first 9 s are the first
    // tone's, the last 9 s the last tone's, sample for sample.
    constexpr std::size_t kNineSeconds = 9 * 44100 * 4;
    const Bytes first = support::TonePcm(std::filesystem::path(names[0]).wstring());
    const Bytes last = support::TonePcm(std::filesystem::path(names[2]).wstring());
    ASSERT_GE(output.size(), 2 * kNineSeconds);
    EXPECT_TRUE(std::equal(first.begin(), first.begin() + kNineSeconds, output.begin()));
    EXPECT_TRUE(std::equal(last.end() - kNineSeconds, last.end(), output.end() - kNineSeconds));

    int width = 0, height = 0, channels = 0;
    const Bytes png = ReadAll(picture);
    stbi_uc *pixels = stbi_load_from_memory(png.data(), static_cast<int>(png.size()), &width,
                                            &height, &channels, 3);
    ASSERT_NE(pixels, nullptr);
    stbi_image_free(pixels);
    EXPECT_EQ(width, 1200);
}

// What stands in the way of a render through a user's plug-ins is said, and nothing is written.
TEST(DemoRenderTool, WhatAPluginFolderCannotPlayIsSaidAndNothingIsWritten) {
    struct Case {
        const char *What;
        std::initializer_list<std::pair<const wchar_t *, const wchar_t *>> Dlls;
        std::string Track;
        // The message, the folder and the track in it as given (%P, %T).
        std::string Message;
    };
    const Case cases[] = {
        {"no such folder",
         {},
         "tone_44100_2_16_12000.syw",
         "hvq_render: --plugins %P: there is no such folder"},
        {"no input plug-ins",
         {{L"in_hvqblend.dll", L"in_hvqblend.dll"}, {L"in_synthw.dll", L"gen_synth.dll"}},
         "tone_44100_2_16_12000.syw",
         "hvq_render: --plugins %P: no input plug-ins there (files named in_*.dll besides "
         "in_hvqblend.dll, which the render plays in this build's version): give a player's "
         "Plugins folder"},
        {"a file no plug-in owns",
         {{L"in_synthw.dll", L"in_synthw.dll"}},
         "song.flac",
         "hvq_render: %T: no plug-in of %P takes it (in_synthw.dll plays .SYW)"},
        {"a plug-in without extended read",
         {{L"in_synthnx.dll", L"in_synthnx.dll"}},
         "tone_44100_2_16_12000.synx",
         "hvq_render: %T: in_synthnx.dll plays it, but has no extended read "
         "(winampGetExtendedRead_openW or _open, getData and close), through which "
         "in_hvqblend.dll decodes files: it would leave the file to in_synthnx.dll to play "
         "alone, without crossfades"},
        {"a plug-in that faults while decoding",
         {{L"in_faultinfo.dll", L"in_faultinfo.dll"}},
         "tone_44100_2_16_12000_crash_data.syf",
         "hvq_render: in_faultinfo.dll faulted (an access violation) while decoding %T with "
         "in_faultinfo.dll: nothing was written"},
        // It faults in GetFileInfo whatever the file: in_hvqblend.dll would stop using it as
        // soon as it asked for the length.
        {"a plug-in that faults when asked for a length",
         {{L"in_faultinfo.dll", L"in_faultinfo.dll"}},
         "tone_44100_2_16_12000.syf",
         "hvq_render: in_faultinfo.dll faulted (an access violation) while asking "
         "in_faultinfo.dll for the title and length of %T: nothing was written"},
        {"a plug-in that faults while loading",
         {{L"in_synthw.dll", L"in_synthw.dll"}, {L"in_faultinit.dll", L"in_faultinit.dll"}},
         "tone_44100_2_16_12000.syw",
         "hvq_render: in_faultinit.dll faulted (an access violation) while the host loaded the "
         "plug-ins of %P: nothing was written"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.What);
        const UserFolder user(c.Dlls);
        const std::filesystem::path track = user.Track(c.Track);
        const Printed printed = user.Render({track});
        std::string message = c.Message;
        for (const auto &[mark, text] : {std::pair{std::string("%P"), user.Plugins.string()},
                                         std::pair{std::string("%T"), track.string()}})
            if (const std::size_t at = message.find(mark); at != std::string::npos)
                message.replace(at, 2, text);
        EXPECT_EQ(printed.ExitCode, 1u) << printed.Text;
        EXPECT_NE(printed.Text.find(message + "\n"), std::string::npos) << printed.Text;
        EXPECT_TRUE(user.NothingWritten());
    }
}

// Without --plugins a track of another format is refused as before, with the way to play it.
TEST(DemoRenderTool, ATrackOfAnotherFormatIsReferredToAPluginFolder) {
    TempFolder folder;
    const auto track = folder.Path / "song.wv";
    std::ofstream(track, std::ios::binary) << "wvpk and more bytes";
    const Printed printed =
        RunWatched(L"hvq_render.exe", L"-o \"" + (folder.Path / "mix.wav").wstring() + L"\" \"" +
                                          track.wstring() + L"\"");
    EXPECT_EQ(printed.ExitCode, 1u);
    EXPECT_NE(printed.Text.find("hvq_render: " + track.string() +
                                ": not a WAV file (no RIFF/WAVE header); for files of other "
                                "formats give --plugins with a player's Plugins folder, whose "
                                "plug-ins play them\n"),
              std::string::npos)
        << printed.Text;
}

} // namespace
