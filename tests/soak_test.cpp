// Endurance: thousands of track changes through the reference host on an instant clock, as a
// player left running all night makes them: crossfades, format changes, files a plug-in plays
// itself, the user's stops and seeks at random moments, from a fixed seed. Every decoder opened
// is closed exactly once, and the process's handles, private bytes and threads are the same after
// the first thousand changes as after the last.
//
// --transitions=N (default 10000) and --seed=N; `make soak` runs a longer round.
#include "RefHost.h"
#include "support/PluginProbe.h"

#include <tlhelp32.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

namespace {

using namespace hostapi;
using refhost::RefHost;
using support::PluginProbe;
using support::ToneName;
using support::TonePcm;

struct SoakOptions {
    int Transitions = 10000;
    unsigned Seed = 16;
};
SoakOptions Options;

// What the process holds, at a quiet moment.
struct ProcessFigures {
    int Handles = 0;
    std::int64_t PrivateBytes = 0;
    int Threads = 0;
};

// Open handles, counted by asking each possible handle value: the answer does not depend on
// how much of the system's process information the platform fills in.
int CountHandles() {
    int count = 0;
    for (std::uintptr_t value = 4; value < 0x20000; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags))
            ++count;
    }
    return count;
}

// Committed memory of this process alone: every private region, heaps and thread stacks included.
std::int64_t CountPrivateBytes() {
    std::int64_t bytes = 0;
    MEMORY_BASIC_INFORMATION region{};
    for (auto *at = static_cast<char *>(nullptr);
         VirtualQuery(at, &region, sizeof region) == sizeof region;
         at = static_cast<char *>(region.BaseAddress) + region.RegionSize) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE)
            bytes += static_cast<std::int64_t>(region.RegionSize);
        if (region.RegionSize == 0)
            break;
    }
    return bytes;
}

int CountThreads() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return -1;
    int count = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        count += entry.th32OwnerProcessID == GetCurrentProcessId();
    CloseHandle(snapshot);
    return count;
}

ProcessFigures Measure() {
    return {CountHandles(), CountPrivateBytes(), CountThreads()};
}

const wchar_t *const kReaders[] = {L"in_synthw.dll", L"in_syntha.dll"};
const wchar_t *const kPlugins[] = {L"in_synthw.dll", L"in_syntha.dll", L"in_synthnx.dll"};

// Short tracks: runs of one format that crossfade into each other (fade 40 ms, minimum 100 ms),
// other formats between them, a file too short to fade, and files played in direct mode.
std::vector<std::wstring> SoakPlaylist() {
    return {
        ToneName(8000, 2, 16, 200, L"syw", 1),  ToneName(8000, 2, 16, 170, L"sya", 2),
        ToneName(8000, 2, 16, 220, L"syw", 3),  ToneName(11025, 1, 8, 140, L"syw", 4),
        ToneName(8000, 2, 16, 180, L"synx", 5), ToneName(8000, 2, 16, 210, L"sya", 6),
        ToneName(8000, 1, 24, 160, L"syw", 7),  ToneName(8000, 1, 24, 200, L"syw", 8),
        ToneName(8000, 2, 16, 80, L"syw", 9),   ToneName(11025, 1, 8, 150, L"synx", 10),
        ToneName(8000, 2, 16, 205, L"syw", 11), ToneName(8000, 2, 16, 190, L"sya", 12),
    };
}

class Soak : public ::testing::Test {
  protected:
    void SetUp() override {
        host.InstallProduct();
        for (const wchar_t *plugin : kPlugins)
            host.InstallPlugin(plugin);
        const std::string ini = (host.PluginsFolder() / L"HVQBlend.ini").string();
        WritePrivateProfileStringA("HVQBlend", "FadeTime", "40", ini.c_str());
        WritePrivateProfileStringA("HVQBlend", "MinFileSize", "100", ini.c_str());
        if (AcrossFormats())
            WritePrivateProfileStringA("HVQBlend", "FadeAcrossFormats", "1", ini.c_str());
        host.Start();
    }
    virtual bool AcrossFormats() const { return false; }

    // Play starts since the last call; the host's record of them is emptied as it goes.
    int TakeStarts() {
        const int starts = static_cast<int>(host.PlayStarts().size());
        host.ClearPlayStarts();
        return starts;
    }

    // Everything the host, its output and the plug-ins keep for tests is let go, so that only
    // what the product holds can grow.
    void ForgetRecords() {
        host.ClearMessages();
        host.ClearServiceCalls();
        host.Output().ClearRecord();
        for (const wchar_t *plugin : kPlugins)
            PluginProbe(host, plugin).ClearLog();
    }

    // Stopped, then one short track of the engine played to the end of a one-entry list: every
    // decoder closed (a user's stop between two tracks may leave a fade-out source held until the
    // engine's next track), every direct-mode writer gone. Then the figures.
    ProcessFigures QuietFigures() {
        host.PressStop();
        const auto playlist = host.State().Playlist;
        host.State().Repeat = false;
        host.SetPlaylist({ToneName(8000, 2, 16, 100, L"syw", 99)});
        EXPECT_EQ(host.StartPlaying(0), 0);
        EXPECT_TRUE(host.WaitUntil([&] { return !host.IsPlaying(); }, 5000));
        host.Pump(100);
        for (const wchar_t *plugin : kReaders)
            EXPECT_EQ(PluginProbe(host, plugin).OpenReads(), 0) << plugin;
        transitions_ += TakeStarts();
        ForgetRecords();
        const ProcessFigures figures = Measure();
        host.SetPlaylist(playlist);
        host.State().Repeat = true;
        return figures;
    }

    // One step of the night: the track plays out, or is stopped, or is sought, at a moment the
    // seed picks.
    void Step() {
        const int action = static_cast<int>(random_() % 100);

        const int entries = static_cast<int>(host.State().Playlist.size());
        if (!host.IsPlaying()) {
            host.StartPlaying(static_cast<int>(random_() % entries));
            return;
        }
        if (action < 70) { // plays out into the next entry
            const std::size_t before = host.PlayStarts().size();
            host.WaitUntil([&] { return host.PlayStarts().size() > before || !host.IsPlaying(); },
                           5000);
            return;
        }
        host.Pump(static_cast<int>(random_() % 4));
        if (action < 80) { // the user's stop, then another entry
            host.PressStop();
            host.StartPlaying(static_cast<int>(random_() % entries));
        } else if (action < 90) { // a seek somewhere in the track
            host.JumpToTime(static_cast<int>(random_() % 200));
        } else { // the host moves on by itself (a click on another entry)
            host.StartPlaying(static_cast<int>(random_() % entries));
        }
    }

    // Plays until the given count of track changes has been made.
    void PlayUntil(int transitions) {
        int sinceForget = 0;
        while (transitions_ < transitions) {
            Step();
            const int starts = TakeStarts();
            transitions_ += starts;
            sinceForget += starts;
            if (sinceForget >= 100) {
                ForgetRecords();
                sinceForget = 0;
            }
        }
    }

    // A night of the given count of track changes: nothing grows, every decoder is closed.
    void PlayTheNight(int transitions) {
        // The first two entries really crossfade: the output gets less than both tracks together.
        const auto playlist = SoakPlaylist();
        host.SetPlaylist({playlist[0], playlist[1]});
        ASSERT_EQ(host.StartPlaying(0), 0);
        ASSERT_TRUE(host.WaitUntil([&] { return !host.IsPlaying(); }, 5000));
        const std::size_t both = TonePcm(playlist[0]).size() + TonePcm(playlist[1]).size();
        EXPECT_LT(host.Output().Pcm().size(), both);
        EXPECT_GT(host.Output().Pcm().size(), both / 2);
        host.Output().SetKeepPcm(false);
        TakeStarts();

        host.SetPlaylist(playlist);
        host.State().Repeat = true;
        const int first = std::min(1000, transitions / 10);
        const ULONGLONG began = GetTickCount64();
        PlayUntil(first);
        const ProcessFigures early = QuietFigures();
        PlayUntil(transitions);
        const ProcessFigures late = QuietFigures();
        std::printf("%d track changes in %.1f s\n", transitions_,
                    static_cast<double>(GetTickCount64() - began) / 1000.0);

        std::printf("after %d changes: %d handles, %lld private KiB, %d threads\n", first,
                    early.Handles, static_cast<long long>(early.PrivateBytes / 1024),
                    early.Threads);
        std::printf("after %d changes: %d handles, %lld private KiB, %d threads\n", transitions_,
                    late.Handles, static_cast<long long>(late.PrivateBytes / 1024), late.Threads);
        EXPECT_LE(std::abs(late.Handles - early.Handles), 4);
        EXPECT_LE(std::abs(late.Threads - early.Threads), 1);
        EXPECT_LE(late.PrivateBytes - early.PrivateBytes, 512 * 1024);

        host.Shutdown();
        int opens = 0;
        for (const wchar_t *plugin : kReaders) {
            PluginProbe probe(host, plugin);
            EXPECT_EQ(probe.OpenReads(), 0) << plugin;
            EXPECT_EQ(probe.TotalOpens(), probe.TotalCloses()) << plugin;
            EXPECT_EQ(probe.BadCloses(), 0) << plugin;
            opens += probe.TotalOpens();
        }
        EXPECT_GT(opens, transitions / 2); // most changes went through the engine
    }

    RefHost host;
    std::mt19937 random_{Options.Seed};
    int transitions_ = 0;
};

TEST_F(Soak, ThousandsOfTrackChangesLeakNothing) {
    PlayTheNight(Options.Transitions);
}

// With crossfades between formats the outgoing tracks of other formats are converted: the same
// night with converters made and dropped at many of its changes.
class SoakAcrossFormats : public Soak {
    bool AcrossFormats() const override { return true; }
};

TEST_F(SoakAcrossFormats, ConvertedFadesLeakNothing) {
    PlayTheNight(Options.Transitions / 5);
}

} // namespace

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--transitions=", 14) == 0)
            Options.Transitions = std::max(100, std::atoi(argv[i] + 14));
        else if (std::strncmp(argv[i], "--seed=", 7) == 0)
            Options.Seed = static_cast<unsigned>(std::strtoul(argv[i] + 7, nullptr, 10));
    }
    return RUN_ALL_TESTS();
}
