// The module face as the host sees it: the record, the description, the export table, and the
// lifecycle of the global objects under Init and Quit.
#include "RefHost.h"
#include "hostlink/PluginError.h"
#include "globals/PluginGlobals.h"
#include "plugin/PluginModuleUnit.h"
#include "support/Library.h"

#include <gtest/gtest.h>

#include <future>
#include <map>

namespace {

using refhost::RefHost;

using support::Library;

// Every name of the module's export directory with the address it resolves to.
std::map<std::string, const void *> ExportTable(HMODULE module) {
    const auto *base = reinterpret_cast<const BYTE *>(module);
    const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
    const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS32 *>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY &entry =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    const auto *directory =
        reinterpret_cast<const IMAGE_EXPORT_DIRECTORY *>(base + entry.VirtualAddress);
    const auto *names = reinterpret_cast<const DWORD *>(base + directory->AddressOfNames);
    const auto *ordinals = reinterpret_cast<const WORD *>(base + directory->AddressOfNameOrdinals);
    const auto *functions = reinterpret_cast<const DWORD *>(base + directory->AddressOfFunctions);
    std::map<std::string, const void *> table;
    for (DWORD i = 0; i < directory->NumberOfNames; ++i)
        table[reinterpret_cast<const char *>(base + names[i])] = base + functions[ordinals[i]];
    return table;
}

const char *const kDataSymbols[] = {
    "ActiveHookedIn",      "WinAmpAPIMan",        "VersionReader1",  "VersionReader",
    "VersionReaderResult", "ThisLibraryFileName", "HookedInPlugins", "InPluginPlaybackThread",
    "PluginConfig",        "AboutForm",           "ConfigForm"};

TEST(ModuleRecord, IsTheSameRecordEveryCallFilledAsAtLoad) {
    Library library(L"in_hvqblend.dll");
    ASSERT_NE(library.Handle(), nullptr);
    In_Module *first = library.Module();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(library.Module(), first);

    EXPECT_EQ(first->version, 0x0F000100);
    EXPECT_EQ(first->FileExtensions[0], '\0');
    EXPECT_EQ(first->FileExtensions[1], '\0');
    EXPECT_EQ(first->hDllInstance, library.Handle());
    EXPECT_EQ(first->hMainWindow, nullptr);
    EXPECT_EQ(first->is_seekable, 1);
    EXPECT_EQ(first->UsesOutputPlug, 3);
    EXPECT_NE(first->Init, nullptr);
    EXPECT_NE(first->Quit, nullptr);
    EXPECT_NE(first->Config, nullptr);
    EXPECT_NE(first->About, nullptr);
    EXPECT_NE(first->Play, nullptr);
    EXPECT_NE(first->IsOurFile, nullptr);
    EXPECT_NE(first->EQSet, nullptr);
    // Host members stay for the host to fill.
    EXPECT_EQ(first->SAVSAInit, nullptr);
    EXPECT_EQ(first->dsp_dosamples, nullptr);
    EXPECT_EQ(first->SetInfo, nullptr);
    EXPECT_EQ(first->outMod, nullptr);
}

TEST(ModuleRecord, DescriptionCarriesTheFileVersionOfTheVersionResource) {
    Library product(L"in_hvqblend.dll");
    EXPECT_STREQ(product.Module()->description, "Halvern Q-Blend v" HVQ_PROJECT_VERSION);
    Library foreign(L"in_hvqblend_v2105.dll");
    EXPECT_STREQ(foreign.Module()->description, "Halvern Q-Blend v2.1.0.5");
    Library bare(L"in_hvqblend_noversion.dll");
    EXPECT_STREQ(bare.Module()->description, "Halvern Q-Blend");
}

// Reading a version resource loads and maps files: not under the loader lock, but at the host's
// first call, before it reads the description.
TEST(ModuleRecord, TheVersionIsReadAtTheHostsFirstCallNotAtLoad) {
    Library product(L"in_hvqblend.dll");
    const auto *result =
        static_cast<const TVersionReaderResult *>(product.Symbol("_VersionReaderResult"));
    ASSERT_NE(result, nullptr);
    EXPECT_FALSE(result->StringInfoRead);
    In_Module *record = product.Module();
    EXPECT_TRUE(result->StringInfoRead);
    EXPECT_STREQ(record->description, "Halvern Q-Blend v" HVQ_PROJECT_VERSION);
}

TEST(ModuleRecord, RemembersItsOwnFullPath) {
    Library product(L"in_hvqblend.dll");
    const auto *name = static_cast<const std::string *>(product.Symbol("_ThisLibraryFileName"));
    ASSERT_NE(name, nullptr);
    wchar_t expected[MAX_PATH] = {};
    GetModuleFileNameW(product.Handle(), expected, MAX_PATH);
    EXPECT_EQ(std::filesystem::path(*name), std::filesystem::path(expected));
}

TEST(ExportTable, HasEveryFunctionUnderBothNamesAndTheDataWithTheUnderscoreOnly) {
    Library product(L"in_hvqblend.dll");
    const auto table = ExportTable(product.Handle());
    ASSERT_TRUE(table.count("winampGetInModule2"));
    ASSERT_TRUE(table.count("_winampGetInModule2"));
    EXPECT_EQ(table.at("winampGetInModule2"), table.at("_winampGetInModule2"));
    EXPECT_EQ(table.at("winampGetInModule2"), product.Symbol("winampGetInModule2"));
    for (const char *name : kDataSymbols) {
        EXPECT_TRUE(table.count(std::string("_") + name)) << name;
        EXPECT_FALSE(table.count(name)) << name;
    }
    // Every function is there twice; the data once.
    std::size_t functions = 0;
    for (const auto &[name, address] : table) {
        if (name[0] != '_')
            ++functions;
    }
    EXPECT_EQ(table.size(), 2 * functions + std::size(kDataSymbols));
}

TEST(Lifecycle, InitMakesTheHostLinkAndQuitTakesItAway) {
    RefHost host;
    host.InstallProduct();
    host.Start();
    refhost::LoadedPlugin *plugin = host.Plugin(L"in_hvqblend.dll");
    ASSERT_NE(plugin, nullptr);
    auto *const *apiMan =
        reinterpret_cast<void *const *>(GetProcAddress(plugin->Library, "_WinAmpAPIMan"));
    ASSERT_NE(apiMan, nullptr);
    EXPECT_NE(*apiMan, nullptr);

    // The host link asked for the three windows and the version; the settings for their folder,
    // by the wide path this host offers.
    std::vector<std::pair<WPARAM, LPARAM>> asked;
    for (const auto &message : host.Messages())
        asked.emplace_back(message.WParam, message.LParam);
    const std::vector<std::pair<WPARAM, LPARAM>> expected{
        {0, 260}, {1, 260}, {2, 260}, {0, 0}, {0, 1334}};
    EXPECT_EQ(asked, expected);

    // A second Init creates nothing new.
    void *link = *apiMan;
    plugin->Module->Init();
    EXPECT_EQ(*apiMan, link);
    EXPECT_EQ(host.IpcMessages(0).size(), 1u);

    host.Shutdown();
    EXPECT_EQ(*apiMan, nullptr);
    plugin->Module->Quit(); // a second Quit finds nothing to destroy
    EXPECT_EQ(*apiMan, nullptr);
}

// Whether another thread can take the global lock within a second.
bool LockIsFree() {
    auto taken = std::async(std::launch::async, [] { GERCSBomb guard; });
    return taken.wait_for(std::chrono::seconds(1)) == std::future_status::ready;
}

TEST(Lifecycle, QuitWithoutInitDestroysNothingAndLeavesTheLockFree) {
    ASSERT_EQ(WinAmpAPIMan, nullptr);
    PluginQuit();
    EXPECT_EQ(WinAmpAPIMan, nullptr);
    EXPECT_TRUE(LockIsFree());
}

// A thread of the host may be waiting for the lock while Quit runs: the lock it waits on must
// still be there, and still the lock, when it gets its turn.
TEST(Lifecycle, AThreadWaitingForTheLockGetsItAfterQuit) {
    std::promise<void> waiting;
    std::future<void> entered;
    {
        GERCSBomb held;
        entered = std::async(std::launch::async, [&] {
            waiting.set_value();
            GERCSBomb guard;
        });
        waiting.get_future().wait();
        Sleep(100); // inside EnterCriticalSection by now
        PluginQuit();
    }
    EXPECT_EQ(entered.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_TRUE(LockIsFree());
}

struct InitFailure {
    std::optional<HWND> mainWindow;
    const char *message;
};

class FailedInit : public ::testing::TestWithParam<InitFailure> {};

TEST_P(FailedInit, ShowsTheMessageStoresNothingAndReleasesTheLock) {
    RefHost host;
    host.InstallProduct();
    host.State().GivenMainWindow = GetParam().mainWindow;
    refhost::MessageBoxWatcher watcher;
    host.Start(); // Init runs inside: its message box is closed by the watcher
    refhost::LoadedPlugin *plugin = host.Plugin(L"in_hvqblend.dll");
    ASSERT_NE(plugin, nullptr);

    const auto boxes = watcher.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].Text, GetParam().message);
    EXPECT_EQ(boxes[0].Caption, "Halvern Q-Blend");
    EXPECT_EQ(*reinterpret_cast<void *const *>(GetProcAddress(plugin->Library, "_WinAmpAPIMan")),
              nullptr);
    EXPECT_TRUE(host.Messages().empty()); // no window was asked anything
    host.Shutdown();
}

INSTANTIATE_TEST_SUITE_P(Lifecycle, FailedInit,
                         ::testing::Values(InitFailure{HWND(nullptr), "NULL Winamp Main HWND Var."},
                                           InitFailure{reinterpret_cast<HWND>(0x7FF0),
                                                       "Bad Winamp Main HWND Var."}));

TEST(Lifecycle, AFailedInitInTheCoreLeavesTheLockFree) {
    refhost::MessageBoxWatcher watcher;
    PluginModule.hMainWindow = nullptr;
    PluginInit();
    EXPECT_EQ(WinAmpAPIMan, nullptr);
    EXPECT_TRUE(LockIsFree());
    PluginQuit();
    EXPECT_TRUE(LockIsFree());
    ASSERT_EQ(watcher.Boxes().size(), 1u);
    EXPECT_EQ(watcher.Boxes()[0].Text, "NULL Winamp Main HWND Var.");
}

TEST(Lifecycle, QuitForgetsTheLastNamesAndThePendingWrite) {
    RefHost host;
    PluginModule.hMainWindow = host.MainWindow();
    PluginInit();
    LastClaimedFile = L"C:\\m\\claimed.syw";
    LastInfoFileName = L"C:\\m\\asked.syw";
    PendingWritePlugin = std::shared_ptr<THookedInPlugin>(
        reinterpret_cast<THookedInPlugin *>(&host), [](THookedInPlugin *) {});
    PluginQuit();
    EXPECT_EQ(LastClaimedFile, L"");
    EXPECT_EQ(LastInfoFileName, L"");
    EXPECT_EQ(PendingWritePlugin, nullptr);
    PluginModule.hMainWindow = nullptr;
}

TEST(Lifecycle, InitFromTheCoreKeepsTheHostLinkUntilQuit) {
    RefHost host;
    PluginModule.hMainWindow = host.MainWindow();
    PluginInit();
    ASSERT_NE(WinAmpAPIMan, nullptr);
    EXPECT_TRUE(LockIsFree());
    PluginQuit();
    EXPECT_EQ(WinAmpAPIMan, nullptr);
    EXPECT_TRUE(LockIsFree());
    PluginModule.hMainWindow = nullptr;
}

} // namespace
