// Extended reads opened for the host: decoding a file to PCM through the owning hooked-in
// plug-in, outside playback. The host gets a handle of ours; the plug-in's own handle never
// leaves this unit.
#pragma once

#include "../hookedins/HookedInsUnit.h"

#include <cstdint>
#include <memory>
#include <vector>

// One read that a hooked-in plug-in opened for the host. Each call into the plug-in holds a
// reference of its own, outside GlobalLock; the plug-in's close runs when the last reference
// goes, so a close (or Quit) while another thread still reads waits for nobody and frees nothing
// under the reader.
struct ExtendedReadRecord {
    ExtendedReadRecord() = default;
    ~ExtendedReadRecord(); // the plug-in's close, guarded
    ExtendedReadRecord(const ExtendedReadRecord &) = delete;
    ExtendedReadRecord &operator=(const ExtendedReadRecord &) = delete;

    std::shared_ptr<THookedInPlugin> Owner; // keeps the plug-in and its library
    intptr_t Handle = 0;                    // the plug-in's own handle, nonzero
    hookedin::ExtendedReadGetDataFn GetData = nullptr;
    hookedin::ExtendedReadSetTimeFn SetTime = nullptr; // optional
    hookedin::ExtendedReadCloseFn Close = nullptr;
};
using TReadRef = std::shared_ptr<ExtendedReadRecord>;

// The open reads, each under the handle the host was given. Handles are serial numbers counted
// for the life of the library, across Quit and another Init (until 2^31 reads have been opened),
// so a handle kept after its close (or one made up)
// never reaches a record, even when a new record takes the memory of the old one. Nothing the
// host hands in is ever dereferenced: it is only compared.
class TExtendedReadList {
  public:
    // Takes the record and answers its new handle (nonzero).
    intptr_t Add(TReadRef record);
    // The record of a handle, or null when the handle is not open.
    TReadRef Find(intptr_t hostHandle) const;
    // Takes the record of a handle out of the list; null when the handle is not open.
    TReadRef Take(intptr_t hostHandle);
    // Takes the oldest record out; null when the list is empty.
    TReadRef TakeFirst();
    std::size_t Size() const { return entries_.size(); }

  private:
    struct TEntry {
        intptr_t HostHandle;
        TReadRef Record;
    };
    std::vector<TEntry>::const_iterator Locate(intptr_t hostHandle) const;
    intptr_t NextHandle();

    std::vector<TEntry> entries_; // in opening order
    static intptr_t lastHandle_;  // of every list the library made; guarded by GlobalLock
};

// Exists between Init and Quit; owned here, guarded by GlobalLock.
extern TExtendedReadList *OpenExtendedReads;

// Init: makes the list when there is none. A second Init keeps the reads that are open.
void CreateOpenExtendedReads();
// Quit: closes every read still open through its plug-in (each once; a read another thread is
// inside closes when that call returns), then destroys the list. Calls no plug-in under
// GlobalLock. Never raises.
void CloseAndDestroyOpenExtendedReads() noexcept;

// Which of the owner's open functions a read asks for.
enum class TSampleForm { Integer, Float };

// A file name as the host gave it: wide or in the ANSI code page; null is taken as empty.
struct TReadFileName {
    const wchar_t *Wide = nullptr;
    const char *Ansi = nullptr;
    bool IsWide = true;
};

// The host's four calls. Open answers our handle or 0; GetData the plug-in's count, or -1 for a
// handle that is not open and when the plug-in faults (then the caller's stop flag is set);
// SetTime the plug-in's answer, or 0.
intptr_t OpenExtendedRead(const TReadFileName &name, TSampleForm form, int *size, int *bps,
                          int *nch, int *srate);
intptr_t GetExtendedReadData(intptr_t hostHandle, char *dest, int length, int *stopFlag);
int SetExtendedReadTime(intptr_t hostHandle, int milliseconds);
void CloseExtendedRead(intptr_t hostHandle);
