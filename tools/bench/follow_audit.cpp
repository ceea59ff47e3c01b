// hvq_follow_audit: plays playlists of synthetic tracks with silences at their edges, fade-outs of
// their own and an album cut from one piece through the real in_hvqblend.dll in the reference
// host, with the options that follow the music on, into an output that plays a few times faster
// than real time with a two-second buffer (room for the engine to read a track's end ahead while
// the output is full), and then into one that takes everything at once (no clock: the engine is
// never kept waiting, and the transitions are to be the same). One row per transition, measured
// in the recorded PCM:
//   - skipped silence: no run of silence (RMS over 1 ms below -60 dBFS) longer than 20 ms from the
//     outgoing track's last sound to the incoming track's first full-level sound;
//   - a fade-out of the track's own: the crossfade starts at or after the ramp's start and ends by
//     its end (one block of slack), and the loudness at the fade's middle (RMS over 50 ms) lies
//     within 3 dB of the incoming track's body;
//   - an album: the output is the piece its tracks were cut from, sample for sample;
//   - no transition underruns.
// A transition that looks like the plain one where an option should have acted (the look-ahead
// was not ready, or fell back) fails with a note.
//
//   hvq_follow_audit [--strict] [--speed X] [--only TEXT]...
//
// --strict: exit 1 when a target fails; --speed: how many times faster than real time the output
// plays, 0 for at once, each given in turn (default 2, then 0; at 4 the engine's look-ahead is
// often not ready in time, see docs/audits.md); --only: the playlists whose name holds TEXT.
#include "FollowMeasures.h"
#include "RefHost.h"
#include "SynthSignal.h"

#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using follow::Pcm16;
using refhost::RecordingOutput;
using refhost::RefHost;

constexpr int kRate = 44100;
constexpr int kChannels = 2;
constexpr int kBufferMs = 2000;
// Longer than two crossfades: a track's own fade-in of the mix is over before its end is read.
constexpr int kBodyMs = 12000;
constexpr double kSilenceDb = -60.0;
constexpr int kLongestSilenceMs = 20;
constexpr double kLoudnessDb = 3.0;
constexpr double kMidWindowMs = 50.0;
constexpr double kInaudibleUnderrunMs = 0.5;
constexpr std::int64_t kBlockFrames = kRate / 64; // the engine's block
// Underruns within this much of a transition's hand-over or fade end are the transition's.
constexpr std::int64_t kNearFrames = 3 * kRate;

struct Shape {
    int LeadMs = 0;
    int TrailMs = 0;
    int FadeOutMs = 0;
};

struct Playlist {
    std::string Name;
    int FadeMs = 5000;
    bool SkipSilence = false;
    bool OwnFadeOuts = false;
    bool AlbumsThrough = false;
    std::vector<std::wstring> Tracks;
    std::wstring Piece; // an album's: the piece its tracks were cut from
};

std::wstring Tone(int ms, int seed, const std::wstring &tokens) {
    return L"C:\\follow\\tone_" + std::to_wstring(kRate) + L"_" + std::to_wstring(kChannels) + L"_16_" +
           std::to_wstring(ms) + L"_" + std::to_wstring(seed) + L"_" + tokens + L".syw";
}

// B6 shapes every track alike (the body 6 dB below full scale), also those without edges.
std::wstring ShapedTrack(const Shape &shape, int seed) {
    std::wstring tokens = L"B6";
    const auto add = [&](wchar_t letter, int ms) {
        if (ms > 0)
            tokens += L"_" + std::wstring(1, letter) + std::to_wstring(ms);
    };
    add(L'L', shape.LeadMs);
    add(L'T', shape.TrailMs);
    add(L'F', shape.FadeOutMs);
    return Tone(shape.LeadMs + kBodyMs + shape.FadeOutMs + shape.TrailMs, seed, tokens);
}

// Tracks so that transition i goes from a track ending as ends[i] into one starting as
// starts[i].
std::vector<std::wstring> Chain(const std::vector<Shape> &ends, const std::vector<int> &leads, int seed) {
    std::vector<std::wstring> tracks;
    for (std::size_t i = 0; i <= ends.size(); ++i) {
        Shape shape = i < ends.size() ? ends[i] : Shape{};
        shape.LeadMs = i > 0 ? leads[i - 1] : 0;
        tracks.push_back(ShapedTrack(shape, seed + static_cast<int>(i)));
    }
    return tracks;
}

Playlist Silences(int fadeMs, int seed) {
    Playlist list;
    list.Name = "silences, fade " + std::to_string(fadeMs / 1000) + " s";
    list.FadeMs = fadeMs;
    list.SkipSilence = true;
    std::vector<Shape> ends;
    std::vector<int> leads;
    for (const int trail : {0, 2000, 5000, 10000})
        for (const int lead : {0, 1000, 3000}) {
            ends.push_back({0, trail, 0});
            leads.push_back(lead);
        }
    list.Tracks = Chain(ends, leads, seed);
    return list;
}

Playlist FadeOuts(bool skipSilence, int seed) {
    Playlist list;
    list.Name = skipSilence ? "own fade-outs, with silences skipped" : "own fade-outs";
    list.OwnFadeOuts = true;
    list.SkipSilence = skipSilence;
    std::vector<Shape> ends;
    for (const int fade : {3000, 5000, 8000})
        for (const int trail : {0, 2000})
            ends.push_back({0, trail, fade});
    ends.push_back({0, 0, 0});
    ends.push_back({0, 2000, 0});
    // With silences skipped, the incoming tracks start after a second of silence.
    const std::vector<int> leads(ends.size(), skipSilence ? 1000 : 0);
    list.Tracks = Chain(ends, leads, seed);
    return list;
}

Playlist Album(bool withTheOthers, int seed) {
    Playlist list;
    list.Name = withTheOthers ? "album, with the other options on" : "album";
    list.AlbumsThrough = true;
    list.SkipSilence = list.OwnFadeOuts = withTheOthers;
    std::int64_t piece = 0;
    int total = 0, number = 1;
    for (const int ms : {6000, 4500, 5000}) {
        list.Tracks.push_back(Tone(ms, seed, L"P" + std::to_wstring(piece) + L"_A7_N" + std::to_wstring(number++)));
        piece += static_cast<std::int64_t>(kRate) * ms / 1000;
        total += ms;
    }
    list.Piece = Tone(total, seed, L"P0");
    return list;
}

// A silence longer than the look-ahead's first read of a track's end.
Playlist LongSilence(int seed) {
    Playlist list;
    list.Name = "a trailing silence of 60 s";
    list.SkipSilence = true;
    list.Tracks = Chain({{0, 60000, 0}}, {1000}, seed);
    return list;
}

// Tracks shorter than the look-ahead's first read: the end it reads holds the track's start.
Playlist ShortTracks(int seed) {
    Playlist list;
    list.Name = "tracks of 20 s";
    list.SkipSilence = list.OwnFadeOuts = true;
    list.Tracks = Chain({{0, 3000, 5000}, {0, 7000, 0}}, {1000, 1000}, seed);
    return list;
}

std::vector<Playlist> Playlists() {
    return {Silences(5000, 100), Silences(2000, 200), FadeOuts(false, 300), FadeOuts(true, 400),
            Album(false, 500),   Album(true, 600),    LongSilence(700),     ShortTracks(800)};
}

// ------------------------------------------------------------------ playing

struct Recorded {
    std::vector<refhost::OutCall> Calls;
    std::vector<std::uint8_t> Pcm;
};

SynthFormat FormatOf(const std::wstring &name) {
    const std::optional<SynthFormat> format = ParseSynthName(name);
    if (!format)
        throw std::runtime_error("a track name the synthetic plug-in does not read");
    return *format;
}

Pcm16 PcmOf(const std::wstring &name) {
    const SynthFormat format = FormatOf(name);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(SynthTotalBytes(format)));
    SynthPcm(format, 0, SynthTotalFrames(format), bytes.data());
    return follow::FromBytes(bytes, format.Channels, format.Rate);
}

void WriteSettings(const RefHost &host, const Playlist &list) {
    const std::wstring ini = (host.PluginsFolder() / L"HVQBlend.ini").wstring();
    const auto put = [&](const wchar_t *key, int value) {
        WritePrivateProfileStringW(L"HVQBlend", key, std::to_wstring(value).c_str(), ini.c_str());
    };
    put(L"FadeTime", list.FadeMs);
    put(L"MinFileSize", 1000);
    put(L"LogTrans", 0);
    if (list.SkipSilence)
        put(L"SkipSilence", 1);
    if (list.OwnFadeOuts)
        put(L"FadeOverOwnFadeOut", 1);
    if (list.AlbumsThrough)
        put(L"PlayAlbumsThrough", 1);
}

Recorded Play(const Playlist &list, double speed) {
    RefHost host;
    auto output = std::make_unique<RecordingOutput>(speed, kBufferMs);
    RecordingOutput *out = output.get();
    host.UseOutput(std::move(output));
    WriteSettings(host, list);
    host.InstallProduct();
    host.InstallPlugin(L"in_synthw.dll");
    host.Start();
    for (const wchar_t *name : {L"in_hvqblend.dll", L"in_synthw.dll"}) {
        const refhost::LoadedPlugin *plugin = host.Plugin(name);
        if (!plugin || !plugin->Module)
            throw std::runtime_error("the host could not load a plug-in from the build folder");
    }
    double totalMs = 0.0;
    for (const std::wstring &track : list.Tracks) {
        if (host.ResolveOwner(track) != host.Product())
            throw std::runtime_error("in_hvqblend.dll does not take the synthetic tracks");
        totalMs += FormatOf(track).LengthMs;
    }
    host.SetPlaylist(list.Tracks);
    if (host.StartPlaying(0) != 0)
        throw std::runtime_error("the host could not play the first track");
    const double waitMs = speed > 0.0 ? 2.0 * totalMs / speed : totalMs;
    if (!host.WaitUntil([&] { return !host.IsPlaying(); }, static_cast<int>(waitMs) + 20000))
        throw std::runtime_error("the playlist did not end in time (the engine stalled?)");
    host.Pump(50);
    return {out->Calls(), out->Pcm()};
}

// ------------------------------------------------------------------ measuring

struct Row {
    std::string Case;
    double HandOverMs = 0.0;  // into the outgoing track
    double BeforeEndMs = 0.0; // hand-over before the outgoing track's sound end
    double InFromMs = 0.0;    // where the incoming track starts
    double FadeMs = 0.0;      // from the hand-over until the incoming track is heard alone
    int SilenceMs = -1;       // the longest silence; -1: not a target here
    std::optional<double> MidDb; // the fade's middle against the incoming body
    double UnderrunMs = 0.0;
    std::vector<std::string> Fails;
    std::vector<std::string> Notes;
};

std::string Ms(double ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.0f ms", ms);
    return text;
}

double FramesToMs(std::int64_t frames) {
    return static_cast<double>(frames) * 1000.0 / kRate;
}

// The case's name from the tracks' shapes.
std::string CaseName(const SynthShape &from, const SynthShape &into, int fadeMs) {
    std::string name = "F" + std::to_string(from.FadeOutMs / 1000) + " T" + std::to_string(from.TrailMs / 1000) +
                       " > L" + std::to_string(into.LeadMs / 1000);
    return name + ", fade " + std::to_string(fadeMs / 1000) + " s";
}

struct Join {
    const follow::Run *From = nullptr; // the outgoing track's last untouched run
    const follow::Run *Into = nullptr; // the incoming track's first
};

Join FindJoin(const std::vector<follow::Run> &runs, int from) {
    Join join;
    for (const follow::Run &run : runs) {
        if (run.Track == from)
            join.From = &run;
        if (run.Track == from + 1 && !join.Into)
            join.Into = &run;
    }
    return join;
}

// Underrun milliseconds of each write, at the output frame where the write began.
std::vector<std::pair<std::int64_t, double>> Underruns(const std::vector<refhost::OutCall> &calls) {
    std::vector<std::pair<std::int64_t, double>> found;
    std::int64_t bytes = 0;
    double before = 0.0;
    for (const refhost::OutCall &call : calls) {
        if (call.Name != "Write")
            continue;
        if (call.UnderrunMs > before)
            found.emplace_back(bytes / (2 * kChannels), call.UnderrunMs - before);
        before = call.UnderrunMs;
        bytes += call.Args.empty() ? 0 : call.Args[0];
    }
    return found;
}

Row MeasureTransition(const Playlist &list, const Pcm16 &output, const std::vector<Pcm16> &tracks,
                      const std::vector<follow::Run> &runs, int from) {
    const SynthFormat a = FormatOf(list.Tracks[from]), b = FormatOf(list.Tracks[from + 1]);
    const SynthLayout la = SynthLayoutOf(a), lb = SynthLayoutOf(b);
    Row row;
    row.Case = CaseName(a.Shape, b.Shape, list.FadeMs);
    const Join join = FindJoin(runs, from);
    if (!join.From || !join.Into) {
        row.Fails.push_back("the output holds no untouched stretch of the " +
                            std::string(join.From ? "incoming" : "outgoing") + " track");
        return row;
    }
    const std::int64_t handOver = join.From->OutEnd, fadeEnd = join.Into->OutStart;
    const std::int64_t handOverInA = join.From->TrackFrameAt(handOver);
    const std::int64_t inFrom = join.Into->TrackFrameAt(handOver);
    row.HandOverMs = FramesToMs(handOverInA);
    row.BeforeEndMs = FramesToMs(la.SoundEnd - handOverInA);
    row.InFromMs = FramesToMs(inFrom);
    row.FadeMs = FramesToMs(fadeEnd - handOver);

    // The plain transition hands over at the file's end minus the fade time and starts the
    // incoming track at its first frame: where an option should have moved either, the
    // look-ahead was not ready or fell back.
    const std::int64_t fadeFrames = static_cast<std::int64_t>(list.FadeMs) * kRate / 1000;
    const bool handedOverPlainly = std::llabs(handOverInA - (la.Total - fadeFrames)) <= 3 * kBlockFrames;
    const bool nothingSkipped = inFrom <= kBlockFrames;
    const std::string notReady = ": the look-ahead was not ready or fell back";
    if (list.SkipSilence && a.Shape.TrailMs > 0 && handOverInA >= la.Total - kBlockFrames)
        row.Fails.push_back("no crossfade: the whole trailing silence was played" + notReady);
    else if (list.SkipSilence && a.Shape.TrailMs > 0 && handedOverPlainly)
        row.Fails.push_back("the trailing silence was not trimmed (the plain hand-over)" + notReady);
    else if (list.SkipSilence && a.Shape.TrailMs > 0 && handOverInA > la.SoundEnd - fadeFrames + 3 * kBlockFrames)
        row.Notes.push_back("the trailing silence was trimmed, but the crossfade is cut to " + Ms(row.FadeMs));
    if (list.SkipSilence && b.Shape.LeadMs > 0 && nothingSkipped)
        row.Fails.push_back("the incoming track's leading silence was played (" + Ms(FramesToMs(lb.SoundStart)) +
                            ")" + notReady);
    // Over a ramp longer than the fade that ends the file, the fade bounded by its time is the
    // plain one: only where the plain fade leaves the ramp does it say the option missed.
    const bool plainLeavesRamp = la.Total - fadeFrames < la.FadeOutStart || la.SoundEnd < la.Total;
    if (list.OwnFadeOuts && a.Shape.FadeOutMs > 0 && handedOverPlainly && plainLeavesRamp)
        row.Fails.push_back("the crossfade is the plain one over the ramp" + notReady);
    const bool ramp = a.Shape.FadeOutMs > 0;
    if (list.SkipSilence) {
        // From the outgoing track's last sound (or the hand-over, if earlier) to the incoming
        // track's first full-level sound (or the fade's end, if later).
        const std::int64_t start = std::min(handOver, join.From->OutFrameOf(la.SoundEnd));
        const std::int64_t end = std::max(fadeEnd, join.Into->OutFrameOf(lb.BodyStart));
        row.SilenceMs = follow::LongestSilenceMs(output, start, end, kSilenceDb);
        if (row.SilenceMs > kLongestSilenceMs)
            row.Fails.push_back("a silence of " + std::to_string(row.SilenceMs) + " ms");
    }
    if (list.OwnFadeOuts && ramp) {
        const std::int64_t fadeEndInA = join.From->TrackFrameAt(fadeEnd);
        if (handOverInA < la.FadeOutStart)
            row.Fails.push_back("the crossfade starts " + Ms(FramesToMs(la.FadeOutStart - handOverInA)) +
                                " before the ramp");
        if (fadeEndInA > la.SoundEnd + kBlockFrames)
            row.Fails.push_back("the crossfade ends " + Ms(FramesToMs(fadeEndInA - la.SoundEnd)) +
                                " after the ramp");
        const std::int64_t middle = (handOver + fadeEnd) / 2, half = static_cast<std::int64_t>(kMidWindowMs / 2000.0 * kRate);
        const double body = follow::RmsDb(tracks[from + 1], lb.BodyStart, lb.FadeOutStart);
        row.MidDb = follow::RmsDb(output, middle - half, middle + half) - body;
        if (std::fabs(*row.MidDb) > kLoudnessDb)
            row.Fails.push_back("the fade's middle lies " + std::to_string(*row.MidDb).substr(0, 5) +
                                " dB from the incoming body");
    }
    return row;
}

void AttributeUnderruns(const std::vector<refhost::OutCall> &calls, const std::vector<follow::Run> &runs,
                        std::vector<Row> &rows, double &elsewhereMs) {
    for (const auto &[frame, ms] : Underruns(calls)) {
        bool placed = false;
        for (std::size_t t = 0; t < rows.size() && !placed; ++t) {
            const Join join = FindJoin(runs, static_cast<int>(t));
            if (!join.From || !join.Into)
                continue;
            if (frame >= join.From->OutEnd - kNearFrames && frame <= join.Into->OutStart + kNearFrames) {
                rows[t].UnderrunMs += ms;
                placed = true;
            }
        }
        if (!placed)
            elsewhereMs += ms;
    }
    for (Row &row : rows)
        if (row.UnderrunMs > kInaudibleUnderrunMs)
            row.Fails.push_back("an underrun of " + Ms(row.UnderrunMs));
}

// ------------------------------------------------------------------ printing

std::string OutputText(double speed) {
    char text[80];
    if (speed > 0.0)
        std::snprintf(text, sizeof text, "an output at %.1fx real time with a %d ms buffer", speed,
                      kBufferMs);
    else
        std::snprintf(text, sizeof text, "an output that takes everything at once");
    return text;
}

void PrintHeading(double speed) {
    std::printf(
        "Follow audit: in_hvqblend.dll in the reference host, the synthetic plug-in decoding 44.1 "
        "kHz\n"
        "16-bit stereo tracks (body %d s at -6 dBFS), %s;\n"
        "linear curve. Per transition: hand-over (ms into the outgoing track, and before its "
        "sound's\n"
        "end), where the incoming track starts, the fade (hand-over until the incoming track is "
        "heard\n"
        "alone), the longest silence (1 ms RMS below %.0f dBFS; target <= %d ms, with silences\n"
        "skipped), the fade's middle against the incoming body (RMS over %.0f ms; target within "
        "%.0f dB,\n"
        "over a fade-out of the track's own, which the crossfade must lie within), underruns.\n",
        kBodyMs / 1000, OutputText(speed).c_str(), kSilenceDb, kLongestSilenceMs, kMidWindowMs,
        kLoudnessDb);
    std::fflush(stdout);
}

void PrintRows(const Playlist &list, const std::vector<Row> &rows, double elsewhereMs) {
    std::printf("\n%s (FadeTime %d ms; SkipSilence %d, FadeOverOwnFadeOut %d, PlayAlbumsThrough %d)\n",
                list.Name.c_str(), list.FadeMs, list.SkipSilence, list.OwnFadeOuts, list.AlbumsThrough);
    std::printf("  %-24s %9s %9s %8s %8s %8s %7s %9s  %s\n", "case", "hand-over", "before end", "in from",
                "fade", "silence", "mid dB", "underrun", "verdict");
    for (const Row &row : rows) {
        const std::string silence = row.SilenceMs < 0 ? "-" : std::to_string(row.SilenceMs);
        char mid[16] = "-";
        if (row.MidDb)
            std::snprintf(mid, sizeof mid, "%+.1f", *row.MidDb);
        std::printf("  %-24s %9.0f %10.0f %8.0f %8.0f %8s %7s %9.1f  %s\n", row.Case.c_str(), row.HandOverMs,
                    row.BeforeEndMs, row.InFromMs, row.FadeMs, silence.c_str(), mid, row.UnderrunMs,
                    row.Fails.empty() ? "PASS" : "FAIL");
        for (const std::string &fail : row.Fails)
            std::printf("      FAIL: %s\n", fail.c_str());
        for (const std::string &note : row.Notes)
            std::printf("      note: %s\n", note.c_str());
    }
    if (elsewhereMs > 0.0)
        std::printf("  underrun away from the transitions: %.1f ms\n", elsewhereMs);
    std::fflush(stdout);
}

// An album: the whole output is the piece, sample for sample.
bool AuditAlbum(const Playlist &list, const Recorded &recorded) {
    const Pcm16 output = follow::FromBytes(recorded.Pcm, kChannels, kRate);
    const Pcm16 piece = PcmOf(list.Piece);
    double underrun = 0.0;
    for (const auto &[frame, ms] : Underruns(recorded.Calls))
        underrun += ms;
    const auto differ = std::mismatch(output.Samples.begin(), output.Samples.end(), piece.Samples.begin(),
                                      piece.Samples.end());
    const bool exact = output.Samples.size() == piece.Samples.size() && differ.first == output.Samples.end();
    const bool pass = exact && underrun <= kInaudibleUnderrunMs;
    std::printf("\n%s (FadeTime %d ms; SkipSilence %d, FadeOverOwnFadeOut %d, PlayAlbumsThrough %d)\n",
                list.Name.c_str(), list.FadeMs, list.SkipSilence, list.OwnFadeOuts, list.AlbumsThrough);
    std::printf("  three tracks of one piece (6, 4.5, 5 s): %s; output %.1f ms, piece %.1f ms; underrun "
                "%.1f ms  %s\n",
                exact ? "sample for sample the piece"
                      : ("first differs at " + Ms(FramesToMs((differ.first - output.Samples.begin()) / kChannels)))
                            .c_str(),
                FramesToMs(output.Frames()), FramesToMs(piece.Frames()), underrun, pass ? "PASS" : "FAIL");
    std::fflush(stdout);
    return pass;
}

// Answers the number of rows and of rows that passed.
std::pair<int, int> AuditPlaylist(const Playlist &list, double speed) {
    const Recorded recorded = Play(list, speed);
    if (!list.Piece.empty())
        return {1, AuditAlbum(list, recorded) ? 1 : 0};
    const Pcm16 output = follow::FromBytes(recorded.Pcm, kChannels, kRate);
    std::vector<Pcm16> tracks;
    for (const std::wstring &name : list.Tracks)
        tracks.push_back(PcmOf(name));
    const std::vector<follow::Run> runs = follow::UntouchedRuns(output, tracks);
    std::vector<Row> rows;
    for (std::size_t t = 0; t + 1 < list.Tracks.size(); ++t)
        rows.push_back(MeasureTransition(list, output, tracks, runs, static_cast<int>(t)));
    double elsewhere = 0.0;
    AttributeUnderruns(recorded.Calls, runs, rows, elsewhere);
    PrintRows(list, rows, elsewhere);
    const auto passed = std::count_if(rows.begin(), rows.end(), [](const Row &row) { return row.Fails.empty(); });
    return {static_cast<int>(rows.size()), static_cast<int>(passed)};
}

} // namespace

int main(int argc, char **argv) {
    bool strict = false;
    std::vector<double> speeds;
    std::vector<std::string> only;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--strict") == 0) {
            strict = true;
        } else if (std::strcmp(argv[i], "--speed") == 0 && i + 1 < argc &&
                   std::atof(argv[i + 1]) >= 0.0) {
            speeds.push_back(std::atof(argv[++i]));
        } else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
            only.push_back(argv[++i]);
        } else {
            std::fprintf(stderr,
                         "usage: hvq_follow_audit [--strict] [--speed X]... [--only TEXT]...\n");
            return 2;
        }
    }
    if (speeds.empty())
        speeds = {2.0, 0.0};
    const double started = RecordingOutput::ClockMs();
    int rows = 0, passed = 0;
    std::string summary;
    for (std::size_t s = 0; s < speeds.size(); ++s) {
        const double speed = speeds[s];
        if (s > 0)
            std::printf("\n");
        PrintHeading(speed);
        const double speedStarted = RecordingOutput::ClockMs();
        int speedRows = 0, speedPassed = 0;
        for (const Playlist &list : Playlists()) {
            if (!only.empty() &&
                std::none_of(only.begin(), only.end(), [&](const std::string &text) {
                    return list.Name.find(text) != std::string::npos;
                }))
                continue;
            try {
                const auto [count, good] = AuditPlaylist(list, speed);
                speedRows += count;
                speedPassed += good;
            } catch (const std::exception &error) {
                ++speedRows;
                std::printf("\n%s could not be played: %s\n", list.Name.c_str(), error.what());
            }
        }
        char line[160];
        char where[48];
        if (speed > 0.0)
            std::snprintf(where, sizeof where, "at %.1fx real time", speed);
        else
            std::snprintf(where, sizeof where, "on an output that takes all at once");
        std::snprintf(line, sizeof line, "%d of %d rows pass %s (%.0f s)\n", speedPassed, speedRows,
                      where, (RecordingOutput::ClockMs() - speedStarted) / 1000.0);
        std::printf("\n%s", line);
        std::fflush(stdout);
        summary += line;
        rows += speedRows;
        passed += speedPassed;
    }
    if (speeds.size() > 1)
        std::printf("\n%s%d of %d rows pass (%.0f s)\n", summary.c_str(), passed, rows,
                    (RecordingOutput::ClockMs() - started) / 1000.0);
    return strict && passed < rows ? 1 : 0;
}
