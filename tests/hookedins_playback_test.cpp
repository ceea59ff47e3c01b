// Direct-mode playback through the product in the reference host: ownership, the first complete
// playback from the host's request to its output, the forwarding of every playback call, file
// information, and what is left at Quit.
#include "SynthSignal.h"
#include "WavFile.h"
#include "hookedins_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

namespace {

using namespace hookedins_test;
using refhost::RefHost;
namespace fs = std::filesystem;

std::vector<std::uint8_t> ExpectedPcm(const SynthFormat &format, int64_t firstFrame = 0) {
    const int64_t frames = SynthTotalFrames(format) - firstFrame;
    std::vector<std::uint8_t> pcm(static_cast<std::size_t>(frames * SynthFrameBytes(format)));
    SynthPcm(format, firstFrame, frames, pcm.data());
    return pcm;
}

SynthFormat FormatOf(const std::wstring &name) {
    const auto format = ParseSynthName(name);
    if (!format)
        throw std::runtime_error("not a tone name");
    return *format;
}

// A plug-in's log without the ownership tests our lookups make along the way.
std::string WithoutOwnershipTests(const std::string &log) {
    std::string kept;
    for (std::size_t start = 0, end; (end = log.find('\n', start)) != std::string::npos;
         start = end + 1) {
        if (log.compare(start, 10, "IsOurFile(") != 0)
            kept += log.substr(start, end + 1 - start);
    }
    return kept;
}

template <class T> T ProductGlobal(HMODULE product, const char *symbol) {
    return *reinterpret_cast<T *>(GetProcAddress(product, symbol));
}

// The product and test plug-ins in the reference host's Plugins folder, started as the player
// starts: every library loaded, initialised and probed.
class DirectPlay : public ::testing::Test {
  protected:
    void StartHost(std::initializer_list<const wchar_t *> plugins) {
        host.InstallProduct();
        for (const wchar_t *plugin : plugins)
            host.InstallPlugin(plugin);
        host.Start();
        product = host.Plugin(L"in_hvqblend.dll")->Library;
    }
    In_Module &Product() { return *host.Product(); }
    In_Module &Module(const wchar_t *plugin) { return *host.Plugin(plugin)->Module; }
    TestPluginProbe Probe(const wchar_t *plugin) {
        return TestPluginProbe(host.Plugin(plugin)->Library);
    }
    THookedInPlugin *Active() {
        return ProductGlobal<THookedInPlugin *>(product, "_ActiveHookedIn");
    }
    std::string ActiveName() { return Active() ? Active()->Name : "(none)"; }
    fs::path InFolder(const wchar_t *plugin) { return host.PluginsFolder() / plugin; }
    // Claims and plays a file as the player does after its own lookup chose us.
    int PlayThroughProduct(const std::wstring &file) {
        EXPECT_EQ(Product().IsOurFile(file.c_str()), 1);
        Product().outMod = host.Output().Module();
        return Product().Play(file.c_str());
    }
    bool WaitForTheHostToStop() {
        return host.WaitUntil([&] { return !host.IsPlaying(); }, 20000);
    }

    RefHost host;
    HMODULE product = nullptr;
};

// The story of this issue: the host scans, asks, plays three files of three plug-ins (none of
// them with extended read) to their ends, moves on, stops; at Quit every plug-in has its own
// IsOurFile back and every library reference we took is released.
TEST_F(DirectPlay, PlaysEveryFileToItsEndAndGivesEverythingBackAtQuit) {
    refhost::MessageBoxWatcher watcher;
    const std::vector<const wchar_t *> hooked{L"in_synthnx.dll", L"in_syntha.dll", L"in_stream.dll",
                                              L"in_badext.dll", L"in_faultinfo.dll"};
    StartHost({L"in_synthnx.dll", L"in_syntha.dll", L"in_stream.dll", L"in_badext.dll",
               L"in_faultinfo.dll", L"in_noexport.dll", L"in_nullrec.dll"});
    std::map<std::wstring, IsOurFileFn> own;
    for (const wchar_t *plugin : hooked)
        own[plugin] = Module(plugin).IsOurFile;

    const std::wstring synthnx = L"C:\\music\\tone_44100_2_16_700_5.synx";
    const std::wstring syntha = L"C:\\music\\tone_22050_1_8_400_9_caf\u00E9.sya";
    const std::wstring stream = L"http://radio.example/live?ms=300";
    // The ANSI plug-in's extended read reports a format the engine cannot play: its file is
    // left to it, like the others.
    Probe(L"in_syntha.dll").Set("Channels", -1);
    host.SetPlaylist({synthnx, syntha, stream});
    ASSERT_EQ(host.StartPlaying(0), 0);
    // The player's own lookup chose us, and the first question made the scan.
    EXPECT_EQ(host.ActiveModule(), &Product());
    EXPECT_EQ(ActiveName(), "in_synthnx.dll");
    EXPECT_EQ(host.LastTitle(), L"tone_44100_2_16_700_5");
    for (const wchar_t *plugin : hooked)
        EXPECT_NE(Module(plugin).IsOurFile, own[plugin]) << ToAnsi(plugin);
    EXPECT_FALSE(IsLoaded(InFolder(L"in_nullrec.dll")));

    ASSERT_TRUE(WaitForTheHostToStop());
    EXPECT_EQ(host.State().Position, 2);
    EXPECT_EQ(host.FullStop(), 0);

    // Sample for sample what the three plug-ins made, one track after the other.
    std::vector<std::uint8_t> expected = ExpectedPcm(FormatOf(synthnx));
    const auto second = ExpectedPcm(FormatOf(syntha));
    expected.insert(expected.end(), second.begin(), second.end());
    const auto third = ExpectedPcm(SynthFormat{44100, 2, 16, 300, 0});
    expected.insert(expected.end(), third.begin(), third.end());
    EXPECT_TRUE(host.Output().Pcm() == expected)
        << host.Output().Pcm().size() << " bytes, not " << expected.size();
    EXPECT_EQ(host.Output().CountOf("Open"), 3);
    EXPECT_EQ(host.Output().CountOf("Close"), 3);
    EXPECT_EQ(Probe(L"in_syntha.dll").Count("Play"), 1);
    EXPECT_NE(Probe(L"in_syntha.dll").Log().find("Play(" + ToUtf8(syntha) + ")"),
              std::string::npos);
    for (const wchar_t *plugin : {L"in_synthnx.dll", L"in_syntha.dll", L"in_stream.dll"}) {
        EXPECT_EQ(Probe(plugin).Count("Stop"), 1) << ToAnsi(plugin);
        EXPECT_EQ(Module(plugin).outMod, nullptr) << ToAnsi(plugin);
    }
    EXPECT_EQ(Active(), nullptr);

    host.Shutdown();
    EXPECT_EQ(ProductGlobal<void *>(product, "_HookedInPlugins"), nullptr);
    for (const wchar_t *plugin : hooked)
        EXPECT_EQ(Module(plugin).IsOurFile, own[plugin]) << ToAnsi(plugin);
    // With the host's own references gone, nothing of ours keeps a library loaded.
    for (const wchar_t *plugin : {L"in_synthnx.dll", L"in_syntha.dll", L"in_stream.dll",
                                  L"in_badext.dll", L"in_faultinfo.dll", L"in_noexport.dll"}) {
        FreeLibrary(host.Plugin(plugin)->Library);
        EXPECT_FALSE(IsLoaded(InFolder(plugin))) << ToAnsi(plugin);
    }
    EXPECT_TRUE(watcher.Boxes().empty());
}

// A real file on disk, through the real WAV plug-in's extended read: the bytes of its data chunk
// arrive as they are.
TEST_F(DirectPlay, ARealWaveFilePlaysThroughTheEngine) {
    StartHost({L"in_wavpcm.dll"});
    const SynthFormat tone{44100, 2, 24, 500, 11};
    const auto pcm = ExpectedPcm(tone);
    const fs::path file = host.HostFolder() / L"Stereo 24-bit.wav";
    ASSERT_TRUE(wav::SaveFile(file, wav::WavFormat{tone.Rate, tone.Channels, tone.Bits}, pcm));
    host.SetPlaylist({file.wstring()});
    ASSERT_EQ(host.StartPlaying(0), 0);
    EXPECT_EQ(Active(), nullptr);
    EXPECT_EQ(Product().GetLength(), 500);
    ASSERT_TRUE(WaitForTheHostToStop());
    EXPECT_TRUE(host.Output().Pcm() == pcm);
    const refhost::OutFormat format = host.Output().Format();
    EXPECT_EQ(format.Rate, 44100);
    EXPECT_EQ(format.Channels, 2);
    EXPECT_EQ(format.Bits, 24);
}

// A plug-in that hands its ownership question on to us would be asked again by our walk, and so
// on until the stack ran out: the question asked back on the same thread is not ours.
TEST_F(DirectPlay, APluginThatAsksUsBackIsToldTheFileIsNotOurs) {
    StartHost({L"in_askback.dll", L"in_synthw.dll"});
    const TestPluginProbe askBack = Probe(L"in_askback.dll");
    EXPECT_EQ(Product().IsOurFile(L"C:\\m\\cover.jpg"), 0);
    EXPECT_EQ(askBack.Count("IsOurFile"), 1);
    EXPECT_EQ(Product().IsOurFile(L"C:\\m\\tone_8000_1_16_100.syw"), 1);
    EXPECT_EQ(Product().IsOurFile(L"C:\\m\\x.syq"), 1); // in_askback's by its extension
    // The host's own walk finds in_askback's record refusing, then asks us, and we ask it once.
    askBack.ClearLog();
    EXPECT_EQ(host.ResolveOwner(L"C:\\m\\cover.jpg"), nullptr);
    EXPECT_EQ(askBack.Count("IsOurFile"), 1);
}

// A Unicode plug-in is asked about a file under its own name, also for the length that decides
// whether the engine plays it: a folder outside the ANSI code page is no reason to refuse.
TEST_F(DirectPlay, AUnicodePluginIsAskedUnderTheWideNameOnly) {
    StartHost({L"in_synthw.dll"});
    const std::wstring name = L"C:\\m\\\u0416\u0443\\tone_8000_1_16_300.syw";
    ASSERT_EQ(PlayThroughProduct(name), 0);
    EXPECT_EQ(Active(), nullptr); // the engine plays it
    const std::string log = Probe(L"in_synthw.dll").Log();
    EXPECT_NE(log.find("GetExtendedFileInfo(" + ToUtf8(name) + ",length)"), std::string::npos);
    EXPECT_EQ(log.find("?"), std::string::npos) << log;
    Product().Stop();
}

// The host asks for the playing file's title with no name: while the engine plays, that is the
// file the engine plays, asked of its own plug-in by name.
TEST_F(DirectPlay, TheTitleOfTheFileTheEnginePlays) {
    StartHost({L"in_synthw.dll"});
    const std::wstring tone = L"C:\\m\\tone_8000_1_16_300.syw";
    ASSERT_EQ(PlayThroughProduct(tone), 0);
    ASSERT_EQ(Active(), nullptr);
    std::vector<wchar_t> title(hostapi::kTitleLength, L'#');
    int length = 0;
    Product().GetFileInfo(nullptr, title.data(), &length);
    EXPECT_STREQ(title.data(), L"tone_8000_1_16_300");
    EXPECT_EQ(length, 300);
    Product().GetFileInfo(L"", title.data(), &length);
    EXPECT_STREQ(title.data(), L"tone_8000_1_16_300");
    Product().Stop();
    Product().GetFileInfo(nullptr, title.data(), &length);
    EXPECT_EQ(title[0], L'\0');
    EXPECT_EQ(length, -1000);
}

// Host threads ask about titles of other entries while the host's thread sets the volume: the
// claimed name is never read while another thread replaces it.
TEST_F(DirectPlay, ClaimsFromSeveralHostThreadsLeaveAWholeName) {
    StartHost({L"in_stream.dll"});
    const std::wstring names[] = {L"http://a.example/" + std::wstring(300, L'a'),
                                  L"http://b.example/" + std::wstring(5, L'b')};
    ASSERT_EQ(Product().IsOurFile(names[0].c_str()), 1);
    std::atomic<bool> stop{false};
    std::vector<std::thread> askers;
    for (int t = 0; t < 2; ++t)
        askers.emplace_back([&, t] {
            while (!stop)
                Product().IsOurFile(names[t].c_str());
        });
    Product().outMod = host.Output().Module();
    for (int i = 0; i < 300; ++i) {
        Product().SetVolume(i % 255);
        EXPECT_EQ(ActiveName(), "in_stream.dll");
        Product().Stop();
    }
    stop = true;
    for (auto &asker : askers)
        asker.join();
}

// While the engine plays, the host asks about another entry (a stream, for its title) and then
// changes the volume: the stream's plug-in must not take over the playback calls.
TEST_F(DirectPlay, NothingBecomesActiveWhileTheEnginePlays) {
    StartHost({L"in_synthw.dll", L"in_stream.dll"});
    ASSERT_EQ(PlayThroughProduct(L"C:\\m\\tone_8000_1_16_3000.syw"), 0);
    ASSERT_EQ(Active(), nullptr);
    EXPECT_EQ(Product().IsOurFile(L"http://radio.example/live"), 1);
    Product().SetVolume(50);
    char bands[10] = {};
    Product().EQSet(1, bands, 31);
    Product().SetPan(10);
    EXPECT_EQ(Active(), nullptr);
    EXPECT_EQ(host.Output().Volume(), 50);
    Product().Stop();
    const TestPluginProbe stream = Probe(L"in_stream.dll");
    EXPECT_EQ(stream.Count("SetVolume") + stream.Count("EQSet") + stream.Count("Stop"), 0);
    // Once the engine has stopped, the claim counts again.
    Product().SetVolume(60);
    EXPECT_EQ(ActiveName(), "in_stream.dll");
    Product().Stop();
}

TEST_F(DirectPlay, PauseSeekVolumePanAndStopReachTheRightModule) {
    StartHost({L"in_synthnx.dll"});
    host.UseOutput(std::make_unique<refhost::RecordingOutput>(2.0)); // twice real time
    const std::wstring file = L"C:\\music\\tone_8000_2_16_3000_7.synx";
    host.SetPlaylist({file});
    ASSERT_EQ(host.StartPlaying(0), 0);
    const TestPluginProbe plugin = Probe(L"in_synthnx.dll");
    refhost::RecordingOutput &output = host.Output();
    // Volume and pan came before Play, while the engine still counted on playing the file
    // itself (its length is known): both went to the output.
    EXPECT_EQ(output.Volume(), 200);
    EXPECT_EQ(plugin.Count("SetVolume"), 0);
    EXPECT_EQ(plugin.Count("SetPan"), 0);
    EXPECT_EQ(output.Pan(), 0);
    EXPECT_EQ(output.CountOf("SetPan"), 1);
    EXPECT_EQ(Product().GetLength(), 3000);

    host.PressPause();
    EXPECT_EQ(plugin.Count("Pause"), 1);
    EXPECT_EQ(Product().IsPaused(), 1);
    EXPECT_EQ(output.CountOf("Pause"), 1);
    host.Pump(100);
    host.PressPause();
    EXPECT_EQ(plugin.Count("UnPause"), 1);
    EXPECT_EQ(Product().IsPaused(), 0);

    EXPECT_EQ(host.JumpToTime(1000), 0);
    EXPECT_NE(plugin.Log().find("SetOutputTime(1000)\n"), std::string::npos);
    host.SetVolume(123);
    EXPECT_EQ(output.Volume(), 123);
    EXPECT_NE(plugin.Log().find("SetVolume(123)\n"), std::string::npos);
    host.SetPan(-40);
    EXPECT_EQ(output.Pan(), -40);
    EXPECT_EQ(plugin.Count("SetPan"), 0);
    char bands[10] = {31, 31, 31, 31, 31, 31, 31, 31, 31, 31};
    Product().EQSet(1, bands, 20); // this plug-in has no EQSet: nothing happens
    ASSERT_TRUE(host.WaitUntil([&] { return output.CountOf("Flush") == 1; }));
    EXPECT_GE(Product().GetOutputTime(), 1000);

    ASSERT_TRUE(WaitForTheHostToStop());
    // Everything after the seek arrived unchanged, from the frame of 1000 ms on.
    const SynthFormat format = FormatOf(file);
    const auto expected = ExpectedPcm(format, 8000);
    const auto pcm = output.Pcm();
    ASSERT_GE(pcm.size(), expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), pcm.end() - expected.size()));
    EXPECT_EQ(plugin.Count("Stop"), 1);
    EXPECT_EQ(Module(L"in_synthnx.dll").outMod, nullptr);
    EXPECT_EQ(Active(), nullptr);
    EXPECT_FALSE(output.IsOpen());
}

// Three plug-ins for the calls of the record made one by one.
class EntryPoints : public DirectPlay {
  protected:
    void SetUp() override {
        StartHost({L"in_synthw.dll", L"in_syntha.dll", L"in_synthnx.dll", L"in_stream.dll"});
        // The player's first question makes the scan.
        EXPECT_EQ(Product().IsOurFile(wideTone.c_str()), 1);
        // Their extended reads report a format the engine cannot play: the files are theirs.
        for (const wchar_t *plugin : {L"in_synthw.dll", L"in_syntha.dll"})
            Probe(plugin).Set("Channels", -1);
        for (const wchar_t *plugin :
             {L"in_synthw.dll", L"in_syntha.dll", L"in_synthnx.dll", L"in_stream.dll"})
            Probe(plugin).ClearLog();
    }
    void TearDown() override { Product().Stop(); }

    const std::wstring wideTone = L"C:\\m\\tone_8000_1_16_2000.syw";
    const std::wstring ansiTone = L"C:\\m\\tone_8000_1_16_2000_1_caf\u00E9.sya";
    const std::wstring noEqTone = L"C:\\m\\tone_8000_1_16_2000.synx";
};

TEST_F(EntryPoints, AStrangerIsNotOursAndTheEarlierClaimActivatesItsOwnerAtSetVolume) {
    // A stream is never the engine's, so its owner becomes active at the first SetVolume.
    EXPECT_EQ(Product().IsOurFile(L"http://radio.example/live"), 1);
    EXPECT_EQ(Product().IsOurFile(L"C:\\m\\cover.jpg"), 0);
    EXPECT_EQ(Product().IsOurFile(nullptr), 0);
    EXPECT_EQ(Active(), nullptr);
    Product().outMod = host.Output().Module();
    Product().SetVolume(77);
    EXPECT_EQ(ActiveName(), "in_stream.dll");
    EXPECT_EQ(Module(L"in_stream.dll").outMod, host.Output().Module());
    EXPECT_EQ(WithoutOwnershipTests(Probe(L"in_stream.dll").Log()), "SetVolume(77)\n");
    Product().Stop();
    EXPECT_EQ(Active(), nullptr);
    EXPECT_EQ(Module(L"in_stream.dll").outMod, nullptr);
    EXPECT_EQ(Probe(L"in_stream.dll").Count("Stop"), 1);
}

TEST_F(EntryPoints, AFileTheEngineWouldPlayActivatesNothingAtSetVolume) {
    Product().outMod = host.Output().Module();
    Product().SetVolume(77); // the last claim is a tone of known length
    EXPECT_EQ(Active(), nullptr);
    EXPECT_EQ(host.Output().Volume(), 77);
    EXPECT_EQ(Probe(L"in_synthw.dll").Count("SetVolume"), 0);
}

TEST_F(EntryPoints, AFailedPlayLeavesNothingActiveAndPassesItsCodeOn) {
    const TestPluginProbe plugin = Probe(L"in_synthw.dll");
    for (int code : {-1, 5}) {
        plugin.Set("PlayResult", code);
        EXPECT_EQ(PlayThroughProduct(wideTone), code);
        EXPECT_EQ(Active(), nullptr);
    }
    Product().Pause(); // nothing active: the (absent) thread's part, which does nothing
    EXPECT_EQ(plugin.Count("Pause"), 0);
    EXPECT_EQ(Product().Play(L"C:\\m\\cover.jpg"), 1);
    EXPECT_EQ(Product().Play(nullptr), 1);
    EXPECT_EQ(Product().GetLength(), 0);
    EXPECT_EQ(Product().GetOutputTime(), 0);
    EXPECT_EQ(Product().IsPaused(), 0);
}

TEST_F(EntryPoints, PlayTakesOverTheFlagsOfThePluginThatPlays) {
    Module(L"in_synthw.dll").is_seekable = 0;
    Module(L"in_synthw.dll").UsesOutputPlug = hostapi::kUsesOutputPlugin | hostapi::kReplayGain;
    ASSERT_EQ(PlayThroughProduct(wideTone), 0);
    EXPECT_EQ(Product().is_seekable, 0);
    EXPECT_EQ(Product().UsesOutputPlug, hostapi::kUsesOutputPlugin | hostapi::kReplayGain);
    Product().Stop();
    Module(L"in_synthw.dll").is_seekable = 1;
    Module(L"in_synthw.dll").UsesOutputPlug = hostapi::kUsesOutputPlugin;
}

TEST_F(EntryPoints, EveryPlaybackCallGoesToTheActivePlugin) {
    ASSERT_EQ(PlayThroughProduct(wideTone), 0);
    EXPECT_EQ(ActiveName(), "in_synthw.dll");
    const TestPluginProbe plugin = Probe(L"in_synthw.dll");
    Product().SetOutputTime(30000);
    Product().SetPan(-40);
    char bands[10] = {7, 31, 31, 31, 31, 31, 31, 31, 31, 31};
    Product().EQSet(1, bands, 20);
    Product().GetLength();
    Product().GetOutputTime();
    Product().Pause();
    Product().IsPaused();
    Product().UnPause();
    std::string log = plugin.Log();
    log = log.substr(log.find("SetOutputTime"));
    EXPECT_EQ(log, "SetOutputTime(30000)\nEQSet(1,7,20)\nGetLength()\nGetOutputTime()\nPause()\n"
                   "IsPaused()\nUnPause()\n");
    EXPECT_EQ(host.Output().Pan(), -40);
    Product().Stop();
    EXPECT_EQ(plugin.Count("Stop"), 1);

    // A plug-in whose EQSet is null: the call goes nowhere.
    ASSERT_EQ(PlayThroughProduct(noEqTone), 0);
    Product().EQSet(1, bands, 20);
    EXPECT_EQ(Probe(L"in_synthnx.dll").Count("EQSet"), 0);
}

TEST_F(EntryPoints, AnAnsiPluginIsGivenAnsiNamesAndItsTitleComesBackWide) {
    ASSERT_EQ(PlayThroughProduct(ansiTone), 0);
    EXPECT_EQ(ActiveName(), "in_syntha.dll");
    EXPECT_NE(Probe(L"in_syntha.dll").Log().find("Play(" + ToUtf8(ansiTone) + ")"),
              std::string::npos);
    std::vector<wchar_t> title(hostapi::kTitleLength, L'#');
    int length = 0;
    Product().GetFileInfo(nullptr, title.data(), &length);
    EXPECT_STREQ(title.data(), L"tone_8000_1_16_2000_1_caf\u00E9");
    EXPECT_EQ(length, 2000);
    // The rest of the caller's buffer was cleared.
    EXPECT_TRUE(std::all_of(title.begin() + 26, title.end(), [](wchar_t c) { return c == 0; }));
    EXPECT_EQ(Product().InfoBox(ansiTone.c_str(), nullptr), hostapi::kInfoBoxUnchanged);
    EXPECT_NE(Probe(L"in_syntha.dll").Log().find("InfoBox(" + ToUtf8(ansiTone) + ")"),
              std::string::npos);
}

TEST_F(EntryPoints, AnAnsiTitleFillsAtMostTheHostsBufferTerminatorIncluded) {
    const std::wstring longName =
        L"C:\\m\\tone_8000_1_16_2000_1_" + std::wstring(3000, L'x') + L".sya";
    std::vector<wchar_t> title(hostapi::kTitleLength + 8, L'#');
    int length = 0;
    Product().GetFileInfo(longName.c_str(), title.data(), &length);
    const std::wstring expected = longName.substr(5, hostapi::kTitleLength - 1);
    EXPECT_EQ(std::wstring(title.data()), expected);
    EXPECT_EQ(title[hostapi::kTitleLength - 1], L'\0');
    EXPECT_EQ(title[hostapi::kTitleLength], L'#'); // nothing written past the buffer
    EXPECT_EQ(length, 2000);
}

TEST_F(EntryPoints, FileInformationToleratesNullTitleAndLength) {
    // Nothing owns the file and nothing plays: an empty title and -1000.
    std::vector<wchar_t> title(hostapi::kTitleLength, L'#');
    int length = 5;
    Product().GetFileInfo(nullptr, title.data(), &length);
    EXPECT_EQ(title[0], L'\0');
    EXPECT_EQ(length, -1000);
    Product().GetFileInfo(L"C:\\m\\cover.jpg", nullptr, nullptr);

    // The player's decoding path asks for the playing file with a null title.
    for (const std::wstring &file : {wideTone, ansiTone}) {
        ASSERT_EQ(PlayThroughProduct(file), 0);
        length = 0;
        Product().GetFileInfo(nullptr, nullptr, &length);
        EXPECT_EQ(length, 2000);
        Product().GetFileInfo(nullptr, title.data(), nullptr);
        EXPECT_EQ(title[0], L't');
        Product().GetFileInfo(file.c_str(), nullptr, nullptr);
        Product().Stop();
    }
    EXPECT_EQ(Probe(L"in_synthw.dll").Count("GetFileInfo"), 3);
    EXPECT_EQ(Probe(L"in_syntha.dll").Count("GetFileInfo"), 3);
}

TEST_F(EntryPoints, InfoBoxGoesToTheOwnerOfTheNamedFileOnly) {
    ASSERT_EQ(PlayThroughProduct(wideTone), 0);
    EXPECT_EQ(Product().InfoBox(L"C:\\m\\cover.jpg", nullptr), hostapi::kInfoBoxUnchanged);
    EXPECT_EQ(Product().InfoBox(nullptr, nullptr), hostapi::kInfoBoxUnchanged);
    EXPECT_EQ(Probe(L"in_synthw.dll").Count("InfoBox"), 0);
    EXPECT_EQ(Product().InfoBox(noEqTone.c_str(), nullptr), hostapi::kInfoBoxUnchanged);
    EXPECT_EQ(WithoutOwnershipTests(Probe(L"in_synthnx.dll").Log()),
              "InfoBox(" + ToUtf8(noEqTone) + ")\n");
}

// The host stops before it quits; should it not, the plug-in that played is not left behind as
// active, pointing into the destroyed registry.
TEST_F(EntryPoints, QuitWhilePlayingLeavesNothingActive) {
    ASSERT_EQ(PlayThroughProduct(wideTone), 0);
    Product().Quit();
    EXPECT_EQ(Active(), nullptr);
    Product().Pause();
    EXPECT_EQ(Product().GetLength(), 0);
    Module(L"in_synthw.dll").Stop(); // the plug-in's own playback is the host's business now
}

// A host installed in a folder whose name the ANSI code page cannot spell: the product finds its
// own folder, hooks in the plug-ins beside it, reads its own version and keeps its settings
// there, through the host's wide INI path.
TEST(OutsideTheAnsiCodePage, APluginsFolderWithCyrillicLettersWorksThroughout) {
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, temp);
    const fs::path folder = fs::path(temp) / (L"hvq-\u041F\u043B\u0435\u0435\u0440-" +
                                              std::to_wstring(GetCurrentProcessId()));
    ASSERT_NE(ToAnsi(folder.wstring()).find('?'), std::string::npos); // really outside it
    fs::remove_all(folder);
    fs::create_directories(folder / L"Plugins");
    const fs::path settings = folder / L"Plugins" / L"HVQBlend.ini";
    {
        RefHost host(folder);
        host.State().IniPathW = (folder / L"winamp.ini").wstring();
        host.InstallProduct();
        host.InstallPlugin(L"in_synthw.dll");
        host.Start();
        const std::wstring tone = L"C:\\m\\tone_8000_1_16_300.syw";
        EXPECT_EQ(host.Product()->IsOurFile(tone.c_str()), 1);
        EXPECT_EQ(host.ResolveOwner(tone), host.Product());
        EXPECT_EQ(std::string(host.Product()->description).rfind("Halvern Q-Blend v", 0), 0u)
            << host.Product()->description;
        host.Shutdown(); // the settings are saved at Quit
        for (const wchar_t *plugin : {L"in_hvqblend.dll", L"in_synthw.dll"})
            FreeLibrary(host.Plugin(plugin)->Library);
    }
    std::string content;
    if (FILE *file = _wfopen(settings.c_str(), L"rb")) {
        char buffer[512] = {};
        content.assign(buffer, fread(buffer, 1, sizeof buffer - 1, file));
        fclose(file);
    }
    EXPECT_NE(content.find("FadeTime=5000"), std::string::npos) << content;
    EXPECT_NE(content.find("PlaybackThreadPriority=Higher"), std::string::npos) << content;
    std::error_code ignored;
    fs::remove_all(folder, ignored);
}

TEST(BeforeInit, EveryEntryPointAnswersAsWithoutARegistry) {
    HeldLibrary library(RefHost::BuildFolder() / L"in_hvqblend.dll");
    In_Module &product = *library.Module();
    EXPECT_EQ(product.IsOurFile(L"C:\\m\\tone_8000_1_16_2000.syw"), 0);
    EXPECT_EQ(product.InfoBox(L"C:\\m\\x.syw", nullptr), hostapi::kInfoBoxUnchanged);
    wchar_t title[4] = {L'#', L'#', L'#', L'#'};
    int length = 5;
    product.GetFileInfo(nullptr, title, &length);
    EXPECT_EQ(title[0], L'#');
    EXPECT_EQ(length, 5);
    EXPECT_EQ(product.Play(L"C:\\m\\tone_8000_1_16_2000.syw"), 1);
    product.Pause();
    product.SetVolume(10);
    product.SetPan(10);
    product.Stop();
    EXPECT_EQ(product.GetLength(), 0);
    EXPECT_EQ(product.GetOutputTime(), 0);
    EXPECT_EQ(product.IsPaused(), 0);
}

// Without a registry nothing is ours: the host's other plug-ins play their own files, where a
// claim would send every track to a Play that cannot start it.
TEST(WithoutRegistry, NothingIsOursAfterAFailedInitNorAfterQuit) {
    const std::wstring tone = L"C:\\m\\tone_8000_1_16_2000.syw";
    {
        RefHost host;
        host.InstallProduct();
        host.InstallPlugin(L"in_synthw.dll");
        host.State().GivenMainWindow = HWND(nullptr);
        refhost::MessageBoxWatcher watcher;
        host.Start(); // Init fails: no host link, no registry
        ASSERT_EQ(watcher.Boxes().size(), 1u);
        EXPECT_EQ(host.Product()->IsOurFile(tone.c_str()), 0);
        EXPECT_EQ(host.ResolveOwner(tone), host.Plugin(L"in_synthw.dll")->Module);
    }
    RefHost host;
    host.InstallProduct();
    host.InstallPlugin(L"in_synthw.dll");
    host.Start();
    EXPECT_EQ(host.Product()->IsOurFile(tone.c_str()), 1);
    host.Shutdown();
    EXPECT_EQ(host.Product()->IsOurFile(tone.c_str()), 0);
    EXPECT_EQ(host.ResolveOwner(tone), host.Plugin(L"in_synthw.dll")->Module);
}

} // namespace
