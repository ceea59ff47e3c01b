#include "EngineSettings.h"

#include "../config/PluginConfigUnit.h"

#include <algorithm>

int TEngineSettings::FadeTimeMs() const {
    return config_ ? config_->FadeTime() : 5000;
}

int TEngineSettings::MinFileSizeMs() const {
    return config_ ? config_->MinFileSize() : 10000;
}

int TEngineSettings::SkipFadeMs() const {
    return config_ && config_->SkipFade() ? std::max(config_->SkipFadeTime(), 0) : 0;
}

bool TEngineSettings::FadeAcrossFormats() const {
    return config_ && config_->FadeAcrossFormats();
}

bool TEngineSettings::PlayAlbumsThrough() const {
    return config_ && config_->PlayAlbumsThrough();
}

TLookAheadWishes TEngineSettings::LookAheadWishes() const {
    if (!config_)
        return {};
    return {config_->SkipSilence(), config_->SilenceThresholdDb(), config_->FadeOverOwnFadeOut(),
            config_->OwnFadeOutDropDb()};
}
