#include "RenderOptions.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <optional>

namespace demo {

namespace {

constexpr int kLongestMs = 3'600'000;

std::optional<int> Milliseconds(std::string_view text) {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < 0 || value > kLongestMs)
        return std::nullopt;
    return value;
}

std::optional<double> Speed(const std::string &text) {
    try {
        std::size_t used = 0;
        const double value = std::stod(text, &used);
        if (used != text.size() || !std::isfinite(value) || value < 0.0)
            return std::nullopt;
        return value;
    } catch (...) {
        return std::nullopt;
    }
}

// "75.5", "1:15.5" or "0:01:15.5": seconds, or minutes and seconds (with hours before them).
std::optional<double> TimeSeconds(const std::string &text) {
    double seconds = 0.0;
    std::size_t start = 0;
    for (;;) {
        const std::size_t colon = text.find(':', start);
        const std::string part =
            text.substr(start, colon == std::string::npos ? colon : colon - start);
        const auto value = Speed(part);
        if (!value || (colon != std::string::npos && part.find('.') != std::string::npos))
            return std::nullopt;
        seconds = seconds * 60.0 + *value;
        if (colon == std::string::npos)
            return seconds;
        start = colon + 1;
    }
}

std::optional<int> Decibels(std::string_view text, int lowest, int highest) {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < lowest ||
        value > highest)
        return std::nullopt;
    return value;
}

// A level as the options that follow the music take it: a whole number of dB, signed or not.
bool LooksLikeLevel(std::string_view text) {
    const std::string_view digits =
        text.substr(!text.empty() && (text[0] == '-' || text[0] == '+'));
    return !digits.empty() && digits.find_first_not_of("0123456789") == std::string_view::npos;
}

// The options that follow the music: switches with a level, where they have one, after "=" or
// as the next argument when that is a number (a track's file name never is). Answers how many
// arguments it took: 0 when the argument is none of them, 1 for the switch alone, 2 with its
// level; error is set when the option was understood but its value is wrong.
int TakeMusicOption(const std::string &arg, const std::string *next, RenderOptions &o,
                    std::string &error) {
    const std::size_t eq = arg.find('=');
    const std::string name = arg.substr(0, eq);
    const bool levelled = name == "--skip-silence" || name == "--fade-over-own-fade-outs";
    std::optional<std::string> value =
        eq == std::string::npos ? std::nullopt : std::optional(arg.substr(eq + 1));
    int taken = 1;
    if (levelled && !value && next && LooksLikeLevel(*next)) {
        value = *next;
        taken = 2;
    }
    const auto level = [&](int lowest, int highest, const char *what, int &into) {
        if (!value)
            return;
        if (const auto db = Decibels(*value, lowest, highest))
            into = *db;
        else
            error = name + " takes " + what + " from " + std::to_string(lowest) + " to " +
                    std::to_string(highest) + ", not \"" + *value + "\"";
    };
    if (name == "--skip-silence") {
        o.SkipSilence = true;
        level(kLowestSilenceThresholdDb, kHighestSilenceThresholdDb, "a peak level in dBFS",
              o.SilenceThresholdDb);
    } else if (name == "--fade-over-own-fade-outs") {
        o.FadeOverOwnFadeOuts = true;
        level(kLeastOwnFadeOutDropDb, kMostOwnFadeOutDropDb, "dB below the track's body",
              o.OwnFadeOutDropDb);
    } else if (name == "--albums-through") {
        o.AlbumsThrough = true;
        if (value)
            error = name + " takes no value";
    } else {
        return 0;
    }
    return taken;
}

} // namespace

std::vector<std::pair<std::string, std::string>> SettingsKeys(const RenderOptions &options) {
    std::vector<std::pair<std::string, std::string>> keys = {
        {"FadeTime", std::to_string(options.FadeMs)},
        {"MinFileSize", std::to_string(options.MinMs)},
        {"LogTrans", options.LogCurve ? "1" : "0"},
        {"PlaybackThreadPriority", options.Priority}};
    if (options.EqualPower)
        keys.emplace_back("EqualPowerTrans", "1");
    if (options.SkipFadeMs > 0) {
        keys.emplace_back("SkipFade", "1");
        keys.emplace_back("SkipFadeTime", std::to_string(options.SkipFadeMs));
    }
    if (options.FadeAcrossFormats)
        keys.emplace_back("FadeAcrossFormats", "1");
    if (options.SkipSilence) {
        keys.emplace_back("SkipSilence", "1");
        keys.emplace_back("SilenceThreshold", std::to_string(options.SilenceThresholdDb));
    }
    if (options.FadeOverOwnFadeOuts) {
        keys.emplace_back("FadeOverOwnFadeOut", "1");
        keys.emplace_back("OwnFadeOutDrop", std::to_string(options.OwnFadeOutDropDb));
    }
    if (options.AlbumsThrough)
        keys.emplace_back("PlayAlbumsThrough", "1");
    return keys;
}

double OutputSpeed(const RenderOptions &options) {
    return options.Speed;
}

Curve CurveOf(const RenderOptions &options) {
    return options.EqualPower ? Curve::EqualPower : options.LogCurve ? Curve::Log : Curve::Linear;
}

ParsedArgs ParseRenderArgs(std::span<const std::string> args) {
    ParsedArgs parsed;
    RenderOptions &o = parsed.Options;
    const auto fail = [&](std::string message) {
        parsed.Error = std::move(message);
        return parsed;
    };
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            o.Inputs.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            o.Help = true;
            continue;
        }
        if (arg == "--fade-across-formats") {
            o.FadeAcrossFormats = true;
            continue;
        }
        std::string error;
        const std::string *next = i + 1 < args.size() ? &args[i + 1] : nullptr;
        if (const int taken = TakeMusicOption(arg, next, o, error); taken > 0) {
            if (!error.empty())
                return fail(error);
            i += static_cast<std::size_t>(taken - 1);
            continue;
        }
        // A level typed apart from its option reads as an option of its own.
        if (LooksLikeLevel(arg))
            return fail(arg + " is a number where an option or a file belongs: give a level with "
                              "its option, as --skip-silence -50 or --skip-silence=-50");
        // "--name=value" or "--name value"
        std::string value;
        bool hasValue = false;
        if (const auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg.resize(eq);
            hasValue = true;
        }
        const auto take = [&]() -> std::optional<std::string> {
            if (hasValue)
                return value;
            if (i + 1 >= args.size())
                return std::nullopt;
            return args[++i];
        };
        const auto v = take();
        if (!v)
            return fail(arg + " needs a value");
        if (arg == "--fade-ms" || arg == "--min-ms") {
            const auto ms = Milliseconds(*v);
            if (!ms)
                return fail(arg + " takes milliseconds from 0 to " + std::to_string(kLongestMs) +
                            ", not \"" + *v + "\"");
            (arg == "--fade-ms" ? o.FadeMs : o.MinMs) = *ms;
        } else if (arg == "--curve") {
            if (*v != "linear" && *v != "log" && *v != "equal-power")
                return fail("--curve is linear or log (or equal-power), not \"" + *v + "\"");
            o.LogCurve = *v == "log";
            o.EqualPower = *v == "equal-power";
        } else if (arg == "--skip-fade-ms") {
            const auto ms = Milliseconds(*v);
            if (!ms)
                return fail(arg + " takes milliseconds from 0 to " + std::to_string(kLongestMs) +
                            ", not \"" + *v + "\"");
            o.SkipFadeMs = *ms;
            o.SkipFadeGiven = true;
        } else if (arg == "--skip-at") {
            const auto at = TimeSeconds(*v);
            if (!at || (!o.SkipAtSeconds.empty() && *at <= o.SkipAtSeconds.back()))
                return fail("--skip-at takes a time in the output (seconds, or m:ss.mmm), each "
                            "later than the one before, not \"" +
                            *v + "\"");
            o.SkipAtSeconds.push_back(*at);
        } else if (arg == "--priority") {
            if (std::find(kPriorityNames.begin(), kPriorityNames.end(), *v) == kPriorityNames.end())
                return fail("--priority is one of Idle, Lowest, Lower, Normal, Higher, Highest, "
                            "TimeCritical (as written), not \"" +
                            *v + "\"");
            o.Priority = *v;
        } else if (arg == "-o" || arg == "--output") {
            o.Output = *v;
        } else if (arg == "--plugins") {
            if (v->empty())
                return fail("--plugins needs a folder");
            o.PluginsFolder = *v;
        } else if (arg == "--png") {
            o.Png = *v;
        } else if (arg == "--png-join") {
            const auto join = Milliseconds(*v);
            if (!join || *join < 1)
                return fail("--png-join takes the number of a join, 1 for the one from track 1 "
                            "into track 2, not \"" +
                            *v + "\"");
            o.PngJoin = *join;
        } else if (arg == "--speed") {
            const auto speed = Speed(*v);
            if (!speed || (*speed > 0.0 && (*speed < kSlowestSpeed || *speed > kFastestSpeed)))
                return fail("--speed is 0 (as fast as the machine goes) or how many times real "
                            "time the output plays, from 0.1 to 1000, not \"" +
                            *v + "\"");
            o.Speed = *speed;
        } else {
            return fail("unknown option " + arg);
        }
    }
    if (o.Output.empty())
        return fail("-o needs a file name");
    if (!o.Help && o.Inputs.empty())
        return fail(o.PluginsFolder.empty() ? "no WAV files given" : "no tracks given");
    if (o.PngJoin > 0 && o.Png.empty())
        return fail("--png-join draws a picture of one join: give --png FILE for it too");
    if (!o.Help && o.PngJoin >= static_cast<int>(o.Inputs.size()))
        return fail("--png-join " + std::to_string(o.PngJoin) + ": " +
                    (o.Inputs.size() > 1 ? "the " + std::to_string(o.Inputs.size()) +
                                               " tracks given have joins 1 to " +
                                               std::to_string(o.Inputs.size() - 1)
                                         : std::string("a single track has no join")));
    return parsed;
}

std::string RenderUsage() {
    return R"(usage: hvq_render [options] track1.wav track2.wav ...
       hvq_render --plugins DIR [options] track1 track2 ...

Plays the WAV files as one playlist through in_hvqblend.dll in the reference host (with the
WAV input plug-in beside it), from the first entry to the last, and writes everything the output
received to one WAV file: the crossfades as the plug-in makes them. Prints each track, where each
transition starts in the output, its length and its peak level.

With --plugins DIR the tracks may be of any format the input plug-ins of DIR play (a player's
Plugins folder, say C:\Program Files\Winamp\Plugins): the render lays them beside
in_hvqblend.dll as the player does (its in_*.dll files; the folder's own in_hvqblend.dll and
files of other kinds are left out), and in_hvqblend.dll plays each file through the plug-in
that owns it, as it does in the player. The report names that plug-in for each track. Each
file is decoded once by its plug-in before the render, for the analysis: a file no plug-in
takes or can decode, and a plug-in that faults, stop the render before anything is written.

options (the first four are the plug-in's settings, written to Plugins\HVQBlend.ini):
  --fade-ms N       crossfade time in milliseconds (FadeTime; default 5000)
  --min-ms N        tracks must be longer than this to fade out, and at least this long to
                    fade in (MinFileSize; default 10000)
  --curve KIND      linear, log (LogTrans) or equal-power (EqualPowerTrans, written only
                    then; default linear)
  --skip-fade-ms N  fade on skip over N milliseconds (SkipFade, SkipFadeTime; default off)
  --skip-at TIME    press Next when the output has played TIME (seconds or m:ss.mmm); give
                    it again for more skips. The output then plays at 4 times real time (or
                    at --speed), and what it throws away unplayed is left out. A time past
                    the end of the tracks is refused; one the output does not reach is named
                    in the report
  --fade-across-formats
                    crossfade tracks of different rates, widths or channel counts too
                    (FadeAcrossFormats, written only then); this also lets the playlist mix
                    formats, see below
  --skip-silence[=DB]
                    leave out the silence at track edges: what stays below DB dBFS peak,
                    -90 to -20, -50 when not given (SkipSilence, SilenceThreshold; written only
                    then). The level may also come as the next argument: --skip-silence -60
  --fade-over-own-fade-outs[=DB]
                    lay the crossfade over a track's own fade-out, from where it has fallen
                    DB dB below the track's body, 3 to 40, 12 when not given
                    (FadeOverOwnFadeOut, OwnFadeOutDrop; written only then); also
                    --fade-over-own-fade-outs 20
  --albums-through  play consecutive tracks of one album without a crossfade
                    (PlayAlbumsThrough, written only then)
  --priority NAME   playback thread priority: Idle, Lowest, Lower, Normal, Higher, Highest,
                    TimeCritical (PlaybackThreadPriority; default Higher)
  --plugins DIR     play the tracks with the input plug-ins of DIR (see above)
  -o FILE           the mixed WAV (default render.wav)
  --png FILE        also draw the output's waveform with the crossfades and gain curves
  --png-join N      draw only the seconds around join N (1 is the join of track 1 into
                    track 2, as the report numbers them): 3 s before it to 3 s after its mix,
                    for a long playlist, whose whole picture squeezes each join into a sliver
  --speed X         how many times faster than real time the output plays, 0.1 to 1000, or
                    0: as fast as the machine goes (default; the plug-in waits for its
                    look-ahead on such an output, so silence and fade-outs are followed as in
                    real time), but 4 with --skip-at (a skip needs a listener's clock)
  -h, --help        this text

All files must share one format (rate, bits, channels), unless --fade-across-formats is
given. The output then re-opens in each track's format where the format changes, as a player's
output does, and since a WAV file has one format the output is written as one file per run of
one format: FILE for the first, then FILE with -2, -3, ... before its extension (mix.wav,
mix-2.wav, ...). A crossfade into a track of another format is at the start of the file of the
incoming track's format. The report gives each track's format, its times and the transitions'
times in the files played one after the other, and lists the files; the picture shows them on
one timeline.

Paths may be Windows paths or, under Wine, Unix paths. Each output file is written as its name
with .part added and renamed when the render is done; Ctrl-C removes them. Under each transition
that is not a crossfade the report says why.
)";
}

} // namespace demo
