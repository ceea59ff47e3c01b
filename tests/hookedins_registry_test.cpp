// The registry of hooked-in plug-ins against real test plug-ins in a folder of their own: the
// scan, the self-test, misbehaving libraries, IsOurFile taken over and given back, library
// references, and the choice of the owning plug-in for a file.
#include "hookedins_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

namespace {

using namespace hookedins_test;
namespace fs = std::filesystem;

TEST_F(Registry, HooksInTheInputPluginsBesideUsInListingOrder) {
    Install(L"in_synthnoseek.dll", L"in_hvqblend.dll"); // our own file, by its path
    Install(L"in_synthw.dll", L"in_a.dll");
    Install(L"in_syntha.dll", L"IN_B.DLL");
    Install(L"in_synthnx.dll", L"in_c.dll.bak");
    Install(L"in_synthnx.dll", L"xin_d.dll");
    Scan();

    EXPECT_EQ(Names(), (std::vector<std::string>{"in_a.dll", "in_b.dll"}));
    EXPECT_FALSE(IsLoaded(InFolder(L"in_c.dll.bak")));
    EXPECT_FALSE(IsLoaded(InFolder(L"xin_d.dll")));

    THookedInPlugin &wide = Hooked("in_a.dll");
    THookedInPlugin &ansi = Hooked("in_b.dll");
    HeldLibrary a(InFolder(L"in_a.dll"));
    EXPECT_EQ(wide.Module, a.Module()); // the record the library hands everybody
    EXPECT_EQ(wide.Owner, registry.get());
    EXPECT_TRUE(wide.IsUnicode);
    EXPECT_FALSE(ansi.IsUnicode);
    EXPECT_TRUE(wide.UsesOutputPlugin);
    EXPECT_EQ(wide.Extensions, "syw;");
    EXPECT_EQ(ansi.Extensions, "sya;");
    ASSERT_EQ(wide.Items.size(), 1u);
    EXPECT_EQ(wide.Items[0].Pattern, "SYW");
    EXPECT_EQ(wide.Items[0].Description, "Synthetic tone (*.SYW)");

    // The copy is the record as it was, before IsOurFile was replaced.
    In_Module record = *wide.Module;
    EXPECT_NE(record.IsOurFile, wide.ModuleCopy.IsOurFile);
    record.IsOurFile = wide.ModuleCopy.IsOurFile;
    EXPECT_EQ(std::memcmp(&record, &wide.ModuleCopy, sizeof record), 0);
}

// The self-test looks at the path alone, so any library may stand in for our own file here.
TEST_F(Registry, RecognisesItsOwnFileInEverySpelling) {
    Install(L"in_synthw.dll", L"in_ourselves.dll");
    Install(L"in_syntha.dll");
    const std::wstring own = InFolder(L"in_ourselves.dll").wstring();
    wchar_t shortForm[MAX_PATH] = {};
    ASSERT_NE(GetShortPathNameW(own.c_str(), shortForm, MAX_PATH), 0u);
    ASSERT_NE(std::wstring(shortForm), own);
    std::wstring upper = own;
    CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
    const std::wstring roundabout = (Folder() / L".." / L"Plugins" / L"in_ourselves.dll").wstring();

    for (const std::wstring &spelling : {own, upper, std::wstring(shortForm), roundabout}) {
        Scan(ToAnsi(spelling));
        EXPECT_EQ(Names(), std::vector<std::string>{"in_syntha.dll"}) << ToAnsi(spelling);
        registry.reset();
    }
    // Under another name it is just another plug-in: the loop above would have seen it.
    Scan(ToAnsi(InFolder(L"in_other.dll").wstring()));
    EXPECT_EQ(Names(), (std::vector<std::string>{"in_ourselves.dll", "in_syntha.dll"}));
}

// Two copies of this plug-in would hand each other's files and calls back and forth forever.
TEST_F(Registry, LeavesOutEveryCopyOfThisPlugin) {
    Install(L"in_hvqblend.dll");
    Install(L"in_hvqblend.dll", L"in_hvqblend_old.dll");
    Install(L"in_hvqblend_v2105.dll");
    Install(L"in_synthw.dll");
    Scan();
    EXPECT_EQ(Names(), std::vector<std::string>{"in_synthw.dll"});
    for (const wchar_t *copy :
         {L"in_hvqblend.dll", L"in_hvqblend_old.dll", L"in_hvqblend_v2105.dll"})
        EXPECT_FALSE(IsLoaded(InFolder(copy))) << ToAnsi(copy);
}

TEST_F(Registry, LeavesOutLibrariesWithoutAUsableRecordReleasesThemAndTellsNobody) {
    refhost::MessageBoxWatcher watcher;
    Install(L"in_noexport.dll");
    Install(L"in_nullrec.dll");
    Install(L"in_badext.dll");
    Install(L"in_synthw.dll");
    std::ofstream(InFolder(L"in_notalibrary.dll"), std::ios::binary) << "MZ but nothing more";
    HeldLibrary noExport(InFolder(L"in_noexport.dll"));
    HeldLibrary nullRecord(InFolder(L"in_nullrec.dll"));
    ASSERT_TRUE(noExport.Handle() && nullRecord.Handle());

    Scan();
    // The faulting extension list was read under the guard: hooked in, with an empty list.
    EXPECT_EQ(Names(), (std::vector<std::string>{"in_badext.dll", "in_synthw.dll"}));
    EXPECT_EQ(Hooked("in_badext.dll").Extensions, "");
    EXPECT_TRUE(Hooked("in_badext.dll").Items.empty());
    EXPECT_EQ(TestPluginProbe(nullRecord.Handle()).Count("winampGetInModule2"), 2); // host, us

    // Only our own references are left: the scan released each library it could not use.
    noExport.Release();
    nullRecord.Release();
    EXPECT_FALSE(IsLoaded(InFolder(L"in_noexport.dll")));
    EXPECT_FALSE(IsLoaded(InFolder(L"in_nullrec.dll")));
    EXPECT_TRUE(watcher.Boxes().empty());

    // The registry stays usable; the plug-in without a readable list is found by its own test.
    EXPECT_EQ(OwnerOf(L"C:\\m\\tone_8000_1_16_100.syw"), "in_synthw.dll");
    EXPECT_EQ(OwnerOf(L"C:\\m\\x.syb"), "(none)");
    Probe("in_badext.dll").Set("IsOurFile", 1);
    EXPECT_EQ(OwnerOf(L"C:\\m\\x.syb"), "in_badext.dll");
}

TEST_F(Registry, ScansOnceAndFailsOnlyWithoutAFolder) {
    Scan();
    EXPECT_TRUE(registry->Plugins.empty());
    EXPECT_TRUE(registry->Scanned);
    Install(L"in_synthw.dll");
    EXPECT_TRUE(registry->LoadAll());
    EXPECT_TRUE(registry->Plugins.empty());

    THookedInPlugins withoutFolder("in_hvqblend.dll");
    EXPECT_FALSE(withoutFolder.LoadAll());
    EXPECT_TRUE(withoutFolder.LoadAll());
    EXPECT_TRUE(withoutFolder.Plugins.empty());
}

TEST_F(Registry, TakesOverIsOurFileWhileHookedInAndGivesItBack) {
    Install(L"in_synthw.dll");
    Install(L"in_syntha.dll");
    HeldLibrary wideLibrary(InFolder(L"in_synthw.dll"));
    HeldLibrary ansiLibrary(InFolder(L"in_syntha.dll"));
    In_Module *wide = wideLibrary.Module();
    In_Module *ansi = ansiLibrary.Module();
    const auto ownWide = wide->IsOurFile;
    const auto ownAnsi = ansi->IsOurFile;
    const TestPluginProbe probe = TestPluginProbe(wideLibrary.Handle());
    probe.Set("IsOurFile", 1);

    Scan();
    // Whoever asks the shared record is refused, and the plug-in itself is not even asked.
    EXPECT_NE(wide->IsOurFile, ownWide);
    EXPECT_NE(ansi->IsOurFile, ownAnsi);
    EXPECT_NE(wide->IsOurFile, ansi->IsOurFile); // one replacement per name form
    const int asked = probe.Count("IsOurFile");
    EXPECT_EQ(wide->IsOurFile(L"C:\\m\\tone_8000_1_16_100.syw"), 0);
    EXPECT_EQ(ansi->IsOurFile("C:\\m\\tone_8000_1_16_100.sya"), 0);
    EXPECT_EQ(probe.Count("IsOurFile"), asked);
    EXPECT_EQ(Hooked("in_synthw.dll").SavedIsOurFile.load(), ownWide);
    // Our own lookups still go to the plug-in's own test.
    EXPECT_EQ(OwnerOf(L"http://anything"), "in_synthw.dll");
    EXPECT_EQ(probe.Count("IsOurFile"), asked + 1);

    registry->RestoreAllIsOurFile();
    EXPECT_EQ(wide->IsOurFile, ownWide);
    EXPECT_EQ(ansi->IsOurFile, ownAnsi);
    EXPECT_EQ(Hooked("in_synthw.dll").SavedIsOurFile.load(), nullptr);
    EXPECT_EQ(OwnerOf(L"http://anything"), "in_synthw.dll"); // through the record now
    registry.reset();
    EXPECT_EQ(wide->IsOurFile, ownWide);
    EXPECT_EQ(ansi->IsOurFile, ownAnsi);
}

TEST_F(Registry, KeepsOutOfAPluginThatDoesNotUseTheOutput) {
    Install(L"in_synthw.dll");
    HeldLibrary library(InFolder(L"in_synthw.dll"));
    In_Module *record = library.Module();
    const auto own = record->IsOurFile;
    record->UsesOutputPlug = 0; // as a plug-in that plays on its own would declare

    Scan();
    THookedInPlugin &plugin = Hooked("in_synthw.dll");
    EXPECT_FALSE(plugin.UsesOutputPlugin);
    EXPECT_FALSE(plugin.CanExtendedRead);
    EXPECT_EQ(plugin.SavedIsOurFile.load(), nullptr);
    EXPECT_EQ(record->IsOurFile, own);
    TestPluginProbe(library.Handle()).Set("IsOurFile", 1);
    EXPECT_EQ(OwnerOf(L"strm://x"), "in_synthw.dll");
    registry.reset();
    EXPECT_EQ(record->IsOurFile, own);
    record->UsesOutputPlug = hostapi::kUsesOutputPlugin;
}

TEST_F(Registry, HoldsOneLoadReferencePerPluginAndReleasesIt) {
    Install(L"in_synthw.dll");
    Install(L"in_syntha.dll");
    Scan();
    hostsLibraries.clear(); // the host lets go of its own references

    // The registry's own reference keeps the library, and the plug-in works.
    EXPECT_TRUE(IsLoaded(InFolder(L"in_synthw.dll")));
    EXPECT_EQ(OwnerOf(L"C:\\m\\tone_8000_1_16_100.syw"), "in_synthw.dll");
    registry.reset();
    EXPECT_FALSE(IsLoaded(InFolder(L"in_synthw.dll")));
    EXPECT_FALSE(IsLoaded(InFolder(L"in_syntha.dll")));
}

// A library nobody loaded, one the host refused (it gave a record of a version the host does not
// take, or no record) and a record nobody filled are left alone: their plug-ins were never
// initialised and would call through a null SAVSAInit or post to window 0.
TEST_F(Registry, HooksInOnlyWhatTheHostLoadedAndInitialised) {
    Install(L"in_synthw.dll");
    Install(L"in_nullrec.dll");
    HostLoads();
    Install(L"in_syntha.dll");  // after the host's start: nobody loaded it
    Install(L"in_synthnx.dll"); // loaded by somebody, its record left empty
    Install(L"in_stream.dll");  // filled, but without the visualisation members
    HeldLibrary unfilled(InFolder(L"in_synthnx.dll"));
    In_Module *empty = unfilled.Module();
    const auto ownIsOurFile = empty->IsOurFile;
    HeldLibrary partly(InFolder(L"in_stream.dll"));
    hostpart::FillHostMembers(*partly.Module(), host.MainWindow());
    partly.Module()->SAVSAInit = nullptr;

    Scan();
    EXPECT_EQ(Names(), std::vector<std::string>{"in_synthw.dll"});
    EXPECT_FALSE(IsLoaded(InFolder(L"in_syntha.dll"))); // we load nothing ourselves
    EXPECT_FALSE(IsLoaded(InFolder(L"in_nullrec.dll")));
    EXPECT_EQ(empty->IsOurFile, ownIsOurFile); // its record is not touched
    EXPECT_EQ(OwnerOf(L"C:\\m\\tone_8000_1_8_100.sya"), "(none)");
    EXPECT_EQ(OwnerOf(L"C:\\m\\tone_8000_1_8_100.synx"), "(none)");
    // Our references on the two left out went with them.
    unfilled.Release();
    partly.Release();
    EXPECT_FALSE(IsLoaded(InFolder(L"in_synthnx.dll")));
    EXPECT_FALSE(IsLoaded(InFolder(L"in_stream.dll")));
    EXPECT_TRUE(IsLoaded(InFolder(L"in_synthw.dll")));
}

struct Flavour {
    const wchar_t *library;
    bool openW, openA, setTime, infoW, infoA, canExtendedRead;
};

TEST_F(Registry, LooksUpTheExtendedEntryPointsOfEachFlavour) {
    const Flavour flavours[] = {
        {L"in_synthw.dll", true, false, true, true, false, true},
        {L"in_syntha.dll", false, true, true, false, true, true},
        {L"in_synthnoseek.dll", true, false, false, true, false, true}, // setTime is optional
        {L"in_synthnx.dll", false, false, false, true, false, false},
        {L"in_stream.dll", false, false, false, true, false, false},
    };
    for (const Flavour &flavour : flavours)
        Install(flavour.library);
    Scan();
    for (const Flavour &flavour : flavours) {
        const THookedInPlugin &plugin = Hooked(ToAnsi(flavour.library));
        SCOPED_TRACE(plugin.Name);
        const HMODULE library = plugin.Library.Handle();
        const auto exported = [&](const char *name) {
            return reinterpret_cast<void *>(GetProcAddress(library, name));
        };
        EXPECT_EQ(plugin.ExtendedReadOpenW != nullptr, flavour.openW);
        EXPECT_EQ(plugin.ExtendedReadOpen != nullptr, flavour.openA);
        EXPECT_EQ(plugin.ExtendedReadSetTime != nullptr, flavour.setTime);
        EXPECT_EQ(plugin.GetExtendedFileInfoW != nullptr, flavour.infoW);
        EXPECT_EQ(plugin.GetExtendedFileInfo != nullptr, flavour.infoA);
        EXPECT_EQ(plugin.CanExtendedRead, flavour.canExtendedRead);
        EXPECT_EQ(reinterpret_cast<void *>(plugin.ExtendedReadGetData),
                  exported("winampGetExtendedRead_getData"));
        EXPECT_EQ(reinterpret_cast<void *>(plugin.ExtendedReadClose),
                  exported("winampGetExtendedRead_close"));
        EXPECT_EQ(plugin.ExtendedReadOpenWFloat, nullptr);
        EXPECT_EQ(plugin.UseUnifiedFileInfoDlg, nullptr);
    }
}

// Three plug-ins claim by extension, one (the stream player) only by its own test.
class Resolution : public Registry {
  protected:
    void SetUp() override {
        Install(L"in_synthw.dll", L"in_a.dll");
        Install(L"in_syntha.dll", L"in_b.dll");
        Install(L"in_stream.dll", L"in_c.dll");
        Install(L"in_synthw.dll", L"in_d.dll"); // lists "syw" as well, after in_a
        Scan();
        for (const char *name : {"in_a.dll", "in_b.dll", "in_c.dll", "in_d.dll"})
            Probe(name).ClearLog();
    }
};

TEST_F(Resolution, MatchesExtensionsInAnyCaseAndOnlyAfterTheLastDot) {
    EXPECT_EQ(OwnerOf(L"C:\\music\\Song.SYW"), "in_a.dll");
    EXPECT_EQ(OwnerOf(L"song.syw"), "in_a.dll");
    EXPECT_EQ(OwnerOf(L"C:\\music\\a.syw.sya"), "in_b.dll");
    EXPECT_EQ(OwnerOf(L"C:\\music\\a.sya.gz"), "(none)");
    EXPECT_EQ(OwnerOf(L"C:\\music.syw\\song"), "(none)"); // the dot lies before the last '\'
    EXPECT_EQ(OwnerOf(L"C:\\music\\x.yw"), "(none)");     // only a whole pattern matches
    EXPECT_EQ(OwnerOf(L"some.host/live"), "(none)");
}

TEST_F(Resolution, ANameWithoutAListedExtensionIsFoundOnlyThroughSomeonesOwnTest) {
    EXPECT_EQ(OwnerOf(L"http://radio.example/live"), "in_c.dll");
    EXPECT_EQ(OwnerOf(L"STRM://x.syw"), "in_a.dll"); // in_a matches by extension first
    EXPECT_EQ(OwnerOf(L"ftp://radio.example/live"), "(none)");
}

TEST_F(Resolution, AnEarlierExtensionMatchWinsOverALaterOwnTest) {
    Probe("in_d.dll").Set("IsOurFile", 1);
    EXPECT_EQ(OwnerOf(L"C:\\m\\tone_8000_1_16_100.syw"), "in_a.dll");
    EXPECT_EQ(Probe("in_a.dll").Count("IsOurFile"), 1);
    EXPECT_EQ(Probe("in_d.dll").Count("IsOurFile"), 0);
    // Every plug-in before the winner is asked once per lookup, nothing is cached.
    EXPECT_EQ(OwnerOf(L"C:\\m\\other.xyz"), "in_d.dll");
    EXPECT_EQ(OwnerOf(L"C:\\m\\other.xyz"), "in_d.dll");
    for (const char *name : {"in_a.dll", "in_b.dll", "in_c.dll"})
        EXPECT_EQ(Probe(name).Count("IsOurFile"), name == std::string("in_a.dll") ? 3 : 2) << name;
}

TEST_F(Resolution, AsksEachPluginWithTheNameInItsOwnForm) {
    const std::wstring name = L"C:\\m\u00FAsica\\no.match";
    EXPECT_EQ(OwnerOf(name), "(none)");
    const std::string line = "IsOurFile(" + ToUtf8(name) + ")\n";
    EXPECT_EQ(Probe("in_a.dll").Log(), line); // wide, as it was
    EXPECT_EQ(Probe("in_b.dll").Log(), line); // through the ANSI code page and back
    // A character the ANSI code page lacks reaches the ANSI plug-in as the system replaces it.
    Probe("in_b.dll").ClearLog();
    EXPECT_EQ(OwnerOf(L"C:\\\u0416.match"), "(none)");
    EXPECT_EQ(Probe("in_b.dll").Log(), "IsOurFile(" + ToUtf8(L"C:\\?.match") + ")\n");
}

TEST_F(Resolution, NullOrEmptyNamesFindNobodyWithoutAskingAnybody) {
    EXPECT_EQ(registry->FindForFile(nullptr), nullptr);
    EXPECT_EQ(registry->FindForFile(L""), nullptr);
    for (const char *name : {"in_a.dll", "in_b.dll", "in_c.dll", "in_d.dll"})
        EXPECT_EQ(Probe(name).Count("IsOurFile"), 0) << name;
}

} // namespace
