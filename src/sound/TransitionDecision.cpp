#include "TransitionDecision.h"

namespace transition {

namespace {

// The end planned from the look-ahead's answers; an answer that came after half its fade had
// passed is no use, and the end is then the plain one.
endplan::TPlannedEnd PlannedEnd(const TFacts &facts) {
    const std::int64_t fadeMs = facts.Options.FadeMs;
    endplan::TPlannedEnd plan = endplan::PlanEnd(facts.LengthMs, fadeMs, facts.End, facts.NextStart);
    const std::int64_t written = facts.WrittenMs;
    if (written > plan.EndMs - plan.FadeMs && plan.EndMs - written < plan.FadeMs / 2)
        plan = endplan::PlanEnd(facts.LengthMs, fadeMs, std::nullopt);
    return plan;
}

Output OutputFor(const TNext &next) {
    return next.SameFormat ? Output::Continues : Output::Reopens;
}

bool CanCrossfade(const TFacts &facts, const endplan::TPlannedEnd &plan) {
    const TOptions &options = facts.Options;
    const TNext &next = facts.Next;
    return options.FadeMs > 0 && facts.LengthMs > options.MinFileSizeMs &&
           next.LengthMs >= options.MinFileSizeMs &&
           (next.SameFormat || (options.AcrossFormats && next.Convertible)) &&
           plan.EndMs - facts.WrittenMs > 0;
}

TTransition DecideStop(const TFacts &facts) {
    TTransition t;
    t.EndMs = facts.LengthMs;
    switch (facts.Stop) {
    case HostStop::User:
        t.LetsGoOfPrepared = true;
        t.Out = Output::Flushed;
        if (facts.Skip && facts.Options.SkipFadeMs > 0 && !facts.ClockStandsStill) {
            t.What = Kind::SkipFade;
            t.FadeMs = facts.Options.SkipFadeMs;
            t.TrimsLeading = facts.Options.SkipSilence;
            t.Why = "the user skips: what the listener hears fades into the new track";
            return t;
        }
        t.What = Kind::CutAndRelease;
        t.Why = facts.Skip && facts.ClockStandsStill
                    ? "a skip on an output whose clock stands still: cut"
                    : "the user stops: flushed, closed, everything let go";
        return t;
    case HostStop::EndOfTrack:
        t.What = Kind::KeepForPlay;
        t.Why = "the host moves on: what is prepared waits for its Play";
        return t;
    case HostStop::NoFullStopQuery:
        if (facts.Next.Kind == Entry::Engines) {
            t.What = Kind::KeepForPlay;
            t.Why = "a host that cannot tell its stops apart: kept a moment for its Play";
            return t;
        }
        t.What = Kind::CutAndRelease;
        t.LetsGoOfPrepared = true;
        t.Out = Output::Flushed;
        t.Why = "nothing prepared: the user's stop";
        return t;
    case HostStop::StopAfterCurrent:
        t.What = Kind::PlayOutAndStop;
        t.Out = Output::StaysOpen;
        t.LetsGoOfPrepared = true;
        t.Why = "the host ends here: the track plays to its last sample, the next is let go";
        return t;
    case HostStop::None:
        break;
    }
    return t;
}

TTransition DecideEnd(const TFacts &facts) {
    const TOptions &options = facts.Options;
    const TNext &next = facts.Next;
    const endplan::TPlannedEnd plan = PlannedEnd(facts);
    TTransition t;
    t.FadeMs = options.FadeMs > 0 ? plan.FadeMs : 0;
    t.EndMs = plan.EndMs;
    t.FadeStartMs = plan.EndMs - t.FadeMs;
    // Without Skip Silence the track is read to its end; only a crossfade ends where it fades.
    const std::int64_t soundEnd = options.SkipSilence ? plan.EndMs : facts.LengthMs;
    switch (next.Kind) {
    case Entry::Unknown:
        t.What = Kind::PlayOn;
        t.Why = "the next entry is learnt where the fade would start";
        return t;
    case Entry::None:
        t.What = Kind::PlayOutAndKeep;
        t.Out = Output::StaysOpen;
        t.EndMs = facts.LengthMs;
        t.Why = "nothing follows: played to its end, the output stays open";
        return t;
    case Entry::HandedBack:
        t.What = Kind::HandBack;
        t.Out = Output::Closes;
        t.EndMs = soundEnd;
        t.Why = "the next entry is its own plug-in's: played to its end, nothing prepared";
        return t;
    case Entry::Unopenable:
        t.What = Kind::Plain;
        t.Out = Output::Closes;
        t.EndMs = soundEnd;
        t.Why = "the next entry does not open: played to its end, the output closed";
        return t;
    case Entry::Engines:
        break;
    }
    t.Out = OutputFor(next);
    if (options.AlbumsThrough && next.ContinuesAlbum) {
        t.What = Kind::AlbumJoin;
        t.EndMs = facts.LengthMs;
        t.FadeMs = 0;
        t.Why = "the album goes on: written straight on, sample-exact";
        return t;
    }
    if (CanCrossfade(facts, plan)) {
        t.What = Kind::Crossfade;
        t.InSpeed = plan.OverFadeOut ? endplan::kRampSpeed : 1.0;
        t.OutSpeed = plan.OverFadeIn ? endplan::kRampSpeed : 1.0;
        t.TrimsLeading = options.SkipSilence;
        t.Why = plan.OverFadeOut  ? "crossfade over the track's own fade-out"
                : plan.OverFadeIn ? "crossfade over the next track's own fade-in"
                                  : "crossfade";
        return t;
    }
    t.FadeMs = 0;
    t.EndMs = soundEnd;
    t.What = options.SkipSilence ? Kind::SoundToSound : Kind::Plain;
    t.TrimsLeading = options.SkipSilence;
    t.Why = options.SkipSilence ? "no crossfade: from the track's sound to the next one's"
                                : "no crossfade: the track plays to its end";
    return t;
}

} // namespace

TTransition Decide(const TFacts &facts) {
    return facts.Stop != HostStop::None ? DecideStop(facts) : DecideEnd(facts);
}

} // namespace transition
