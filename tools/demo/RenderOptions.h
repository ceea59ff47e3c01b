// The render tool's command line. Pure: no windows.h.
#pragma once

#include "Transitions.h"
#include "config/PluginConfigValues.h"

#include <array>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace demo {

// The playback-thread priorities the plug-in's settings file knows, by name.
inline constexpr std::array<std::string_view, 7> kPriorityNames = {
    "Idle", "Lowest", "Lower", "Normal", "Higher", "Highest", "TimeCritical"};

struct RenderOptions {
    // The plug-in's four settings; the defaults are the plug-in's own.
    int FadeMs = 5000;
    int MinMs = 10000;
    bool LogCurve = false;
    std::string Priority = "Higher";
    // The option written after the four (EqualPowerTrans), only when chosen.
    bool EqualPower = false;
    // The fade on skip (SkipFade, SkipFadeTime; written only when above 0), whether it was given
    // (0 given turns it off, as not giving it does), and the output times in seconds at which the
    // user presses Next, in order.
    int SkipFadeMs = 0;
    bool SkipFadeGiven = false;
    std::vector<double> SkipAtSeconds;
    // Crossfade tracks of different formats too (FadeAcrossFormats, written only when chosen);
    // without it a playlist of more than one format is refused.
    bool FadeAcrossFormats = false;
    // The options that follow the music, each written only when chosen: skip silence at track
    // edges (SkipSilence, SilenceThreshold in dBFS), crossfade over a track's own fade-out
    // (FadeOverOwnFadeOut, OwnFadeOutDrop in dB below the body), play albums through
    // (PlayAlbumsThrough).
    bool SkipSilence = false;
    int SilenceThresholdDb = kDefaultSilenceThresholdDb;
    bool FadeOverOwnFadeOuts = false;
    int OwnFadeOutDropDb = kDefaultOwnFadeOutDropDb;
    bool AlbumsThrough = false;

    // A player's Plugins folder: its input plug-ins play the tracks, through in_hvqblend.dll
    // (empty: the WAV plug-in plays WAV files).
    std::string PluginsFolder;

    std::string Output = "render.wav";
    std::string Png;    // no picture when empty
    int PngJoin = 0;    // the picture shows the seconds around this join (1: tracks 1 > 2); 0: all
    double Speed = 0.0; // how much faster than real time the output plays; 0 = at once
    bool Help = false;
    std::vector<std::string> Inputs; // the playlist, in order
};

// --speed: 0 (as fast as the machine goes) or this many times real time. Slower, the output would
// hardly move; faster is no different from 0.
inline constexpr double kSlowestSpeed = 0.1;
inline constexpr double kFastestSpeed = 1000.0;

// How fast the render's output plays: --speed (0, as fast as the machine goes, by default: the
// plug-in waits for its look-ahead on an output that takes everything at once, so the
// transitions that follow the music are those of real time).
double OutputSpeed(const RenderOptions &options);

// The curve the settings choose: equal power wins over LogTrans.
Curve CurveOf(const RenderOptions &options);

struct ParsedArgs {
    RenderOptions Options;
    std::string Error; // empty when the command line was understood
};

// The plug-in's settings file for the render: its keys and values, in the order written.
std::vector<std::pair<std::string, std::string>> SettingsKeys(const RenderOptions &options);

// The arguments after the program's name, UTF-8.
ParsedArgs ParseRenderArgs(std::span<const std::string> args);
std::string RenderUsage();

} // namespace demo
