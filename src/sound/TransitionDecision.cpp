#include "TransitionDecision.h"

#include <algorithm>

namespace transition {

namespace {

// The fade planned from the look-ahead's answers; an answer that came after half its fade had
// passed is no use for the fade, which is then the plain one.
endplan::TPlannedEnd FadePlan(const TFacts &facts, const endplan::TPlannedEnd &followed) {
    const std::int64_t written = facts.WrittenMs;
    if (written > followed.EndMs - followed.FadeMs && followed.EndMs - written < followed.FadeMs / 2)
        return endplan::PlanEnd(facts.LengthMs, facts.Options.FadeMs, std::nullopt);
    return followed;
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

// A transition without a fade ends the track's reading at endMs: that is where it happens.
TTransition Unfaded(Kind what, Output out, std::int64_t endMs, const char *why) {
    TTransition t;
    t.What = what;
    t.Out = out;
    t.EndMs = t.FadeStartMs = endMs;
    t.Why = why;
    return t;
}

TTransition DecideEnd(const TFacts &facts) {
    const TOptions &options = facts.Options;
    const TNext &next = facts.Next;
    const endplan::TPlannedEnd followed =
        endplan::PlanEnd(facts.LengthMs, options.FadeMs, facts.End, facts.NextStart);
    const endplan::TPlannedEnd plan = FadePlan(facts, followed);
    // Without Skip Silence the track is read to its end; only a crossfade ends where it fades.
    const std::int64_t soundEnd = options.SkipSilence ? followed.EndMs : facts.LengthMs;
    switch (next.Kind) {
    case Entry::Unknown: {
        TTransition t;
        t.What = Kind::PlayOn;
        t.EndMs = plan.EndMs;
        t.FadeMs = options.FadeMs > 0 ? plan.FadeMs : 0;
        t.FadeStartMs = std::min(plan.EndMs - t.FadeMs, soundEnd);
        t.Why = "the next entry is learnt where the fade would start";
        return t;
    }
    case Entry::None:
        return Unfaded(Kind::PlayOutAndKeep, Output::StaysOpen, facts.LengthMs,
                       "nothing follows: played to its end, the output stays open");
    case Entry::HandedBack:
        return Unfaded(Kind::HandBack, Output::Closes, soundEnd,
                       "the next entry is its own plug-in's: played to its end, nothing prepared");
    case Entry::Unopenable:
        return Unfaded(Kind::Plain, Output::Closes, soundEnd,
                       "the next entry does not open: played to its end, the output closed");
    case Entry::Engines:
        break;
    }
    const Output out = OutputFor(next);
    if (options.AlbumsThrough && next.ContinuesAlbum)
        return Unfaded(Kind::AlbumJoin, out, facts.LengthMs,
                       "the album goes on: written straight on, sample-exact");
    if (!CanCrossfade(facts, plan)) {
        TTransition t = options.SkipSilence
                            ? Unfaded(Kind::SoundToSound, out, soundEnd,
                                      "no crossfade: from the track's sound to the next one's")
                            : Unfaded(Kind::Plain, out, facts.LengthMs,
                                      "no crossfade: the track plays to its end");
        t.TrimsLeading = options.SkipSilence;
        return t;
    }
    TTransition t;
    t.What = Kind::Crossfade;
    t.Out = out;
    t.EndMs = plan.EndMs;
    t.FadeMs = plan.FadeMs;
    t.FadeStartMs = plan.EndMs - plan.FadeMs;
    t.InSpeed = plan.OverFadeOut ? endplan::kRampSpeed : 1.0;
    t.OutSpeed = plan.OverFadeIn ? endplan::kRampSpeed : 1.0;
    t.TrimsLeading = options.SkipSilence;
    t.Why = plan.OverFadeOut  ? "crossfade over the track's own fade-out"
            : plan.OverFadeIn ? "crossfade over the next track's own fade-in"
                              : "crossfade";
    return t;
}

} // namespace

TTransition Decide(const TFacts &facts) {
    return facts.Stop != HostStop::None ? DecideStop(facts) : DecideEnd(facts);
}

} // namespace transition
