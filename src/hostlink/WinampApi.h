// Our own declarations of the host's published plug-in records, messages and constants.
// Every function member uses the C calling convention; all fields are 32 bits wide on i686.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

struct Out_Module;

// The input-module record a plug-in hands to the host from winampGetInModule2.
struct In_Module {
    int version;            // module type: 0x100 plus the wide-name flag 0x0F000000
    char *description;      // shown by the host
    HWND hMainWindow;       // filled by the host before Init
    HINSTANCE hDllInstance; // filled by the host before Init
    char *FileExtensions;   // pairs "ext;ext" / description, ending in an empty string
    int is_seekable;        // the host routes seeks only when non-zero
    int UsesOutputPlug;     // flag word, see InModuleFlag

    void(__cdecl *Config)(HWND parent);
    void(__cdecl *About)(HWND parent);
    void(__cdecl *Init)();
    void(__cdecl *Quit)();
    // file null = the playing file; title holds kTitleLength characters; length -1 = unknown.
    void(__cdecl *GetFileInfo)(const void *file, void *title, int *length_in_ms);
    int(__cdecl *InfoBox)(const void *file, HWND parent);
    int(__cdecl *IsOurFile)(const void *fn);
    int(__cdecl *Play)(const void *fn); // 0 started, -1 not found, other = other error
    void(__cdecl *Pause)();
    void(__cdecl *UnPause)();
    int(__cdecl *IsPaused)();
    void(__cdecl *Stop)();
    int(__cdecl *GetLength)();
    int(__cdecl *GetOutputTime)();
    void(__cdecl *SetOutputTime)(int time_in_ms);
    void(__cdecl *SetVolume)(int volume); // 0..255
    void(__cdecl *SetPan)(int pan);       // -127..127

    // Filled by the host: visualisation and DSP services.
    void(__cdecl *SAVSAInit)(int maxlatency_in_ms, int srate);
    void(__cdecl *SAVSADeInit)();
    void(__cdecl *SAAddPCMData)(void *pcm, int nch, int bps, int timestamp);
    int(__cdecl *SAGetMode)();
    int(__cdecl *SAAdd)(void *data, int timestamp, int csa);
    void(__cdecl *VSAAddPCMData)(void *pcm, int nch, int bps, int timestamp);
    int(__cdecl *VSAGetMode)(int *specNch, int *waveNch);
    int(__cdecl *VSAAdd)(void *data, int timestamp);
    void(__cdecl *VSASetInfo)(int srate, int nch);
    int(__cdecl *dsp_isactive)();
    // numsamples counts frames; the answer may be up to twice as many.
    int(__cdecl *dsp_dosamples)(short *samples, int numsamples, int bps, int nch, int srate);

    void(__cdecl *EQSet)(int on, char data[10], int preamp); // may be null
    // Filled by the host after Init returns; -1 leaves a value unchanged.
    void(__cdecl *SetInfo)(int bitrate_kbps, int srate_khz, int stereo, int synched);
    Out_Module *outMod; // the host's output plug-in, set before each Play
};

// The host's output-plug-in record; an input plug-in calls Open..GetWrittenTime.
struct Out_Module {
    int version;
    char *description;
    intptr_t id;
    HWND hMainWindow;
    HINSTANCE hDllInstance;
    void(__cdecl *Config)(HWND parent);
    void(__cdecl *About)(HWND parent);
    void(__cdecl *Init)();
    void(__cdecl *Quit)();
    // Answers the latency in ms, or a negative value on failure.
    int(__cdecl *Open)(int samplerate, int numchannels, int bitspersamp, int bufferlenms,
                       int prebufferms);
    void(__cdecl *Close)();
    int(__cdecl *Write)(char *buf, int len); // 0 taken, 1 try again later; len <= 8192
    int(__cdecl *CanWrite)();                // bytes Write would take now
    int(__cdecl *IsPlaying)();               // non-zero while buffered sound plays
    int(__cdecl *Pause)(int pause);          // answers the previous state
    void(__cdecl *SetVolume)(int volume);    // 0..255
    void(__cdecl *SetPan)(int pan);          // -128..128
    void(__cdecl *Flush)(int t);             // drop buffered sound, restart the clock at t ms
    int(__cdecl *GetOutputTime)();
    int(__cdecl *GetWrittenTime)();
};

using WinampGetInModule2Fn = In_Module *(__cdecl *)();

namespace hostapi {

constexpr int kInVersion = 0x100;
constexpr int kInVersionWideDescription = 0x101;
constexpr int kInUnicode = 0x0F000000;
constexpr int kTitleLength = 2048; // characters of a GetFileInfo title buffer
constexpr int kInfoBoxEdited = 0;
constexpr int kInfoBoxUnchanged = 1;
constexpr int kUninstallNow = 1;
constexpr int kUninstallReboot = 0;
constexpr int kOutWriteMaxBytes = 8192;

enum InModuleFlag : int {
    kUsesOutputPlugin = 1,
    kOwnEqualizer = 2,
    kReplayGain = 8,
    kReplayGainPreamp = 16,
    kFlagsClearedByHostAtLoad = 0x1E,
};

constexpr UINT WM_WA_IPC = WM_USER;
constexpr UINT WM_WA_MPEG_EOF = WM_USER + 2;

// IPC numbers, sent as SendMessage(main, WM_WA_IPC, argument, number).
enum Ipc : LPARAM {
    IPC_GETVERSION = 0,
    IPC_GETOUTPUTTIME = 105,
    IPC_JUMPTOTIME = 106,
    IPC_GETLISTLENGTH = 124,
    IPC_GETLISTPOS = 125,
    IPC_GETNEXTLISTPOS = 136,
    IPC_GETPLAYLISTFILEW = 214,
    IPC_UPDTITLE = 243,
    IPC_REFRESHPLCACHE = 247,
    IPC_GET_REPEAT = 251,
    IPC_GETWND = 260,
    IPC_FORMAT_TITLE_EXTENDED = 298,
    IPC_GETINIFILE = 334,
    IPC_GETINIFILEW = 1334, // hosts from 5.58 on
    IPC_GETDIALOGBOXPARENT = 365,
    IPC_ISFULLSTOP = 400,
    IPC_GET_MANUALPLADVANCE = 634,
    IPC_GET_NEXT_PLITEM = 636,
    IPC_GET_EXTENDED_FILE_INFOW = 3026,
};

// IPC_GETWND arguments.
enum HostWindow : WPARAM { kEqualizerWindow = 0, kPlaylistWindow = 1, kThirdWindow = 2 };

// Main-window commands (WM_COMMAND).
constexpr WPARAM kCommandPlay = 40045;
constexpr WPARAM kCommandStop = 40047;

constexpr const char *kMainWindowClass = "Winamp v1.x";
constexpr const char *kEqualizerWindowClass = "Winamp EQ";
constexpr const char *kPlaylistWindowClass = "Winamp PE";

// Request of IPC_FORMAT_TITLE_EXTENDED.
struct waFormatTitleExtended {
    const wchar_t *filename;
    int useExtendedInfo;
    const wchar_t *spec;
    void *p;
    wchar_t *out;
    int out_len;
    wchar_t *(__cdecl *TAGFUNC)(const wchar_t *tag, void *p); // 0 = not found
    void(__cdecl *TAGFREEFUNC)(wchar_t *tag, void *p);
};

// Request of IPC_GET_EXTENDED_FILE_INFOW.
struct extendedFileInfoStructW {
    const wchar_t *filename;
    const wchar_t *metadata;
    wchar_t *ret;
    size_t retlen;
};

} // namespace hostapi

// The records are shared with the host and other plug-ins byte for byte.
static_assert(sizeof(void *) == 4, "the host's records are declared for i686");
static_assert(sizeof(In_Module) == 152 && sizeof(Out_Module) == 80);
static_assert(offsetof(In_Module, hMainWindow) == 0x08);
static_assert(offsetof(In_Module, FileExtensions) == 0x10);
static_assert(offsetof(In_Module, UsesOutputPlug) == 0x18);
static_assert(offsetof(In_Module, Config) == 0x1C);
static_assert(offsetof(In_Module, GetFileInfo) == 0x2C);
static_assert(offsetof(In_Module, IsOurFile) == 0x34);
static_assert(offsetof(In_Module, Play) == 0x38);
static_assert(offsetof(In_Module, Stop) == 0x48);
static_assert(offsetof(In_Module, SetPan) == 0x5C);
static_assert(offsetof(In_Module, SAVSAInit) == 0x60);
static_assert(offsetof(In_Module, VSASetInfo) == 0x80);
static_assert(offsetof(In_Module, dsp_dosamples) == 0x88);
static_assert(offsetof(In_Module, EQSet) == 0x8C);
static_assert(offsetof(In_Module, SetInfo) == 0x90);
static_assert(offsetof(In_Module, outMod) == 0x94);
static_assert(offsetof(Out_Module, Open) == 0x24);
static_assert(offsetof(Out_Module, Write) == 0x2C);
static_assert(offsetof(Out_Module, Flush) == 0x44);
static_assert(offsetof(Out_Module, GetWrittenTime) == 0x4C);
static_assert(sizeof(hostapi::waFormatTitleExtended) == 32);
static_assert(sizeof(hostapi::extendedFileInfoStructW) == 16);
