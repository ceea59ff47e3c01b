// in_wavpcm.dll: plays RIFF/WAVE integer PCM files, directly through the host's output plug-in
// and through extended read, and answers extended file information about them.
#include "DirectPlayer.h"
#include "HandleTable.h"
#include "HostText.h"
#include "WavFile.h"
#include "WavInfo.h"
#include "hostlink/PluginError.h"
#include "hostlink/WinampApi.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <string>

namespace {

using plugkit::NameFromHost;

// ------------------------------------------------------------------ files

// Owns one open file; reads by offset, so the writer thread and host calls never share a pointer.
class FileSource : public wav::ByteSource {
  public:
    explicit FileSource(const std::wstring &path)
        : handle_(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr)) {
        LARGE_INTEGER size{};
        if (IsOpen() && GetFileSizeEx(handle_, &size))
            size_ = static_cast<uint64_t>(size.QuadPart);
    }
    ~FileSource() override {
        if (IsOpen())
            CloseHandle(handle_);
    }
    FileSource(const FileSource &) = delete;
    FileSource &operator=(const FileSource &) = delete;

    bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
    uint64_t Size() const override { return size_; }
    std::size_t ReadAt(uint64_t offset, void *dest, std::size_t count) override {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD got = 0;
        if (!ReadFile(handle_, dest, static_cast<DWORD>(count), &got, &at))
            return 0;
        return got;
    }

  private:
    HANDLE handle_;
    uint64_t size_ = 0;
};

// An open WAV file and where its samples lie.
struct WavStream {
    std::unique_ptr<FileSource> File;
    wav::WavLayout Layout;

    // Reads up to frames frames from firstFrame on; answers how many arrived whole.
    int64_t Read(int64_t firstFrame, int64_t frames, uint8_t *out) const {
        const int frameBytes = Layout.Format.FrameBytes();
        frames = std::clamp<int64_t>(Layout.Frames() - firstFrame, 0, frames);
        const std::size_t got =
            File->ReadAt(Layout.DataOffset + static_cast<uint64_t>(firstFrame) * frameBytes, out,
                         static_cast<std::size_t>(frames * frameBytes));
        return static_cast<int64_t>(got / static_cast<std::size_t>(frameBytes));
    }
};

std::optional<WavStream> OpenWav(const std::wstring &path) {
    if (path.empty())
        return std::nullopt;
    auto file = std::make_unique<FileSource>(path);
    if (!file->IsOpen())
        return std::nullopt;
    const auto layout = wav::ReadLayout(*file);
    if (!layout)
        return std::nullopt;
    return WavStream{std::move(file), *layout};
}

class WavPcmSource : public plugkit::PcmSource {
  public:
    explicit WavPcmSource(WavStream stream) : stream_(std::move(stream)) {}
    plugkit::PcmShape Shape() const override {
        const wav::WavFormat &f = stream_.Layout.Format;
        return {f.Rate, f.Channels, f.Bits};
    }
    int64_t TotalFrames() const override { return stream_.Layout.Frames(); }
    int64_t Read(int64_t firstFrame, int64_t frames, uint8_t *out) override {
        return stream_.Read(firstFrame, frames, out);
    }

  private:
    WavStream stream_;
};

// ------------------------------------------------------------------ the record

In_Module &Record();

plugkit::PlayingFile Current;

plugkit::DirectPlayer &Player() {
    static plugkit::DirectPlayer player(Record());
    return player;
}

int ClampedMs(int64_t ms) {
    return static_cast<int>(std::min<int64_t>(ms, INT32_MAX));
}

void __cdecl Config(HWND) {}
void __cdecl About(HWND) {}
void __cdecl Init() {}

// The host quits before it releases the library: the writer must not outlive the code.
void __cdecl Quit() {
    Firewall([&] {
        Player().Stop();
        Current.Clear();
    });
}

// file null or empty means the file now playing; the length is -1 when the file is not readable.
void __cdecl GetFileInfo(const void *file, void *title, int *length) {
    Firewall([&] {
        const std::wstring asked = NameFromHost(file, true);
        const std::wstring name = asked.empty() ? Current.Name() : asked;
        plugkit::CopyOut(plugkit::TitleOf(name), title, hostapi::kTitleLength, true);
        if (!length)
            return;
        if (asked.empty()) {
            *length = name.empty() ? -1 : Current.LengthMs();
            return;
        }
        const auto stream = OpenWav(name);
        *length = stream ? ClampedMs(stream->Layout.LengthMs()) : -1;
    });
}

int __cdecl InfoBox(const void *, HWND) {
    return hostapi::kInfoBoxUnchanged;
}

// Files are claimed by their extension.
int __cdecl IsOurFile(const void *) {
    return 0;
}

int __cdecl Play(const void *fn) {
    return Firewall(1, [&] {
        const std::wstring name = NameFromHost(fn, true);
        auto stream = OpenWav(name);
        if (!stream)
            return -1;
        const int lengthMs = ClampedMs(stream->Layout.LengthMs());
        if (Player().Start(std::make_unique<WavPcmSource>(std::move(*stream))) != 0)
            return 1;
        Current.Set(name, lengthMs);
        return 0;
    });
}

void __cdecl Pause() {
    Firewall([&] { Player().Pause(); });
}

void __cdecl UnPause() {
    Firewall([&] { Player().UnPause(); });
}

int __cdecl IsPaused() {
    return Player().IsPaused() ? 1 : 0;
}

void __cdecl Stop() {
    Firewall([&] {
        Player().Stop();
        Current.Clear();
    });
}

int __cdecl GetLength() {
    return Current.LengthMs();
}

int __cdecl GetOutputTime() {
    return Player().GetOutputTime();
}

void __cdecl SetOutputTime(int ms) {
    Firewall([&] { Player().Seek(ms); });
}

void __cdecl SetVolume(int volume) {
    if (Out_Module *output = Record().outMod)
        output->SetVolume(volume);
}

void __cdecl SetPan(int pan) {
    if (Out_Module *output = Record().outMod)
        output->SetPan(pan);
}

void __cdecl EQSet(int, char[10], int) {}

In_Module MakeRecord() {
    static char description[] = "Halvern WAV PCM input";
    static char extensions[] = "WAV\0Waveform Audio (*.WAV)\0";
    In_Module record{};
    record.version = hostapi::kInVersion | hostapi::kInUnicode;
    record.description = description;
    record.FileExtensions = extensions;
    record.is_seekable = 1;
    record.UsesOutputPlug = hostapi::kUsesOutputPlugin;
    record.Config = &Config;
    record.About = &About;
    record.Init = &Init;
    record.Quit = &Quit;
    record.GetFileInfo = &GetFileInfo;
    record.InfoBox = &InfoBox;
    record.IsOurFile = &IsOurFile;
    record.Play = &Play;
    record.Pause = &Pause;
    record.UnPause = &UnPause;
    record.IsPaused = &IsPaused;
    record.Stop = &Stop;
    record.GetLength = &GetLength;
    record.GetOutputTime = &GetOutputTime;
    record.SetOutputTime = &SetOutputTime;
    record.SetVolume = &SetVolume;
    record.SetPan = &SetPan;
    record.EQSet = &EQSet;
    return record;
}

In_Module &Record() {
    static In_Module record = MakeRecord();
    return record;
}

// ------------------------------------------------------------------ extended read

struct WavRead {
    WavStream Stream;
    int64_t Frame = 0; // next frame to deliver
};

plugkit::HandleTable<WavRead> &Reads() {
    static plugkit::HandleTable<WavRead> table;
    return table;
}

void Store(int *pointer, int value) {
    if (pointer)
        *pointer = value;
}

intptr_t OpenRead(const std::wstring &name, int *size, int *bps, int *nch, int *srate) {
    return Firewall(intptr_t{0}, [&] {
        auto stream = OpenWav(name);
        if (!stream)
            return 0;
        const wav::WavLayout &layout = stream->Layout;
        Store(size, layout.DataBytes > INT32_MAX ? -1 : static_cast<int>(layout.DataBytes));
        Store(bps, layout.Format.Bits);
        Store(nch, layout.Format.Channels);
        Store(srate, layout.Format.Rate);
        auto read = std::make_unique<WavRead>();
        read->Stream = std::move(*stream);
        return Reads().Add(std::move(read));
    });
}

// Whole frames only, at most len bytes; 0 at the end.
intptr_t GetData(intptr_t handle, char *dest, int len, int *killswitch) {
    return Firewall(intptr_t{0}, [&] {
        if (!dest || len <= 0 || (killswitch && *killswitch))
            return 0;
        int64_t given = 0;
        Reads().With(handle, [&](WavRead &read) {
            const int frameBytes = read.Stream.Layout.Format.FrameBytes();
            const int64_t frames =
                read.Stream.Read(read.Frame, len / frameBytes, reinterpret_cast<uint8_t *>(dest));
            read.Frame += frames;
            given = frames * frameBytes;
        });
        return static_cast<intptr_t>(given);
    });
}

int SetTime(intptr_t handle, int ms) {
    return Firewall(0, [&] {
        return Reads().With(handle,
                            [&](WavRead &read) {
                                const wav::WavLayout &layout = read.Stream.Layout;
                                const int64_t frame = static_cast<int64_t>(std::max(ms, 0)) *
                                                      layout.Format.Rate / 1000;
                                read.Frame = std::min(frame, layout.Frames());
                            })
                   ? 1
                   : 0;
    });
}

// ------------------------------------------------------------------ extended file information

// A tag's bytes: UTF-8 where they are valid UTF-8 (what current taggers write), else the ANSI
// code page (what older Windows tools wrote).
std::wstring TagText(const std::string &bytes) {
    if (bytes.empty())
        return {};
    const int length = static_cast<int>(bytes.size());
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), length, nullptr, 0);
    if (n <= 0)
        return plugkit::AnsiToWide(bytes);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), length, out.data(), n);
    return out;
}

// The album tags of the file's LIST/INFO chunk; false for a field it does not carry.
bool AlbumTag(wav::ByteSource &file, const std::string &key, std::wstring &value) {
    const wav::InfoTags tags = wav::ReadInfoTags(file);
    const std::string *bytes = key == "album"         ? &tags.Album
                               : key == "artist"      ? &tags.Artist
                               : key == "albumartist" ? &tags.AlbumArtist
                               : key == "track"       ? &tags.Track
                                                      : nullptr;
    if (!bytes || bytes->empty())
        return false;
    value = TagText(*bytes);
    return true;
}

// The answer for field about the file, or false when the file or the field is not known.
bool InfoValue(const std::wstring &name, const char *field, std::wstring &value) {
    if (!field)
        return false;
    const std::string key = [&] {
        std::string lower = field;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; });
        return lower;
    }();
    const auto stream = OpenWav(name);
    if (!stream)
        return false;
    const wav::WavLayout &layout = stream->Layout;
    const wav::WavFormat &f = layout.Format;
    if (key == "length")
        value = std::to_wstring(layout.LengthMs());
    else if (key == "type")
        value = L"0";
    else if (key == "title")
        value = plugkit::TitleOf(name);
    else if (key == "bitrate")
        value = std::to_wstring(f.BytesPerSecond() * 8 / 1000);
    else if (key == "samplerate")
        value = std::to_wstring(f.Rate);
    else if (key == "channels")
        value = std::to_wstring(f.Channels);
    else if (key == "bps")
        value = std::to_wstring(f.Bits);
    else if (key == "family")
        value = L"Waveform Audio";
    else
        return AlbumTag(*stream->File, key, value);
    return true;
}

template <class Char>
int ExtendedInfo(const std::wstring &name, const char *field, Char *dest, int destlen) {
    return Firewall(0, [&] {
        std::wstring value;
        if (!dest || destlen <= 0 || !InfoValue(name, field, value))
            return 0;
        plugkit::CopyOut(value, dest, destlen);
        return 1;
    });
}

} // namespace

// ------------------------------------------------------------------ exports

extern "C" {

__declspec(dllexport) In_Module *winampGetInModule2() {
    return &Record();
}

__declspec(dllexport) intptr_t
    winampGetExtendedRead_openW(const wchar_t *fn, int *size, int *bps, int *nch, int *srate) {
    return OpenRead(fn ? fn : L"", size, bps, nch, srate);
}

__declspec(dllexport) intptr_t
    winampGetExtendedRead_open(const char *fn, int *size, int *bps, int *nch, int *srate) {
    return OpenRead(plugkit::AnsiToWide(fn ? fn : ""), size, bps, nch, srate);
}

__declspec(dllexport) intptr_t
    winampGetExtendedRead_getData(intptr_t handle, char *dest, int len, int *killswitch) {
    return GetData(handle, dest, len, killswitch);
}

__declspec(dllexport) int winampGetExtendedRead_setTime(intptr_t handle, int millisecs) {
    return SetTime(handle, millisecs);
}

// Closes the file with the read; a handle that is not open is ignored.
__declspec(dllexport) void winampGetExtendedRead_close(intptr_t handle) {
    Firewall([&] { Reads().Take(handle); });
}

__declspec(dllexport) int winampGetExtendedFileInfoW(const wchar_t *fn, const char *data,
                                                     wchar_t *dest, int destlen) {
    return ExtendedInfo(std::wstring(fn ? fn : L""), data, dest, destlen);
}

__declspec(dllexport) int winampGetExtendedFileInfo(const char *fn, const char *data, char *dest,
                                                    int destlen) {
    return ExtendedInfo(plugkit::AnsiToWide(fn ? fn : ""), data, dest, destlen);
}

} // extern "C"
