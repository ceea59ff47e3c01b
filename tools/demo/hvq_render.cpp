// hvq_render: plays WAV files as one playlist through in_hvqblend.dll in the reference host, with
// the WAV input plug-in beside it (or files of any format, with the input plug-ins of a player's
// Plugins folder), and writes what the output received to a WAV file, with a report of the
// transitions and, if asked, a picture of them. A way to hear the plug-in's crossfades without a
// Windows machine: it runs under Wine.
#include "EdgePlan.h"
#include "FaultNet.h"
#include "InputCheck.h"
#include "OutputWav.h"
#include "RefHost.h"
#include "RenderOptions.h"
#include "RenderReport.h"
#include "UserPlugins.h"
#include "WavFile.h"
#include "WavInfo.h"
#include "sound/AlbumJoin.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using demo::RenderOptions;

constexpr int kPictureWidth = 1200;
constexpr auto kProgressEvery = std::chrono::milliseconds(100);
// A render whose output does not move for this long is given up.
constexpr auto kStallLimit = std::chrono::seconds(60);

std::string ToUtf8(const std::wstring &text) {
    if (text.empty())
        return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                        nullptr, nullptr);
    return out;
}

std::wstring FromUtf8(const std::string &text) {
    if (text.empty())
        return {};
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

// A full Windows path. Under Wine a Unix path ("/home/...") is mapped by Wine itself.
fs::path WindowsPath(const std::string &argument) {
    std::wstring path = FromUtf8(argument);
    if (!path.empty() && path[0] == L'/') {
        using DosName = wchar_t *(__cdecl *)(const char *);
        const auto dosName = reinterpret_cast<DosName>(reinterpret_cast<void *>(
            GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
        if (wchar_t *dos = dosName ? dosName(argument.c_str()) : nullptr) {
            path = dos;
            HeapFree(GetProcessHeap(), 0, dos);
        }
    }
    wchar_t full[MAX_PATH * 4];
    const DWORD n = GetFullPathNameW(path.c_str(), MAX_PATH * 4, full, nullptr);
    return n > 0 && n < MAX_PATH * 4 ? fs::path(full) : fs::path(path);
}

class FileSource : public wav::ByteSource {
  public:
    explicit FileSource(const fs::path &path) : in_(path, std::ios::binary) {
        std::error_code error;
        size_ = in_ ? fs::file_size(path, error) : 0;
    }
    bool IsOpen() const { return static_cast<bool>(in_); }
    uint64_t Size() const override { return size_; }
    std::size_t ReadAt(uint64_t offset, void *dest, std::size_t count) override {
        in_.clear();
        in_.seekg(static_cast<std::streamoff>(offset));
        in_.read(static_cast<char *>(dest), static_cast<std::streamsize>(count));
        return static_cast<std::size_t>(in_.gcount());
    }

  private:
    std::ifstream in_;
    uint64_t size_ = 0;
};

struct Track {
    fs::path Path;
    std::string Name;
    wav::WavLayout Layout; // of Samples
    // The file the track's samples are read from for the analysis: the WAV file itself, or the
    // copy its plug-in decoded.
    fs::path Samples;
    std::string Plugin;             // the plug-in of --plugins that plays it; empty: none
    std::optional<TAlbumTags> Tags; // as that plug-in gives them
};

// Frames [first, first + count) of a track's samples, fewer at its end.
std::vector<std::uint8_t> ReadTrackFrames(const Track &track, std::int64_t first,
                                          std::int64_t count) {
    const std::int64_t frameBytes = track.Layout.Format.FrameBytes();
    const std::int64_t available =
        std::max<std::int64_t>(0, std::min(count, track.Layout.Frames() - first));
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(available * frameBytes));
    FileSource file(track.Samples);
    bytes.resize(
        file.ReadAt(track.Layout.DataOffset + static_cast<std::uint64_t>(first * frameBytes),
                    bytes.data(), bytes.size()));
    return bytes;
}

// Whether a path survives the ANSI code page, as plug-ins without wide names receive it.
bool OutsideAnsi(const std::wstring &name) {
    if (name.empty())
        return false;
    BOOL lost = FALSE;
    const int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, name.data(),
                                      static_cast<int>(name.size()), nullptr, 0, nullptr, &lost);
    return n <= 0 || lost;
}

// The plug-in's own playback thread: the one that owns its hidden utility window.
unsigned long PlaybackThreadOfPlugin() {
    HWND window = nullptr;
    while ((window = FindWindowExW(nullptr, window, L"HVQBlendPlaybackThreadUtilWindow",
                                   nullptr)) != nullptr) {
        DWORD process = 0;
        const DWORD thread = GetWindowThreadProcessId(window, &process);
        if (process == GetCurrentProcessId())
            return thread;
    }
    return 0;
}

// Ctrl-C and the console closing end the render where it stands: the part file is removed.
std::atomic<bool> interrupted{false};

BOOL WINAPI OnConsoleEvent(DWORD) {
    interrupted = true;
    return TRUE;
}

// Under Wine a terminal reaches us as a pipe; tools/setup/wine-run-live says so.
bool StderrIsTerminal() {
    wchar_t watched[4] = {};
    DWORD mode = 0;
    return (GetEnvironmentVariableW(L"HVQ_TERMINAL", watched, 4) == 1 && watched[0] == L'1') ||
           GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) ||
           GetFileType(GetStdHandle(STD_ERROR_HANDLE)) == FILE_TYPE_CHAR;
}

// Which track the plug-ins decode, on a line of a terminal that updates itself.
class Decoding {
  public:
    explicit Decoding(int count) : count_(count), terminal_(StderrIsTerminal()) {}
    void Show(int index, const std::string &name) {
        if (terminal_)
            std::fprintf(stderr, "\r%-60s",
                         ("decoding " + std::to_string(index + 1) + " of " +
                          std::to_string(count_) + ": " + name)
                             .substr(0, 60)
                             .c_str());
    }
    void Done() {
        if (terminal_)
            std::fprintf(stderr, "\r%-60s\r", "");
        terminal_ = false;
    }
    ~Decoding() { Done(); }
    Decoding(const Decoding &) = delete;
    Decoding &operator=(const Decoding &) = delete;

  private:
    int count_;
    bool terminal_;
};

// All of one format, unless the tracks are to crossfade across formats: otherwise the plug-in
// crossfades only between tracks of one format.
void CheckOneFormat(const RenderOptions &options, const std::vector<Track> &tracks) {
    std::vector<demo::NamedFormat> formats;
    for (const Track &t : tracks)
        formats.push_back({t.Name, t.Layout.Format});
    if (const std::string why = demo::WhyNotOneFormat(formats, options.FadeAcrossFormats);
        !why.empty())
        throw std::runtime_error(why);
}

// A file that is no WAV file at all may be one a plug-in of the user's plays.
std::string OtherFormats(wav::ByteSource &file) {
    return demo::WhyNotPlayable(file).rfind("not a WAV file", 0) == 0
               ? "; for files of other formats give --plugins with a player's Plugins folder, "
                 "whose plug-ins play them"
               : std::string();
}

// Every input must be a WAV file the WAV plug-in plays, all in one format unless the tracks are to
// crossfade across formats: otherwise the plug-in crossfades only between tracks of one format.
std::vector<Track> CheckInputs(const RenderOptions &options, const fs::path &output) {
    std::vector<Track> tracks;
    for (const std::string &input : options.Inputs) {
        const fs::path path = WindowsPath(input);
        Track track{path, ToUtf8(path.filename().wstring()), {}, path, {}, {}};
        if (const std::string why = demo::WhyNotReadable(path); !why.empty())
            throw std::runtime_error(input + ": " + why);
        FileSource file(track.Path);
        if (!file.IsOpen())
            throw std::runtime_error(input + ": cannot be opened");
        const auto layout = wav::ReadLayout(file);
        if (!layout)
            throw std::runtime_error(input + ": " + demo::WhyNotPlayable(file) +
                                     OtherFormats(file));
        if (layout->DataBytes > INT32_MAX)
            throw std::runtime_error(input + ": more than 2 GiB of samples, more than the "
                                             "plug-in's decoder interface can count");
        // The plug-in leaves a file without a length in whole milliseconds to its own plug-in,
        // which plays it alone: it would be missing from the crossfaded sequence.
        if (demo::TrackLengthMs(layout->Frames(), layout->Format.Rate) < 1)
            throw std::runtime_error(input + ": holds less than a millisecond of sound, which "
                                             "the plug-in leaves to the WAV plug-in to play alone");
        track.Layout = *layout;
        std::error_code missing;
        if (fs::equivalent(track.Path, output, missing))
            throw std::runtime_error(input + ": is also the output file");
        tracks.push_back(std::move(track));
    }
    CheckOneFormat(options, tracks);
    return tracks;
}

// With --plugins: every input a file that a plug-in of the folder takes and decodes, read whole
// before the render (a file it cannot decode, or a fault in it, stops the render before anything
// is written).
std::vector<Track> DecodeInputs(const RenderOptions &options, demo::UserPlugins &plugins,
                                const fs::path &output) {
    std::vector<Track> tracks;
    Decoding progress(static_cast<int>(options.Inputs.size()));
    for (const std::string &input : options.Inputs) {
        const fs::path path = WindowsPath(input);
        if (const std::string why = demo::WhyNotReadable(path, false); !why.empty())
            throw std::runtime_error(input + ": " + why);
        std::error_code missing;
        if (fs::equivalent(path, output, missing))
            throw std::runtime_error(input + ": is also the output file");
        progress.Show(static_cast<int>(tracks.size()), input);
        const demo::DecodedFile decoded =
            plugins.Take(path, input, static_cast<int>(tracks.size()) + 1);
        const demo::PcmFormat &f = decoded.Format;
        Track track{path, ToUtf8(path.filename().wstring()), {}, decoded.Samples, {}, {}};
        track.Plugin = decoded.Plugin;
        track.Tags = decoded.Tags;
        track.Layout.Format = {f.Rate, f.Channels, f.Bits};
        track.Layout.DataBytes = static_cast<std::uint64_t>(decoded.Frames) * f.FrameBytes();
        if (demo::TrackLengthMs(decoded.Frames, f.Rate) < 1)
            throw std::runtime_error(input + ": " + decoded.Plugin +
                                     " decodes it to less than a millisecond of sound, which "
                                     "the plug-in leaves to " +
                                     decoded.Plugin + " to play alone");
        tracks.push_back(std::move(track));
    }
    progress.Done();
    CheckOneFormat(options, tracks);
    return tracks;
}

// What would only fail once the render is done, or never happen, is said before it starts:
// an output or picture with no folder to go to, a skip past the end of the tracks.
void CheckBeforeRendering(const RenderOptions &options, const std::vector<Track> &tracks) {
    const auto writable = [](const char *option, const std::string &asGiven) {
        if (const std::string why = demo::WhyNotWritable(WindowsPath(asGiven), asGiven);
            !why.empty())
            throw std::runtime_error(std::string(option) + " " + asGiven + ": " + why);
    };
    writable("-o", options.Output);
    if (!options.Png.empty())
        writable("--png", options.Png);
    double seconds = 0.0;
    for (const Track &t : tracks)
        seconds += static_cast<double>(t.Layout.Frames()) / t.Layout.Format.Rate;
    if (const std::string why = demo::WhySkipNeverComes(options.SkipAtSeconds, seconds);
        !why.empty())
        throw std::runtime_error(why);
}

// The output's first file, made before the host starts; its error names the file as typed.
std::unique_ptr<demo::OutputFiles> OpenOutput(const RenderOptions &options,
                                              const demo::PcmFormat &format) {
    try {
        return std::make_unique<demo::OutputFiles>(WindowsPath(options.Output), format);
    } catch (const std::exception &) {
        throw std::runtime_error("-o " + options.Output + ": cannot write " + options.Output +
                                 ".part there (may you write in that folder?)");
    }
}

// The plug-in's settings file, written before the host starts it: it reads the file once, at Init.
void WriteSettings(const fs::path &iniFile, const RenderOptions &options) {
    const auto put = [&](const wchar_t *key, const std::string &value) {
        if (!WritePrivateProfileStringW(L"HVQBlend", key, FromUtf8(value).c_str(), iniFile.c_str()))
            throw std::runtime_error("cannot write " + ToUtf8(iniFile.wstring()));
    };
    for (const auto &[key, value] : demo::SettingsKeys(options))
        put(FromUtf8(key).c_str(), value);
}

// Progress on stderr: a line that updates itself on a terminal, a few lines otherwise.
class Progress {
  public:
    explicit Progress(std::vector<int> lengthsMs) : lengthsMs_(std::move(lengthsMs)) {
        for (int ms : lengthsMs_)
            totalMs_ += ms;
        terminal_ = StderrIsTerminal();
    }
    void Show(int entry, int msIntoEntry) {
        const auto now = std::chrono::steady_clock::now();
        if (now - lastShown_ < kProgressEvery || totalMs_ <= 0)
            return;
        lastShown_ = now;
        long long done = 0;
        for (int i = 0; i < entry && i < static_cast<int>(lengthsMs_.size()); ++i)
            done += lengthsMs_[static_cast<std::size_t>(i)];
        if (entry >= 0 && entry < static_cast<int>(lengthsMs_.size()))
            done += std::clamp(msIntoEntry, 0, lengthsMs_[static_cast<std::size_t>(entry)]);
        const int percent = static_cast<int>(done * 100 / totalMs_);
        const std::string line =
            "rendering " + std::to_string(percent) + "%  " + demo::FormatTime(done / 1000.0) +
            " of " + demo::FormatTime(totalMs_ / 1000.0) + "  (track " + std::to_string(entry + 1) +
            " of " + std::to_string(lengthsMs_.size()) + ")";
        if (terminal_) {
            std::fprintf(stderr, "\r%-60s", line.c_str());
            shown_ = true;
        } else if (now - started_ > std::chrono::seconds(2) && percent / 25 > lastQuarter_) {
            lastQuarter_ = percent / 25;
            std::fprintf(stderr, "%s\n", line.c_str());
        }
    }
    // Clears the line, so that whatever is printed next (the report, an error) starts a line.
    void Done() {
        if (terminal_ && shown_)
            std::fprintf(stderr, "\r%-60s\r", "");
        shown_ = false;
    }
    ~Progress() { Done(); }
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;

  private:
    std::vector<int> lengthsMs_;
    long long totalMs_ = 0;
    bool terminal_ = false;
    bool shown_ = false;
    int lastQuarter_ = 0;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point lastShown_{};
};

demo::OutputCallKind KindOf(const std::string &name, bool &known) {
    using K = demo::OutputCallKind;
    known = true;
    if (name == "Open")
        return K::Open;
    if (name == "Flush")
        return K::Flush;
    if (name == "Write")
        return K::Write;
    if (name == "GetWrittenTime")
        return K::WrittenTime;
    if (name == "Close")
        return K::Close;
    known = false;
    return K::Write;
}

// Plays the playlist from its first entry to its end. At every end of a track, before the host
// handles it, the playback thread has posted its last word and no longer writes: that is when
// the output's record is taken and cleared, so that memory holds one track at a time.
class Renderer {
  public:
    Renderer(refhost::RefHost &host, demo::OutputFiles &sink, Progress &progress,
             std::vector<double> skipAtSeconds)
        : host_(host), sink_(sink), progress_(progress), skipAt_(std::move(skipAtSeconds)) {}

    void Run() {
        host_.StartPlaying(0);
        auto lastMove = std::chrono::steady_clock::now();
        std::pair<int, int> lastPlace{-1, -1};
        for (;;) {
            MSG message;
            while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
                // With skips the record is kept whole: a skip's flush takes back sound written
                // before the previous end of track, which a drained record no longer holds.
                if (message.hwnd == host_.MainWindow() &&
                    message.message == hostapi::WM_WA_MPEG_EOF && skipAt_.empty())
                    Drain();
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
            if (!host_.IsPlaying())
                break;
            PressNextWhenDue();
            if (interrupted)
                throw std::runtime_error("interrupted: no output written");
            const std::pair<int, int> place{host_.State().Position, OutputTimeMs()};
            progress_.Show(place.first, place.second);
            const auto now = std::chrono::steady_clock::now();
            if (place != lastPlace) {
                lastPlace = place;
                lastMove = now;
            } else if (now - lastMove > kStallLimit) {
                throw std::runtime_error("the render stalled in track " +
                                         std::to_string(place.first + 1));
            }
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
        }
        Drain();
        progress_.Done();
    }

    const std::vector<demo::OutputCall> &Calls() const { return calls_; }
    // In real time a track may continue the one before on the output without a Flush(0): its
    // start is then marked where its first Write follows the host's Play of it.
    std::vector<demo::OutputCall> CallsWithTrackStarts() const {
        std::vector<demo::OutputCall> marked;
        const std::vector<refhost::PlayStart> plays = host_.PlayStarts();
        std::size_t nextPlay = 1; // the first track begins with the Open
        bool started = false;     // the current track's start is in the calls
        for (std::size_t i = 0; i < calls_.size(); ++i) {
            const demo::OutputCall &call = calls_[i];
            while (nextPlay < plays.size() && callTimes_[i] >= plays[nextPlay].AtMs) {
                ++nextPlay;
                started = false;
            }
            if (call.Kind == demo::OutputCallKind::Open ||
                (call.Kind == demo::OutputCallKind::Flush && call.Arg == 0))
                started = true;
            if (call.Kind == demo::OutputCallKind::Write && !started && nextPlay > 1) {
                marked.push_back({demo::OutputCallKind::Flush, 0, call.Thread, 0});
                started = true;
            }
            marked.push_back(call);
        }
        return marked;
    }
    // The entries the user skipped from, one per press that skipped.
    const std::vector<int> &SkippedFrom() const { return skippedFrom_; }
    // What became of each skip time; the ones never reached were not.
    std::vector<demo::SkipOutcome> SkipOutcomes() const {
        std::vector<demo::SkipOutcome> outcomes = outcomes_;
        outcomes.resize(skipAt_.size(), demo::SkipOutcome::NotReached);
        return outcomes;
    }

  private:
    // Next, as the user presses it, once the output has played the next skip time.
    void PressNextWhenDue() {
        if (nextSkip_ >= skipAt_.size())
            return;
        const double heardMs = sink_.Seconds() * 1000.0 + host_.Output().HeardMs();
        if (heardMs < skipAt_[nextSkip_] * 1000.0)
            return;
        ++nextSkip_;
        const int from = host_.State().Position;
        if (from + 1 >= static_cast<int>(host_.State().Playlist.size())) {
            outcomes_.push_back(demo::SkipOutcome::InLastTrack);
            return;
        }
        outcomes_.push_back(demo::SkipOutcome::Pressed);
        skippedFrom_.push_back(from);
        host_.SkipTo(from + 1);
    }
    int OutputTimeMs() {
        In_Module *active = host_.ActiveModule();
        return active && active->GetOutputTime ? active->GetOutputTime() : 0;
    }
    void Drain() {
        refhost::RecordingOutput &output = host_.Output();
        const std::vector<refhost::OutCall> calls = output.Calls();
        const std::vector<std::uint8_t> pcm = output.Pcm();
        output.ClearRecord();
        std::vector<demo::OutputCall> taken;
        for (const refhost::OutCall &call : calls) {
            bool known = false;
            const demo::OutputCallKind kind = KindOf(call.Name, known);
            // A Write the output refused (its buffer full) took nothing; the engine writes again.
            if (!known || (kind == demo::OutputCallKind::Write && call.Answer != 0))
                continue;
            // Flush(time, discarded) and Close(discarded), when the output drops what it discards.
            int discarded = 0;
            if (kind == demo::OutputCallKind::Flush && call.Args.size() > 1)
                discarded = call.Args[1];
            if (kind == demo::OutputCallKind::Close && !call.Args.empty())
                discarded = call.Args[0];
            demo::PcmFormat format;
            if (kind == demo::OutputCallKind::Open && call.Args.size() >= 3)
                format = {call.Args[0], call.Args[1], call.Args[2]};
            callTimes_.push_back(call.AtMs);
            taken.push_back(
                {kind, call.Args.empty() ? 0 : call.Args[0], call.ThreadId, discarded, format});
        }
        sink_.Take(taken, pcm);
        calls_.insert(calls_.end(), taken.begin(), taken.end());
    }

    refhost::RefHost &host_;
    demo::OutputFiles &sink_;
    Progress &progress_;
    std::vector<demo::OutputCall> calls_;
    std::vector<double> callTimes_; // when each of calls_ came (the output's clock)
    std::vector<double> skipAt_;
    std::size_t nextSkip_ = 0;
    std::vector<int> skippedFrom_;
    std::vector<demo::SkipOutcome> outcomes_;
};

void RequireLoaded(refhost::RefHost &host, const wchar_t *name) {
    const refhost::LoadedPlugin *plugin = host.Plugin(name);
    if (!plugin || !plugin->Module)
        throw std::runtime_error("the host could not load " + ToUtf8(name) + " from " +
                                 ToUtf8(refhost::RefHost::BuildFolder().wstring()));
}

// Each output file with its part of the output; a file whose bytes the output's calls do not
// account for is noted.
void PrintOutputFiles(const std::string &output, const std::vector<demo::OutputFiles::Run> &runs,
                      const demo::RenderResult &result) {
    const std::vector<demo::OutputRun> counted = demo::RunsOf(result);
    std::size_t nameWidth = 0;
    for (std::size_t i = 0; i < runs.size(); ++i)
        nameWidth = std::max(nameWidth, demo::OutputFiles::RunName(output, i).size());
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const demo::OutputFiles::Run &run = runs[i];
        const std::int64_t frames = i < counted.size() ? counted[i].Frames : 0;
        if (static_cast<std::uint64_t>(frames) * run.Format.FrameBytes() == run.Bytes)
            continue;
        const std::string took =
            runs.size() == 1 ? std::string("the output") : demo::OutputFiles::RunName(output, i);
        std::printf("note: %s took %llu bytes but its calls account for %lld frames; the times "
                    "above may be off\n",
                    took.c_str(), static_cast<unsigned long long>(run.Bytes),
                    static_cast<long long>(frames));
    }
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const demo::OutputFiles::Run &run = runs[i];
        const double seconds =
            static_cast<double>(run.Bytes) /
            static_cast<double>(std::max<std::int64_t>(run.Format.BytesPerSecond(), 1));
        const std::string format =
            runs.size() > 1 ? demo::FormatDescription(run.Format) + ", " : std::string();
        const double start = i < counted.size() ? counted[i].StartSeconds : 0.0;
        const std::string from =
            runs.size() > 1 ? ", from " + demo::FormatTime(start, true) : std::string();
        std::printf("%s %-*s  (%s%s, %.1f MB%s)\n", i == 0 ? "\noutput: " : "        ",
                    static_cast<int>(nameWidth), demo::OutputFiles::RunName(output, i).c_str(),
                    format.c_str(), demo::FormatTime(seconds, true).c_str(), run.Bytes / 1e6,
                    from.c_str());
    }
}

// An entry's place on its album, as its plug-in of --plugins gave it, or as the WAV plug-in
// answers it from the file's LIST/INFO chunk.
TAlbumTags AlbumTagsOf(const Track &track) {
    if (track.Tags)
        return *track.Tags;
    FileSource file(track.Path);
    const wav::InfoTags tags = wav::ReadInfoTags(file);
    return {FromUtf8(tags.Album), FromUtf8(tags.AlbumArtist), FromUtf8(tags.Artist),
            FromUtf8(tags.Track)};
}

// What the options that follow the music make of each track, for the analysis.
void PlanEdges(const RenderOptions &options, const std::vector<Track> &tracks,
               std::vector<demo::TrackFile> &files) {
    for (std::size_t i = 0; i < tracks.size(); ++i) {
        const auto read = [&](std::int64_t first, std::int64_t count) {
            return ReadTrackFrames(tracks[i], first, count);
        };
        demo::NextTrack next;
        if (i + 1 < tracks.size()) {
            next.Format = files[i + 1].Format;
            next.Frames = files[i + 1].Frames;
            next.Read = [&, j = i + 1](std::int64_t first, std::int64_t count) {
                return ReadTrackFrames(tracks[j], first, count);
            };
        }
        files[i].Edges =
            demo::PlanTrackEdges(files[i].Format, files[i].Frames, options, read, next);
        files[i].Edges.ContinuesAlbum = options.AlbumsThrough && i + 1 < tracks.size() &&
                                        ContinuesAlbum(AlbumTagsOf(tracks[i]),
                                                       AlbumTagsOf(tracks[i + 1]));
    }
}

// The reference host's output, as the options ask it to play, and the plug-in's settings file:
// all in place before the host starts.
void PrepareHost(refhost::RefHost &host, const RenderOptions &options) {
    // Skips need a listener's clock: the output plays in real time (or faster) with a short
    // buffer, and keeps only what was heard.
    const bool skips = !options.SkipAtSeconds.empty();
    auto output = skips ? std::make_unique<refhost::RecordingOutput>(
                              options.Speed > 0.0 ? options.Speed : 4.0, 500)
                        : std::make_unique<refhost::RecordingOutput>(demo::OutputSpeed(options));
    output->SetDropDiscarded(skips);
    host.UseOutput(std::move(output));
    WriteSettings(host.PluginsFolder() / L"HVQBlend.ini", options);
    host.InstallProduct();
}

// Starts the host with the plug-ins in its folder: the WAV plug-in, or the user's (whose notes
// on the ones that did not load are answered).
std::vector<std::string> StartHost(refhost::RefHost &host, const RenderOptions &options,
                                   demo::UserPlugins *plugins) {
    if (!plugins)
        host.InstallPlugin(L"in_wavpcm.dll");
    {
        const faultnet::Doing loading("the host loaded the plug-ins" +
                                      (plugins ? " of " + options.PluginsFolder : std::string()));
        host.Start();
    }
    RequireLoaded(host, L"in_hvqblend.dll");
    if (!plugins) {
        RequireLoaded(host, L"in_wavpcm.dll");
        return {};
    }
    return plugins->CheckLoaded();
}

int Render(const RenderOptions &options) {
    const fs::path outputPath = WindowsPath(options.Output);
    faultnet::RemovePartsOnFault(outputPath);
    // The host opens a window: made only once the inputs allow a render.
    std::unique_ptr<refhost::RefHost> hostOwner;
    std::unique_ptr<demo::UserPlugins> plugins; // after the host, whose folder it fills
    std::vector<Track> tracks;
    std::unique_ptr<demo::OutputFiles> sink;
    std::vector<std::string> pluginNotes;
    const auto makeHost = [&] {
        hostOwner = std::make_unique<refhost::RefHost>();
        faultnet::RemoveOnFault(hostOwner->HostFolder());
        PrepareHost(*hostOwner, options);
    };
    const auto open = [&] {
        const wav::WavFormat &f = tracks.front().Layout.Format;
        return OpenOutput(options, {f.Rate, f.Channels, f.Bits});
    };
    if (options.PluginsFolder.empty()) {
        tracks = CheckInputs(options, outputPath);
        CheckBeforeRendering(options, tracks);
        sink = open();
        makeHost();
        StartHost(*hostOwner, options, nullptr);
    } else {
        demo::PluginFolder folder =
            demo::ReadPluginFolder(WindowsPath(options.PluginsFolder), options.PluginsFolder);
        makeHost();
        plugins = std::make_unique<demo::UserPlugins>(*hostOwner, options.PluginsFolder,
                                                      std::move(folder));
        pluginNotes = StartHost(*hostOwner, options, plugins.get());
        tracks = DecodeInputs(options, *plugins, outputPath);
        CheckBeforeRendering(options, tracks);
        sink = open();
    }
    refhost::RefHost &host = *hostOwner;
    const wav::WavFormat &format = tracks.front().Layout.Format;
    const demo::PcmFormat pcmFormat{format.Rate, format.Channels, format.Bits};
    const bool skips = !options.SkipAtSeconds.empty();

    std::vector<std::wstring> playlist;
    std::vector<int> lengthsMs;
    std::vector<demo::TrackFile> files;
    std::vector<demo::PcmFormat> formats;
    for (const Track &t : tracks) {
        if (host.ResolveOwner(t.Path.wstring()) != host.Product())
            throw std::runtime_error(t.Name + ": in_hvqblend.dll does not take this file");
        const wav::WavFormat &f = t.Layout.Format;
        playlist.push_back(t.Path.wstring());
        lengthsMs.push_back(demo::TrackLengthMs(t.Layout.Frames(), f.Rate));
        files.push_back({t.Name,
                         t.Layout.Frames(),
                         OutsideAnsi(t.Path.wstring()),
                         {f.Rate, f.Channels, f.Bits}});
        files.back().Plugin = t.Plugin;
        if (std::find(formats.begin(), formats.end(), files.back().Format) == formats.end())
            formats.push_back(files.back().Format);
    }
    PlanEdges(options, tracks, files);
    host.SetPlaylist(playlist);

    const std::string formatText = formats.size() == 1
                                       ? ", " + demo::FormatDescription(pcmFormat)
                                       : " in " + std::to_string(formats.size()) + " formats";
    std::printf("hvq_render: %d track%s%s\n", static_cast<int>(tracks.size()),
                tracks.size() == 1 ? "" : "s", formatText.c_str());
    if (plugins)
        std::printf("plug-ins: %s\n", plugins->Summary().c_str());
    for (const std::string &note : pluginNotes)
        std::printf("note: %s\n", note.c_str());
    std::fflush(stdout);
    const unsigned long playbackThread = PlaybackThreadOfPlugin();
    Progress progress(lengthsMs);
    Renderer renderer(host, *sink, progress, options.SkipAtSeconds);
    {
        const faultnet::Doing rendering("rendering");
        renderer.Run();
    }
    sink->Commit();
    faultnet::OutputWritten();
    {
        const faultnet::Doing quitting("the host shut the plug-ins down");
        host.Shutdown();
    }

    // In real time the plug-in may write a track straight on after the one before, with no
    // Flush to mark its start.
    const bool realTime = skips || demo::OutputSpeed(options) > 0.0;
    demo::RenderResult result = demo::Analyse(
        realTime ? renderer.CallsWithTrackStarts() : renderer.Calls(), pcmFormat, files, options,
        playbackThread, static_cast<int>(GetACP()), renderer.SkippedFrom());
    result.Skips = renderer.SkipOutcomes();
    const std::vector<demo::OutputFiles::Run> runs = sink->Runs();
    std::vector<fs::path> runFiles;
    for (const demo::OutputFiles::Run &run : runs)
        runFiles.push_back(run.Path);
    const auto readTrack = [&](int track, std::int64_t first, std::int64_t count) {
        return ReadTrackFrames(tracks[static_cast<std::size_t>(track)], first, count);
    };
    demo::ConfirmFades(runFiles, result, options, readTrack);
    const bool picture = !options.Png.empty();
    const int columns = demo::PlotColumns(kPictureWidth);
    demo::Envelope wave = demo::MeasureOutput(runFiles, result, picture ? columns : 0,
                                              demo::PictureSpanOf(result, options));
    demo::MeasureFades(runFiles, result, options, readTrack);
    std::printf("%s", demo::FormatReport(result, options).c_str());
    PrintOutputFiles(options.Output, runs, result);
    if (picture) {
        const draw::Canvas canvas =
            demo::DrawPlot(demo::MakePlotInput(result, options, std::move(wave)), kPictureWidth);
        if (!png::Save(WindowsPath(options.Png), canvas.ToImage()))
            throw std::runtime_error("cannot write " + options.Png);
        std::printf("picture: %s  (%d x %d)\n", options.Png.c_str(), canvas.Width(),
                    canvas.Height());
    }
    return 0;
}

} // namespace

int wmain(int argc, wchar_t **argv) {
    // Plain line feeds: the report is mostly read on Unix terminals and in logs, through Wine.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    // Progress goes out as it is made: through a pipe (how Wine hands us a terminal) the C
    // library would otherwise hold stderr back in pieces of 4 KiB.
    std::setvbuf(stderr, nullptr, _IONBF, 0);
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i)
        args.push_back(ToUtf8(argv[i]));
    const demo::ParsedArgs parsed = demo::ParseRenderArgs(args);
    if (parsed.Options.Help) {
        std::printf("%s", demo::RenderUsage().c_str());
        return 0;
    }
    if (!parsed.Error.empty()) {
        std::fprintf(stderr, "hvq_render: %s (see --help)\n", parsed.Error.c_str());
        return 2;
    }
    SetConsoleCtrlHandler(&OnConsoleEvent, TRUE);
    faultnet::Install();
    try {
        return Render(parsed.Options);
    } catch (const std::exception &error) {
        std::fflush(stdout);
        std::fprintf(stderr, "hvq_render: %s\n", error.what());
        return 1;
    }
}
