#include "UserPlugins.h"

#include "FaultNet.h"
#include "OutputWav.h"
#include "RenderReport.h"
#include "sound/BlockMath.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace demo {

namespace fs = std::filesystem;

namespace {

using OpenWFn = intptr_t(__cdecl *)(const wchar_t *, int *, int *, int *, int *);
using OpenFn = intptr_t(__cdecl *)(const char *, int *, int *, int *, int *);
using GetDataFn = intptr_t(__cdecl *)(intptr_t, char *, int, int *);
using CloseFn = void(__cdecl *)(intptr_t);
using InfoWFn = int(__cdecl *)(const wchar_t *, const char *, wchar_t *, int);
using InfoFn = int(__cdecl *)(const char *, const char *, char *, int);

// What the decoder interface can count: its sizes are 32-bit.
constexpr std::int64_t kMostBytes = INT32_MAX;
constexpr int kReadBytes = 65536;
constexpr std::size_t kWriteBytes = 4 << 20;
constexpr int kTagLength = 1024;
// An extension list longer than this many strings is taken to run on into other memory.
constexpr int kMostExtensionStrings = 256;

std::string Utf8(const std::wstring &text) {
    return Utf8Path(fs::path(text));
}

std::string Ansi(const std::wstring &text, bool *lost = nullptr) {
    BOOL lostAny = FALSE;
    const int n = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(std::max(n, 1)), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, out.data(), n, nullptr,
                        lost ? &lostAny : nullptr);
    out.resize(out.size() - 1);
    if (lost)
        *lost = lostAny != FALSE;
    return out;
}

std::wstring WideFromAnsi(const std::string &text) {
    const int n = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    std::wstring out(static_cast<std::size_t>(std::max(n, 1)), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, out.data(), n);
    out.resize(out.size() - 1);
    return out;
}

template <class Fn> Fn Export(HMODULE library, const char *name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void *>(GetProcAddress(library, name)));
}

// The player reads an extension list as far as it goes; a plug-in whose list points at memory
// that cannot be read would bring it down, and is taken here to have none.
bool Readable(const void *address) {
    MEMORY_BASIC_INFORMATION info{};
    if (!address || VirtualQuery(address, &info, sizeof info) != sizeof info)
        return false;
    const DWORD readable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                           PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    return info.State == MEM_COMMIT && (info.Protect & readable) && !(info.Protect & PAGE_GUARD);
}

std::vector<std::string> ExtensionsOf(const In_Module &module) {
    std::vector<std::string> strings;
    const char *text = module.FileExtensions;
    for (int i = 0; i < kMostExtensionStrings && Readable(text) && *text; ++i) {
        strings.emplace_back(text);
        text += strings.back().size() + 1;
    }
    return ExtensionPatterns(strings);
}

// Why a plug-in the host did not take could not be loaded: loaded again here to ask.
std::string WhyNotLoaded(const fs::path &file) {
    HMODULE library = LoadLibraryW(file.c_str());
    if (!library) {
        const DWORD error = GetLastError();
        if (error == ERROR_MOD_NOT_FOUND)
            return "a DLL it needs is missing (error 126); the player's folder may have it";
        if (error == ERROR_BAD_EXE_FORMAT)
            return "it is no 32-bit Windows DLL (error 193)";
        char text[256] = {};
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                       0, text, sizeof text, nullptr);
        std::string why = text;
        while (!why.empty() && (why.back() == '\n' || why.back() == '\r' || why.back() == '.'))
            why.pop_back();
        return "Windows could not load it (error " + std::to_string(error) +
               (why.empty() ? std::string(")") : ": " + why + ")");
    }
    const bool record = GetProcAddress(library, "winampGetInModule2") != nullptr;
    FreeLibrary(library);
    return record ? "its winampGetInModule2 gave no module record, or one of a version the "
                    "player does not take"
                  : "it has no winampGetInModule2: no input plug-in of this player";
}

// The extended read a plug-in exports, as the player uses it: open (wide or ANSI), getData and
// close.
struct ExtendedRead {
    OpenWFn OpenW = nullptr;
    OpenFn Open = nullptr;
    GetDataFn GetData = nullptr;
    CloseFn Close = nullptr;
};

ExtendedRead ExtendedReadOf(HMODULE library, const std::string &plugin,
                            const std::string &asGiven) {
    const ExtendedRead read{Export<OpenWFn>(library, "winampGetExtendedRead_openW"),
                            Export<OpenFn>(library, "winampGetExtendedRead_open"),
                            Export<GetDataFn>(library, "winampGetExtendedRead_getData"),
                            Export<CloseFn>(library, "winampGetExtendedRead_close")};
    if ((!read.OpenW && !read.Open) || !read.GetData || !read.Close)
        throw std::runtime_error(
            asGiven + ": " + plugin +
            " plays it, but has no extended read (winampGetExtendedRead_openW or _open, getData "
            "and close), through which in_hvqblend.dll decodes files: it would leave the file "
            "to " +
            plugin + " to play alone, without crossfades");
    return read;
}

// A file as the messages name it: its path, as the user typed it, and its plug-in.
struct NamedFile {
    const fs::path &Path;
    const std::string &AsGiven;
    const std::string &Plugin;
};

// The decoder's handle, closed once the file is read.
class ReadHandle {
  public:
    ReadHandle(CloseFn close, intptr_t handle) : close_(close), handle_(handle) {}
    ~ReadHandle() {
        if (handle_)
            close_(handle_);
    }
    ReadHandle(const ReadHandle &) = delete;
    ReadHandle &operator=(const ReadHandle &) = delete;
    intptr_t Get() const { return handle_; }

  private:
    CloseFn close_;
    intptr_t handle_;
};

// A field of the file's extended file information, wide where the plug-in answers so; empty
// where it does not know.
std::wstring FileInfo(HMODULE library, const fs::path &file, const char *field) {
    if (const auto wide = Export<InfoWFn>(library, "winampGetExtendedFileInfoW")) {
        std::vector<wchar_t> answer(kTagLength + 1, L'\0');
        return wide(file.c_str(), field, answer.data(), kTagLength) ? answer.data() : L"";
    }
    if (const auto ansi = Export<InfoFn>(library, "winampGetExtendedFileInfo")) {
        std::vector<char> answer(kTagLength + 1, '\0');
        return ansi(Ansi(file.wstring()).c_str(), field, answer.data(), kTagLength)
                   ? WideFromAnsi(answer.data())
                   : L"";
    }
    return {};
}

// The file's place on an album, as in_hvqblend.dll asks its plug-in for it.
TAlbumTags TagsOf(HMODULE library, const std::string &plugin, const fs::path &file,
                  const std::string &asGiven) {
    faultnet::Doing asking("asking " + plugin + " for the album tags of " + asGiven);
    return {FileInfo(library, file, "album"), FileInfo(library, file, "albumartist"),
            FileInfo(library, file, "artist"), FileInfo(library, file, "track")};
}

// Appends the bytes to the decoded copy and lets go of them. The file is open only meanwhile:
// a decoder that faults leaves a copy that can be removed.
void Append(const fs::path &file, std::vector<char> &bytes, const std::string &asGiven) {
    std::ofstream out(file, std::ios::binary | std::ios::app);
    if (!out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())))
        throw std::runtime_error("cannot write the decoded copy of " + asGiven + " to " +
                                 Utf8Path(file));
    bytes.clear();
}

// The title and length, as the player and in_hvqblend.dll ask them of every entry: a plug-in
// that faults there is one in_hvqblend.dll stops using in the middle of the render.
void AskTitleAndLength(const refhost::LoadedPlugin &plugin, const std::string &name,
                       const fs::path &file, const std::string &asGiven) {
    if (!plugin.Module->GetFileInfo)
        return;
    faultnet::Doing asking("asking " + name + " for the title and length of " + asGiven);
    int length = 0;
    if (plugin.IsUnicode()) {
        std::vector<wchar_t> title(hostapi::kTitleLength, L'\0');
        plugin.Module->GetFileInfo(file.c_str(), title.data(), &length);
    } else {
        std::vector<char> title(hostapi::kTitleLength, '\0');
        const std::string ansi = Ansi(file.wstring());
        plugin.Module->GetFileInfo(ansi.c_str(), title.data(), &length);
    }
}

// Opens the file with no wishes for its format, as in_hvqblend.dll does.
intptr_t OpenForDecoding(const ExtendedRead &read, const NamedFile &file, DecodedFile &decoded) {
    int size = 0, bits = 0, channels = 0, rate = 0;
    bool lost = false;
    const std::string ansi = Ansi(file.Path.wstring(), &lost);
    const intptr_t handle = read.OpenW
                                ? read.OpenW(file.Path.c_str(), &size, &bits, &channels, &rate)
                                : read.Open(ansi.c_str(), &size, &bits, &channels, &rate);
    if (!handle)
        throw std::runtime_error(
            file.AsGiven + ": " + file.Plugin + " could not open it for decoding" +
            (!read.OpenW && lost ? " (its path has characters outside the ANSI code page, and " +
                                       file.Plugin + " takes only ANSI names)"
                                 : std::string()));
    decoded.Format = {rate, channels, bits};
    return handle;
}

// The plug-in's whole decoding of a file, kept in a file of the render's own.
DecodedFile DecodeWhole(const ExtendedRead &read, const NamedFile &file, const fs::path &samples) {
    DecodedFile decoded;
    decoded.Plugin = file.Plugin;
    decoded.Samples = samples;
    const ReadHandle handle(read.Close, OpenForDecoding(read, file, decoded));
    const PcmFormat &f = decoded.Format;
    if (!blockmath::IsPlayableFormat(f.Bits, f.Channels, f.Rate))
        throw std::runtime_error(file.AsGiven + ": " + file.Plugin + " decodes it to " +
                                 std::to_string(f.Bits) + "-bit samples, " +
                                 std::to_string(f.Channels) + " channels at " +
                                 std::to_string(f.Rate) + " Hz, which in_hvqblend.dll cannot play");
    std::vector<char> pending;
    std::int64_t bytes = 0;
    for (int kill = 0;;) {
        pending.resize(pending.size() + kReadBytes);
        const intptr_t got = read.GetData(
            handle.Get(), pending.data() + pending.size() - kReadBytes, kReadBytes, &kill);
        pending.resize(pending.size() - kReadBytes +
                       static_cast<std::size_t>(std::clamp<intptr_t>(got, 0, kReadBytes)));
        if (got < 0 || got > kReadBytes)
            throw std::runtime_error(
                file.AsGiven + ": " + file.Plugin + " reported a read error after " +
                FormatTime(static_cast<double>(bytes) / static_cast<double>(f.BytesPerSecond()),
                           true) +
                " of it");
        bytes += got;
        if (bytes > kMostBytes)
            throw std::runtime_error(file.AsGiven + ": " + file.Plugin +
                                     " decodes it to more than 2 GiB of samples, more than the "
                                     "plug-in's decoder interface can count");
        if (got == 0 || pending.size() >= kWriteBytes)
            Append(samples, pending, file.AsGiven);
        if (got == 0)
            break;
    }
    decoded.Frames = bytes / f.FrameBytes();
    return decoded;
}

fs::path DecodedFolder() {
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, temp);
    fs::path folder = fs::path(temp) / (L"hvq-render-" + std::to_wstring(GetCurrentProcessId()) +
                                        L"-" + std::to_wstring(GetTickCount64()));
    fs::create_directories(folder);
    return folder;
}

} // namespace

UserPlugins::UserPlugins(refhost::RefHost &host, const std::string &folderAsGiven,
                         PluginFolder folder)
    : host_(host), folderAsGiven_(folderAsGiven), folder_(std::move(folder)) {
    for (const fs::path &plugin : folder_.InputPlugins) {
        std::error_code error;
        fs::copy_file(plugin, host.PluginsFolder() / plugin.filename(),
                      fs::copy_options::overwrite_existing, error);
        if (error)
            throw std::runtime_error("--plugins " + folderAsGiven + ": cannot copy " +
                                     Utf8(plugin.filename().wstring()) + " beside the plug-in (" +
                                     error.message() + ")");
    }
    decoded_ = DecodedFolder();
    faultnet::RemoveOnFault(decoded_);
}

UserPlugins::~UserPlugins() {
    std::error_code ignored;
    fs::remove_all(decoded_, ignored);
    faultnet::KeepOnFault(decoded_);
}

std::vector<std::string> UserPlugins::CheckLoaded() {
    std::vector<std::string> notes;
    for (const fs::path &file : folder_.InputPlugins) {
        const std::wstring name = file.filename().wstring();
        const refhost::LoadedPlugin *loaded = host_.Plugin(name);
        if (!loaded || !loaded->Module) {
            notes.push_back(Utf8(name) + " of " + folderAsGiven_ +
                            " was not loaded: " + WhyNotLoaded(host_.PluginsFolder() / name));
            continue;
        }
        plugins_.push_back(
            {name, loaded, loaded->Module->IsOurFile, ExtensionsOf(*loaded->Module)});
    }
    if (plugins_.empty()) {
        std::string why =
            "--plugins " + folderAsGiven_ + ": none of its input plug-ins could be loaded";
        for (const std::string &note : notes)
            why += "\n  " + note;
        throw std::runtime_error(why);
    }
    return notes;
}

std::string UserPlugins::Summary() const {
    std::string names;
    for (const Plugin &plugin : plugins_)
        names += (names.empty() ? "" : ", ") + Utf8(plugin.FileName);
    return names + " from " + folderAsGiven_ + ", beside this build's in_hvqblend.dll" +
           (folder_.HasOwnProduct ? " (the folder's own left out)" : "");
}

// As the player asks: the first plug-in whose own test takes the file, else the first that
// lists its extension.
const UserPlugins::Plugin *UserPlugins::OwnerOf(const fs::path &file) const {
    const std::wstring wide = file.wstring();
    const std::string ansi = Ansi(wide);
    for (const Plugin &plugin : plugins_) {
        if (!plugin.IsOurFile)
            continue;
        faultnet::Doing asking("asking " + Utf8(plugin.FileName) + " whether it plays " +
                               Utf8(file.filename().wstring()));
        const void *name = plugin.Loaded->IsUnicode() ? static_cast<const void *>(wide.c_str())
                                                      : static_cast<const void *>(ansi.c_str());
        if (plugin.IsOurFile(name))
            return &plugin;
    }
    for (const Plugin &plugin : plugins_)
        if (ExtensionListed(plugin.Extensions, ansi))
            return &plugin;
    return nullptr;
}

std::string UserPlugins::NoOwner(const std::string &asGiven) const {
    std::string listed;
    for (const Plugin &plugin : plugins_)
        listed += (listed.empty() ? "" : "; ") + Utf8(plugin.FileName) + " plays " +
                  ExtensionsText(plugin.Extensions);
    return asGiven + ": no plug-in of " + folderAsGiven_ + " takes it (" + listed + ")";
}

// The player must give the file to in_hvqblend.dll, which claims every file its hooked-in
// plug-ins own; a plug-in listed before it that claims the file by its own test keeps it.
void UserPlugins::CheckHostPlaysItThroughUs(const fs::path &file,
                                            const std::string &asGiven) const {
    faultnet::Doing asking("the host asked which plug-in takes " + asGiven);
    const In_Module *owner = host_.ResolveOwner(file.wstring());
    if (owner == host_.Product())
        return;
    for (const Plugin &plugin : plugins_)
        if (plugin.Loaded->Module == owner)
            throw std::runtime_error(asGiven + ": the player gives it to " + Utf8(plugin.FileName) +
                                     " before in_hvqblend.dll, which would then play it alone, "
                                     "without crossfades");
    throw std::runtime_error(asGiven + ": in_hvqblend.dll does not take it, though " +
                             folderAsGiven_ + " has a plug-in that plays it");
}

DecodedFile UserPlugins::Take(const fs::path &file, const std::string &asGiven, int index) {
    const Plugin *owner = OwnerOf(file);
    if (!owner)
        throw std::runtime_error(NoOwner(asGiven));
    CheckHostPlaysItThroughUs(file, asGiven);
    const std::string name = Utf8(owner->FileName);
    const HMODULE library = owner->Loaded->Library;
    const ExtendedRead read = ExtendedReadOf(library, name, asGiven);
    DecodedFile decoded;
    {
        const faultnet::Doing decoding("decoding " + asGiven + " with " + name);
        decoded = DecodeWhole(read, {file, asGiven, name},
                              decoded_ / ("track-" + std::to_string(index) + ".pcm"));
    }
    decoded.Tags = TagsOf(library, name, file, asGiven);
    AskTitleAndLength(*owner->Loaded, name, file, asGiven);
    return decoded;
}

} // namespace demo
