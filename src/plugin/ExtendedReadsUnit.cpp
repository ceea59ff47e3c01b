#include "ExtendedReadsUnit.h"

#include "../hostlink/FaultGuard.h"
#include "../hostlink/PluginError.h"
#include "../hostlink/TextConvert.h"
#include "../globals/PluginGlobals.h"

#include <algorithm>
#include <cstdint>
#include <string>

TExtendedReadList *OpenExtendedReads = nullptr;
intptr_t TExtendedReadList::lastHandle_ = 0;

std::vector<TExtendedReadList::TEntry>::const_iterator
TExtendedReadList::Locate(intptr_t hostHandle) const {
    return std::find_if(entries_.begin(), entries_.end(),
                        [&](const TEntry &entry) { return entry.HostHandle == hostHandle; });
}

// Positive 32-bit serials; after the last one the count starts again at 1, skipping handles
// still open.
intptr_t TExtendedReadList::NextHandle() {
    do {
        lastHandle_ = lastHandle_ >= INT32_MAX ? 1 : lastHandle_ + 1;
    } while (Locate(lastHandle_) != entries_.end());
    return lastHandle_;
}

intptr_t TExtendedReadList::Add(TReadRef record) {
    const intptr_t handle = NextHandle();
    entries_.push_back({handle, std::move(record)});
    return handle;
}

TReadRef TExtendedReadList::Find(intptr_t hostHandle) const {
    const auto found = Locate(hostHandle);
    return found == entries_.end() ? nullptr : found->Record;
}

TReadRef TExtendedReadList::Take(intptr_t hostHandle) {
    const auto found = Locate(hostHandle);
    if (found == entries_.end())
        return nullptr;
    TReadRef record = std::move(entries_[found - entries_.begin()].Record);
    entries_.erase(found);
    return record;
}

TReadRef TExtendedReadList::TakeFirst() {
    return entries_.empty() ? nullptr : Take(entries_.front().HostHandle);
}

namespace {

// One call into the plug-in of a read; false when it faulted now or before.
template <class F> bool CallReadGuarded(const ExtendedReadRecord &record, F &&body) {
    return record.Owner ? CallPluginGuarded(*record.Owner, std::forward<F>(body))
                        : CallGuarded(std::forward<F>(body));
}

} // namespace

// A fault inside the plug-in's close still ends the read on our side. A plug-in that faulted
// (in this read or any other call) is not entered again: its handle is left to it, a smaller
// harm than a close that blocks on a lock the plug-in died holding.
ExtendedReadRecord::~ExtendedReadRecord() {
    const auto close = Close;
    const intptr_t handle = Handle;
    if (close && handle)
        CallReadGuarded(*this, [&] { close(handle); });
}

namespace {

// One of the owner's open functions: for wide names or for ANSI names.
struct TOpenCall {
    hookedin::ExtendedReadOpenWFn OpenW = nullptr;
    hookedin::ExtendedReadOpenFn Open = nullptr;
};

// The owner's open for the sample form asked, taking names in the caller's form; without it the
// one taking the other form, as the host itself would call a plug-in that has only that one.
TOpenCall ChooseOpen(const THookedInPlugin &owner, TSampleForm form, bool callerIsWide) {
    const bool isFloat = form == TSampleForm::Float;
    const auto wide = isFloat ? owner.ExtendedReadOpenWFloat : owner.ExtendedReadOpenW;
    const auto ansi = isFloat ? owner.ExtendedReadOpenFloat : owner.ExtendedReadOpen;
    if (callerIsWide ? wide != nullptr : ansi == nullptr)
        return {wide, nullptr};
    return {nullptr, ansi};
}

std::wstring WideFormOf(const TReadFileName &name) {
    if (name.IsWide)
        return name.Wide ? name.Wide : L"";
    return AnsiToWide(name.Ansi ? name.Ansi : "");
}

// Keeps the plug-in's read under a handle of ours; without a list (Quit came meanwhile), or
// should that fail, the read is closed again (outside the lock) so that nothing leaks.
intptr_t Register(const std::shared_ptr<THookedInPlugin> &owner, intptr_t handle) {
    TReadRef record;
    try {
        record = std::make_shared<ExtendedReadRecord>();
    } catch (...) {
        const auto close = owner->ExtendedReadClose;
        CallPluginGuarded(*owner, [&] { close(handle); });
        throw;
    }
    record->Owner = owner;
    record->Handle = handle;
    record->GetData = owner->ExtendedReadGetData;
    record->SetTime = owner->ExtendedReadSetTime;
    record->Close = owner->ExtendedReadClose;
    GERCSBomb guard;
    if (!OpenExtendedReads)
        return 0; // the record closes the read once the guard is gone
    return OpenExtendedReads->Add(std::move(record));
}

} // namespace

void CreateOpenExtendedReads() {
    GERCSBomb guard;
    if (!OpenExtendedReads)
        OpenExtendedReads = new TExtendedReadList;
}

void CloseAndDestroyOpenExtendedReads() noexcept {
    std::vector<TReadRef> open;
    std::unique_ptr<TExtendedReadList> list;
    Firewall([&] {
        GERCSBomb guard;
        while (OpenExtendedReads) {
            TReadRef record = OpenExtendedReads->TakeFirst();
            if (!record)
                break;
            open.push_back(std::move(record));
        }
        list.reset(OpenExtendedReads);
        OpenExtendedReads = nullptr;
    });
    open.clear(); // closes, in opening order
}

intptr_t OpenExtendedRead(const TReadFileName &name, TSampleForm form, int *size, int *bps,
                          int *nch, int *srate) {
    {
        GERCSBomb guard;
        if (!OpenExtendedReads)
            return 0;
    }
    const std::wstring wideName = WideFormOf(name);
    const std::shared_ptr<THookedInPlugin> owner = SharedOwnerOf(wideName.c_str());
    if (!owner || !owner->ExtendedReadGetData || !owner->ExtendedReadClose)
        return 0;
    const TOpenCall open = ChooseOpen(*owner, form, name.IsWide);
    if (!open.OpenW && !open.Open)
        return 0;
    // The caller's own text where the owner takes its form, else a converted copy.
    const std::string ansiName = name.IsWide ? WideToAnsi(wideName) : std::string();
    const wchar_t *wideArgument = name.IsWide ? name.Wide : wideName.c_str();
    const char *ansiArgument = name.IsWide ? ansiName.c_str() : name.Ansi;
    // Without any lock of ours: the plug-in may ask the host's window something meanwhile.
    intptr_t handle = 0;
    const bool survived = CallPluginGuarded(*owner, [&] {
        handle = open.OpenW ? open.OpenW(wideArgument, size, bps, nch, srate)
                            : open.Open(ansiArgument, size, bps, nch, srate);
    });
    if (!survived || handle == 0)
        return 0;
    return Register(owner, handle);
}

namespace {

// The record of an open handle, with a reference for the call; the lock covers the lookup only.
TReadRef FindOpenRead(intptr_t hostHandle) {
    GERCSBomb guard;
    return OpenExtendedReads ? OpenExtendedReads->Find(hostHandle) : nullptr;
}

} // namespace

intptr_t GetExtendedReadData(intptr_t hostHandle, char *dest, int length, int *stopFlag) {
    if (hostHandle == 0)
        return -1;
    const TReadRef record = FindOpenRead(hostHandle);
    if (!record)
        return -1;
    const auto getData = record->GetData;
    const intptr_t handle = record->Handle;
    intptr_t result = -1;
    if (CallReadGuarded(*record, [&] { result = getData(handle, dest, length, stopFlag); }))
        return result;
    // The plug-in faulted now or before: the caller's reading loop is told to stop; its flag may
    // be as broken as the plug-in.
    if (stopFlag)
        CallGuarded([&] { *stopFlag = 1; });
    return -1;
}

int SetExtendedReadTime(intptr_t hostHandle, int milliseconds) {
    if (hostHandle == 0)
        return 0;
    const TReadRef record = FindOpenRead(hostHandle);
    if (!record || !record->SetTime)
        return 0;
    const auto setTime = record->SetTime;
    const intptr_t handle = record->Handle;
    int result = 0;
    if (!CallReadGuarded(*record, [&] { result = setTime(handle, milliseconds); }))
        return 0;
    return result;
}

// The record leaves the list under the lock, so a second close of the same handle (from another
// thread, too) finds nothing; the plug-in's close runs outside the lock, here or when a call
// another thread is making on the read returns.
void CloseExtendedRead(intptr_t hostHandle) {
    if (hostHandle == 0)
        return;
    TReadRef record;
    {
        GERCSBomb guard;
        if (OpenExtendedReads)
            record = OpenExtendedReads->Take(hostHandle);
    }
}
