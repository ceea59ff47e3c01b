// The extended exports as a host calls them, through GetProcAddress on the product loaded in the
// reference host: each reaches the owner's function of the same name, names and answers are
// converted to the form each side takes, and every read the product hands out is refused once
// closed, closed exactly once, and read sample-exact, from several threads while a track plays.
#include "RefHost.h"
#include "plugin/ExtendedExports.h"
#include "globals/PluginGlobals.h"
#include "support/PluginProbe.h"

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <functional>
#include <sstream>
#include <thread>

namespace {

using refhost::RefHost;
using support::PluginProbe;
using support::ToneName;
using support::TonePcm;

template <class F> F Bind(HMODULE library, const char *name) {
    const auto function =
        reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(library, name)));
    if (!function)
        throw std::runtime_error(std::string("product without ") + name);
    return function;
}

// The product's exports, as a host finds them.
struct Exports {
    HMODULE library;
#define HVQ_BIND(name) decltype(&::name) name = Bind<decltype(&::name)>(library, #name);
    HVQ_BIND(winampUseUnifiedFileInfoDlg)
    HVQ_BIND(winampAddUnifiedFileInfoPane)
    HVQ_BIND(winampGetExtendedFileInfo)
    HVQ_BIND(winampGetExtendedFileInfoW)
    HVQ_BIND(winampSetExtendedFileInfo)
    HVQ_BIND(winampSetExtendedFileInfoW)
    HVQ_BIND(winampWriteExtendedFileInfo)
    HVQ_BIND(winampClearExtendedFileInfoW)
    HVQ_BIND(winampGetExtendedRead_open)
    HVQ_BIND(winampGetExtendedRead_open_float)
    HVQ_BIND(winampGetExtendedRead_openW)
    HVQ_BIND(winampGetExtendedRead_openW_float)
    HVQ_BIND(winampGetExtendedRead_getData)
    HVQ_BIND(winampGetExtendedRead_setTime)
    HVQ_BIND(winampGetExtendedRead_close)
#undef HVQ_BIND
};

const char *const kExportNames[] = {
    "winampUseUnifiedFileInfoDlg",   "winampAddUnifiedFileInfoPane",
    "winampGetExtendedFileInfo",     "winampGetExtendedFileInfoW",
    "winampSetExtendedFileInfo",     "winampSetExtendedFileInfoW",
    "winampWriteExtendedFileInfo",   "winampClearExtendedFileInfoW",
    "winampGetExtendedRead_open",    "winampGetExtendedRead_open_float",
    "winampGetExtendedRead_openW",   "winampGetExtendedRead_openW_float",
    "winampGetExtendedRead_getData", "winampGetExtendedRead_setTime",
    "winampGetExtendedRead_close"};

// Plug-ins whose reads are all closed at the end of every test (in_faultinfo's may not be).
const wchar_t *const kCountedPlugins[] = {L"in_synthw.dll", L"in_syntha.dll", L"in_synthnoseek.dll",
                                          L"in_extall.dll", L"in_extansi.dll"};

const std::wstring kAll = L"C:\\music\\tone_8000_2_16_500.syx";       // in_extall
const std::wstring kAnsiOnly = L"C:\\music\\tone_8000_2_16_500.syxa"; // in_extansi

std::string Ansi(const std::wstring &text) {
    std::string ansi(text.size() * 2 + 1, '\0');
    ansi.resize(WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, ansi.data(),
                                    static_cast<int>(ansi.size()), nullptr, nullptr) -
                1);
    return ansi;
}

std::string Utf8(const std::wstring &text) {
    std::string utf8(text.size() * 3 + 1, '\0');
    utf8.resize(WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, utf8.data(),
                                    static_cast<int>(utf8.size()), nullptr, nullptr) -
                1);
    return utf8;
}

// In this process nothing is initialised: no registry, no list of reads.
TEST(ExtendedExportsUninitialised, EachNotesTheHostsCallAndAnswersAsWithoutOwner) {
    char ansi[8] = {};
    wchar_t wide[8] = {};
    int value = 0;
    const std::function<intptr_t()> calls[] = {
        [] { return winampUseUnifiedFileInfoDlg(L"a.syw"); },
        [&] { return intptr_t(winampAddUnifiedFileInfoPane(0, L"a.syw", nullptr, wide, 8)); },
        [&] { return winampGetExtendedFileInfo("a.syw", "type", ansi, 8); },
        [&] { return winampGetExtendedFileInfoW(nullptr, "type", wide, 8); },
        [] { return winampSetExtendedFileInfo("a.syw", "artist", "x"); },
        [] { return winampSetExtendedFileInfoW(L"a.syw", "artist", L"x"); },
        [] { return winampWriteExtendedFileInfo(); },
        [] { return winampClearExtendedFileInfoW(L"a.syw"); },
        [&] { return winampGetExtendedRead_open("a.syw", &value, &value, &value, &value); },
        [&] { return winampGetExtendedRead_open_float(nullptr, &value, &value, &value, &value); },
        [&] { return winampGetExtendedRead_openW(L"a.syw", &value, &value, &value, &value); },
        [&] { return winampGetExtendedRead_openW_float(L"", &value, &value, &value, &value); },
        [&] { return winampGetExtendedRead_getData(1, ansi, 8, nullptr) + 1; },
        [] { return intptr_t(winampGetExtendedRead_setTime(1, 0)); },
        [] {
            winampGetExtendedRead_close(1);
            return intptr_t(0);
        }};
    for (std::size_t i = 0; i < std::size(calls); ++i) {
        HostCalledFlag = 0;
        EXPECT_EQ(calls[i](), 0) << kExportNames[i];
        EXPECT_EQ(HostCalledFlag, 1) << kExportNames[i];
    }
}

class ExtendedExports : public ::testing::Test {
  protected:
    void SetUp() override {
        host.InstallProduct();
        for (const wchar_t *plugin : kCountedPlugins)
            host.InstallPlugin(plugin);
        host.InstallPlugin(L"in_faultinfo.dll");
        host.Start();
        // The host's first ownership question makes the product hook the others in.
        host.Product()->IsOurFile(L"C:\\nobody.none");
        x = std::make_unique<Exports>(Exports{host.Plugin(L"in_hvqblend.dll")->Library});
        ClearLogs(); // of the start-up
    }
    void TearDown() override {
        host.Shutdown();
        for (const wchar_t *plugin : kCountedPlugins) {
            const PluginProbe probe = Probe(plugin);
            EXPECT_EQ(probe.OpenReads(), 0) << plugin;
            EXPECT_EQ(probe.TotalOpens(), probe.TotalCloses()) << plugin;
            EXPECT_EQ(probe.BadCloses(), 0) << plugin;
        }
    }

    PluginProbe Probe(const wchar_t *plugin) { return PluginProbe(host, plugin); }
    // A plug-in's calls since its last clear, without the ownership tests every lookup makes.
    std::string Calls(const wchar_t *plugin) {
        std::istringstream log(Probe(plugin).Log());
        std::string calls;
        for (std::string line; std::getline(log, line);)
            calls += line.rfind("IsOurFile(", 0) == 0 ? "" : line + "\n";
        return calls;
    }
    void ClearLogs() {
        for (const wchar_t *plugin : kCountedPlugins)
            Probe(plugin).ClearLog();
    }

    intptr_t OpenW(const std::wstring &name) {
        int size = 0, bps = 0, nch = 0, srate = 0;
        return x->winampGetExtendedRead_openW(name.c_str(), &size, &bps, &nch, &srate);
    }
    // Everything a read still gives, in pieces of the length asked.
    std::vector<std::uint8_t> ReadAll(intptr_t handle, int piece = 4096) {
        std::vector<std::uint8_t> pcm;
        std::vector<char> buffer(piece);
        int stop = 0;
        for (intptr_t n;
             (n = x->winampGetExtendedRead_getData(handle, buffer.data(), piece, &stop)) > 0;)
            pcm.insert(pcm.end(), buffer.begin(), buffer.begin() + n);
        return pcm;
    }

    RefHost host;
    std::unique_ptr<Exports> x;
};

TEST_F(ExtendedExports, AreExportedUnderThePlainNameAndWithAnUnderscore) {
    for (const char *name : kExportNames) {
        const FARPROC plain = GetProcAddress(x->library, name);
        EXPECT_NE(plain, nullptr) << name;
        EXPECT_EQ(GetProcAddress(x->library, (std::string("_") + name).c_str()), plain) << name;
    }
}

TEST_F(ExtendedExports, FileInformationReachesTheOwnersFunctionOfTheSameName) {
    const wchar_t *file = kAll.c_str();
    wchar_t pane[100] = {};
    EXPECT_EQ(x->winampUseUnifiedFileInfoDlg(file), 2);
    EXPECT_EQ(x->winampAddUnifiedFileInfoPane(1, file, HWND(0x42), pane, 100), HWND(0x1001));
    EXPECT_STREQ(pane, L"Pane 1");
    EXPECT_EQ(x->winampAddUnifiedFileInfoPane(2, file, HWND(0x42), pane, 100), nullptr);
    EXPECT_EQ(x->winampClearExtendedFileInfoW(file), 3);
    char ansi[32] = {};
    wchar_t wide[32] = {};
    EXPECT_EQ(x->winampGetExtendedFileInfo(Ansi(kAll).c_str(), "artist", ansi, 32), 1);
    EXPECT_STREQ(ansi, "Ansi Artist");
    EXPECT_EQ(x->winampGetExtendedFileInfoW(file, "artist", wide, 32), 1);
    EXPECT_STREQ(wide, L"Wide Artist");
    const std::string f = Utf8(kAll);
    EXPECT_EQ(Calls(L"in_extall.dll"),
              "UseUnifiedFileInfoDlg(" + f + ")\nAddUnifiedFileInfoPane(1," + f +
                  ",66,100)\nAddUnifiedFileInfoPane(2," + f + ",66,100)\nClearInfoW(" + f +
                  ")\nGetInfoA(" + f + ",artist)\nGetInfoW(" + f + ",artist)\n");

    // Nobody's file, or an owner without the function: 0, and no plug-in is asked.
    ClearLogs();
    for (const std::wstring &name : {std::wstring(L"C:\\a.none"), ToneName(8000, 1, 8, 100)}) {
        EXPECT_EQ(x->winampUseUnifiedFileInfoDlg(name.c_str()), 0);
        EXPECT_EQ(x->winampAddUnifiedFileInfoPane(0, name.c_str(), nullptr, pane, 100), nullptr);
        EXPECT_EQ(x->winampClearExtendedFileInfoW(name.c_str()), 0);
        EXPECT_EQ(x->winampSetExtendedFileInfo(Ansi(name).c_str(), "artist", "x"), 0);
        EXPECT_EQ(x->winampGetExtendedFileInfoW(name.c_str(), "artist", wide, 32), 0);
    }
    for (const wchar_t *plugin : kCountedPlugins)
        EXPECT_EQ(Calls(plugin),
                  plugin == std::wstring(L"in_synthw.dll")
                      ? "GetExtendedFileInfo(" + Utf8(ToneName(8000, 1, 8, 100)) + ",artist)\n"
                      : "")
            << plugin;
}

TEST_F(ExtendedExports, AnswersComeBackInTheCallersTextFormWhateverFormTheOwnerTakes) {
    // Wide-only and ANSI-only owners, with a name and a title beyond ASCII.
    const std::wstring wideOwned = L"C:\\music\\tone_8000_1_8_100_3_\u00e9t\u00e9.syw";
    const std::wstring ansiOwned = L"C:\\music\\tone_8000_1_8_100_3_\u00e9t\u00e9.sya";
    char ansi[64] = {};
    wchar_t wide[64] = {};
    EXPECT_EQ(x->winampGetExtendedFileInfo(Ansi(wideOwned).c_str(), "title", ansi, 64), 1);
    EXPECT_EQ(std::string(ansi), Ansi(L"tone_8000_1_8_100_3_\u00e9t\u00e9"));
    EXPECT_EQ(x->winampGetExtendedFileInfoW(ansiOwned.c_str(), "title", wide, 64), 1);
    EXPECT_STREQ(wide, L"tone_8000_1_8_100_3_\u00e9t\u00e9");
    EXPECT_EQ(Calls(L"in_synthw.dll"), "GetExtendedFileInfo(" + Utf8(wideOwned) + ",title)\n");
    EXPECT_EQ(Calls(L"in_syntha.dll"), "GetExtendedFileInfo(" + Utf8(ansiOwned) + ",title)\n");

    // A short buffer takes what fits with its terminator and nothing beyond its length.
    char shortAnswer[12];
    std::fill_n(shortAnswer, 12, '#');
    EXPECT_EQ(x->winampGetExtendedFileInfo(Ansi(wideOwned).c_str(), "title", shortAnswer, 8), 1);
    EXPECT_EQ(std::string(shortAnswer, 12), std::string("tone_80\0####", 12));

    // An owner with both asks the caller's form first and the other only when it did not answer.
    Probe(L"in_extall.dll").ClearLog();
    const std::string f = Utf8(kAll);
    EXPECT_EQ(x->winampGetExtendedFileInfo(Ansi(kAll).c_str(), "wideonly", ansi, 64), 1);
    EXPECT_EQ(std::string(ansi), Ansi(L"Wide \u00e9t\u00e9"));
    EXPECT_EQ(x->winampGetExtendedFileInfoW(kAll.c_str(), "ansionly", wide, 64), 1);
    EXPECT_STREQ(wide, L"Ansi \u00e9t\u00e9");
    EXPECT_EQ(x->winampGetExtendedFileInfoW(kAll.c_str(), "unknown", wide, 64), 0);
    EXPECT_EQ(Calls(L"in_extall.dll"), "GetInfoA(" + f + ",wideonly)\nGetInfoW(" + f +
                                           ",wideonly)\nGetInfoW(" + f + ",ansionly)\nGetInfoA(" +
                                           f + ",ansionly)\nGetInfoW(" + f +
                                           ",unknown)\nGetInfoA(" + f + ",unknown)\n");
}

TEST_F(ExtendedExports, AnEmptyNameAsksAboutTheFileNamedLast) {
    wchar_t wide[32] = {};
    char ansi[32] = {};
    EXPECT_EQ(x->winampGetExtendedFileInfoW(L"", "artist", wide, 32), 0); // none named yet
    EXPECT_EQ(x->winampGetExtendedFileInfoW(kAll.c_str(), "length", wide, 32), 0);
    EXPECT_EQ(x->winampGetExtendedFileInfoW(L"", "artist", wide, 32), 1);
    EXPECT_STREQ(wide, L"Wide Artist");
    EXPECT_EQ(x->winampGetExtendedFileInfo(nullptr, "artist", ansi, 32), 1);
    EXPECT_STREQ(ansi, "Ansi Artist");
    EXPECT_EQ(Calls(L"in_extall.dll"),
              "GetInfoW(" + Utf8(kAll) + ",length)\nGetInfoA(" + Utf8(kAll) +
                  ",length)\nGetInfoW(,artist)\nGetInfoA((null),artist)\n");
    // The name is shared by both exports.
    const std::wstring tone = ToneName(8000, 1, 8, 1234);
    EXPECT_EQ(x->winampGetExtendedFileInfo(Ansi(tone).c_str(), "title", ansi, 32), 1);
    EXPECT_EQ(x->winampGetExtendedFileInfoW(L"", "length", wide, 32), 0); // "" is no tone name
    EXPECT_EQ(Calls(L"in_synthw.dll"),
              "GetExtendedFileInfo(" + Utf8(tone) + ",title)\nGetExtendedFileInfo(,length)\n");
}

TEST_F(ExtendedExports, ReplayGainIsAnsweredInNoLetterCase) {
    char ansi[32] = {};
    wchar_t wide[32] = {};
    for (const char *field : {"replaygain_track_gain", "REPLAYGAIN_TRACK_GAIN",
                              "ReplayGain_Album_Peak", "x_rEpLaYgAiN"}) {
        EXPECT_EQ(x->winampGetExtendedFileInfo(Ansi(kAll).c_str(), field, ansi, 32), 0) << field;
        EXPECT_EQ(x->winampGetExtendedFileInfoW(kAll.c_str(), field, wide, 32), 0) << field;
    }
    EXPECT_EQ(Calls(L"in_extall.dll"), "");
    // The file is still remembered for a request without a name.
    EXPECT_EQ(x->winampGetExtendedFileInfoW(nullptr, "artist", wide, 32), 1);
}

TEST_F(ExtendedExports, AWriteGoesOnceToTheOwnerOfTheLastSet) {
    EXPECT_EQ(x->winampWriteExtendedFileInfo(), 0); // nothing set
    EXPECT_EQ(x->winampSetExtendedFileInfoW(kAll.c_str(), "artist", L"\u00e9t\u00e9"), 1);
    EXPECT_EQ(x->winampWriteExtendedFileInfo(), 1);
    EXPECT_EQ(x->winampWriteExtendedFileInfo(), 0);
    // A wide set on an ANSI-only owner, converted; an ANSI set is written as well.
    EXPECT_EQ(x->winampSetExtendedFileInfoW(kAnsiOnly.c_str(), "title", L"\u00e9t\u00e9"), 1);
    EXPECT_EQ(x->winampWriteExtendedFileInfo(), 1);
    EXPECT_EQ(x->winampSetExtendedFileInfo(Ansi(kAll).c_str(), "year", "1999"), 1);
    EXPECT_EQ(x->winampWriteExtendedFileInfo(), 1);
    const std::string summer = Utf8(L"\u00e9t\u00e9");
    EXPECT_EQ(Calls(L"in_extall.dll"), "SetInfoW(" + Utf8(kAll) + ",artist," + summer +
                                           ")\nWriteInfo()\nSetInfoA(" + Utf8(kAll) +
                                           ",year,1999)\nWriteInfo()\n");
    EXPECT_EQ(Calls(L"in_extansi.dll"),
              "SetInfoA(" + Utf8(kAnsiOnly) + ",title," + summer + ")\nWriteInfo()\n");

    // The last set decides, also when its owner can neither set nor write.
    Probe(L"in_extall.dll").ClearLog();
    EXPECT_EQ(x->winampSetExtendedFileInfoW(kAll.c_str(), "artist", L"a"), 1);
    EXPECT_EQ(x->winampSetExtendedFileInfoW(ToneName(8000, 1, 8, 100).c_str(), "artist", L"b"), 0);
    EXPECT_EQ(x->winampWriteExtendedFileInfo(), 0);
    EXPECT_EQ(x->winampWriteExtendedFileInfo(), 0);
    EXPECT_EQ(Probe(L"in_extall.dll").Count("WriteInfo"), 0);
}

TEST_F(ExtendedExports, EachOpenReachesItsOwnCounterpartAndReadsSampleExact) {
    const std::wstring name = L"C:\\music\\tone_8000_2_32_250_9.syx";
    const std::string ansiName = Ansi(name);
    PluginProbe all = Probe(L"in_extall.dll");
    const auto open = [&](const char *call, auto function, auto fileName) {
        int size = 0, bps = 24, nch = 1, srate = 22050; // the caller's wishes
        const intptr_t handle = function(fileName, &size, &bps, &nch, &srate);
        EXPECT_EQ(all.Count(call), 1) << call;
        int wishes[3] = {};
        all.LastWishes(wishes[0], wishes[1], wishes[2]);
        EXPECT_EQ(std::vector<int>(wishes, wishes + 3), (std::vector<int>{24, 1, 22050})) << call;
        EXPECT_EQ((std::vector<int>{size, bps, nch, srate}), (std::vector<int>{16000, 32, 2, 8000}))
            << call;
        EXPECT_EQ(ReadAll(handle, 1000), TonePcm(name)) << call;
        x->winampGetExtendedRead_close(handle);
    };
    open("OpenW", x->winampGetExtendedRead_openW, name.c_str());
    open("OpenWFloat", x->winampGetExtendedRead_openW_float, name.c_str());
    open("OpenA", x->winampGetExtendedRead_open, ansiName.c_str());
    open("OpenAFloat", x->winampGetExtendedRead_open_float, ansiName.c_str());
    EXPECT_EQ(all.TotalCloses(), 4);

    // Integer and float reads do not stand in for each other.
    const std::wstring wideOnly = ToneName(8000, 1, 16, 100);
    int size = 0, bps = 0, nch = 0, srate = 0;
    EXPECT_EQ(x->winampGetExtendedRead_openW_float(wideOnly.c_str(), &size, &bps, &nch, &srate), 0);
    EXPECT_EQ(Probe(L"in_synthw.dll").Count("ExtOpen"), 0);
}

TEST_F(ExtendedExports, AnOpenOfTheOtherNameFormIsConvertedAsTheHostWouldConvertIt) {
    const std::wstring wideOwned = ToneName(22050, 1, 16, 300, L"syw", 4);
    const std::wstring ansiOwned = L"C:\\music\\tone_22050_2_24_300_5_\u00e9t\u00e9.sya";
    int size = 0, bps = 0, nch = 0, srate = 0;
    const intptr_t a =
        x->winampGetExtendedRead_open(Ansi(wideOwned).c_str(), &size, &bps, &nch, &srate);
    const intptr_t w = OpenW(ansiOwned);
    ASSERT_NE(a, 0);
    ASSERT_NE(w, 0);
    EXPECT_EQ(Calls(L"in_synthw.dll"), "ExtOpen(" + Utf8(wideOwned) + ",0,0,0)\n");
    EXPECT_EQ(Calls(L"in_syntha.dll"), "ExtOpen(" + Utf8(ansiOwned) + ",0,0,0)\n");
    EXPECT_EQ(ReadAll(a), TonePcm(wideOwned));
    EXPECT_EQ(ReadAll(w), TonePcm(ansiOwned));
    x->winampGetExtendedRead_close(a);
    x->winampGetExtendedRead_close(w);
}

TEST_F(ExtendedExports, TwoReadsOfOnePlugInKeepTheirOwnHandlesAndPositions) {
    const std::wstring first = ToneName(44100, 2, 16, 400, L"syw", 1);
    const std::wstring second = ToneName(44100, 2, 16, 300, L"syw", 2);
    const intptr_t a = OpenW(first);
    const intptr_t b = OpenW(second);
    ASSERT_NE(a, 0);
    ASSERT_NE(b, 0);
    EXPECT_NE(a, b);
    std::vector<std::uint8_t> pcmA, pcmB;
    std::vector<char> buffer(1000);
    for (bool more = true; more;) {
        more = false;
        for (auto [handle, pcm] : {std::pair{a, &pcmA}, std::pair{b, &pcmB}}) {
            const intptr_t n =
                x->winampGetExtendedRead_getData(handle, buffer.data(), 1000, nullptr);
            pcm->insert(pcm->end(), buffer.begin(), buffer.begin() + std::max<intptr_t>(n, 0));
            more = more || n > 0;
        }
    }
    EXPECT_EQ(pcmA, TonePcm(first));
    EXPECT_EQ(pcmB, TonePcm(second));
    EXPECT_EQ(x->winampGetExtendedRead_setTime(a, 100), 1);
    EXPECT_EQ(ReadAll(a), TonePcm(first, 4410));

    x->winampGetExtendedRead_close(a);
    EXPECT_EQ(Probe(L"in_synthw.dll").OpenReads(), 1);
    EXPECT_EQ(x->winampGetExtendedRead_setTime(b, 0), 1);
    EXPECT_EQ(ReadAll(b), TonePcm(second));
    x->winampGetExtendedRead_close(b);
    EXPECT_EQ(Probe(L"in_synthw.dll").TotalCloses(), 2);

    // Without the plug-in's setTime a seek fails and asks nobody.
    const intptr_t n = OpenW(ToneName(8000, 1, 16, 100, L"syns"));
    ASSERT_NE(n, 0);
    EXPECT_EQ(x->winampGetExtendedRead_setTime(n, 50), 0);
    EXPECT_EQ(ReadAll(n), TonePcm(ToneName(8000, 1, 16, 100, L"syns")));
    x->winampGetExtendedRead_close(n);
}

// What a read record in memory could look like; a handle pointing at it must not be followed.
std::atomic<int> TrapCalls{0};
intptr_t __cdecl TrapGetData(intptr_t, char *, int, int *) {
    return ++TrapCalls;
}
int __cdecl TrapSetTime(intptr_t, int) {
    return ++TrapCalls;
}
void __cdecl TrapClose(intptr_t) {
    ++TrapCalls;
}

TEST_F(ExtendedExports, HandlesThatAreNotOpenReachNoPlugIn) {
    const std::wstring tone = ToneName(8000, 1, 16, 200);
    const intptr_t closed = OpenW(tone);
    ASSERT_NE(closed, 0);
    x->winampGetExtendedRead_close(closed);
    const intptr_t open = OpenW(tone); // may take the memory of the closed one
    ASSERT_NE(open, 0);
    EXPECT_NE(open, closed);
    Probe(L"in_synthw.dll").ClearLog();

    struct {
        void *owner;
        intptr_t handle;
        void *getData, *setTime, *close;
    } lookalike{nullptr, 1, reinterpret_cast<void *>(&TrapGetData),
                reinterpret_cast<void *>(&TrapSetTime), reinterpret_cast<void *>(&TrapClose)};
    const intptr_t bogus[] = {closed, 1, -1, 0x10, reinterpret_cast<intptr_t>(&lookalike), 0};
    char buffer[64];
    for (const intptr_t handle : bogus) {
        int stop = 0;
        EXPECT_EQ(x->winampGetExtendedRead_getData(handle, buffer, 64, &stop), -1) << handle;
        EXPECT_EQ(stop, 0);
        EXPECT_EQ(x->winampGetExtendedRead_setTime(handle, 10), 0) << handle;
        x->winampGetExtendedRead_close(handle);
    }
    EXPECT_EQ(TrapCalls, 0);
    EXPECT_EQ(Calls(L"in_synthw.dll"), "");
    EXPECT_EQ(ReadAll(open), TonePcm(tone)); // the open read is untouched
    x->winampGetExtendedRead_close(open);
    EXPECT_EQ(Probe(L"in_synthw.dll").TotalCloses(), 2);
}

std::wstring FaultName(const wchar_t *marker, int length = 200) {
    return L"C:\\music\\tone_8000_1_16_" + std::to_wstring(length) + L"_1_" + marker + L".syf";
}

TEST_F(ExtendedExports, AFaultInsideAReadIsAnsweredAsItsEnd) {
    const PluginProbe faulty = Probe(L"in_faultinfo.dll");
    const intptr_t data = OpenW(FaultName(L"crash_data"));
    ASSERT_NE(data, 0);
    char buffer[400];
    int stop = 0;
    EXPECT_EQ(x->winampGetExtendedRead_getData(data, buffer, 400, &stop), -1);
    EXPECT_EQ(stop, 1);
    x->winampGetExtendedRead_close(data);
    EXPECT_EQ(x->winampGetExtendedRead_getData(data, buffer, 400, nullptr), -1); // ours is gone
    EXPECT_EQ(faulty.Count("ExtGetData"), 1);

    const intptr_t seek = [&] {
        host.Shutdown(); // a new run of the host: the plug-in is trusted again
        host.Start();
        host.Product()->IsOurFile(L"C:\\nobody.none");
        return OpenW(FaultName(L"crash_seek"));
    }();
    ASSERT_NE(seek, 0);
    EXPECT_EQ(x->winampGetExtendedRead_setTime(seek, 100), 0);
    EXPECT_EQ(x->winampGetExtendedRead_getData(seek, buffer, 400, &stop), -1);
}

// A plug-in that faulted may have died holding a lock of its own: nothing of ours enters it
// again in this run of the host, neither for the read that faulted, nor for its other reads,
// nor for new ones. The other plug-ins go on as before.
TEST_F(ExtendedExports, APlugInThatFaultedIsNotCalledAgain) {
    PluginProbe faulty = Probe(L"in_faultinfo.dll");
    const intptr_t other = OpenW(FaultName(L"plain", 300));
    const intptr_t crashing = OpenW(FaultName(L"crash_data"));
    const intptr_t healthy = OpenW(ToneName(8000, 1, 16, 200));
    ASSERT_NE(other, 0);
    ASSERT_NE(crashing, 0);
    ASSERT_NE(healthy, 0);
    char buffer[400];
    int stop = 0;
    EXPECT_EQ(x->winampGetExtendedRead_getData(crashing, buffer, 400, &stop), -1);
    EXPECT_EQ(stop, 1);
    faulty.ClearLog();

    stop = 0;
    EXPECT_EQ(x->winampGetExtendedRead_getData(other, buffer, 400, &stop), -1);
    EXPECT_EQ(stop, 1);
    EXPECT_EQ(x->winampGetExtendedRead_setTime(other, 100), 0);
    EXPECT_EQ(OpenW(FaultName(L"plain", 100)), 0);
    x->winampGetExtendedRead_close(crashing);
    x->winampGetExtendedRead_close(other);
    char ansi[32] = {};
    EXPECT_EQ(x->winampGetExtendedFileInfo(Ansi(FaultName(L"plain")).c_str(), "length", ansi, 32),
              0);
    // Still claimed, so that the host does not hand it to that plug-in itself; not played.
    EXPECT_EQ(host.Product()->IsOurFile(FaultName(L"plain").c_str()), 1);
    EXPECT_NE(host.Product()->Play(FaultName(L"plain").c_str()), 0);
    EXPECT_EQ(faulty.Log(), ""); // no call at all, not even a close
    host.Shutdown();
    EXPECT_EQ(faulty.Count("ExtClose"), 0); // nor at Quit: the two handles are left to it
    EXPECT_EQ(faulty.OpenReads(), 2);

    // The healthy plug-in's read was closed by Quit, after reading on undisturbed.
    EXPECT_EQ(Probe(L"in_synthw.dll").TotalCloses(), 1);
}

TEST_F(ExtendedExports, QuitClosesEveryReadStillOpenExactlyOnce) {
    std::vector<intptr_t> handles{OpenW(ToneName(8000, 1, 16, 100)),
                                  OpenW(ToneName(8000, 1, 16, 200)),
                                  OpenW(ToneName(8000, 1, 16, 100, L"sya")), OpenW(kAll)};
    for (const intptr_t handle : handles)
        ASSERT_NE(handle, 0);
    x->winampGetExtendedRead_close(handles[1]);
    // A second Init keeps what is open.
    host.Product()->Init();
    char buffer[64];
    EXPECT_EQ(x->winampGetExtendedRead_getData(handles[0], buffer, 64, nullptr), 64);

    host.Shutdown();
    EXPECT_EQ(Probe(L"in_synthw.dll").TotalCloses(), 2);
    EXPECT_EQ(Probe(L"in_syntha.dll").TotalCloses(), 1);
    EXPECT_EQ(Probe(L"in_extall.dll").TotalCloses(), 1);
    ClearLogs();
    for (const intptr_t handle : handles) {
        EXPECT_EQ(x->winampGetExtendedRead_getData(handle, buffer, 64, nullptr), -1);
        x->winampGetExtendedRead_close(handle);
    }
    EXPECT_EQ(OpenW(ToneName(8000, 1, 16, 100)), 0);
    for (const wchar_t *plugin : kCountedPlugins)
        EXPECT_EQ(Calls(plugin), "") << plugin;
}

// Host threads open and close reads at once, as a transcode does while a level scan runs, each
// keeping a hundred open so that the list is long: every read works until its own thread closes
// it, every third one is closed a second time, and each is also closed by another thread at about
// the moment its own thread closes it. Every read the owners opened reaches their close exactly
// once, and no other close reaches them.
// A crash of one of the threads below: the failure is printed and the program ends.
LONG WINAPI EndOnCrash(EXCEPTION_POINTERS *crash) {
    std::fprintf(stderr, "Failure: exception %08lX at %p while threads opened and closed reads\n",
                 crash->ExceptionRecord->ExceptionCode, crash->ExceptionRecord->ExceptionAddress);
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_EXECUTE_HANDLER;
}

TEST_F(ExtendedExports, ReadsOpenedAndClosedOnSeveralThreadsAtOnceAreEachClosedOnce) {
    // A list broken by two threads at once crashes a thread or sends it round for ever: either
    // fails here at once, not once Wine's debugger or the program's time limit gives up.
    const LPTOP_LEVEL_EXCEPTION_FILTER previous = SetUnhandledExceptionFilter(&EndOnCrash);
    constexpr int kThreads = 6;
    constexpr int kRounds = 3000;
    constexpr std::size_t kHeld = 100; // reads each thread keeps open
    std::vector<std::atomic<intptr_t>> closing(kThreads);
    std::atomic<int> opened{0}, unreadable{0}, ready{0}, finished{0};
    std::vector<std::thread> hosts;
    for (int t = 0; t < kThreads; ++t) {
        hosts.emplace_back([&, t] {
            const std::wstring tone = ToneName(8000, 1, 16, 100, t % 2 ? L"sya" : L"syw", t);
            std::deque<intptr_t> held;
            for (++ready; ready < kThreads;) // all start together
                std::this_thread::yield();
            for (int round = 0; round < kRounds || !held.empty(); ++round) {
                if (round < kRounds) {
                    held.push_back(OpenW(tone));
                    opened += held.back() != 0;
                }
                if (held.size() <= kHeld && round < kRounds)
                    continue;
                const intptr_t handle = held.front();
                held.pop_front();
                char buffer[64];
                if (x->winampGetExtendedRead_getData(handle, buffer, 64, nullptr) != 64)
                    ++unreadable;
                closing[t] = handle;
                x->winampGetExtendedRead_close(closing[(t + 1) % kThreads]);
                x->winampGetExtendedRead_close(handle);
                if (round % 3 == 0)
                    x->winampGetExtendedRead_close(handle);
            }
            ++finished;
        });
    }
    if (!host.WaitUntil([&] { return finished == kThreads; }, 60000)) {
        ADD_FAILURE() << "the threads opening and closing reads still run after a minute";
        std::fflush(stdout);
        TerminateProcess(GetCurrentProcess(), 1);
    }
    for (std::thread &thread : hosts)
        thread.join();
    SetUnhandledExceptionFilter(previous);

    EXPECT_EQ(opened, kThreads * kRounds);
    EXPECT_EQ(unreadable, 0);
    int opens = 0;
    for (const wchar_t *plugin : {L"in_synthw.dll", L"in_syntha.dll"}) {
        const PluginProbe probe = Probe(plugin);
        EXPECT_EQ(probe.OpenReads(), 0) << plugin; // before Quit could close what was lost
        EXPECT_EQ(probe.TotalCloses(), probe.TotalOpens()) << plugin;
        EXPECT_EQ(probe.BadCloses(), 0) << plugin;
        opens += probe.TotalOpens();
    }
    EXPECT_EQ(opens, kThreads * kRounds);
}

// A host thread transcodes through us with a decoder that asks the host's window something, while
// the host's own thread asks about ownership and file information: neither may wait for the
// other, so no lock of ours is held while the decoder runs.
TEST_F(ExtendedExports, ADecoderAskingTheHostWhileItsThreadAsksUsHangsNobody) {
    const std::wstring tone = ToneName(8000, 1, 16, 300);
    const intptr_t handle = OpenW(tone);
    ASSERT_NE(handle, 0);
    Probe(L"in_synthw.dll").Set("GetDataAsksHost", 1);
    std::atomic<int> read{-2};
    std::thread transcoder([&] {
        char buffer[64];
        int stop = 0;
        read = static_cast<int>(x->winampGetExtendedRead_getData(handle, buffer, 64, &stop));
    });
    Sleep(50); // the decoder waits for the host's thread by now
    EXPECT_EQ(host.Product()->IsOurFile(tone.c_str()), 1);
    wchar_t answer[32] = {};
    EXPECT_EQ(x->winampGetExtendedFileInfoW(tone.c_str(), "length", answer, 32), 1);
    EXPECT_TRUE(host.WaitUntil([&] { return read != -2; }));
    transcoder.join();
    EXPECT_EQ(read, 64);
    Probe(L"in_synthw.dll").Set("GetDataAsksHost", 0);
    x->winampGetExtendedRead_close(handle);
}

// The host's main thread quits while a host thread is inside a read: Quit waits for nobody, and
// the read, with its plug-in and library, lives until that call has returned; then it is closed
// once.
TEST_F(ExtendedExports, QuitWhileAHostThreadReadsClosesTheReadWhenTheCallReturns) {
    const std::wstring tone = ToneName(8000, 1, 16, 300);
    const intptr_t handle = OpenW(tone);
    ASSERT_NE(handle, 0);
    const PluginProbe plugin = Probe(L"in_synthw.dll");
    plugin.Set("GetDataAsksHost", 1);
    std::atomic<int> read{-2};
    std::thread transcoder([&] {
        char buffer[64];
        read = static_cast<int>(x->winampGetExtendedRead_getData(handle, buffer, 64, nullptr));
    });
    Sleep(50); // the decoder waits for the host's thread by now
    host.Product()->Quit();
    EXPECT_TRUE(host.WaitUntil([&] { return read != -2; }));
    transcoder.join();
    EXPECT_EQ(read, 64);
    EXPECT_EQ(plugin.TotalCloses(), 1);
    plugin.Set("GetDataAsksHost", 0);
}

// A host that quits the plug-in and starts it again (an uninstall undone, a restart of its
// plug-ins) finds nothing of the first run: no file of a request without a name, no write of a
// set made before, and a read handle kept from before never names a read of the new run.
TEST_F(ExtendedExports, AnotherInitRemembersNothingOfTheRunBefore) {
    const intptr_t before = OpenW(ToneName(8000, 1, 16, 100));
    ASSERT_NE(before, 0);
    wchar_t wide[32] = {};
    EXPECT_EQ(x->winampGetExtendedFileInfoW(kAll.c_str(), "artist", wide, 32), 1);
    EXPECT_EQ(x->winampSetExtendedFileInfoW(kAll.c_str(), "artist", L"a"), 1);
    host.Product()->Quit();
    host.Product()->Init();
    host.Product()->IsOurFile(L"C:\\nobody.none");
    ClearLogs();

    EXPECT_EQ(x->winampGetExtendedFileInfoW(L"", "artist", wide, 32), 0);
    EXPECT_EQ(x->winampWriteExtendedFileInfo(), 0);
    const intptr_t after = OpenW(ToneName(8000, 1, 16, 200));
    ASSERT_NE(after, 0);
    EXPECT_NE(after, before);
    char buffer[64];
    EXPECT_EQ(x->winampGetExtendedRead_getData(before, buffer, 64, nullptr), -1);
    x->winampGetExtendedRead_close(before);
    EXPECT_EQ(Probe(L"in_synthw.dll").OpenReads(), 1);
    EXPECT_EQ(x->winampGetExtendedRead_getData(after, buffer, 64, nullptr), 64);
    x->winampGetExtendedRead_close(after);
    EXPECT_EQ(Calls(L"in_extall.dll"), "");
}

// Readers on threads of their own decode files of three plug-ins while the engine plays a tone
// of one of them in real time; each read is closed by two threads at once.
TEST(ExtendedExportsDuringTheScan, HostThreadsAskingWhileTheRegistryFillsFindTheOwnerOrNobody) {
    RefHost host;
    host.InstallProduct();
    for (const wchar_t *plugin : {L"in_synthw.dll", L"in_syntha.dll", L"in_synthnx.dll",
                                  L"in_synthnoseek.dll", L"in_stream.dll", L"in_wavpcm.dll"})
        host.InstallPlugin(plugin);
    host.Start();
    const Exports x{host.Plugin(L"in_hvqblend.dll")->Library};
    const std::wstring file = L"C:\\m\\tone_8000_1_16_1234.syw";
    std::atomic<bool> scanned{false};
    std::atomic<int> wrong{0}, foundAfterScan{0};
    std::vector<std::thread> askers;
    for (int t = 0; t < 3; ++t) {
        askers.emplace_back([&] {
            for (int afterScan = 0; afterScan < 200;) {
                const bool wasScanned = scanned;
                wchar_t answer[64] = {};
                const int found = x.winampGetExtendedFileInfoW(file.c_str(), "length", answer, 64);
                if (found ? std::wstring(answer) != L"1234" : wasScanned)
                    ++wrong;
                if (wasScanned) {
                    ++afterScan;
                    foundAfterScan += found != 0;
                }
            }
        });
    }
    Sleep(20);
    EXPECT_EQ(host.Product()->IsOurFile(file.c_str()), 1); // the host's first question: the scan
    scanned = true;
    for (auto &asker : askers)
        asker.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(foundAfterScan, 3 * 200);
    host.Shutdown();
}

class ExtendedExportsInRealTime : public ExtendedExports {
  protected:
    void SetUp() override {
        host.UseOutput(std::make_unique<refhost::RecordingOutput>(1.0, 500));
        ExtendedExports::SetUp();
    }
};

TEST_F(ExtendedExportsInRealTime, SeveralThreadsReadWhileATrackPlays) {
    const std::wstring track = ToneName(44100, 2, 16, 1500, L"syw", 77);
    host.SetPlaylist({track});
    ASSERT_EQ(host.StartPlaying(0), 0);

    constexpr int kReaders = 4;
    constexpr int kRounds = 6;
    std::atomic<int> exact{0}, wrong{0}, finished{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < kReaders; ++r) {
        readers.emplace_back([&, r] {
            const wchar_t *extensions[] = {L"syw", L"sya", L"syx", L"syns"};
            for (int round = 0; round < kRounds; ++round) {
                const std::wstring name =
                    ToneName(22050, 2, 16, 400, extensions[(r + round) % 4], r * 100 + round);
                const intptr_t handle = OpenW(name);
                const bool same = handle != 0 && ReadAll(handle, 997 + 64 * r) == TonePcm(name);
                ++(same ? exact : wrong);
                std::thread twin([&] { x->winampGetExtendedRead_close(handle); });
                x->winampGetExtendedRead_close(handle);
                twin.join();
                char buffer[16];
                if (x->winampGetExtendedRead_getData(handle, buffer, 16, nullptr) != -1)
                    ++wrong;
            }
            ++finished;
        });
    }
    EXPECT_TRUE(host.WaitUntil([&] { return finished == kReaders && !host.IsPlaying(); }, 30000));
    for (std::thread &reader : readers)
        reader.join();
    EXPECT_EQ(exact, kReaders * kRounds);
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(host.Output().Pcm(), TonePcm(track));
    EXPECT_EQ(Probe(L"in_synthw.dll").Count("Play"), 0); // the engine played it itself
}

} // namespace
