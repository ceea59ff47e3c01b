// What a listener meets of the playback engine, measured in real time through the reference host
// and the synthetic test plug-in: how long a Stop, a seek, a pause take to reach the output, how
// the output fares where one track meets the next (for an output that reports "not playing" only
// when empty, and for a buffer-ahead one that does so with 300 ms still buffered), and what the
// playback thread costs beside a plain plug-in writing the same sound from its own thread.
//
//   hvq_latency_bench [--trials N] [--cpu-seconds S] [--follow-music]
//
// --follow-music: every host runs the engine with the options that follow the music switched on
// (silence at track edges, fades over a track's own fade-out, albums played through), so that
// their look-ahead can be weighed against the figures without them.
#include "LatencyStats.h"
#include "RefHost.h"
#include "ThreadClock.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using bench::Summary;
using bench::TimedCall;
using refhost::RecordingOutput;
using refhost::RefHost;

// The kind of output a player has: a real-time clock and a 500 ms buffer.
constexpr int kBufferMs = 500;
constexpr int kBufferAheadMs = 300;
constexpr double kBlockMs = 1000.0 / 64; // the engine's block of 44.1 kHz sound
// Track changes: short tracks, so that a hundred of them pass in about a minute. Without a
// crossfade, 400 ms still fill the buffer past the buffer-ahead mark. With one, the outgoing
// track is handed over once its written time passes its length minus the crossfade time: 600 ms
// and 100 ms put that point where the buffer is full, as it is at the end of a real track.
constexpr int kGaplessTrackMs = 400;
constexpr int kCrossfadeTrackMs = 600;
constexpr int kCrossfadeMs = 100;
constexpr int kCrossfadeMinimumMs = 300;    // below the tracks' length: every change fades
constexpr int kNoCrossfadeMinimumMs = 1000; // above it: none does
constexpr double kSettleMs = 200.0;         // after the next track's first write
// The output accounts its clock at each call: a flush and the write right after it leave a
// tenth of a millisecond of silence that no listener hears.
constexpr double kInaudibleMs = 0.5;
constexpr int kTrialTimeoutMs = 2000;

struct Options {
    int Trials = 100;
    int CpuSeconds = 10;
    bool FollowMusic = false;
};

// Set once from the options before any host starts: every host of the run alike.
bool followMusic = false;

bool ParseOptions(int argc, char **argv, Options &options) {
    for (int i = 1; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (std::strcmp(argv[i], "--trials") == 0 && hasValue)
            options.Trials = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--cpu-seconds") == 0 && hasValue)
            options.CpuSeconds = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--follow-music") == 0)
            options.FollowMusic = true;
        else
            return false;
    }
    return options.Trials > 0 && options.CpuSeconds > 0;
}

double Now() {
    return RecordingOutput::ClockMs();
}

// "C:\music\tone_44100_2_16_<ms>_<seed>.syw": CD-format sound the synthetic plug-in decodes.
std::wstring Tone(int ms, int seed) {
    return L"C:\\music\\tone_44100_2_16_" + std::to_wstring(ms) + L"_" + std::to_wstring(seed) +
           L".syw";
}

std::vector<TimedCall> TimedCalls(const RecordingOutput &output) {
    std::vector<TimedCall> calls;
    for (const auto &call : output.Calls())
        calls.push_back({call.Name, call.Args.empty() ? 0 : call.Args[0], call.ThreadId, call.AtMs,
                         call.Answer, call.BufferedMs, call.UnderrunMs, call.DiscardedMs});
    return calls;
}

// ------------------------------------------------------------------ the host

struct HostSetup {
    bool Product = true; // false: the synthetic plug-in plays by itself, in direct mode
    int FadeTimeMs = 5000;
    int MinFileSizeMs = 10000;
    int PlayingThresholdMs = 0;
    int SkipFadeMs = 0; // the fade on skip, off at 0
};

std::unique_ptr<RefHost> MakeHost(const HostSetup &setup) {
    auto host = std::make_unique<RefHost>();
    auto output = std::make_unique<RecordingOutput>(1.0, kBufferMs);
    output->SetKeepPcm(false);
    output->SetPlayingThresholdMs(setup.PlayingThresholdMs);
    host->UseOutput(std::move(output));
    if (setup.Product) {
        host->InstallProduct();
        const std::string ini = (host->PluginsFolder() / L"HVQBlend.ini").string();
        WritePrivateProfileStringA("HVQBlend", "FadeTime", std::to_string(setup.FadeTimeMs).c_str(),
                                   ini.c_str());
        WritePrivateProfileStringA("HVQBlend", "MinFileSize",
                                   std::to_string(setup.MinFileSizeMs).c_str(), ini.c_str());
        if (followMusic)
            for (const char *key : {"SkipSilence", "FadeOverOwnFadeOut", "PlayAlbumsThrough"})
                WritePrivateProfileStringA("HVQBlend", key, "1", ini.c_str());
        if (setup.SkipFadeMs > 0) {
            WritePrivateProfileStringA("HVQBlend", "SkipFade", "1", ini.c_str());
            WritePrivateProfileStringA("HVQBlend", "SkipFadeTime",
                                       std::to_string(setup.SkipFadeMs).c_str(), ini.c_str());
        }
    }
    host->InstallPlugin(L"in_synthw.dll");
    host->Start();
    return host;
}

bool WaitForWrite(RefHost &host) {
    return host.WaitUntil([&] { return host.Output().CountOf("Write") > 0; }, kTrialTimeoutMs);
}

// Pumps until nobody has called the output for quietMs.
void WaitUntilQuiet(RefHost &host, double quietMs) {
    std::size_t seen = host.Output().Calls().size();
    double since = Now();
    host.WaitUntil(
        [&] {
            const std::size_t count = host.Output().Calls().size();
            if (count != seen) {
                seen = count;
                since = Now();
            }
            return Now() - since >= quietMs;
        },
        kTrialTimeoutMs);
}

// ------------------------------------------------------------------ printing

void Heading(const char *text) {
    std::printf("\n%s\n", text);
    std::printf("  %-52s %8s %8s %8s %6s\n", "", "median", "95th", "worst", "trials");
    std::fflush(stdout);
}

void Row(const char *label, const Summary &summary, const std::string &note = {}) {
    std::printf("  %-52s %8.1f %8.1f %8.1f %6d  %s\n", label, summary.Median, summary.P95,
                summary.Worst, summary.Count, note.c_str());
    std::fflush(stdout);
}

// "target median <= x: met" or "missed".
std::string Target(double value, double limit, const char *what) {
    char text[96];
    std::snprintf(text, sizeof text, "target %s <= %.1f: %s", what, limit,
                  value <= limit ? "met" : "MISSED");
    return text;
}

// Both targets of a request's taking effect: median and 95th percentile.
std::string Targets(const Summary &summary) {
    const bool met = summary.Median <= 2.0 && summary.P95 <= 5.0;
    return std::string("targets: ") + (met ? "met" : "MISSED");
}

// Trials that gave no figure are said, not hidden.
std::string Missing(int wanted, const Summary &summary) {
    return summary.Count < wanted
               ? " (" + std::to_string(wanted - summary.Count) + " trials gave no figure)"
               : "";
}

// ------------------------------------------------------------------ the scheduler

Summary SleepFigures(DWORD ms, int trials) {
    std::vector<double> slept;
    for (int i = 0; i < trials; ++i) {
        const double start = Now();
        Sleep(ms);
        slept.push_back(Now() - start);
    }
    return bench::Summarize(slept);
}

// ------------------------------------------------------------------ Stop, seek, pause

struct ControlFigures {
    std::vector<double> StopQuiet, StopReturn;
    std::vector<double> SeekFlush, SeekWrite;
    std::vector<double> PauseLastWrite, UnPauseFirstWrite;
    std::vector<double> SkipLastWrite, SkipFlush, CutFirstWrite;
};

// The user's Stop in the middle of a track, each time after a fresh start and a random wait, so
// that it lands anywhere in the engine's block loop.
void MeasureStops(const Options &options, std::mt19937 &random, ControlFigures &figures) {
    auto host = MakeHost({});
    RecordingOutput &output = host->Output();
    host->SetPlaylist({Tone(600000, 1)});
    std::uniform_int_distribution<int> settle(20, 60);
    const unsigned long hostThread = GetCurrentThreadId();
    for (int trial = 0; trial < options.Trials; ++trial) {
        output.ClearRecord();
        if (host->StartPlaying(0) != 0 || !WaitForWrite(*host))
            continue;
        host->Pump(settle(random));
        const double start = Now();
        host->PressStop();
        figures.StopReturn.push_back(Now() - start);
        WaitUntilQuiet(*host, 100.0);
        // No call after the Stop at all: the engine was quiet already.
        figures.StopQuiet.push_back(
            std::max(0.0, bench::LastCallAfter(TimedCalls(output), start, hostThread)));
    }
}

void MeasureSeeks(RefHost &host, const Options &options, std::mt19937 &random,
                  ControlFigures &figures) {
    RecordingOutput &output = host.Output();
    std::uniform_int_distribution<int> target(1000, 500000), settle(10, 40);
    for (int trial = 0; trial < options.Trials; ++trial) {
        output.ClearRecord();
        const double start = Now();
        host.JumpToTime(target(random));
        host.WaitUntil(
            [&] { return bench::FlushThenWrite(TimedCalls(output), start).WriteMs >= 0; },
            kTrialTimeoutMs);
        const auto found = bench::FlushThenWrite(TimedCalls(output), start);
        if (found.FlushMs >= 0)
            figures.SeekFlush.push_back(found.FlushMs);
        if (found.WriteMs >= 0)
            figures.SeekWrite.push_back(found.WriteMs);
        host.Pump(settle(random));
    }
}

void MeasurePauses(RefHost &host, const Options &options, std::mt19937 &random,
                   ControlFigures &figures) {
    RecordingOutput &output = host.Output();
    std::uniform_int_distribution<int> settle(20, 50);
    constexpr int kPausedMs = 60;
    for (int trial = 0; trial < options.Trials; ++trial) {
        output.ClearRecord();
        host.Pump(settle(random));
        const double paused = Now();
        host.PressPause();
        host.Pump(kPausedMs);
        const double resumed = Now();
        host.PressPause();
        host.WaitUntil([&] { return bench::FirstWriteAfter(TimedCalls(output), resumed) >= 0; },
                       kTrialTimeoutMs);
        const auto calls = TimedCalls(output);
        figures.PauseLastWrite.push_back(bench::LastWriteWithin(calls, paused, resumed));
        if (const double first = bench::FirstWriteAfter(calls, resumed); first >= 0)
            figures.UnPauseFirstWrite.push_back(first);
    }
}

// The user's skip (Stop, then at once the Play of the next entry) in the middle of a track:
// with the fade on skip, how soon the skipped track stops being written and when the output is
// cut where the listener is (a little ahead of him, for the mix to be ready); without it, how
// soon the next track's first block follows the Play.
void MeasureSkips(const Options &options, std::mt19937 &random, ControlFigures &figures,
                  bool fade) {
    HostSetup setup;
    setup.SkipFadeMs = fade ? 300 : 0;
    auto host = MakeHost(setup);
    RecordingOutput &output = host->Output();
    host->SetPlaylist({Tone(600000, 5), Tone(600000, 6)});
    std::uniform_int_distribution<int> settle(20, 60);
    for (int trial = 0; trial < options.Trials; ++trial) {
        if (host->StartPlaying(0) != 0 || !WaitForWrite(*host))
            continue;
        host->Pump(settle(random));
        output.ClearRecord();
        const double start = Now();
        host->SkipTo(1);
        const double played = Now();
        if (!fade) {
            host->WaitUntil([&] { return bench::FirstWriteAfter(TimedCalls(output), played) >= 0; },
                            kTrialTimeoutMs);
            if (const double first = bench::FirstWriteAfter(TimedCalls(output), played); first >= 0)
                figures.CutFirstWrite.push_back(first);
            host->PressStop();
            continue;
        }
        host->WaitUntil(
            [&] { return bench::FlushThenWrite(TimedCalls(output), played).FlushMs >= 0; },
            kTrialTimeoutMs);
        const auto calls = TimedCalls(output);
        const auto cut = bench::FlushThenWrite(calls, played);
        figures.SkipLastWrite.push_back(bench::LastWriteWithin(calls, start, played));
        if (cut.FlushMs >= 0)
            figures.SkipFlush.push_back(cut.FlushMs);
        host->PressStop();
    }
}

// Seeks and pauses during one long track, each a random while after the last.
void MeasureSeeksAndPauses(const Options &options, std::mt19937 &random, ControlFigures &figures) {
    auto host = MakeHost({});
    host->SetPlaylist({Tone(600000, 2)});
    if (host->StartPlaying(0) != 0 || !WaitForWrite(*host))
        return;
    host->Pump(300);
    MeasureSeeks(*host, options, random, figures);
    MeasurePauses(*host, options, random, figures);
    host->PressStop();
}

// ------------------------------------------------------------------ track changes

struct TransitionRun {
    const char *Output;
    int PlayingThresholdMs;
    bool Crossfade;
};

// A playlist of trials + 1 short tracks of one format, played from the first to the last.
std::vector<bench::TransitionFigures> RunTransitions(const TransitionRun &run,
                                                     const Options &options) {
    HostSetup setup;
    setup.FadeTimeMs = kCrossfadeMs;
    setup.MinFileSizeMs = run.Crossfade ? kCrossfadeMinimumMs : kNoCrossfadeMinimumMs;
    setup.PlayingThresholdMs = run.PlayingThresholdMs;
    auto host = MakeHost(setup);
    const int trackMs = run.Crossfade ? kCrossfadeTrackMs : kGaplessTrackMs;
    std::vector<std::wstring> playlist;
    // Lengths a few ms apart, so that the changes meet the engine's block loop at every phase.
    for (int track = 0; track <= options.Trials; ++track)
        playlist.push_back(Tone(trackMs + track * 7 % 16, track + 1));
    host->SetPlaylist(playlist);
    if (host->StartPlaying(0) != 0)
        return {};
    host->WaitUntil([&] { return !host->IsPlaying(); },
                    (options.Trials + 1) * (trackMs + 16) * 3 + 5000);
    std::vector<double> starts;
    for (const auto &start : host->PlayStarts())
        starts.push_back(start.AtMs);
    return bench::MeasureTransitions(TimedCalls(host->Output()), starts, run.PlayingThresholdMs,
                                     kSettleMs);
}

void PrintTransitions(const TransitionRun &run,
                      const std::vector<bench::TransitionFigures> &figures,
                      const Options &options) {
    std::vector<double> chain, underrun, discarded;
    for (const auto &figure : figures) {
        chain.push_back(figure.ChainMs);
        underrun.push_back(figure.UnderrunMs);
        discarded.push_back(figure.DiscardedMs);
    }
    std::printf("  %s, %s\n", run.Output, run.Crossfade ? "crossfade" : "no crossfade");
    const Summary chainSummary = bench::Summarize(chain),
                  underrunSummary = bench::Summarize(underrun);
    Row("  played out -> next track's first write", chainSummary,
        Target(chainSummary.Median, kBlockMs, "median") + Missing(options.Trials, chainSummary));
    // Nothing heard lost at a change: no silence, and nothing written thrown away unplayed.
    const Summary discardedSummary = bench::Summarize(discarded);
    Row("  underrun ms per transition", underrunSummary,
        Target(underrunSummary.Worst, kInaudibleMs, "worst"));
    Row("  discarded ms per transition", discardedSummary,
        Target(discardedSummary.Worst, kInaudibleMs, "worst"));
}

// ------------------------------------------------------------------ CPU

// GetThreadTimes of a thread, in ms.
double ThreadCpuMs(HANDLE thread) {
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(thread, &created, &exited, &kernel, &user))
        return 0.0;
    const auto ms = [](const FILETIME &time) {
        return static_cast<double>(static_cast<ULONGLONG>(time.dwHighDateTime) << 32 |
                                   time.dwLowDateTime) /
               10000.0;
    };
    return ms(kernel) + ms(user);
}

struct CpuFigure {
    double CpuMs = 0.0;
    double Seconds = 0.0;
    bool Precise = false; // the kernel's account rather than 10 ms steps
    double PerSecond() const { return Seconds > 0.0 ? CpuMs / Seconds : 0.0; }
};

// The CPU time of the thread that writes to the output (the engine's playback thread, or the
// plain plug-in's writer), over seconds of steady playing in real time.
CpuFigure MeasureWriterCpu(bool product, int seconds) {
    HostSetup setup;
    setup.Product = product;
    auto host = MakeHost(setup);
    // Long enough that the engine's fade-out point, where it asks the host, comes after the end.
    host->SetPlaylist({Tone((seconds + 20) * 1000, 3)});
    if (host->StartPlaying(0) != 0 || !WaitForWrite(*host))
        return {};
    unsigned long writerId = 0;
    for (const auto &call : host->Output().Calls()) {
        if (call.Name == "Write") {
            writerId = call.ThreadId;
            break;
        }
    }
    HANDLE thread = OpenThread(THREAD_QUERY_INFORMATION, FALSE, writerId);
    if (!thread)
        return {};
    host->Pump(1000); // past the first filling of the buffer
    host->Output().ClearRecord();
    // In the middle of a track nobody needs the host's thread: it sleeps, and is not counted.
    const bench::ThreadClock clock(thread, host->HostFolder().filename().wstring(), 300);
    const double cpuBefore = clock.CpuMs(), start = Now();
    Sleep(static_cast<DWORD>(seconds) * 1000);
    CpuFigure figure{clock.CpuMs() - cpuBefore, (Now() - start) / 1000.0, clock.Precise()};
    CloseHandle(thread);
    host->PressStop();
    return figure;
}

// The synthetic plug-in's own cost: the same sound read through its extended read in a loop, in
// the engine's block size, on this thread.
CpuFigure MeasureDecoderCpu() {
    using OpenFn = intptr_t(__cdecl *)(const wchar_t *, int *, int *, int *, int *);
    using GetDataFn = intptr_t(__cdecl *)(intptr_t, char *, int, int *);
    using CloseFn = void(__cdecl *)(intptr_t);
    HMODULE library = LoadLibraryW((RefHost::BuildFolder() / L"in_synthw.dll").c_str());
    if (!library)
        return {};
    const auto open = reinterpret_cast<OpenFn>(
        reinterpret_cast<void *>(GetProcAddress(library, "winampGetExtendedRead_openW")));
    const auto getData = reinterpret_cast<GetDataFn>(
        reinterpret_cast<void *>(GetProcAddress(library, "winampGetExtendedRead_getData")));
    const auto close = reinterpret_cast<CloseFn>(
        reinterpret_cast<void *>(GetProcAddress(library, "winampGetExtendedRead_close")));
    CpuFigure figure;
    if (open && getData && close) {
        constexpr int kBlockBytes = 2756; // the engine's block of 44.1 kHz 16-bit stereo
        constexpr int kTrackSeconds = 600;
        std::vector<char> block(kBlockBytes);
        double bytes = 0.0;
        const double cpuBefore = ThreadCpuMs(GetCurrentThread());
        // Enough passes that the thread clock's 10 ms steps do not matter.
        while (ThreadCpuMs(GetCurrentThread()) - cpuBefore < 2000.0 && bytes < 1e10) {
            int size = 0, bits = 0, channels = 0, rate = 0;
            const intptr_t handle =
                open(Tone(kTrackSeconds * 1000, 4).c_str(), &size, &bits, &channels, &rate);
            if (!handle)
                break;
            int kill = 0;
            for (intptr_t got; (got = getData(handle, block.data(), kBlockBytes, &kill)) > 0;)
                bytes += static_cast<double>(got);
            close(handle);
        }
        figure = {ThreadCpuMs(GetCurrentThread()) - cpuBefore, bytes / (44100.0 * 4), false};
    }
    FreeLibrary(library);
    return figure;
}

// ------------------------------------------------------------------ the run

void PrintCpu(int seconds) {
    std::printf("\nCPU time per second of audio, 44.1 kHz 16-bit stereo (writers: %d s each in "
                "real time)\n",
                seconds);
    std::fflush(stdout);
    const CpuFigure engine = MeasureWriterCpu(true, seconds);
    const CpuFigure direct = MeasureWriterCpu(false, seconds);
    const CpuFigure decoder = MeasureDecoderCpu();
    const auto line = [](const char *label, const CpuFigure &figure) {
        std::printf("  %-52s %8.2f ms/s  (%.1f ms over %.1f s of audio, %s)\n", label,
                    figure.PerSecond(), figure.CpuMs, figure.Seconds,
                    figure.Precise ? "kernel's account" : "GetThreadTimes, 10 ms steps");
    };
    line("engine's playback thread", engine);
    line("plain direct-mode plug-in's writer thread", direct);
    line("decoder alone (extended read in a loop)", decoder);
    const auto ratio = [](const CpuFigure &a, const CpuFigure &b) {
        return b.PerSecond() > 0.0 ? a.PerSecond() / b.PerSecond() : 0.0;
    };
    std::printf("  %-52s %8.2fx  (target <= 1.10x: %s)\n", "engine / plain plug-in",
                ratio(engine, direct), ratio(engine, direct) <= 1.1 ? "met" : "MISSED");
    std::printf("  %-52s %8.2fx\n", "engine / decoder alone", ratio(engine, decoder));
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: hvq_latency_bench [--trials N] [--cpu-seconds S] [--follow-music]\n");
        return 2;
    }
    followMusic = options.FollowMusic;
    std::mt19937 random(16);
    std::printf(
        "Playback engine latency in ms, through the reference host's output on a real-time\n"
        "clock with a %d ms buffer; one block is %.1f ms.\n",
        kBufferMs, kBlockMs);
    if (followMusic)
        std::printf("The options that follow the music are on: SkipSilence, FadeOverOwnFadeOut,\n"
                    "PlayAlbumsThrough.\n");

    Heading("Wine's scheduler");
    const Summary tick = SleepFigures(1, options.Trials);
    Row("Sleep(1)", tick);
    Row("Sleep(15)", SleepFigures(15, options.Trials));
    ControlFigures control;
    MeasureStops(options, random, control);
    MeasureSeeksAndPauses(options, random, control);
    MeasureSkips(options, random, control, true);
    MeasureSkips(options, random, control, false);
    Heading("Stop, seek, skip, pause (targets: median <= 2 ms, 95th <= 5 ms)");
    const Summary quiet = bench::Summarize(control.StopQuiet),
                  seekFlush = bench::Summarize(control.SeekFlush),
                  skipLast = bench::Summarize(control.SkipLastWrite);
    Row("Stop: call -> last engine call into the output", quiet,
        Targets(quiet) + Missing(options.Trials, quiet));
    Row("Stop: call -> Stop returns", bench::Summarize(control.StopReturn));
    Row("Seek: SetOutputTime -> output Flush(target)", seekFlush,
        Targets(seekFlush) + Missing(options.Trials, seekFlush));
    Row("Seek: SetOutputTime -> first write after it", bench::Summarize(control.SeekWrite),
        Missing(options.Trials, bench::Summarize(control.SeekWrite)));
    Row("Pause: call -> last write before the pause", bench::Summarize(control.PauseLastWrite));
    Row("UnPause: call -> first write after", bench::Summarize(control.UnPauseFirstWrite),
        Missing(options.Trials, bench::Summarize(control.UnPauseFirstWrite)));
    Row("Skip: Stop -> the skipped track's last write", skipLast,
        Targets(skipLast) + Missing(options.Trials, skipLast));
    Row("Skip: Play -> cut where heard, 30 ms ahead", bench::Summarize(control.SkipFlush),
        Missing(options.Trials, bench::Summarize(control.SkipFlush)));
    Row("Skip, fade off: Play -> next track's first write",
        bench::Summarize(control.CutFirstWrite),
        Missing(options.Trials, bench::Summarize(control.CutFirstWrite)));

    char changes[160];
    std::snprintf(
        changes, sizeof changes,
        "Track changes, ms (tracks of %d ms without crossfade; of %d ms with a %d ms crossfade)",
        kGaplessTrackMs, kCrossfadeTrackMs, kCrossfadeMs);
    Heading(changes);
    const std::string ahead = "buffer-ahead " + std::to_string(kBufferAheadMs) + " ms";
    for (const TransitionRun &run :
         {TransitionRun{"plain output", 0, false}, TransitionRun{"plain output", 0, true},
          TransitionRun{ahead.c_str(), kBufferAheadMs, false},
          TransitionRun{ahead.c_str(), kBufferAheadMs, true}})
        PrintTransitions(run, RunTransitions(run, options), options);

    PrintCpu(options.CpuSeconds);
    return 0;
}
