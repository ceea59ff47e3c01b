// What the engine reads of the plug-in's settings. Each value is read where it is used: the
// configuration dialog may change any of them on the host's thread at any time.
#pragma once

#include "../sound/EndPlan.h"

class TPluginConfig;

class TEngineSettings {
  public:
    // Without settings (a test's engine) the documented defaults hold and every option is off.
    explicit TEngineSettings(const TPluginConfig *config) : config_(config) {}

    int FadeTimeMs() const;
    int MinFileSizeMs() const;
    // The fade on skip in ms; 0 when it is off.
    int SkipFadeMs() const;
    // Whether tracks of different formats crossfade, the outgoing one converted.
    bool FadeAcrossFormats() const;
    // Whether consecutive tracks of one album join without a crossfade.
    bool PlayAlbumsThrough() const;
    // The options that follow the music, as far as a track's edges go.
    TLookAheadWishes LookAheadWishes() const;

  private:
    const TPluginConfig *config_;
};
