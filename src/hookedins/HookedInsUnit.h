// The registry of hooked-in plug-ins: every other input plug-in beside our own file that the
// host itself loaded and initialised, its record shared with the host, its IsOurFile taken over
// while it is hooked in. We never load a plug-in the host did not: we take a reference of our
// own on the host's module, so that it stays as long as we use it.
#pragma once

#include "../hostlink/FaultGuard.h"
#include "../hostlink/WinampApi.h"
#include "ExtensionTable.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

using IsOurFileFn = int(__cdecl *)(const void *fileName);

// The optional exports of an input plug-in, in the host's published argument lists.
namespace hookedin {
using UseUnifiedFileInfoDlgFn = int(__cdecl *)(const wchar_t *fileName);
using AddUnifiedFileInfoPaneFn = HWND(__cdecl *)(int n, const wchar_t *fileName, HWND parent,
                                                 wchar_t *name, size_t nameLength);
using GetExtendedFileInfoFn = int(__cdecl *)(const char *fileName, const char *field, char *dest,
                                             int destLength);
using GetExtendedFileInfoWFn = int(__cdecl *)(const wchar_t *fileName, const char *field,
                                              wchar_t *dest, int destLength);
using SetExtendedFileInfoFn = int(__cdecl *)(const char *fileName, const char *field,
                                             const char *value);
using SetExtendedFileInfoWFn = int(__cdecl *)(const wchar_t *fileName, const char *field,
                                              const wchar_t *value);
using WriteExtendedFileInfoFn = int(__cdecl *)();
using ClearExtendedFileInfoWFn = int(__cdecl *)(const wchar_t *fileName);
// Answers a handle, 0 on failure; *size may come back -1 (unknown). bps, nch and srate carry
// the caller's wishes in (0 = none) and the format out.
using ExtendedReadOpenFn = intptr_t(__cdecl *)(const char *fileName, int *size, int *bps, int *nch,
                                               int *srate);
using ExtendedReadOpenWFn = intptr_t(__cdecl *)(const wchar_t *fileName, int *size, int *bps,
                                                int *nch, int *srate);
using ExtendedReadOpenFloatFn = ExtendedReadOpenFn;
using ExtendedReadOpenWFloatFn = ExtendedReadOpenWFn;
// Answers the bytes written, 0 at the end, below 0 on a read error.
using ExtendedReadGetDataFn = intptr_t(__cdecl *)(intptr_t handle, char *dest, int length,
                                                  int *killswitch);
using ExtendedReadSetTimeFn = int(__cdecl *)(intptr_t handle, int milliseconds);
using ExtendedReadCloseFn = void(__cdecl *)(intptr_t handle);
} // namespace hookedin

// The fifteen optional exports, each once: the field of THookedInPlugin and its export name.
#define HVQ_EXTENDED_ENTRY_POINTS(X)                                                               \
    X(UseUnifiedFileInfoDlg, "winampUseUnifiedFileInfoDlg")                                        \
    X(AddUnifiedFileInfoPane, "winampAddUnifiedFileInfoPane")                                      \
    X(GetExtendedFileInfo, "winampGetExtendedFileInfo")                                            \
    X(GetExtendedFileInfoW, "winampGetExtendedFileInfoW")                                          \
    X(SetExtendedFileInfo, "winampSetExtendedFileInfo")                                            \
    X(SetExtendedFileInfoW, "winampSetExtendedFileInfoW")                                          \
    X(WriteExtendedFileInfo, "winampWriteExtendedFileInfo")                                        \
    X(ClearExtendedFileInfoW, "winampClearExtendedFileInfoW")                                      \
    X(ExtendedReadOpen, "winampGetExtendedRead_open")                                              \
    X(ExtendedReadOpenW, "winampGetExtendedRead_openW")                                            \
    X(ExtendedReadOpenFloat, "winampGetExtendedRead_open_float")                                   \
    X(ExtendedReadOpenWFloat, "winampGetExtendedRead_openW_float")                                 \
    X(ExtendedReadGetData, "winampGetExtendedRead_getData")                                        \
    X(ExtendedReadSetTime, "winampGetExtendedRead_setTime")                                        \
    X(ExtendedReadClose, "winampGetExtendedRead_close")

// One load reference of a library, released when the owner goes.
class TLibrary {
  public:
    TLibrary() = default;
    explicit TLibrary(HMODULE handle) : handle_(handle) {}
    ~TLibrary() { Release(); }
    TLibrary(TLibrary &&other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
    TLibrary &operator=(TLibrary &&other) noexcept;
    TLibrary(const TLibrary &) = delete;
    TLibrary &operator=(const TLibrary &) = delete;

    HMODULE Handle() const { return handle_; }
    void Release();

  private:
    HMODULE handle_ = nullptr;
};

class THookedInPlugins;

// One hooked-in input plug-in. Built on the host's thread during the scan and unchanged
// afterwards, so the playback thread reads it without a lock; SavedIsOurFile alone is written
// again (by RestoreAllIsOurFile) while others may read it.
class THookedInPlugin {
  public:
    // Takes over the load reference in library, also when construction fails. Raises
    // EPluginError: "Infernal Error!" without owner, library or export, "Bad input plugin: " +
    // file name + "!" when the library gives no readable record, or one whose host members
    // (main window, visualisation and DSP functions) the host has not filled.
    THookedInPlugin(THookedInPlugins *owner, TLibrary library, const std::wstring &fileName,
                    WinampGetInModule2Fn getModule);
    // Gives the plug-in its own IsOurFile back, then releases the load reference.
    ~THookedInPlugin();
    THookedInPlugin(const THookedInPlugin &) = delete;
    THookedInPlugin &operator=(const THookedInPlugin &) = delete;

    In_Module *Module = nullptr; // lives in the plug-in's library, shared with the host
    std::string Name;            // file name as listed, lower case, ANSI
    bool CanExtendedRead = false;
    bool IsUnicode = false; // takes UTF-16 names; otherwise names in the ANSI code page
    bool UsesOutputPlugin = false;
    std::string Extensions; // "mp3;mp2;" (see ExtensionTable.h)
    In_Module ModuleCopy{}; // the record as it was before IsOurFile was replaced
#define HVQ_DECLARE_ENTRY_POINT(field, exportName) hookedin::field##Fn field = nullptr;
    HVQ_EXTENDED_ENTRY_POINTS(HVQ_DECLARE_ENTRY_POINT)
#undef HVQ_DECLARE_ENTRY_POINT
    // The plug-in's own IsOurFile while the record holds our replacement; else null.
    std::atomic<IsOurFileFn> SavedIsOurFile{nullptr};
    THookedInPlugins *Owner = nullptr;
    TLibrary Library;
    // Set for good once a guarded call into the plug-in faulted (an access violation or any
    // other structured exception caught by the fault guard). The plug-in may have died holding a
    // lock of its own, or with its state half written: for the rest of this run of the host it is
    // called no more, by anything of ours.
    // - Its files stay ours, found by its extensions (its own test is not run), but nothing plays
    //   them: the engine does not open them and Play answers a failure, so the host skips them.
    //   Left unclaimed they would reach the same plug-in through the host's own extension
    //   match, with no guard around its calls.
    // - Decoders and extended reads already open on it read as ended (getData answers -1 and
    //   sets the caller's stop flag, setTime 0) and are never closed through it: leaking its
    //   handles is the lesser harm than entering it again.
    // - File-information queries give their fallback answers (no length, no type, no title), the
    //   info box and the extended information exports answer as for a file of nobody.
    // - A file it plays itself in direct mode is still stopped through its Stop: the user must
    //   be able to silence it.
    // Its record still gets its own IsOurFile back at shut-down (a store, no call).
    mutable std::atomic<bool> Faulted{false};
    bool IsFaulted() const {
        return Faulted.load();
    }
    std::vector<TRFEItem> Items;

  private:
    void ReadRecord(WinampGetInModule2Fn getModule, const std::wstring &fileName);
    void LookUpEntryPoints();
    void ReadExtensions();
    void TakeOverIsOurFile();
};

// Makes one call into plugin under the fault guard; a fault marks the plug-in Faulted. A plug-in
// already marked is not entered: false then, as after a fault. Same rules for body as
// CallGuarded: it must own nothing.
template <class F> bool CallPluginGuarded(const THookedInPlugin &plugin, F &&body) {
    if (plugin.IsFaulted())
        return false;
    if (CallGuarded(std::forward<F>(body)))
        return true;
    plugin.Faulted = true;
    return false;
}

// The plug-in's own ownership test, whatever the record holds now. fileName is in the form
// the plug-in takes (see TPluginFileName). A test that faults answers 0 and marks the plug-in
// faulted.
int CallIsOurFile(const THookedInPlugin &plugin, const void *fileName);

// A wide file name in the form a plug-in takes: as it is, or in the ANSI code page (an empty
// conversion gives an empty string). A null name stays null.
class TPluginFileName {
  public:
    TPluginFileName(const THookedInPlugin &plugin, const wchar_t *wideName);
    const void *Get() const;

  private:
    const wchar_t *wide_;
    std::string ansi_;
    bool unicode_;
};

// Marks the calling thread as inside an ownership question while it lives. A plug-in may hand
// its own question on to us (a wrapper loading our library and calling our IsOurFile): asked
// again on the same thread, the question would go round until the stack ran out, so there it
// is answered "nobody's". Keep it out of guarded calls: a fault skips its destructor.
class TOwnershipQuestion {
  public:
    TOwnershipQuestion() { ++depth_; }
    ~TOwnershipQuestion() { --depth_; }
    TOwnershipQuestion(const TOwnershipQuestion &) = delete;
    TOwnershipQuestion &operator=(const TOwnershipQuestion &) = delete;
    bool IsAskedBack() const { return depth_ > 1; }

  private:
    static thread_local int depth_;
};

using TPluginList = std::vector<std::shared_ptr<THookedInPlugin>>;

class THookedInPlugins {
  public:
    // ownFileName: the full path of our own library; its folder is scanned.
    explicit THookedInPlugins(std::wstring ownFileName);
    // The same from a path in the ANSI code page.
    explicit THookedInPlugins(const std::string &ownFileName);
    // RestoreAllIsOurFile, then UnloadAll.
    ~THookedInPlugins();
    THookedInPlugins(const THookedInPlugins &) = delete;
    THookedInPlugins &operator=(const THookedInPlugins &) = delete;

    // The one scan of our folder, at the first call. False only when our file has no folder.
    bool LoadAll();
    // Destroys every plug-in, first in the list first.
    void UnloadAll();
    // Puts every replaced IsOurFile back; a fault while restoring one plug-in skips it.
    void RestoreAllIsOurFile();
    // The plug-in that owns a file: in list order, its own test first, then its extensions.
    // Null for a null or empty name, when nobody takes it, or when asked again from inside an
    // ownership question of the same thread. A plug-in that faulted is found by its extensions
    // only. Loads nothing.
    THookedInPlugin *FindForFile(const wchar_t *fileName) const;
    // The same lookup over a copy of the list: the plug-in found stays alive, with its library,
    // as long as the caller keeps it, also when the registry goes meanwhile.
    static std::shared_ptr<THookedInPlugin> FindIn(const TPluginList &plugins,
                                                   const wchar_t *fileName);

    // In loading order; filled by the scan on the host's thread (under GlobalLock), read-only
    // afterwards until shut-down. Shared with whoever still calls into a plug-in when the
    // registry goes.
    TPluginList Plugins;
    bool Scanned = false;

  private:
    void LoadEntry(const std::wstring &folder, const std::wstring &entryName);
    bool IsOwnFile(const std::wstring &fullPath) const;

    std::wstring ownFileName_;
};
