#include "PreLoad.h"

#include "../hookedins/FileInfoQueries.h"
#include "../hookedins/HookedInsUnit.h"
#include "../hostlink/TextConvert.h"

#include <windows.h>

bool IsStreamAddress(const std::wstring &fileName) {
    std::string ansi = WideToAnsi(fileName.substr(0, 16));
    CharLowerBuffA(ansi.data(), static_cast<DWORD>(ansi.size()));
    return ansi.rfind("http://", 0) == 0;
}

TPreLoadPtr OpenPreLoad(THookedInPlugins *registry, const std::wstring &fileName,
                        const TDecoderOpenOptions &options) {
    if (IsStreamAddress(fileName))
        return nullptr;
    THookedInPlugin *plugin = registry ? registry->FindForFile(fileName.c_str()) : nullptr;
    if (!plugin || !plugin->CanExtendedRead || !IsAudioFile(*plugin, fileName))
        return nullptr;
    if (!HasUsableOpen(*plugin, false))
        return nullptr;
    const int lengthMs = GetLengthMs(*plugin, fileName);
    if (lengthMs < 1)
        return nullptr;
    TDecoderOpenOptions open = options;
    open.PresetSize = lengthMs;
    open.KnownLengthMs = lengthMs;
    auto decoder = OpenDecoder(*plugin, fileName, open);
    if (!decoder)
        return nullptr;
    auto record = std::make_unique<TInPluginPlaybackThreadPreLoad>();
    record->FileName = fileName;
    record->Decoder = std::move(*decoder);
    return record;
}

void FreePreLoad(TPreLoadPtr record) noexcept {
    record.reset(); // the decoder closes itself
}

TPreLoadPtr TPreLoadSlot::Take() {
    std::lock_guard guard(lock_);
    return std::move(record_);
}

void TPreLoadSlot::Put(TPreLoadPtr record) {
    TPreLoadPtr previous;
    {
        std::lock_guard guard(lock_);
        previous = std::move(record_);
        record_ = std::move(record);
    }
    FreePreLoad(std::move(previous));
}

bool TPreLoadSlot::IsEmpty() const {
    std::lock_guard guard(lock_);
    return record_ == nullptr;
}
