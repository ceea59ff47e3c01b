// One source for every test input plug-in. The build sets the flavour macros per DLL: the name
// form, the extension, which optional exports exist, and the ways the plug-in misbehaves.
#include "DirectPlayer.h"
#include "HandleTable.h"
#include "HostText.h"
#include "Introspection.h"
#include "SynthSignal.h"
#include "TransitionSignal.h"
#include "hostlink/PluginError.h"
#include "hostlink/WinampApi.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#ifndef TP_NAME
#define TP_NAME "in_synthw"
#endif
#ifndef TP_UNICODE // file names and titles are wide
#define TP_UNICODE 1
#endif
#ifndef TP_PATTERN // the one extension pattern declared
#define TP_PATTERN "SYW"
#endif
#ifndef TP_READ_W // extended read with wide names
#define TP_READ_W 0
#endif
#ifndef TP_READ_A // extended read with ANSI names
#define TP_READ_A 0
#endif
#ifndef TP_READ_SETTIME
#define TP_READ_SETTIME 0
#endif
#ifndef TP_INFO_W // extended file information, wide
#define TP_INFO_W 0
#endif
#ifndef TP_INFO_A // extended file information, ANSI
#define TP_INFO_A 0
#endif
#ifndef TP_EQSET // the record's EQSet is filled
#define TP_EQSET 1
#endif
#ifndef TP_FAULTS // really faults at the crash_* markers
#define TP_FAULTS 0
#endif
#ifndef TP_STREAM // plays "http://" and "strm://" names instead of synthetic tone files
#define TP_STREAM 0
#endif
#ifndef TP_RECORD // 1 = winampGetInModule2 gives the record, 2 = it gives null, 0 = no such export
#define TP_RECORD 1
#endif
#ifndef TP_BAD_EXTENSIONS // FileExtensions points at memory that cannot be read
#define TP_BAD_EXTENSIONS 0
#endif
#ifndef TP_FAULT_KNOBS // faults in the entry point whose "Fault<name>" knob is set (FaultHow)
#define TP_FAULT_KNOBS 0
#endif
#ifndef TP_FAULT_INIT // faults in Init, while the host loads it: before any test can set a knob
#define TP_FAULT_INIT 0
#endif

namespace {

using namespace testplugin;
using plugkit::WideToUtf8;

constexpr bool kUnicode = TP_UNICODE != 0;
constexpr bool kFaults = TP_FAULTS != 0;
constexpr bool kStream = TP_STREAM != 0;
constexpr bool kFaultKnobs = TP_FAULT_KNOBS != 0;
constexpr int kStreamLengthMs = 1000;

// ------------------------------------------------------------------ faults

// Read through a pointer the compiler cannot see through, so the access violation is real.
int *volatile NullTarget = nullptr;

[[gnu::noinline]] void FaultNow() {
    *NullTarget = 0x0BADF00D;
}

// What a plug-in built with another compiler raises when a C++ exception leaves it: the
// structured exception of the Microsoft runtime. No handler of ours sees it as one of its own.
[[gnu::noinline]] void ThrowAsForeignCode() {
    RaiseException(0xE06D7363, EXCEPTION_NONCONTINUABLE, 0, nullptr);
}

// The knob "Fault" + entryPoint: 1 = an access violation, 2 = a C++ exception of another
// compiler's runtime. Call it where no lock of the plug-in is held.
void FaultIfAsked(const char *entryPoint) {
    if (!kFaultKnobs)
        return;
    const int how = Knob((std::string("Fault") + entryPoint).c_str());
    if (how == 1)
        FaultNow();
    else if (how == 2)
        ThrowAsForeignCode();
}

bool HasMarker(std::wstring_view name, std::wstring_view marker) {
    return name.find(marker) != std::wstring_view::npos;
}

void FaultAt(std::wstring_view name, std::wstring_view marker) {
    if (kFaults && HasMarker(name, marker))
        FaultNow();
}

// ------------------------------------------------------------------ what a name plays

std::wstring Lower(std::wstring_view text) {
    std::wstring out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](wchar_t c) { return c >= L'A' && c <= L'Z' ? wchar_t(c - L'A' + L'a') : c; });
    return out;
}

bool IsStreamName(std::wstring_view name) {
    const std::wstring lower = Lower(name.substr(0, 7));
    return lower == L"http://" || lower == L"strm://";
}

// "?ms=N" (or "&ms=N") in the query gives the stream's length.
int StreamLengthMs(std::wstring_view name) {
    const std::size_t query = name.find(L'?');
    if (query == std::wstring_view::npos)
        return kStreamLengthMs;
    for (std::size_t at = name.find(L"ms=", query); at != std::wstring_view::npos;
         at = name.find(L"ms=", at + 1)) {
        const wchar_t before = name[at - 1];
        if (before != L'?' && before != L'&')
            continue;
        int64_t ms = 0;
        std::size_t digits = 0;
        for (std::size_t i = at + 3;
             i < name.size() && name[i] >= L'0' && name[i] <= L'9' && digits < 9; ++i, ++digits)
            ms = ms * 10 + (name[i] - L'0');
        return digits ? static_cast<int>(ms) : kStreamLengthMs;
    }
    return kStreamLengthMs;
}

std::optional<SynthFormat> FormatOf(std::wstring_view name) {
    if (!kStream)
        return ParseSynthName(name);
    if (!IsStreamName(name))
        return std::nullopt;
    return SynthFormat{44100, 2, 16, StreamLengthMs(name), 0};
}

std::wstring TitleText(std::wstring_view name) {
    return std::wstring(kStream ? name : plugkit::TitleOf(name));
}

// ------------------------------------------------------------------ the record

In_Module &Record();

// "_audit<slot>" in a name asks for the transition audit's tone of that slot: a sound whose every
// few milliseconds tell which sample of which track a listener hears.
int AuditSlot(std::wstring_view name) {
    const std::size_t at = name.find(L"_audit");
    if (at == std::wstring_view::npos || at + 6 >= name.size())
        return -1;
    const wchar_t digit = name[at + 6];
    return digit >= L'0' && digit <= L'9' ? digit - L'0' : -1;
}

// Played directly, the audit's tone too: the audit hears a stream the engine hands back.
class SynthSource : public plugkit::PcmSource {
  public:
    SynthSource(const SynthFormat &format, int auditSlot)
        : format_(format), auditSlot_(auditSlot) {}
    plugkit::PcmShape Shape() const override {
        return {format_.Rate, format_.Channels, format_.Bits};
    }
    int64_t TotalFrames() const override { return SynthTotalFrames(format_); }
    int64_t Read(int64_t firstFrame, int64_t frames, uint8_t *out) override {
        frames = std::clamp<int64_t>(TotalFrames() - firstFrame, 0, frames);
        if (auditSlot_ < 0)
            SynthPcm(format_, firstFrame, frames, out);
        else
            audit::ToneTrack(auditSlot_, format_.LengthMs / 1000.0)
                .Pcm(format_.Rate, format_.Channels, format_.Bits, firstFrame, frames, out);
        return frames;
    }

  private:
    SynthFormat format_;
    int auditSlot_ = -1;
};

plugkit::PlayingFile Current;

plugkit::DirectPlayer &Player() {
    static plugkit::DirectPlayer player(Record());
    return player;
}

std::wstring HostName(const void *name) {
    return plugkit::NameFromHost(name, kUnicode);
}

std::string Number(int64_t value) {
    return std::to_string(value);
}

void __cdecl Config(HWND) {
    Firewall([&] { Note("Config"); });
}

void __cdecl About(HWND) {
    Firewall([&] { Note("About"); });
}

void __cdecl Init() {
    Firewall([&] { Note("Init"); });
    if (TP_FAULT_INIT)
        FaultNow();
}

// The host quits before it releases the library: the writer must not outlive the code.
void __cdecl Quit() {
    Firewall([&] {
        Note("Quit");
        Player().Stop();
        Current.Clear();
    });
}

// file null or empty means the file now playing.
void __cdecl GetFileInfo(const void *file, void *title, int *length) {
    Firewall([&] {
        std::wstring name = HostName(file);
        Note("GetFileInfo", {WideToUtf8(name)});
        if (kFaults)
            FaultNow();
        FaultIfAsked("GetFileInfo");
        if (name.empty())
            name = Current.Name();
        const auto format = FormatOf(name);
        plugkit::CopyOut(format ? TitleText(name) : std::wstring(), title, hostapi::kTitleLength,
                         kUnicode);
        if (length)
            *length = format && !kStream ? format->LengthMs : -1;
    });
}

int __cdecl InfoBox(const void *file, HWND) {
    return Firewall(hostapi::kInfoBoxUnchanged, [&] {
        Note("InfoBox", {WideToUtf8(HostName(file))});
        return hostapi::kInfoBoxUnchanged;
    });
}

int __cdecl IsOurFile(const void *fn) {
    return Firewall(0, [&] {
        const std::wstring name = HostName(fn);
        Note("IsOurFile", {WideToUtf8(name)});
        FaultIfAsked("IsOurFile");
        if (kStream)
            return IsStreamName(name) ? 1 : 0;
        return Knob("IsOurFile") ? 1 : 0;
    });
}

int __cdecl Play(const void *fn) {
    return Firewall(1, [&] {
        const std::wstring name = HostName(fn);
        Note("Play", {WideToUtf8(name)});
        FaultIfAsked("Play");
        if (const int forced = Knob("PlayResult"))
            return forced;
        const auto format = FormatOf(name);
        if (!format)
            return -1;
        if (Player().Start(std::make_unique<SynthSource>(*format, AuditSlot(name))) != 0)
            return 1;
        Current.Set(name, kStream ? -1000 : format->LengthMs);
        return 0;
    });
}

void __cdecl Pause() {
    Firewall([&] {
        Note("Pause");
        FaultIfAsked("Pause");
        Player().Pause();
    });
}

void __cdecl UnPause() {
    Firewall([&] {
        Note("UnPause");
        FaultIfAsked("UnPause");
        Player().UnPause();
    });
}

int __cdecl IsPaused() {
    return Firewall(0, [&] {
        Note("IsPaused");
        FaultIfAsked("IsPaused");
        return Player().IsPaused() ? 1 : 0;
    });
}

void __cdecl Stop() {
    Firewall([&] {
        Note("Stop");
        Player().Stop();
        Current.Clear();
        FaultIfAsked("Stop"); // after the player let go: only the caller's side is at stake
    });
}

int __cdecl GetLength() {
    return Firewall(0, [&] {
        Note("GetLength");
        FaultIfAsked("GetLength");
        return Current.LengthMs();
    });
}

int __cdecl GetOutputTime() {
    return Firewall(0, [&] {
        Note("GetOutputTime");
        FaultIfAsked("GetOutputTime");
        return Player().GetOutputTime();
    });
}

void __cdecl SetOutputTime(int ms) {
    Firewall([&] {
        Note("SetOutputTime", {Number(ms)});
        FaultIfAsked("SetOutputTime");
        Player().Seek(ms);
    });
}

void __cdecl SetVolume(int volume) {
    Firewall([&] {
        Note("SetVolume", {Number(volume)});
        FaultIfAsked("SetVolume");
        if (Out_Module *output = Record().outMod)
            output->SetVolume(volume);
    });
}

void __cdecl SetPan(int pan) {
    Firewall([&] {
        Note("SetPan", {Number(pan)});
        if (Out_Module *output = Record().outMod)
            output->SetPan(pan);
    });
}

void __cdecl EQSet(int on, char data[10], int preamp) {
    Firewall([&] {
        Note("EQSet", {Number(on), Number(data ? data[0] : -1), Number(preamp)});
        FaultIfAsked("EQSet");
    });
}

char *Extensions() {
    // Pattern, description, then the empty string that ends the list.
    static char list[] = TP_PATTERN "\0Synthetic tone (*." TP_PATTERN ")\0";
    static char none[] = "\0";
    if (TP_BAD_EXTENSIONS)
        return reinterpret_cast<char *>(0x10);
    return kStream ? none : list;
}

In_Module MakeRecord() {
    static char description[] = "Halvern test plug-in " TP_NAME;
    In_Module record{};
    record.version = hostapi::kInVersion | (kUnicode ? hostapi::kInUnicode : 0);
    record.description = description;
    record.FileExtensions = Extensions();
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
    record.EQSet = TP_EQSET ? &EQSet : nullptr;
    return record;
}

In_Module &Record() {
    static In_Module record = MakeRecord();
    return record;
}

// ------------------------------------------------------------------ extended read

struct SynthRead {
    SynthFormat Format;
    int AuditSlot = -1; // the transition audit's tone of this slot instead of the hash
    int64_t Frame = 0; // next frame to deliver
    int64_t Given = 0; // bytes delivered so far
    int Torn = 0;      // bytes of frame Frame already delivered (the TornReads knob)
    bool CrashData = false;
    bool CrashSeek = false;
    bool CrashClose = false;
};

// The open reads; a handle is the address of its read.
class ReadTable : public plugkit::HandleTable<SynthRead> {
  public:
    bool Flag(intptr_t handle, bool SynthRead::*flag) {
        bool set = false;
        With(handle, [&](SynthRead &read) { set = read.*flag; });
        return set;
    }
};

ReadTable &Reads() {
    static ReadTable table;
    return table;
}

int ValueAt(const int *pointer) {
    return pointer ? *pointer : 0;
}

void Store(int *pointer, int value) {
    if (pointer)
        *pointer = value;
}

// The reported format: the real one unless a knob asks for an impossible one.
void ReportFormat(const SynthFormat &format, int *size, int *bps, int *nch, int *srate) {
    const int64_t bytes = SynthTotalBytes(format);
    Store(size, Knob("SizeUnknown") || bytes > INT32_MAX ? -1 : static_cast<int>(bytes));
    Store(bps, Knob("Bits") ? Knob("Bits") : format.Bits);
    Store(nch, Knob("Channels") ? Knob("Channels") : format.Channels);
    Store(srate, Knob("Rate") ? Knob("Rate") : format.Rate);
}

void ReadPcm(const SynthRead &read, int64_t firstFrame, int64_t frames, uint8_t *out) {
    if (read.AuditSlot < 0) {
        SynthPcm(read.Format, firstFrame, frames, out);
        return;
    }
    audit::ToneTrack(read.AuditSlot, read.Format.LengthMs / 1000.0)
        .Pcm(read.Format.Rate, read.Format.Channels, read.Format.Bits, firstFrame, frames, out);
}

[[maybe_unused]] intptr_t OpenRead(const std::wstring &name, int *size, int *bps, int *nch,
                                   int *srate) {
    return Firewall(intptr_t{0}, [&] {
        const int wishes[3] = {ValueAt(bps), ValueAt(nch), ValueAt(srate)};
        Note("ExtOpen",
             {WideToUtf8(name), Number(wishes[0]), Number(wishes[1]), Number(wishes[2])});
        NoteWishes(wishes[0], wishes[1], wishes[2]);
        FaultAt(name, L"crash_open");
        FaultIfAsked("ExtOpen");
        // The FaultSecondOpen knob: an open that faults while another read of the plug-in is
        // open (a decoder that cannot keep two handles at once): 1 an access violation, 2 a
        // C++ exception of another compiler's runtime.
        if (kFaultKnobs && Knob("FaultSecondOpen") && OpenReadCount() > 0) {
            if (Knob("FaultSecondOpen") == 2)
                ThrowAsForeignCode();
            FaultNow();
        }
        // The OpenDelayMs knob: an open that takes its time, as a real decoder reading a file's
        // header does while the player waits in its Play.
        if (const int delay = Knob("OpenDelayMs"); delay > 0)
            Sleep(static_cast<DWORD>(delay));
        const auto format = ParseSynthName(name);
        // The MaxOpenReads knob: a decoder that keeps one file handle (or a few) at a time.
        const int most = Knob("MaxOpenReads");
        if (!format || (most > 0 && OpenReadCount() >= most))
            return 0;
        ReportFormat(*format, size, bps, nch, srate);
        auto read = std::make_unique<SynthRead>();
        read->Format = *format;
        read->AuditSlot = AuditSlot(name);
        read->CrashData = HasMarker(name, L"crash_data");
        read->CrashSeek = HasMarker(name, L"crash_seek");
        read->CrashClose = HasMarker(name, L"crash_close");
        NoteReadOpened();
        return Reads().Add(std::move(read));
    });
}

// Whole frames only, at most len bytes (and the knobs' limits).
int64_t Deliver(SynthRead &read, char *dest, int len, int limit, int endAfter) {
    const int frameBytes = SynthFrameBytes(read.Format);
    int64_t want = len;
    if (limit > 0)
        want = std::min<int64_t>(want, limit);
    if (endAfter > 0)
        want = std::min<int64_t>(want, endAfter - read.Given);
    const int64_t frames = std::min(want / frameBytes, SynthTotalFrames(read.Format) - read.Frame);
    if (frames <= 0)
        return 0;
    ReadPcm(read, read.Frame, frames, reinterpret_cast<uint8_t *>(dest));
    read.Frame += frames;
    read.Given += frames * frameBytes;
    return frames * frameBytes;
}

// The TornReads knob: at most that many bytes per read, cut anywhere, frames torn apart.
int64_t DeliverTorn(SynthRead &read, char *dest, int len, int chunk) {
    const int frameBytes = SynthFrameBytes(read.Format);
    const int64_t total = SynthTotalBytes(read.Format);
    const int64_t start = read.Frame * frameBytes + read.Torn;
    const int64_t end = std::min<int64_t>(total, start + std::min(len, chunk));
    if (end <= start)
        return 0;
    const int64_t lastFrame = (end + frameBytes - 1) / frameBytes;
    std::string frames(static_cast<std::size_t>((lastFrame - read.Frame) * frameBytes), '\0');
    ReadPcm(read, read.Frame, lastFrame - read.Frame,
             reinterpret_cast<uint8_t *>(frames.data()));
    std::memcpy(dest, frames.data() + read.Torn, static_cast<std::size_t>(end - start));
    read.Frame = end / frameBytes;
    read.Torn = static_cast<int>(end % frameBytes);
    read.Given += end - start;
    return end - start;
}

// The StallAtBytes knob: once a read has given that many bytes, getData blocks, as on a stalled
// network stream, until the knob is cleared or (unless StallIgnoresKill is set) the caller sets
// the kill switch. With KillSendsToHost it then sends the host's main window a message first,
// as a decoder reporting its state to the player would.
bool StallWhileAsked(intptr_t handle, int *killswitch) {
    const int stallAt = Knob("StallAtBytes");
    if (stallAt <= 0)
        return false;
    int64_t given = 0;
    Reads().With(handle, [&](SynthRead &read) { given = read.Given; });
    if (given < stallAt)
        return false;
    Note("ExtStall");
    while (Knob("StallAtBytes") > 0) {
        if (killswitch && *killswitch && !Knob("StallIgnoresKill")) {
            if (Knob("KillSendsToHost"))
                SendMessageA(Record().hMainWindow, hostapi::WM_WA_IPC, 0, hostapi::IPC_GETVERSION);
            Note("ExtKilled");
            return true;
        }
        Sleep(2);
    }
    return false;
}

[[maybe_unused]] intptr_t GetData(intptr_t handle, char *dest, int len, int *killswitch) {
    return Firewall(intptr_t{0}, [&] {
        Note("ExtGetData", {Number(len)});
        if (kFaults && Reads().Flag(handle, &SynthRead::CrashData))
            FaultNow(); // outside every lock: the caller may carry on after catching it
        FaultIfAsked("ExtGetData");
        if (!dest || len <= 0 || (killswitch && *killswitch))
            return 0;
        if (StallWhileAsked(handle, killswitch))
            return 0;
        if (Knob("GetDataAsksHost")) // as a decoder that asks the host's window something
            SendMessageW(Record().hMainWindow, hostapi::WM_WA_IPC, 0, hostapi::IPC_GETVERSION);
        const int limit = Knob("ReadLimit");
        const int endAfter = Knob("EndAfterBytes");
        int64_t given = 0;
        const int torn = Knob("TornReads");
        Reads().With(handle, [&](SynthRead &read) {
            given = torn > 0 ? DeliverTorn(read, dest, len, torn)
                             : Deliver(read, dest, len, limit, endAfter);
        });
        return static_cast<intptr_t>(given);
    });
}

[[maybe_unused]] int SetTime(intptr_t handle, int ms) {
    return Firewall(0, [&] {
        Note("ExtSetTime", {Number(ms)});
        if (kFaults && Reads().Flag(handle, &SynthRead::CrashSeek))
            FaultNow();
        FaultIfAsked("ExtSetTime");
        return Reads().With(handle,
                            [&](SynthRead &read) {
                                const int64_t frame =
                                    static_cast<int64_t>(std::max(ms, 0)) * read.Format.Rate / 1000;
                                read.Frame = std::min(frame, SynthTotalFrames(read.Format));
                                read.Torn = 0;
                            })
                   ? 1
                   : 0;
    });
}

// A handle that is not open is counted, never touched.
[[maybe_unused]] void CloseRead(intptr_t handle) {
    Firewall([&] {
        Note("ExtClose");
        if (kFaults && Reads().Flag(handle, &SynthRead::CrashClose))
            FaultNow();
        const bool wasOpen = Reads().Take(handle) != nullptr;
        NoteReadClosed(wasOpen);
        // Once the read is gone: a second close of the same handle shows as a bad one.
        FaultIfAsked("ExtClose");
    });
}

// ------------------------------------------------------------------ extended file information

bool SameField(const char *field, const char *known) {
    if (!field)
        return false;
    for (; *field && *known; ++field, ++known) {
        const char c = (*field >= 'A' && *field <= 'Z') ? char(*field - 'A' + 'a') : *field;
        if (c != *known)
            return false;
    }
    return *field == *known;
}

// What a name's A and N tokens tag it with: the album, its artist and the track number.
bool AlbumValue(const SynthShape &shape, const char *field, std::wstring &value) {
    if (shape.Album && SameField(field, "album"))
        value = L"Album " + std::to_wstring(*shape.Album);
    else if (shape.Album && (SameField(field, "albumartist") || SameField(field, "artist")))
        value = L"Synth Artist";
    else if (shape.Track && SameField(field, "track"))
        value = std::to_wstring(*shape.Track);
    else
        return false;
    return true;
}

// The answer for field, or false when the name or the field is not known.
bool InfoValue(std::wstring_view name, const char *field, std::wstring &value) {
    const auto format = FormatOf(name);
    if (!format)
        return false;
    if (SameField(field, "type"))
        value = L"0";
    else if (kStream)
        return false;
    else if (SameField(field, "length"))
        value = std::to_wstring(format->LengthMs);
    else if (SameField(field, "title"))
        value = TitleText(name);
    else if (SameField(field, "family"))
        value = L"Synthetic tone";
    else
        return AlbumValue(format->Shape, field, value);
    return true;
}

template <class Char>
[[maybe_unused]] int ExtendedInfo(const std::wstring &name, const char *field, Char *dest,
                                  int destlen) {
    return Firewall(0, [&] {
        Note("GetExtendedFileInfo", {WideToUtf8(name), field ? field : ""});
        FaultAt(name, L"crash_info");
        FaultIfAsked("ExtendedInfo");
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

#if TP_RECORD == 1
__declspec(dllexport) In_Module *winampGetInModule2() {
    return &Record();
}
#elif TP_RECORD == 2
__declspec(dllexport) In_Module *winampGetInModule2() {
    Note("winampGetInModule2");
    return nullptr;
}
#endif

#if TP_READ_W
__declspec(dllexport) intptr_t
    winampGetExtendedRead_openW(const wchar_t *fn, int *size, int *bps, int *nch, int *srate) {
    return OpenRead(fn ? fn : L"", size, bps, nch, srate);
}
#endif

#if TP_READ_A
__declspec(dllexport) intptr_t
    winampGetExtendedRead_open(const char *fn, int *size, int *bps, int *nch, int *srate) {
    return OpenRead(plugkit::AnsiToWide(fn ? fn : ""), size, bps, nch, srate);
}
#endif

#if TP_READ_W || TP_READ_A
__declspec(dllexport) intptr_t
    winampGetExtendedRead_getData(intptr_t handle, char *dest, int len, int *killswitch) {
    return GetData(handle, dest, len, killswitch);
}

__declspec(dllexport) void winampGetExtendedRead_close(intptr_t handle) {
    CloseRead(handle);
}
#endif

#if TP_READ_SETTIME
__declspec(dllexport) int winampGetExtendedRead_setTime(intptr_t handle, int millisecs) {
    return SetTime(handle, millisecs);
}
#endif

#if TP_INFO_W
__declspec(dllexport) int winampGetExtendedFileInfoW(const wchar_t *fn, const char *data,
                                                     wchar_t *dest, int destlen) {
    return ExtendedInfo(std::wstring(fn ? fn : L""), data, dest, destlen);
}
#endif

#if TP_INFO_A
__declspec(dllexport) int winampGetExtendedFileInfo(const char *fn, const char *data, char *dest,
                                                    int destlen) {
    return ExtendedInfo(plugkit::AnsiToWide(fn ? fn : ""), data, dest, destlen);
}
#endif

} // extern "C"
