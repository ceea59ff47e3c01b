// hvq_transition_audit: plays each kind of transition a listener meets through the real
// in_hvqblend.dll in the reference host, with the synthetic test plug-in decoding tracks made to be
// located sample by sample, into an output on a real-time clock with a two-second buffer, and
// prints one row per kind: the largest sample step near the joins against the tracks' own, the
// milliseconds heard twice, of silence and of sound lost, and the gain error against the curve.
//
//   hvq_transition_audit [--strict] [--only TEXT]...
//
// --strict: exit 1 when a row is not clean (else 0 whatever the rows say); --only: the kinds whose
// name holds TEXT.
#include "RefHost.h"
#include "TransitionMeasures.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using audit::Curve;
using audit::TransitionKind;
using refhost::RecordingOutput;
using refhost::RefHost;

// A real output plug-in's buffer; and the time a real decoder takes to open a file while the
// player waits in Play (50 to 200 ms in a real player).
constexpr int kBufferMs = 2000;
constexpr int kOpenDelayMs = 150;
constexpr int kSkipFadeMs = 1000;
constexpr int kMaxNotesPerRow = 6;

struct TrackSpec {
    int Ms = 8000;
    int Rate = 44100;
    int Channels = 2;
    int Bits = 16;
};

// What the user does, once the listener has heard AtHeardMs of the output (or AfterMs of the
// wall clock after the action before).
struct Action {
    enum What { Skip, Seek, Pause, UnPause, Stop, PlayNext, Speed } Do = Skip;
    double AtHeardMs = -1.0;
    int AfterMs = -1;
    double Value = 0.0;  // Seek: the target in ms; Speed: times real time
    int Transition = -1; // the transition it brings about
};

struct Kind {
    Kind(std::string name, std::vector<TrackSpec> tracks)
        : Name(std::move(name)), Tracks(std::move(tracks)) {}
    std::string Name;
    std::vector<TrackSpec> Tracks;
    int FadeMs = 4000;
    int MinMs = 6000;
    Curve Shape = Curve::Linear;
    bool SkipFade = false;
    bool AcrossFormats = false;
    bool NoFullStop = false; // the host answers IPC_ISFULLSTOP with 0, at every Stop
    double StartSpeed = 1.0;
    std::vector<audit::Transition> Transitions;
    std::vector<Action> Actions;
    double EndHeardMs = 0.0; // the user stops once the listener has heard this much
};

audit::Transition Step(TransitionKind kind, int into, double fadeSeconds = 0.0, double target = 0.0) {
    return {kind, into, fadeSeconds, target, -1.0};
}

Kind Crossfade(std::string name, Curve shape) {
    Kind kind{std::move(name), {{8000}, {8000}}};
    kind.Shape = shape;
    kind.Transitions = {Step(TransitionKind::Start, 0), Step(TransitionKind::Crossfade, 1, 4.0)};
    kind.EndHeardMs = 9000;
    return kind;
}

Kind AcrossFormats(std::string name, TrackSpec from, TrackSpec to) {
    Kind kind = Crossfade(std::move(name), Curve::Linear);
    kind.Tracks = {from, to};
    kind.AcrossFormats = true;
    return kind;
}

// A skip to the next entry at `atMs` heard, bringing about transition `transition`; the host's
// position then decides which track that is.
Kind Skipping(std::string name, std::vector<TrackSpec> tracks, double atMs, double endMs) {
    Kind kind{std::move(name), std::move(tracks)};
    kind.SkipFade = true;
    kind.Transitions = {Step(TransitionKind::Start, 0),
                        Step(TransitionKind::SkipFade, -1, kSkipFadeMs / 1000.0)};
    kind.Actions = {{Action::Skip, atMs, -1, 0.0, 1}};
    kind.EndHeardMs = endMs;
    return kind;
}

std::vector<Kind> Kinds() {
    std::vector<Kind> kinds;
    kinds.push_back(Crossfade("crossfade, linear curve", Curve::Linear));
    kinds.push_back(Crossfade("crossfade, logarithmic curve", Curve::Logarithmic));
    kinds.push_back(Crossfade("crossfade, equal-power curve", Curve::EqualPower));

    Kind gapless{"gapless (no crossfade, one format)", {{5000}, {5000}}};
    gapless.MinMs = 20000;
    gapless.Transitions = {Step(TransitionKind::Start, 0), Step(TransitionKind::Gapless, 1)};
    gapless.EndHeardMs = 6000;
    kinds.push_back(gapless);

    kinds.push_back(Skipping("skip mid-track", {{10000}, {8000}}, 3000, 5500));

    Kind duringFade = Skipping("skip during a crossfade", {{8000}, {8000}, {8000}}, 5500, 7500);
    duringFade.Transitions = {Step(TransitionKind::Start, 0), Step(TransitionKind::Crossfade, 1, 4.0),
                              Step(TransitionKind::SkipFade, -1, kSkipFadeMs / 1000.0)};
    duringFade.Actions[0].Transition = 2;
    kinds.push_back(duringFade);

    // Everything of the first track is written by 4 s heard: the output plays it out.
    Kind playOut = Skipping("skip during the play-out", {{6000}, {6000}, {6000}}, 5000, 7000);
    playOut.MinMs = 10000;
    kinds.push_back(playOut);

    // Late: past the whole length of the next track. Played twice as fast as real time up to
    // 9 s, then in real time.
    Kind late = Skipping("skip late in a long track into a shorter", {{16000}, {6000}}, 12000, 14500);
    late.MinMs = 30000;
    late.StartSpeed = 2.0;
    late.Actions.insert(late.Actions.begin(), {Action::Speed, 9000, -1, 1.0});
    late.Actions[1].Transition = 1;
    kinds.push_back(late);

    Kind intoShort =
        Skipping("skip into a track shorter than the skip fade", {{10000}, {600}, {6000}}, 3000, 5500);
    intoShort.MinMs = 5000;
    intoShort.Transitions.push_back(Step(TransitionKind::Gapless, 2));
    kinds.push_back(intoShort);

    // The middle track (7.5 s) is shorter than two crossfades (8 s): its fade out begins before
    // its fade in ends.
    Kind shortMiddle{"tracks shorter than two crossfades", {{8000}, {7500}, {6000}}};
    shortMiddle.MinMs = 3000;
    shortMiddle.Transitions = {Step(TransitionKind::Start, 0), Step(TransitionKind::Crossfade, 1, 4.0),
                               Step(TransitionKind::Crossfade, 2, 4.0)};
    shortMiddle.EndHeardMs = 12000;
    kinds.push_back(shortMiddle);

    const TrackSpec cd{8000, 44100, 2, 16}, master{8000, 48000, 2, 24}, old{8000, 22050, 1, 16};
    kinds.push_back(AcrossFormats("across formats, 44.1k 16-bit stereo > 48k 24-bit", cd, master));
    kinds.push_back(AcrossFormats("across formats, 48k 24-bit > 22.05k 16-bit mono", master, old));
    kinds.push_back(AcrossFormats("across formats, 22.05k mono > 44.1k 16-bit stereo", old, cd));

    Kind noFullStop = Crossfade("crossfade, host answers IPC_ISFULLSTOP with 0", Curve::Linear);
    noFullStop.NoFullStop = true;
    kinds.push_back(noFullStop);

    Kind stop{"Stop, then Play of the next entry", {{8000}, {6000}}};
    stop.MinMs = 20000;
    stop.Transitions = {Step(TransitionKind::Start, 0), Step(TransitionKind::AfterStop, -1)};
    stop.Actions = {{Action::Stop, 3000, -1, 0.0, 1}, {Action::PlayNext, -1, 500, 0.0, 1}};
    stop.EndHeardMs = 5000;
    kinds.push_back(stop);

    Kind seek{"seek forward within a track", {{12000}}};
    seek.MinMs = 20000;
    seek.Transitions = {Step(TransitionKind::Start, 0), Step(TransitionKind::Seek, 0, 0.0, 7.0)};
    seek.Actions = {{Action::Seek, 2000, -1, 7000.0, 1}};
    seek.EndHeardMs = 4500;
    kinds.push_back(seek);

    Kind pause{"pause and unpause", {{8000}}};
    pause.MinMs = 20000;
    pause.Transitions = {Step(TransitionKind::Start, 0)};
    pause.Actions = {{Action::Pause, 2000}, {Action::UnPause, -1, 500}};
    pause.EndHeardMs = 4000;
    kinds.push_back(pause);
    return kinds;
}

// ------------------------------------------------------------------ playing one kind

std::wstring TrackName(const TrackSpec &track, int index) {
    return L"C:\\audit\\tone_" + std::to_wstring(track.Rate) + L"_" + std::to_wstring(track.Channels) +
           L"_" + std::to_wstring(track.Bits) + L"_" + std::to_wstring(track.Ms) + L"_" +
           std::to_wstring(index + 1) + L"_audit" + std::to_wstring(index) + L".syw";
}

// The settings file, as a user's would be, before the host starts the plug-in.
void WriteSettings(const RefHost &host, const Kind &kind) {
    const std::wstring ini = (host.PluginsFolder() / L"HVQBlend.ini").wstring();
    const auto put = [&](const wchar_t *key, int value) {
        WritePrivateProfileStringW(L"HVQBlend", key, std::to_wstring(value).c_str(), ini.c_str());
    };
    put(L"FadeTime", kind.FadeMs);
    put(L"MinFileSize", kind.MinMs);
    put(L"LogTrans", kind.Shape == Curve::Logarithmic ? 1 : 0);
    if (kind.Shape == Curve::EqualPower)
        put(L"EqualPowerTrans", 1);
    if (kind.SkipFade) {
        put(L"SkipFade", 1);
        put(L"SkipFadeTime", kSkipFadeMs);
    }
    if (kind.AcrossFormats)
        put(L"FadeAcrossFormats", 1);
}

void SetKnob(RefHost &host, const char *knob, int value) {
    using SetFn = void(__cdecl *)(const char *, int);
    const refhost::LoadedPlugin *plugin = host.Plugin(L"in_synthw.dll");
    const auto set = plugin ? reinterpret_cast<SetFn>(reinterpret_cast<void *>(
                                  GetProcAddress(plugin->Library, "TestPlugin_Set")))
                            : nullptr;
    if (!set)
        throw std::runtime_error("in_synthw.dll has no TestPlugin_Set");
    set(knob, value);
}

struct Played {
    std::vector<audit::OutputCall> Calls;
    std::vector<std::uint8_t> Pcm;
    std::vector<double> TransitionPcmMs; // heard PCM at the action behind each transition
    std::vector<int> Into;               // each transition's track, as the host's position made it
    std::vector<double> EventPcmMs;      // heard PCM at pauses and unpauses
};

class Session {
  public:
    explicit Session(const Kind &kind) : kind_(kind) {
        auto output = std::make_unique<RecordingOutput>(kind.StartSpeed, kBufferMs);
        output->SetDropDiscarded(true);
        output_ = output.get();
        host_.UseOutput(std::move(output));
        WriteSettings(host_, kind);
        host_.InstallProduct();
        host_.InstallPlugin(L"in_synthw.dll");
        host_.Start();
        for (const wchar_t *name : {L"in_hvqblend.dll", L"in_synthw.dll"}) {
            const refhost::LoadedPlugin *plugin = host_.Plugin(name);
            if (!plugin || !plugin->Module)
                throw std::runtime_error("the host could not load a plug-in from the build folder");
        }
        SetKnob(host_, "OpenDelayMs", kOpenDelayMs);
        std::vector<std::wstring> playlist;
        for (std::size_t i = 0; i < kind.Tracks.size(); ++i) {
            playlist.push_back(TrackName(kind.Tracks[i], static_cast<int>(i)));
            if (host_.ResolveOwner(playlist.back()) != host_.Product())
                throw std::runtime_error("in_hvqblend.dll does not take the synthetic tracks");
        }
        host_.SetPlaylist(playlist);
        if (kind.NoFullStop)
            host_.State().Answers[hostapi::IPC_ISFULLSTOP] = 0;
        speeds_.push_back({RecordingOutput::ClockMs(), kind.StartSpeed});
    }

    Played Run() {
        played_.TransitionPcmMs.assign(kind_.Transitions.size(), -1.0);
        for (const audit::Transition &t : kind_.Transitions)
            played_.Into.push_back(t.Into);
        if (host_.StartPlaying(0) != 0)
            throw std::runtime_error("the host could not play the first track");
        const double started = RecordingOutput::ClockMs();
        // Whatever the engine does, the row ends: at most twice the time the plan takes.
        const double limitMs = 2.0 * kind_.EndHeardMs / kind_.StartSpeed + 15000.0;
        for (;;) {
            MSG message;
            while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
            ActWhenDue();
            const bool allDone = next_ >= kind_.Actions.size();
            if (allDone && (output_->HeardMs() >= kind_.EndHeardMs || !host_.IsPlaying()))
                break;
            if (RecordingOutput::ClockMs() - started > limitMs)
                throw std::runtime_error("the plan did not finish in time (the engine stalled?)");
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
        }
        host_.PressStop();
        host_.Pump(100);
        for (const refhost::OutCall &call : output_->Calls())
            played_.Calls.push_back({call.Name, call.Args, call.Answer, call.AtMs, call.UnderrunMs,
                                     SpeedAt(call.AtMs)});
        played_.Pcm = output_->Pcm();
        return std::move(played_);
    }

  private:
    void ActWhenDue() {
        if (next_ >= kind_.Actions.size())
            return;
        const Action &action = kind_.Actions[next_];
        const double now = RecordingOutput::ClockMs();
        const double heard = output_->HeardMs();
        const bool due = action.AtHeardMs >= 0.0 ? heard >= action.AtHeardMs
                                                 : now - lastActionAt_ >= action.AfterMs;
        if (!due)
            return;
        ++next_;
        lastActionAt_ = now;
        if (action.Transition >= 0 && played_.TransitionPcmMs[action.Transition] < 0.0)
            played_.TransitionPcmMs[action.Transition] = heard;
        const int position = host_.State().Position;
        switch (action.Do) {
        case Action::Skip:
            played_.Into[action.Transition] = position + 1;
            host_.SkipTo(position + 1);
            break;
        case Action::PlayNext:
            played_.Into[action.Transition] = position + 1;
            host_.StartPlaying(position + 1);
            break;
        case Action::Seek:
            host_.JumpToTime(static_cast<int>(action.Value));
            break;
        case Action::Pause:
        case Action::UnPause:
            played_.EventPcmMs.push_back(heard);
            host_.PressPause();
            break;
        case Action::Stop:
            host_.PressStop();
            break;
        case Action::Speed:
            output_->SetSpeed(action.Value);
            speeds_.push_back({now, action.Value});
            break;
        }
    }

    double SpeedAt(double atMs) const {
        double speed = speeds_.front().second;
        for (const auto &[from, value] : speeds_)
            if (atMs >= from)
                speed = value;
        return speed;
    }

    const Kind &kind_;
    RefHost host_;
    RecordingOutput *output_ = nullptr;
    std::vector<std::pair<double, double>> speeds_; // from when, how fast
    std::size_t next_ = 0;
    double lastActionAt_ = 0.0;
    Played played_;
};

audit::Measures Audit(const Kind &kind) {
    Played played = Session(kind).Run();
    const std::vector<audit::HeardRun> runs = audit::HeardTimeline(played.Calls, played.Pcm);
    audit::Scenario scenario;
    for (std::size_t i = 0; i < kind.Tracks.size(); ++i)
        scenario.Tracks.emplace_back(static_cast<int>(i), kind.Tracks[i].Ms / 1000.0);
    scenario.Shape = kind.Shape;
    scenario.Transitions = kind.Transitions;
    for (std::size_t i = 0; i < scenario.Transitions.size(); ++i) {
        audit::Transition &t = scenario.Transitions[i];
        t.Into = played.Into[i];
        if (played.TransitionPcmMs[i] >= 0.0)
            t.EventTime = audit::ListenerTime(runs, played.TransitionPcmMs[i]);
        if (t.Into < 0 || t.Into >= static_cast<int>(scenario.Tracks.size()))
            throw std::runtime_error("a skip found no entry to skip to");
    }
    for (double pcmMs : played.EventPcmMs)
        scenario.Events.push_back(audit::ListenerTime(runs, pcmMs));
    return audit::Measure(scenario, runs, audit::TrackHeard(runs, scenario.Tracks));
}

// ------------------------------------------------------------------ printing

constexpr int kNameWidth = 50;

void PrintHeading() {
    std::printf(
        "Transition audit: in_hvqblend.dll in the reference host, the synthetic plug-in decoding\n"
        "tracks whose every sample can be located (opens take %d ms, as a real decoder's), an\n"
        "output on a real-time clock with a %d ms buffer; skip fade %d ms where a skip is played.\n"
        "step: the largest sample step within %.0f ms of a join, against own: what the tracks make\n"
        "by themselves at the gains heard there (clean: no more, plus two of the output's least\n"
        "steps). twice / silence / lost: milliseconds heard twice, of silence (RMS over 0.5 ms\n"
        "below -60 dBFS, or no sound) and of sound lost, where a track was meant to sound at -40 dB\n"
        "or more (clean: each below %.0f ms; positions resolved to 0.1 ms). gain: the largest\n"
        "difference from the curve's gain (clean: %.2f at most). A seek's jump and a Stop's cut\n"
        "are the user's: no step of the engine's.\n\n",
        kOpenDelayMs, kBufferMs, kSkipFadeMs, audit::kJoinSeconds * 1000.0, audit::kCleanMs,
        audit::kCleanGain);
    std::printf("%-*s %7s %7s %9s %9s %9s %6s  %s\n", kNameWidth, "kind", "step", "own", "twice ms",
                "silence", "lost ms", "gain", "verdict");
    std::fflush(stdout);
}

void PrintRow(const Kind &kind, const audit::Measures &m) {
    std::printf("%-*s %7.4f %7.4f %9.1f %9.1f %9.1f %6.3f  %s\n", kNameWidth, kind.Name.c_str(), m.Step,
                m.Own, m.TwiceMs, m.SilenceMs, m.LostMs, m.GainError, m.Clean() ? "clean" : "DIRTY");
    const std::size_t shown = std::min<std::size_t>(m.Notes.size(), kMaxNotesPerRow);
    for (std::size_t i = 0; i < shown; ++i)
        std::printf("    %s\n", m.Notes[i].c_str());
    if (m.Notes.size() > shown)
        std::printf("    ... and %zu more\n", m.Notes.size() - shown);
    std::fflush(stdout);
}

bool Wanted(const Kind &kind, const std::vector<std::string> &only) {
    if (only.empty())
        return true;
    for (const std::string &text : only)
        if (kind.Name.find(text) != std::string::npos)
            return true;
    return false;
}

} // namespace

int main(int argc, char **argv) {
    bool strict = false;
    std::vector<std::string> only;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--strict") == 0) {
            strict = true;
        } else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
            only.push_back(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: hvq_transition_audit [--strict] [--only TEXT]...\n");
            return 2;
        }
    }
    PrintHeading();
    const double started = RecordingOutput::ClockMs();
    int rows = 0, clean = 0;
    for (const Kind &kind : Kinds()) {
        if (!Wanted(kind, only))
            continue;
        ++rows;
        try {
            const audit::Measures m = Audit(kind);
            clean += m.Clean() ? 1 : 0;
            PrintRow(kind, m);
        } catch (const std::exception &error) {
            std::printf("%-*s could not be played: %s\n", kNameWidth, kind.Name.c_str(), error.what());
            std::fflush(stdout);
        }
    }
    std::printf("\n%d of %d kinds clean (%.0f s)\n", clean, rows,
                (RecordingOutput::ClockMs() - started) / 1000.0);
    return strict && clean < rows ? 1 : 0;
}
