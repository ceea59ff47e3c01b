#include "HookedInsUnit.h"

#include "../hostlink/FaultGuard.h"
#include "../hostlink/PluginError.h"
#include "../hostlink/TextConvert.h"
#include "HookedInsRules.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace {

// The IsOurFile a plug-in holds while hooked in: whoever asks the shared record (the host
// included) is told the file is not the plug-in's, so the host gives it to us. One for wide
// names and one for ANSI names; neither looks at the name.
int __cdecl RefuseEveryWideFile(const void *) {
    return 0;
}
int __cdecl RefuseEveryAnsiFile(const void *) {
    return 0;
}

IsOurFileFn RefusalFor(bool isUnicode) {
    return isUnicode ? &RefuseEveryWideFile : &RefuseEveryAnsiFile;
}

// The record's field is read by the host at every ownership test: one aligned pointer store.
bool StoreIsOurFileGuarded(In_Module *module, IsOurFileFn function) {
    return CallGuarded(
        [&] { *reinterpret_cast<IsOurFileFn volatile *>(&module->IsOurFile) = function; });
}

std::wstring LowerWide(std::wstring text) {
    if (!text.empty())
        CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

std::wstring FullPathOf(const std::wstring &path) {
    const DWORD length = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (length == 0)
        return path;
    std::wstring full(length, L'\0');
    const DWORD written = GetFullPathNameW(path.c_str(), length, full.data(), nullptr);
    full.resize(written < length ? written : 0);
    return full.empty() ? path : full;
}

std::wstring LongPathOf(const std::wstring &path) {
    const DWORD length = GetLongPathNameW(path.c_str(), nullptr, 0);
    if (length == 0)
        return path;
    std::wstring longPath(length, L'\0');
    const DWORD written = GetLongPathNameW(path.c_str(), longPath.data(), length);
    longPath.resize(written < length ? written : 0);
    return longPath.empty() ? path : longPath;
}

struct TFileIdentity {
    DWORD Volume = 0;
    DWORD IndexHigh = 0;
    DWORD IndexLow = 0;
    bool operator==(const TFileIdentity &) const = default;
};

// The volume and file index of a file: equal for every spelling of one file's path.
std::optional<TFileIdentity> IdentityOf(const std::wstring &path) {
    const HANDLE file =
        CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return std::nullopt;
    BY_HANDLE_FILE_INFORMATION information{};
    const BOOL known = GetFileInformationByHandle(file, &information);
    CloseHandle(file);
    if (!known)
        return std::nullopt;
    return TFileIdentity{information.dwVolumeSerialNumber, information.nFileIndexHigh,
                         information.nFileIndexLow};
}

bool SameTextIgnoringCase(const std::wstring &a, const std::wstring &b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// A folder listing that is closed when it goes.
class TFolderListing {
  public:
    explicit TFolderListing(const std::wstring &pattern)
        : handle_(FindFirstFileW(pattern.c_str(), &entry_)) {}
    ~TFolderListing() {
        if (handle_ != INVALID_HANDLE_VALUE)
            FindClose(handle_);
    }
    TFolderListing(const TFolderListing &) = delete;
    TFolderListing &operator=(const TFolderListing &) = delete;

    bool HasEntry() const { return handle_ != INVALID_HANDLE_VALUE && !ended_; }
    std::wstring Name() const { return entry_.cFileName; }
    void Next() { ended_ = !FindNextFileW(handle_, &entry_); }

  private:
    WIN32_FIND_DATAW entry_{};
    HANDLE handle_;
    bool ended_ = false;
};

// A reference of our own on a plug-in library the host has loaded already, so that it stays
// while we use it; none for a library the host did not load (or refused and released again):
// such a module never had its record filled nor its Init called, and we load nothing of our own.
TLibrary ReferenceHostsLibrary(const std::wstring &fullPath) {
    if (!GetModuleHandleW(fullPath.c_str()))
        return TLibrary();
    TLibrary library(LoadLibraryW(fullPath.c_str()));
    if (library.Handle() != GetModuleHandleW(fullPath.c_str()))
        return TLibrary(); // not the host's module after all; ours goes at once
    return library;
}

// The host fills these members of a record it accepted before it calls the plug-in's Init. A
// record without them was refused, or has not been initialised: its plug-in would call
// through a null SAVSAInit and post its end of track to window 0.
bool HostFilledRecord(const In_Module &record) {
    return record.hMainWindow && record.SAVSAInit && record.SAVSADeInit && record.SAAddPCMData &&
           record.VSAAddPCMData && record.VSASetInfo && record.dsp_isactive && record.dsp_dosamples;
}

// Another copy of this plug-in (an older version kept under another name, say) would hook us in
// as we hook it, and each would hand the other's files and calls back to it without end. It
// exports our registry's global, which no other input plug-in does.
bool IsCopyOfThisPlugin(HMODULE library) {
    return GetProcAddress(library, "_HookedInPlugins") != nullptr;
}

} // namespace

TLibrary &TLibrary::operator=(TLibrary &&other) noexcept {
    if (this != &other) {
        Release();
        handle_ = other.handle_;
        other.handle_ = nullptr;
    }
    return *this;
}

void TLibrary::Release() {
    if (handle_)
        FreeLibrary(handle_);
    handle_ = nullptr;
}

THookedInPlugin::THookedInPlugin(THookedInPlugins *owner, TLibrary library,
                                 const std::wstring &fileName, WinampGetInModule2Fn getModule)
    : Name(WideToAnsi(LowerWide(fileName))) {
    if (!owner || !library.Handle() || !getModule)
        throw EPluginError("Infernal Error!");
    Owner = owner;
    Library = std::move(library);
    ReadRecord(getModule, fileName);
    LookUpEntryPoints();
    ReadExtensions();
    if (UsesOutputPlugin)
        TakeOverIsOurFile();
}

THookedInPlugin::~THookedInPlugin() {
    if (UsesOutputPlugin) {
        if (IsOurFileFn own = SavedIsOurFile.exchange(nullptr))
            StoreIsOurFileGuarded(Module, own);
    }
    Items.clear();
    Module = nullptr;
    Library.Release();
}

// A library that faults while handing out its record, or hands out one we cannot read, is
// treated as one that gave none.
void THookedInPlugin::ReadRecord(WinampGetInModule2Fn getModule, const std::wstring &fileName) {
    In_Module *module = nullptr;
    In_Module copy{};
    const bool readable = CallGuarded([&] {
        module = getModule();
        if (module)
            std::memcpy(&copy, module, sizeof copy);
    });
    if (!readable || !module || !HostFilledRecord(copy))
        throw EPluginError("Bad input plugin: " + WideToAnsi(fileName) + "!");
    Module = module;
    ModuleCopy = copy;
    IsUnicode = (copy.version & hostapi::kInUnicode) != 0;
}

void THookedInPlugin::LookUpEntryPoints() {
    const HMODULE library = Library.Handle();
#define HVQ_LOOK_UP_ENTRY_POINT(field, exportName)                                                 \
    field = reinterpret_cast<hookedin::field##Fn>(                                                 \
        reinterpret_cast<void *>(GetProcAddress(library, exportName)));
    HVQ_EXTENDED_ENTRY_POINTS(HVQ_LOOK_UP_ENTRY_POINT)
#undef HVQ_LOOK_UP_ENTRY_POINT
    UsesOutputPlugin = (ModuleCopy.UsesOutputPlug & hostapi::kUsesOutputPlugin) != 0;
    CanExtendedRead = (ExtendedReadOpenW || ExtendedReadOpen) && ExtendedReadGetData &&
                      ExtendedReadClose && UsesOutputPlugin;
}

// The declaration is measured under the guard and parsed from our own copy: a list that cannot
// be read gives the empty one, and the plug-in is still hooked in.
void THookedInPlugin::ReadExtensions() {
    const char *list = nullptr;
    std::size_t size = 0;
    if (!CallGuarded([&] {
            list = Module->FileExtensions;
            size = ExtensionListSize(list);
        }))
        size = 0;
    const std::string declaration = size > 0 ? std::string(list, size) : std::string(2, '\0');
    TExtensionTable table = ParseFileExtensions(declaration.c_str());
    Extensions = std::move(table.Extensions);
    Items = std::move(table.Items);
}

// A record we cannot write keeps its own IsOurFile: the host then plays its files itself.
void THookedInPlugin::TakeOverIsOurFile() {
    IsOurFileFn own = ModuleCopy.IsOurFile;
    SavedIsOurFile = own;
    if (!StoreIsOurFileGuarded(Module, RefusalFor(IsUnicode)))
        SavedIsOurFile = nullptr;
}

// A plug-in whose own test faults has not claimed the file, and is marked faulted.
int CallIsOurFile(const THookedInPlugin &plugin, const void *fileName) {
    IsOurFileFn test = plugin.SavedIsOurFile.load();
    if (!test)
        test = plugin.Module->IsOurFile;
    int answer = 0;
    if (!test || !CallPluginGuarded(plugin, [&] { answer = test(fileName); }))
        return 0;
    return answer;
}

TPluginFileName::TPluginFileName(const THookedInPlugin &plugin, const wchar_t *wideName)
    : wide_(wideName), unicode_(plugin.IsUnicode) {
    if (wideName && !unicode_)
        ansi_ = WideToAnsi(wideName);
}

const void *TPluginFileName::Get() const {
    if (!wide_ || unicode_)
        return wide_;
    return ansi_.c_str();
}

THookedInPlugins::THookedInPlugins(std::wstring ownFileName)
    : ownFileName_(std::move(ownFileName)) {}

THookedInPlugins::THookedInPlugins(const std::string &ownFileName)
    : THookedInPlugins(AnsiToWide(ownFileName)) {}

THookedInPlugins::~THookedInPlugins() {
    RestoreAllIsOurFile();
    UnloadAll();
}

bool THookedInPlugins::LoadAll() {
    if (Scanned)
        return true;
    Scanned = true;
    UnloadAll();
    const std::wstring folder = FolderPartOf(ownFileName_);
    if (folder.empty())
        return false;
    for (TFolderListing listing(folder + L"*.*"); listing.HasEntry(); listing.Next()) {
        const std::wstring name = listing.Name();
        if (IsInputPluginName(name))
            LoadEntry(folder, name);
    }
    return true;
}

// Whatever goes wrong with one entry leaves it out, silently; the scan goes on.
void THookedInPlugins::LoadEntry(const std::wstring &folder, const std::wstring &entryName) {
    const std::wstring fullPath = FullPathOf(folder + entryName);
    if (IsOwnFile(fullPath))
        return;
    TLibrary library = ReferenceHostsLibrary(fullPath);
    if (!library.Handle())
        return;
    const auto getModule = reinterpret_cast<WinampGetInModule2Fn>(
        reinterpret_cast<void *>(GetProcAddress(library.Handle(), "winampGetInModule2")));
    if (!getModule || IsCopyOfThisPlugin(library.Handle()))
        return;
    std::shared_ptr<THookedInPlugin> plugin;
    try {
        plugin = std::make_shared<THookedInPlugin>(this, std::move(library), entryName, getModule);
    } catch (...) {
        return;
    }
    // Two names for one library would hand us one record twice; the second object would keep
    // our replacement as the plug-in's "own" IsOurFile and put it back last. Keep the first.
    const bool known = std::any_of(Plugins.begin(), Plugins.end(), [&](const auto &hooked) {
        return hooked && hooked->Module == plugin->Module;
    });
    if (!known)
        Plugins.push_back(std::move(plugin));
}

// Our own file, however it is spelt: in another letter case, in its short form, or through
// another path to the same file.
bool THookedInPlugins::IsOwnFile(const std::wstring &fullPath) const {
    const std::wstring &own = ownFileName_;
    if (fullPath == own || SameTextIgnoringCase(fullPath, own) ||
        SameTextIgnoringCase(LongPathOf(fullPath), LongPathOf(own)))
        return true;
    const auto entryIdentity = IdentityOf(fullPath);
    return entryIdentity && entryIdentity == IdentityOf(own);
}

void THookedInPlugins::UnloadAll() {
    while (!Plugins.empty()) {
        std::shared_ptr<THookedInPlugin> first = std::move(Plugins.front());
        Plugins.erase(Plugins.begin());
        first.reset();
    }
}

// The files go back to the host from here on: our own lookups (the playback thread may run one
// meanwhile) already refuse them while the record gets the plug-in's own function back.
void THookedInPlugins::RestoreAllIsOurFile() {
    for (std::size_t i = 0; i < Plugins.size(); ++i) {
        THookedInPlugin *plugin = Plugins[i].get();
        if (!plugin || !plugin->SavedIsOurFile.load())
            continue;
        CallGuarded([&] {
            plugin->SavedIsOurFile = RefusalFor(plugin->IsUnicode);
            *reinterpret_cast<IsOurFileFn volatile *>(&plugin->Module->IsOurFile) =
                plugin->ModuleCopy.IsOurFile;
            plugin->SavedIsOurFile = nullptr;
        });
    }
}

thread_local int TOwnershipQuestion::depth_ = 0;

THookedInPlugin *THookedInPlugins::FindForFile(const wchar_t *fileName) const {
    return FindIn(Plugins, fileName).get();
}

std::shared_ptr<THookedInPlugin> THookedInPlugins::FindIn(const TPluginList &plugins,
                                                          const wchar_t *fileName) {
    const TOwnershipQuestion question;
    if (!fileName || question.IsAskedBack())
        return nullptr;
    const std::wstring wide(fileName);
    const std::string narrow = WideToAnsi(wide);
    if (narrow.empty())
        return nullptr;
    const std::string extension = ExtensionOf(narrow);
    for (std::size_t i = 0; i < plugins.size(); ++i) {
        const THookedInPlugin *plugin = plugins[i].get();
        if (!plugin)
            continue;
        const void *name = plugin->IsUnicode ? static_cast<const void *>(wide.c_str())
                                             : static_cast<const void *>(narrow.c_str());
        // A plug-in that faulted keeps the files of its extensions, but its own test is not run.
        const bool ownTest = !plugin->IsFaulted() && CallIsOurFile(*plugin, name) != 0;
        if (ownTest || ExtensionListed(plugin->Extensions, extension))
            return plugins[i];
    }
    return nullptr;
}
