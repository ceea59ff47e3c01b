// hvq_transition_audit: plays each kind of transition a listener meets through the real
// in_hvqblend.dll in the reference host, with the synthetic test plug-in decoding tracks made to be
// located sample by sample, into an output on a real-time clock with a two-second buffer, and
// prints one row per kind: the largest sample step near the joins against the tracks' own, the
// milliseconds heard twice, of silence and of sound lost, and the gain error against the curve.
// Some kinds play on an output whose clock steps, stands still or takes everything at once,
// beside processes that keep the processors busy, or with opens that take seconds.
//
//   hvq_transition_audit [--strict] [--only TEXT]...
//
// --strict: exit 1 when a row is not clean (else 0 whatever the rows say); --only: the kinds whose
// name holds TEXT. (--hog PID is the busy process the audit starts beside some kinds: it spins
// until its parent ends.)
#include "RefHost.h"
#include "TransitionMeasures.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
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
// A stalled output: the engine waits this long at most for its clock before it cuts, and the
// new track is to be written within this much of the skip.
constexpr double kStallWriteLimitMs = 1200.0;
// A user's Stop: the engine is quiet (its last call into the output, the output closed) and the
// Stop returns within this much, a block and a few of Wine's ticks on a busy machine.
constexpr double kStopLimitMs = 50.0;
constexpr double kInaudibleUnderrunMs = 1.0;
constexpr double kWaitForOpenMs = 5000.0;

struct TrackSpec {
    int Ms = 8000;
    int Rate = 44100;
    int Channels = 2;
    int Bits = 16;
    bool Stream = false; // an address the host hands the engine as a stream's
};

// What the user (or the device) does, once the listener has heard AtHeardMs of the output (or
// AfterMs of the wall clock after the action before).
struct Action {
    enum What { Skip, Seek, Pause, UnPause, Stop, PlayNext, Speed, StopAfterCurrent, Stall };
    What Do = Skip;
    double AtHeardMs = -1.0;
    int AfterMs = -1;
    double Value = 0.0;  // Seek: the target in ms; Speed: times real time; Stall: ms it lasts
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
    bool FollowMusic = false; // SkipSilence and FadeOverOwnFadeOut on
    double StartSpeed = 1.0;  // 0: the output takes everything at once
    RecordingOutput::Clock Clock = RecordingOutput::Clock::Runs;
    int StepMs = 10;
    int OpenDelayMs = kOpenDelayMs;
    int Runs = 1;             // played this many times, each measured on its own
    int BusyProcesses = 0;    // processes that spin beside the audit meanwhile
    bool ReportsStop = false; // the last Stop's latency and the underrun before it count
    bool StopDuringOpen = false; // the last Stop waits (a little) for an open under way
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

    // The skipped track goes on converted, fading out under the new one in the new format.
    Kind skipFormats = Skipping("skip across formats, 44.1k 16-bit > 48k 24-bit",
                                {cd, {8000, 48000, 2, 24}}, 3000, 5500);
    skipFormats.Tracks[0].Ms = 10000;
    skipFormats.AcrossFormats = true;
    kinds.push_back(skipFormats);

    // The engine learns where the listener is from a clock that tells it late.
    Kind steps = Skipping("skip mid-track, clock steps by 10 ms", {{10000}, {8000}}, 3000, 5500);
    steps.Clock = RecordingOutput::Clock::Steps;
    kinds.push_back(steps);
    Kind blocks =
        Skipping("skip mid-track, clock steps a write at a time", {{10000}, {8000}}, 3000, 5500);
    blocks.Clock = RecordingOutput::Clock::Steps;
    blocks.StepMs = 0;
    kinds.push_back(blocks);

    // A device that stalls 300 ms before the skip and plays again 1.5 s after it: the engine is
    // to wait for its clock at most a second, then cut to the new track's start, as a Stop and
    // Play would.
    Kind stalled{"skip mid-track, clock stands still (stalled)", {{10000}, {8000}}};
    stalled.SkipFade = true;
    stalled.Transitions = {Step(TransitionKind::Start, 0), Step(TransitionKind::AfterStop, -1)};
    stalled.Actions = {{Action::Stall, 3000, -1, 1800.0}, {Action::Skip, -1, 300, 0.0, 1}};
    stalled.EndHeardMs = 5500;
    kinds.push_back(stalled);

    Kind busy =
        Skipping("skip mid-track, two busy processes (20 runs)", {{10000}, {8000}}, 3000, 5500);
    busy.Runs = 20;
    busy.BusyProcesses = 2;
    kinds.push_back(busy);

    // The host stops at the first track's end; the engine plays out what it has not written yet.
    Kind stopAfter{"stop after current, then Play of the next entry", {{8000}, {6000}}};
    stopAfter.Transitions = {Step(TransitionKind::Start, 0), Step(TransitionKind::AfterEnd, -1)};
    stopAfter.Actions = {{Action::StopAfterCurrent, 2000}, {Action::PlayNext, -1, 7000, 0.0, 1}};
    stopAfter.EndHeardMs = 10500;
    kinds.push_back(stopAfter);

    // The engine hands a stream back: no crossfade, the track before plays to its end, and the
    // stream's own plug-in opens the output anew (the silence there is that plug-in's).
    Kind stream{"a stream as the next entry", {{8000}, {6000}}};
    stream.Tracks[1].Stream = true;
    stream.Transitions = {Step(TransitionKind::Start, 0), Step(TransitionKind::AfterEnd, 1)};
    stream.EndHeardMs = 11000;
    kinds.push_back(stream);

    Kind atOnce = Crossfade("crossfade, follow options, all taken at once", Curve::Linear);
    atOnce.FollowMusic = true;
    atOnce.StartSpeed = 0.0;
    atOnce.EndHeardMs = 12000;
    kinds.push_back(atOnce);

    // The user stops in the second track, while the look-ahead opens what lies ahead.
    Kind slowOpens = Crossfade("crossfade, follow options, opens take 2.5 s, Stop", Curve::Linear);
    slowOpens.Tracks = {{10000}, {10000}, {8000}};
    slowOpens.FollowMusic = true;
    slowOpens.OpenDelayMs = 2500;
    slowOpens.ReportsStop = true;
    slowOpens.StopDuringOpen = true;
    slowOpens.EndHeardMs = 10500;
    kinds.push_back(slowOpens);
    return kinds;
}

// ------------------------------------------------------------------ playing one kind

std::wstring TrackName(const TrackSpec &track, int index) {
    return (track.Stream ? L"http://radio.audit/tone_" : L"C:\\audit\\tone_") +
           std::to_wstring(track.Rate) + L"_" + std::to_wstring(track.Channels) + L"_" +
           std::to_wstring(track.Bits) + L"_" + std::to_wstring(track.Ms) + L"_" +
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
    if (kind.FollowMusic) {
        put(L"SkipSilence", 1);
        put(L"FadeOverOwnFadeOut", 1);
    }
}

template <class Fn> Fn SynthExport(RefHost &host, const char *name) {
    const refhost::LoadedPlugin *plugin = host.Plugin(L"in_synthw.dll");
    const auto found =
        plugin
            ? reinterpret_cast<Fn>(reinterpret_cast<void *>(GetProcAddress(plugin->Library, name)))
            : nullptr;
    if (!found)
        throw std::runtime_error(std::string("in_synthw.dll has no ") + name);
    return found;
}

void SetKnob(RefHost &host, const char *knob, int value) {
    SynthExport<void(__cdecl *)(const char *, int)>(host, "TestPlugin_Set")(knob, value);
}

int OpenReads(RefHost &host) {
    return SynthExport<int(__cdecl *)()>(host, "TestPlugin_OpenReads")();
}

// An open is noted as it begins and counted once it has opened: one begun and not done is under
// way (the audit's opens do not fail).
bool OpenUnderWay(RefHost &host) {
    const int begun =
        SynthExport<int(__cdecl *)(const char *)>(host, "TestPlugin_Count")("ExtOpen");
    return begun > SynthExport<int(__cdecl *)()>(host, "TestPlugin_TotalOpens")();
}

std::string SynthLog(RefHost &host) {
    const auto log = SynthExport<int(__cdecl *)(char *, int)>(host, "TestPlugin_Log");
    std::string text(static_cast<std::size_t>(std::max(log(nullptr, 0), 0)) + 1, '\0');
    text.resize(static_cast<std::size_t>(std::min<int>(
        log(text.data(), static_cast<int>(text.size())), static_cast<int>(text.size()) - 1)));
    return text;
}

// The synthetic plug-in's log lines that begin with `call` + "(" and name a stream.
int StreamCalls(const std::string &log, const std::string &call) {
    int count = 0;
    const std::string head = call + "(http://";
    for (std::size_t at = 0; at < log.size();) {
        const std::size_t end = std::min(log.find('\n', at), log.size());
        count += log.compare(at, head.size(), head) == 0 ? 1 : 0;
        at = end + 1;
    }
    return count;
}

struct Played {
    std::vector<audit::OutputCall> Calls;
    std::vector<std::uint8_t> Pcm;
    std::vector<double> TransitionPcmMs; // heard PCM at the action behind each transition
    std::vector<double> TransitionAtMs;  // and the wall clock then
    std::vector<int> Into;               // each transition's track, as the host's position made it
    std::vector<double> EventPcmMs;      // heard PCM at pauses and unpauses
    double StallPcmMs = -1.0;            // heard PCM when the device stalled, and for how long
    double StallMs = 0.0;
    double StopAfterCurrentAtMs = -1.0;
    int OpenReadsAtPlay = -1; // decoders open when the user played the next entry
    bool HostPlayedAtPlay = false;
    bool OpenAtStop = false; // a decoder's open was under way at the user's last Stop
    double StopAtMs = 0.0;   // the user's last Stop, and how long the host waited in it
    double StopReturnMs = 0.0;
    std::string SynthLog;     // what the synthetic plug-in was asked
    std::wstring StreamOwner; // the plug-in the host asks about a stream entry
};

class Session {
  public:
    explicit Session(const Kind &kind) : kind_(kind) {
        auto output = std::make_unique<RecordingOutput>(kind.StartSpeed, kBufferMs);
        output->SetDropDiscarded(true);
        output->SetClock(kind.Clock, kind.StepMs);
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
        SetKnob(host_, "OpenDelayMs", kind.OpenDelayMs);
        std::vector<std::wstring> playlist;
        for (std::size_t i = 0; i < kind.Tracks.size(); ++i) {
            playlist.push_back(TrackName(kind.Tracks[i], static_cast<int>(i)));
            const In_Module *owner = host_.ResolveOwner(playlist.back());
            if (kind.Tracks[i].Stream)
                played_.StreamOwner = owner == host_.Product() ? L"in_hvqblend.dll"
                                      : owner == host_.Plugin(L"in_synthw.dll")->Module
                                          ? L"in_synthw.dll"
                                          : L"no plug-in";
            else if (owner != host_.Product())
                throw std::runtime_error("in_hvqblend.dll does not take the synthetic tracks");
        }
        host_.SetPlaylist(playlist);
        if (kind.NoFullStop)
            host_.State().Answers[hostapi::IPC_ISFULLSTOP] = 0;
        speeds_.push_back({RecordingOutput::ClockMs(), kind.StartSpeed});
    }

    ~Session() {
        if (resumer_.joinable())
            resumer_.join();
    }

    Played Run() {
        played_.TransitionPcmMs.assign(kind_.Transitions.size(), -1.0);
        played_.TransitionAtMs.assign(kind_.Transitions.size(), -1.0);
        for (const audit::Transition &t : kind_.Transitions)
            played_.Into.push_back(t.Into);
        if (host_.StartPlaying(0) != 0)
            throw std::runtime_error("the host could not play the first track");
        const double started = RecordingOutput::ClockMs();
        // Whatever the engine does, the row ends: at most twice the time the plan takes.
        const double limitMs = (kind_.StartSpeed > 0.0 ? 2.0 * kind_.EndHeardMs / kind_.StartSpeed
                                                       : kind_.EndHeardMs) +
                               15000.0;
        for (;;) {
            MSG message;
            while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
            ActWhenDue();
            const bool allDone = next_ >= kind_.Actions.size();
            if (allDone && (output_->HeardMs() >= kind_.EndHeardMs || !host_.IsPlaying())) {
                if (kind_.StopDuringOpen && waitedForOpen_ < 0.0)
                    waitedForOpen_ = RecordingOutput::ClockMs();
                // The Stop is to find a slow open under way, a few seconds given to begin one.
                if (!kind_.StopDuringOpen || OpenUnderWay(host_) ||
                    RecordingOutput::ClockMs() - waitedForOpen_ > kWaitForOpenMs)
                    break;
            }
            if (RecordingOutput::ClockMs() - started > limitMs)
                throw std::runtime_error("the plan did not finish in time (the engine stalled?)");
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
        }
        if (resumer_.joinable())
            resumer_.join();
        played_.OpenAtStop = OpenUnderWay(host_);
        played_.StopAtMs = RecordingOutput::ClockMs();
        host_.PressStop();
        played_.StopReturnMs = RecordingOutput::ClockMs() - played_.StopAtMs;
        // Long enough to see an engine that goes on after the Stop.
        host_.Pump(kind_.ReportsStop ? 3000 : 100);
        for (const refhost::OutCall &call : output_->Calls())
            played_.Calls.push_back({call.Name, call.Args, call.Answer, call.AtMs, call.UnderrunMs,
                                     SpeedAt(call.AtMs)});
        played_.Pcm = output_->Pcm();
        played_.SynthLog = SynthLog(host_);
        if (stallStarted_ >= 0.0)
            played_.StallMs = resumedAt_.load() - stallStarted_;
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
        if (action.Transition >= 0 && played_.TransitionPcmMs[action.Transition] < 0.0) {
            played_.TransitionPcmMs[action.Transition] = heard;
            played_.TransitionAtMs[action.Transition] = now;
        }
        const int position = host_.State().Position;
        switch (action.Do) {
        case Action::Skip:
            played_.Into[action.Transition] = position + 1;
            host_.SkipTo(position + 1);
            break;
        case Action::PlayNext:
            played_.Into[action.Transition] = position + 1;
            played_.OpenReadsAtPlay = OpenReads(host_);
            played_.HostPlayedAtPlay = host_.IsPlaying();
            host_.State().StopAfterCurrent = false;
            host_.StartPlaying(position + 1);
            break;
        case Action::StopAfterCurrent:
            played_.StopAfterCurrentAtMs = now;
            host_.State().StopAfterCurrent = true;
            break;
        case Action::Stall:
            // The device plays again on its own, however long the host's thread is held.
            output_->SetClock(RecordingOutput::Clock::StandsStill);
            played_.StallPcmMs = output_->HeardMs(); // exactly where it stands
            stallStarted_ = RecordingOutput::ClockMs();
            resumer_ = std::thread([this, ms = action.Value] {
                Sleep(static_cast<DWORD>(ms));
                resumedAt_ = RecordingOutput::ClockMs();
                output_->SetClock(kind_.Clock, kind_.StepMs);
            });
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
    std::thread resumer_;
    double stallStarted_ = -1.0;
    double waitedForOpen_ = -1.0;
    std::atomic<double> resumedAt_{0.0};
};

std::string Text(const char *format, ...) {
    char buffer[320];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
}

// A row's measures, and what its kind asks beyond them.
struct Row {
    audit::Measures M;
    std::vector<std::string> Notes; // before the measures' own
    bool Clean = true;
    void Judge(bool ok, std::string note) {
        Clean = Clean && ok;
        Notes.push_back(std::move(note));
    }
};

bool Has(const Kind &kind, Action::What what) {
    return std::any_of(kind.Actions.begin(), kind.Actions.end(),
                       [&](const Action &action) { return action.Do == what; });
}

// The end of the sound heard last before the listener's time t.
double SoundEndBefore(const std::vector<audit::HeardRun> &runs, double t) {
    double end = 0.0;
    for (const audit::HeardRun &run : runs)
        if (run.EndSeconds() <= t + 1e-9)
            end = std::max(end, run.EndSeconds());
    return end;
}

void JudgeStall(const Played &played, const std::vector<audit::HeardRun> &runs, Row &row) {
    row.Notes.push_back(Text("the device stood still for %.0f ms from %.3f s of sound heard",
                             played.StallMs, played.StallPcmMs / 1000.0));
    const double skipAt = played.TransitionAtMs.size() > 1 ? played.TransitionAtMs[1] : -1.0;
    if (row.M.Starts.size() < 2 || skipAt < 0.0) {
        row.Judge(false, "the new track was never written");
        return;
    }
    // Half a sample on: the write that brought the new track's first sample.
    const double pcm = audit::PcmSecondsAt(runs, row.M.Starts[1]) + 1e-5;
    const double written = audit::WrittenAtMs(played.Calls, pcm);
    const double after = written - skipAt;
    row.Judge(written >= 0.0 && after <= kStallWriteLimitMs,
              Text("the new track was written %.0f ms after the skip (at most %.0f)", after,
                   kStallWriteLimitMs));
}

void JudgeStopAfterCurrent(const Played &played, Row &row) {
    row.Judge(!played.HostPlayedAtPlay,
              played.HostPlayedAtPlay ? "the host still played when the next entry was to be played"
                                      : "the host had stopped at the first track's end");
    row.Judge(played.OpenReadsAtPlay == 0,
              Text("decoders still open once the rest was played out: %d", played.OpenReadsAtPlay));
    // Not judged: whether the engine let go of the output once the rest had played out. The
    // output counts its dry time at the calls that move its clock: the next track's first write
    // tells how long it ran dry before.
    const double from = played.StopAfterCurrentAtMs, to = played.TransitionAtMs.back();
    double dryFrom = 0.0, dryTo = -1.0;
    bool closed = false;
    for (const audit::OutputCall &call : played.Calls) {
        if (call.AtMs < from) {
            dryFrom = call.UnderrunMs;
        } else if (call.AtMs < to) {
            closed = closed || call.Name == "Close";
        } else if (call.Name == "Write") {
            dryTo = call.UnderrunMs;
            break;
        }
    }
    row.Notes.push_back(closed ? std::string("the output was closed once the rest had played out")
                               : Text("the output stayed open once the rest had played out, dry "
                                      "%.0f ms until the next track's first write",
                                      dryTo - dryFrom));
}

void JudgeStream(const Played &played, const std::vector<audit::HeardRun> &runs, Row &row) {
    const int opens = StreamCalls(played.SynthLog, "ExtOpen");
    const int plays = StreamCalls(played.SynthLog, "Play");
    row.Judge(opens == 0,
              Text("the stream entry is %ls's to the host; the engine opened it %d times "
                   "(never meant), its own plug-in played it %d times",
                   played.StreamOwner.c_str(), opens, plays));
    if (row.M.Starts.size() > 1)
        row.Notes.push_back(
            Text("the stream sounded %.0f ms after the track before ended (its "
                 "own plug-in's gap)",
                 (row.M.Starts[1] - SoundEndBefore(runs, row.M.Starts[1])) * 1000.0));
}

void JudgeStop(const Played &played, Row &row) {
    double last = 0.0, closed = -1.0, underrun = 0.0;
    for (const audit::OutputCall &call : played.Calls) {
        if (call.AtMs < played.StopAtMs) {
            underrun = call.UnderrunMs;
            continue;
        }
        last = call.AtMs - played.StopAtMs;
        if (call.Name == "Close" && closed < 0.0)
            closed = last;
    }
    const bool quick = played.StopReturnMs <= kStopLimitMs && last <= kStopLimitMs &&
                       closed >= 0.0 && closed <= kStopLimitMs;
    row.Judge(quick,
              Text("Stop: returned after %.1f ms; the output closed %.1f ms and the last call "
                   "into it %.1f ms after it (each at most %.0f)",
                   played.StopReturnMs, closed, last, kStopLimitMs));
    row.Judge(underrun < kInaudibleUnderrunMs, Text("underrun before the Stop: %.1f ms", underrun));
    row.Notes.push_back(played.OpenAtStop
                            ? "an open of the synthetic plug-in was under way at the Stop"
                            : "no open was under way at the Stop");
}

Row Audit(const Kind &kind) {
    Played played = Session(kind).Run();
    std::vector<audit::HeardRun> runs = audit::HeardTimeline(played.Calls, played.Pcm);
    // Nothing played while the device stood still: the listener heard silence there.
    if (played.StallPcmMs >= 0.0)
        audit::InsertSilence(runs, played.StallPcmMs / 1000.0, played.StallMs / 1000.0);
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
    Row row;
    const audit::Tracking tracking = audit::TrackHeard(runs, scenario.Tracks);
    row.M = audit::Measure(scenario, runs, tracking);
    row.Clean = row.M.Clean();
    if (played.StallPcmMs >= 0.0)
        JudgeStall(played, runs, row);
    if (Has(kind, Action::StopAfterCurrent))
        JudgeStopAfterCurrent(played, row);
    if (std::any_of(kind.Tracks.begin(), kind.Tracks.end(),
                    [](const TrackSpec &t) { return t.Stream; }))
        JudgeStream(played, runs, row);
    if (kind.ReportsStop)
        JudgeStop(played, row);
    return row;
}

// ------------------------------------------------------------------ busy processes

// Processes of this program that spin until it ends: in a job that ends them with it, and each
// watching its parent besides, should the job not hold them.
class BusyProcesses {
  public:
    explicit BusyProcesses(int count) {
        job_ = CreateJobObjectW(nullptr, nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (job_)
            SetInformationJobObject(job_, JobObjectExtendedLimitInformation, &limits,
                                    sizeof limits);
        wchar_t self[MAX_PATH + 1] = {};
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        for (int i = 0; i < count; ++i) {
            std::wstring line =
                L"\"" + std::wstring(self) + L"\" --hog " + std::to_wstring(GetCurrentProcessId());
            STARTUPINFOW startup{};
            startup.cb = sizeof startup;
            PROCESS_INFORMATION process{};
            if (!CreateProcessW(self, line.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                                nullptr, nullptr, &startup, &process))
                throw std::runtime_error("a busy process could not be started");
            if (job_)
                AssignProcessToJobObject(job_, process.hProcess);
            ResumeThread(process.hThread);
            CloseHandle(process.hThread);
            processes_.push_back(process.hProcess);
        }
    }
    ~BusyProcesses() {
        for (HANDLE process : processes_) {
            TerminateProcess(process, 0);
            WaitForSingleObject(process, 5000);
            CloseHandle(process);
        }
        if (job_)
            CloseHandle(job_);
    }
    BusyProcesses(const BusyProcesses &) = delete;
    BusyProcesses &operator=(const BusyProcesses &) = delete;

  private:
    HANDLE job_ = nullptr;
    std::vector<HANDLE> processes_;
};

int Hog(DWORD parentId) {
    HANDLE parent = OpenProcess(SYNCHRONIZE, FALSE, parentId);
    volatile std::uint64_t spins = 0;
    for (;;) {
        for (int i = 0; i < 50000000; ++i)
            spins = spins + 1;
        if (!parent || WaitForSingleObject(parent, 0) != WAIT_TIMEOUT)
            return 0;
    }
}

// The runs of a kind as one row: clean only when every run is, with the worst of each measure.
Row Worst(const std::vector<Row> &rows) {
    Row worst;
    int clean = 0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const Row &row = rows[i];
        clean += row.Clean ? 1 : 0;
        audit::Measures &w = worst.M;
        if (row.M.StepRatio > w.StepRatio) {
            w.StepRatio = row.M.StepRatio;
            w.Step = row.M.Step;
            w.Own = row.M.Own;
        }
        w.TwiceMs = std::max(w.TwiceMs, row.M.TwiceMs);
        w.SilenceMs = std::max(w.SilenceMs, row.M.SilenceMs);
        w.LostMs = std::max(w.LostMs, row.M.LostMs);
        w.GainError = std::max(w.GainError, row.M.GainError);
        if (!row.Clean) {
            std::string notes;
            for (const std::vector<std::string> *list : {&row.Notes, &row.M.Notes})
                for (const std::string &note : *list)
                    notes += (notes.empty() ? "" : "; ") + note;
            worst.Notes.push_back("run " + std::to_string(i + 1) + ": " + notes);
        }
    }
    worst.Clean = clean == static_cast<int>(rows.size());
    worst.Notes.insert(
        worst.Notes.begin(),
        Text("%d of %zu runs clean; the worst of each measure above", clean, rows.size()));
    return worst;
}

Row AuditKind(const Kind &kind) {
    if (kind.Runs <= 1 && kind.BusyProcesses == 0)
        return Audit(kind);
    const BusyProcesses busy(kind.BusyProcesses);
    std::vector<Row> rows;
    for (int i = 0; i < kind.Runs; ++i) {
        try {
            rows.push_back(Audit(kind));
        } catch (const std::exception &error) {
            Row failed;
            failed.Clean = false;
            failed.M.Complete = false;
            failed.M.Notes.push_back(std::string("could not be played: ") + error.what());
            rows.push_back(failed);
        }
    }
    return Worst(rows);
}

// ------------------------------------------------------------------ printing

constexpr int kNameWidth = 50;

void PrintHeading() {
    std::printf(
        "Transition audit: in_hvqblend.dll in the reference host, the synthetic plug-in decoding\n"
        "tracks whose every sample can be located (opens take %d ms, as a real decoder's), an\n"
        "output on a real-time clock with a %d ms buffer; skip fade %d ms where a skip is played.\n"
        "step: the largest sample step within %.0f ms of a join, against own: what the tracks "
        "make\n"
        "by themselves at the gains heard there (clean: no more, plus two of the output's least\n"
        "steps). twice / silence / lost: milliseconds heard twice, of silence (RMS over 0.5 ms\n"
        "below -60 dBFS, or no sound) and of sound lost, where a track was meant to sound at -40 "
        "dB\n"
        "or more (clean: each below %.0f ms; positions resolved to 0.1 ms). gain: the largest\n"
        "difference from the curve's gain (clean: %.2f at most). A seek's jump and a Stop's cut\n"
        "are the user's: no step of the engine's; nor the silence of a stalled device, of a host\n"
        "that stopped at a track's end or of a stream's own plug-in taking the output. The notes\n"
        "time a stalled skip's cut (clean: the new track written within %.0f ms of the skip) and "
        "a\n"
        "Stop (clean: the engine quiet and the output closed within %.0f ms, no underrun "
        "before).\n\n",
        kOpenDelayMs, kBufferMs, kSkipFadeMs, audit::kJoinSeconds * 1000.0, audit::kCleanMs,
        audit::kCleanGain, kStallWriteLimitMs, kStopLimitMs);
    std::printf("%-*s %7s %7s %9s %9s %9s %6s  %s\n", kNameWidth, "kind", "step", "own", "twice ms",
                "silence", "lost ms", "gain", "verdict");
    std::fflush(stdout);
}

void PrintRow(const Kind &kind, const Row &row) {
    const audit::Measures &m = row.M;
    std::printf("%-*s %7.4f %7.4f %9.1f %9.1f %9.1f %6.3f  %s\n", kNameWidth, kind.Name.c_str(),
                m.Step, m.Own, m.TwiceMs, m.SilenceMs, m.LostMs, m.GainError,
                row.Clean ? "clean" : "DIRTY");
    std::vector<std::string> notes = row.Notes;
    notes.insert(notes.end(), m.Notes.begin(), m.Notes.end());
    const std::size_t shown =
        std::min<std::size_t>(notes.size(), row.Notes.size() + kMaxNotesPerRow);
    for (std::size_t i = 0; i < shown; ++i)
        std::printf("    %s\n", notes[i].c_str());
    if (notes.size() > shown)
        std::printf("    ... and %zu more\n", notes.size() - shown);
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
    if (argc == 3 && std::strcmp(argv[1], "--hog") == 0)
        return Hog(static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10)));
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
            const Row row = AuditKind(kind);
            clean += row.Clean ? 1 : 0;
            PrintRow(kind, row);
        } catch (const std::exception &error) {
            std::printf("%-*s could not be played: %s\n", kNameWidth, kind.Name.c_str(), error.what());
            std::fflush(stdout);
        }
    }
    std::printf("\n%d of %d kinds clean (%.0f s)\n", clean, rows,
                (RecordingOutput::ClockMs() - started) / 1000.0);
    return strict && clean < rows ? 1 : 0;
}
