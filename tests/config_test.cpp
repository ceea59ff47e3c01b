// The settings store: the value rules of its file, the store against real files in a temporary
// settings folder, and the store as Init and Quit of the plug-in create and destroy it.
#include "RefHost.h"
#include "config/PluginConfigUnit.h"
#include "hostlink/PluginError.h"
#include "hostlink/TextConvert.h"
#include "hostlink/WinAmpAPIUnit.h"
#include "support/FileBytes.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <limits>

namespace {

namespace fs = std::filesystem;
using refhost::RefHost;

using KeyValues = std::vector<std::pair<std::string, std::string>>;

const KeyValues kDefaultKeys = {{"FadeTime", "5000"},
                                {"MinFileSize", "10000"},
                                {"LogTrans", "0"},
                                {"PlaybackThreadPriority", "Higher"}};

std::string Ansi(const fs::path &path) {
    return WideToAnsi(path.wstring());
}

using support::ReadBytes;
using support::WriteBytes;

std::vector<std::string> Lines(const std::string &bytes) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = bytes.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(bytes.substr(start, end - start));
    if (start < bytes.size())
        lines.push_back(bytes.substr(start));
    return lines;
}

// What the system's own private-profile functions write for these keys into a new file.
std::string WrittenBySystem(const fs::path &scratchFolder, const KeyValues &keys) {
    const fs::path scratch = scratchFolder / L"reference.ini";
    fs::create_directories(scratchFolder);
    fs::remove(scratch);
    for (const auto &[key, value] : keys)
        EXPECT_TRUE(WritePrivateProfileStringA("HVQBlend", key.c_str(), value.c_str(),
                                               Ansi(scratch).c_str()));
    std::string bytes = ReadBytes(scratch);
    fs::remove(scratch);
    return bytes;
}

// One key of a settings file as the system's private-profile functions read it.
std::string Value(const fs::path &file, const char *key) {
    char value[256] = {};
    GetPrivateProfileStringA("HVQBlend", key, "<missing>", value, sizeof value, Ansi(file).c_str());
    return value;
}

std::vector<std::string> ExpectedLines(const KeyValues &keys) {
    std::vector<std::string> lines{"[HVQBlend]"};
    for (const auto &[key, value] : keys)
        lines.push_back(key + "=" + value);
    return lines;
}

// A settings file nobody may write: read-only, and held open by a reader that denies writers.
// The attribute alone would do on Windows, but not for root under Wine, where tests may run.
class UnwritableFile {
  public:
    explicit UnwritableFile(const fs::path &file) : file_(file) {
        SetFileAttributesW(file_.c_str(), FILE_ATTRIBUTE_READONLY);
        reader_ = CreateFileW(file_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    }
    ~UnwritableFile() {
        CloseHandle(reader_);
        SetFileAttributesW(file_.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    UnwritableFile(const UnwritableFile &) = delete;
    UnwritableFile &operator=(const UnwritableFile &) = delete;
    bool Holds() const { return reader_ != INVALID_HANDLE_VALUE; }

  private:
    fs::path file_;
    HANDLE reader_;
};

// The host's settings folder for one test, apart from the reference host's folder: its name is
// never reused, so a run that ends inside a test (leaving a read-only file behind) cannot spoil
// a later one, and its read-only files are made writable again before it is removed.
class ScratchSettingsFolder {
  public:
    ScratchSettingsFolder() {
        wchar_t temp[MAX_PATH + 1] = {};
        GetTempPathW(MAX_PATH, temp);
        LARGE_INTEGER now{};
        QueryPerformanceCounter(&now);
        root_ = fs::path(temp) / (L"hvq-settings-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                  std::to_wstring(now.QuadPart));
    }
    ~ScratchSettingsFolder() {
        std::error_code ignored;
        for (const auto &entry : fs::recursive_directory_iterator(root_, ignored))
            SetFileAttributesW(entry.path().c_str(), FILE_ATTRIBUTE_NORMAL);
        fs::remove_all(root_, ignored);
    }
    ScratchSettingsFolder(const ScratchSettingsFolder &) = delete;
    ScratchSettingsFolder &operator=(const ScratchSettingsFolder &) = delete;
    // Two levels that do not exist yet: the store creates them with the Plugins folder.
    fs::path Folder() const { return root_ / L"Profile" / L"Player"; }

  private:
    fs::path root_;
};

// ---------------------------------------------------------------------------------------------
// The value rules

TEST(PriorityLevels, EachLevelHasItsNameAndThreadPriority) {
    struct Level {
        TPriorityLevel level;
        const char *name;
        int threadPriority;
    };
    const Level levels[] = {{TPriorityLevel::Idle, "Idle", -15},
                            {TPriorityLevel::Lowest, "Lowest", -2},
                            {TPriorityLevel::Lower, "Lower", -1},
                            {TPriorityLevel::Normal, "Normal", 0},
                            {TPriorityLevel::Higher, "Higher", 1},
                            {TPriorityLevel::Highest, "Highest", 2},
                            {TPriorityLevel::TimeCritical, "TimeCritical", 15}};
    for (int position = 0; position < kPriorityLevelCount; ++position) {
        const Level &expected = levels[position];
        EXPECT_EQ(static_cast<int>(expected.level), position);
        EXPECT_STREQ(PriorityLevelToName(expected.level), expected.name);
        EXPECT_EQ(PriorityLevelFromName(expected.name), expected.level);
        EXPECT_EQ(PriorityLevelToThreadPriority(expected.level), expected.threadPriority);
    }
    for (const int outside : {7, 200, 255}) {
        EXPECT_STREQ(PriorityLevelToName(static_cast<TPriorityLevel>(outside)), "Normal");
        EXPECT_EQ(PriorityLevelToThreadPriority(static_cast<TPriorityLevel>(outside)), 0);
    }
}

TEST(PriorityLevels, AnythingButAnExactNameIsNormal) {
    for (const char *name : {"higher", "HIGHER", " Higher", "Higher ", "", "Realtime", "4"})
        EXPECT_EQ(PriorityLevelFromName(name), TPriorityLevel::Normal) << '"' << name << '"';
}

TEST(IniIntegers, DecimalAndHexadecimalFormsAreIntegers) {
    const std::pair<const char *, std::int32_t> integers[] = {
        {"5000", 5000},
        {"-250", -250},
        {"+7", 7},
        {"007", 7},
        {"0", 0},
        {"2147483647", std::numeric_limits<std::int32_t>::max()},
        {"-2147483648", std::numeric_limits<std::int32_t>::min()},
        {"0x1F4", 500},
        {"0X1f4", 500},
        {"0x0", 0},
        {"0x7FFFFFFF", std::numeric_limits<std::int32_t>::max()},
        {"0xFFFFFFFF", -1},
        {"0x00000000001F4", 500}};
    for (const auto &[text, value] : integers) {
        const auto parsed = ParseIniInteger(text);
        ASSERT_TRUE(parsed.has_value()) << text;
        EXPECT_EQ(*parsed, value) << text;
    }
}

TEST(IniIntegers, AnythingElseIsNoInteger) {
    for (const char *text : {"",
                             "abc",
                             "12a",
                             "1e3",
                             "-",
                             "+",
                             " 5",
                             "5 ",
                             "--5",
                             "0x",
                             "0X",
                             "0x-1",
                             "0xG",
                             "0x 1",
                             "-0x10",
                             "2147483648",
                             "-2147483649",
                             "0x100000000",
                             "99999999999999999999",
                             "1.5",
                             "$1F4"})
        EXPECT_FALSE(ParseIniInteger(text).has_value()) << '"' << text << '"';
}

// ---------------------------------------------------------------------------------------------
// The store against the files of a temporary settings folder

class SettingsStore : public ::testing::Test {
  protected:
    void SetUp() override {
        host.State().IniPath = Ansi(SettingsFolder() / L"winamp.ini");
        module.hMainWindow = host.MainWindow();
        link = std::make_unique<TWinAmpAPIMan>(&module);
    }
    fs::path SettingsFolder() const { return scratch.Folder(); }
    fs::path IniFile() const { return SettingsFolder() / L"Plugins" / L"HVQBlend.ini"; }
    fs::path OlderFile() const { return SettingsFolder() / L"HVQBlend.ini"; }
    std::unique_ptr<TPluginConfig> MakeStore() {
        return std::make_unique<TPluginConfig>(link.get(), Ansi(host.PluginsFolder() / L"x.dll"));
    }
    std::string Value(const char *key) const { return ::Value(IniFile(), key); }

    ScratchSettingsFolder scratch;
    RefHost host;
    In_Module module{};
    std::unique_ptr<TWinAmpAPIMan> link;
};

struct FileCase {
    const char *name;
    const char *content; // the file's lines after the section header
    std::int32_t fadeTime;
    std::int32_t minFileSize;
    bool logTrans;
    TPriorityLevel priority;
};

class ValueRules : public SettingsStore, public ::testing::WithParamInterface<FileCase> {};

TEST_P(ValueRules, ReadTheFileAsWrittenByHand) {
    const FileCase &file = GetParam();
    WriteBytes(IniFile(), std::string("[HVQBlend]\r\n") + file.content);
    auto store = MakeStore();
    EXPECT_EQ(store->FadeTime(), file.fadeTime);
    EXPECT_EQ(store->MinFileSize(), file.minFileSize);
    EXPECT_EQ(store->LogTrans(), file.logTrans);
    EXPECT_EQ(store->PlaybackThreadPriority(), file.priority);

    // Written back in the store's own form.
    store.reset();
    EXPECT_EQ(Value("FadeTime"), std::to_string(file.fadeTime));
    EXPECT_EQ(Value("MinFileSize"), std::to_string(file.minFileSize));
    EXPECT_EQ(Value("LogTrans"), file.logTrans ? "1" : "0");
    EXPECT_EQ(Value("PlaybackThreadPriority"), PriorityLevelToName(file.priority));
}

constexpr auto kHigher = TPriorityLevel::Higher;
constexpr auto kNormal = TPriorityLevel::Normal;

INSTANTIATE_TEST_SUITE_P(
    SettingsStore, ValueRules,
    ::testing::Values(
        FileCase{"AllFour",
                 "FadeTime=3000\r\nMinFileSize=9000\r\nLogTrans=1\r\n"
                 "PlaybackThreadPriority=TimeCritical\r\n",
                 3000, 9000, true, TPriorityLevel::TimeCritical},
        FileCase{"HexadecimalFadeTime", "FadeTime=0x1F4\r\n", 500, 10000, false, kHigher},
        FileCase{"FadeTimeNoNumber", "FadeTime=abc\r\n", 5000, 10000, false, kHigher},
        FileCase{"FadeTimeEmpty", "FadeTime=\r\n", 5000, 10000, false, kHigher},
        FileCase{"NoRangeEnforced", "FadeTime=-40\r\nMinFileSize=2000000000\r\n", -40, 2000000000,
                 false, kHigher},
        FileCase{"LogTransTwoIsTrue", "LogTrans=2\r\n", 5000, 10000, true, kHigher},
        FileCase{"LogTransNoNumberKeepsFalse", "LogTrans=yes\r\n", 5000, 10000, false, kHigher},
        FileCase{"PriorityInLowerCase", "PlaybackThreadPriority=higher\r\n", 5000, 10000, false,
                 kNormal},
        FileCase{"PriorityEmpty", "PlaybackThreadPriority=\r\n", 5000, 10000, false, kNormal},
        FileCase{"PriorityMissing", "FadeTime=4000\r\n", 4000, 10000, false, kHigher},
        FileCase{"KeysInAnyCase", "fadetime=1234\r\nLOGTRANS=1\r\n", 1234, 10000, true, kHigher}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(SettingsStore, EveryChangedSettingIsWrittenAtOnceWithAllFourKeys) {
    auto store = MakeStore();
    store->SetFadeTime(6000);
    EXPECT_EQ(store->FadeTime(), 6000);
    EXPECT_EQ(Lines(ReadBytes(IniFile())), ExpectedLines({{"FadeTime", "6000"},
                                                          {"MinFileSize", "10000"},
                                                          {"LogTrans", "0"},
                                                          {"PlaybackThreadPriority", "Higher"}}));
    store->SetMinFileSize(-1);
    EXPECT_EQ(Value("MinFileSize"), "-1");
    store->SetLogTrans(true);
    EXPECT_EQ(Value("LogTrans"), "1");
    store->SetPlaybackThreadPriority(TPriorityLevel::TimeCritical);
    EXPECT_EQ(Value("PlaybackThreadPriority"), "TimeCritical");
    EXPECT_EQ(store->PlaybackThreadPriority(), TPriorityLevel::TimeCritical);
}

TEST_F(SettingsStore, AValueSetToWhatItWasWritesNothing) {
    auto store = MakeStore();
    store->SetFadeTime(5000);
    store->SetMinFileSize(10000);
    store->SetLogTrans(false);
    store->SetPlaybackThreadPriority(TPriorityLevel::Higher);
    EXPECT_FALSE(fs::exists(IniFile()));

    // An edit made while the store runs stays until the next real change overwrites it.
    store->SetFadeTime(6000);
    const std::string edited = "[HVQBlend]\r\nFadeTime=1\r\n";
    WriteBytes(IniFile(), edited);
    store->SetFadeTime(6000);
    store->SetMinFileSize(10000);
    store->SetLogTrans(false);
    store->SetPlaybackThreadPriority(TPriorityLevel::Higher);
    EXPECT_EQ(ReadBytes(IniFile()), edited);
    store->SetLogTrans(true);
    EXPECT_EQ(Value("FadeTime"), "6000");
    EXPECT_EQ(Value("PlaybackThreadPriority"), "Higher");
}

// ---------------------------------------------------------------------------------------------
// The transition options after the four keys

TEST_F(SettingsStore, AFileOfTheFourKeysReadsAsBeforeAndIsWrittenBackWithoutTheOptions) {
    const std::string four = "[HVQBlend]\r\nFadeTime=3000\r\nMinFileSize=9000\r\nLogTrans=1\r\n"
                             "PlaybackThreadPriority=Lower\r\n";
    WriteBytes(IniFile(), four);
    auto store = MakeStore();
    EXPECT_FALSE(store->EqualPowerTrans());
    EXPECT_FALSE(store->SkipFade());
    EXPECT_EQ(store->SkipFadeTime(), 1000);
    EXPECT_FALSE(store->FadeAcrossFormats());
    EXPECT_FALSE(store->SkipSilence());
    EXPECT_EQ(store->SilenceThresholdDb(), -50);
    EXPECT_FALSE(store->FadeOverOwnFadeOut());
    EXPECT_EQ(store->OwnFadeOutDropDb(), 12);
    EXPECT_FALSE(store->PlayAlbumsThrough());
    store->SetEqualPowerTrans(false);
    store->SetSkipFade(false);
    store->SetSkipFadeTime(1000);
    store->SetFadeAcrossFormats(false);
    store->SetSkipSilence(false);
    store->SetSilenceThresholdDb(-50);
    store->SetFadeOverOwnFadeOut(false);
    store->SetOwnFadeOutDropDb(12);
    store->SetPlayAlbumsThrough(false);
    // Outside its range a level is its default: nothing changed, nothing written.
    store->SetSilenceThresholdDb(-10);
    store->SetOwnFadeOutDropDb(41);
    store->SetFadeTime(4000);
    store.reset();
    EXPECT_EQ(Lines(ReadBytes(IniFile())), ExpectedLines({{"FadeTime", "4000"},
                                                          {"MinFileSize", "9000"},
                                                          {"LogTrans", "1"},
                                                          {"PlaybackThreadPriority", "Lower"}}));
}

TEST_F(SettingsStore, AnOptionIsWrittenAfterTheFourKeysOnceTheUserChangesIt) {
    auto store = MakeStore();
    store->SetSkipFade(true);
    EXPECT_EQ(Lines(ReadBytes(IniFile())), ExpectedLines({{"FadeTime", "5000"},
                                                          {"MinFileSize", "10000"},
                                                          {"LogTrans", "0"},
                                                          {"PlaybackThreadPriority", "Higher"},
                                                          {"SkipFade", "1"}}));
    store->SetSkipFadeTime(1500);
    store->SetEqualPowerTrans(true);
    store->SetFadeAcrossFormats(true);
    EXPECT_EQ(Value("FadeAcrossFormats"), "1");
    // Each key joins the file where the user first changes it.
    store->SetPlayAlbumsThrough(true);
    store->SetOwnFadeOutDropDb(40);
    store->SetFadeOverOwnFadeOut(true);
    store->SetSilenceThresholdDb(-90);
    store->SetSkipSilence(true);
    EXPECT_EQ(Value("SkipSilence"), "1");
    // Turned off again, an option stays in the file as off.
    store->SetSkipFade(false);
    store->SetPlayAlbumsThrough(false);
    store.reset();
    EXPECT_EQ(Lines(ReadBytes(IniFile())), ExpectedLines({{"FadeTime", "5000"},
                                                          {"MinFileSize", "10000"},
                                                          {"LogTrans", "0"},
                                                          {"PlaybackThreadPriority", "Higher"},
                                                          {"SkipFade", "0"},
                                                          {"SkipFadeTime", "1500"},
                                                          {"EqualPowerTrans", "1"},
                                                          {"FadeAcrossFormats", "1"},
                                                          {"PlayAlbumsThrough", "0"},
                                                          {"OwnFadeOutDrop", "40"},
                                                          {"FadeOverOwnFadeOut", "1"},
                                                          {"SilenceThreshold", "-90"},
                                                          {"SkipSilence", "1"}}));
    auto again = MakeStore();
    EXPECT_TRUE(again->EqualPowerTrans());
    EXPECT_FALSE(again->SkipFade());
    EXPECT_EQ(again->SkipFadeTime(), 1500);
    EXPECT_TRUE(again->FadeAcrossFormats());
    EXPECT_TRUE(again->SkipSilence());
    EXPECT_EQ(again->SilenceThresholdDb(), -90);
    EXPECT_TRUE(again->FadeOverOwnFadeOut());
    EXPECT_EQ(again->OwnFadeOutDropDb(), 40);
    EXPECT_FALSE(again->PlayAlbumsThrough());
    again->SetFadeAcrossFormats(false);
    EXPECT_EQ(Value("FadeAcrossFormats"), "0");
}

TEST_F(SettingsStore, OptionValuesThatDoNotParseMeanOff) {
    struct Case {
        const char *content;
        bool equalPower, skipFade;
        std::int32_t skipFadeTime;
        bool fadeAcrossFormats;
    };
    for (const Case c :
         {Case{"EqualPowerTrans=1\r\nSkipFade=1\r\nSkipFadeTime=0x1F4\r\nFadeAcrossFormats=1\r\n",
               true, true, 500, true},
          Case{"EqualPowerTrans=yes\r\nSkipFade=on\r\nFadeAcrossFormats=true\r\n", false, false,
               1000, false},
          Case{"EqualPowerTrans=2\r\nSkipFade=-1\r\nSkipFadeTime=\r\nFadeAcrossFormats=0x2\r\n",
               true, true, 1000, true},
          Case{"SkipFade=1\r\nSkipFadeTime=1.5s\r\nFadeAcrossFormats=1.0\r\n", false, false, 1000,
               false},
          Case{"FadeAcrossFormats=\r\n", false, false, 1000, false},
          Case{"EQUALPOWERTRANS=1\r\nskipfadetime=250\r\nfadeacrossformats=-1\r\n", true, false,
               250, true}}) {
        SCOPED_TRACE(c.content);
        WriteBytes(IniFile(), std::string("[HVQBlend]\r\nFadeTime=3000\r\n") + c.content);
        auto store = MakeStore();
        EXPECT_EQ(store->EqualPowerTrans(), c.equalPower);
        EXPECT_EQ(store->SkipFade(), c.skipFade);
        EXPECT_EQ(store->SkipFadeTime(), c.skipFadeTime);
        EXPECT_EQ(store->FadeAcrossFormats(), c.fadeAcrossFormats);
        EXPECT_EQ(store->FadeTime(), 3000);
        EXPECT_FALSE(store->LogTrans());
        store.reset();
        fs::remove(IniFile());
    }
}

// The levels keep to their ranges: a value outside one, or no number, is the default, and
// leaves its option as the file says.
TEST_F(SettingsStore, TheOptionsThatFollowTheMusicReadTheirKeysAsTheOtherOptionsDo) {
    struct Case {
        const char *content;
        bool skipSilence;
        std::int32_t thresholdDb;
        bool fadeOverOwnFadeOut;
        std::int32_t dropDb;
        bool albumsThrough;
    };
    for (const Case c :
         {Case{"SkipSilence=1\r\nSilenceThreshold=-90\r\nFadeOverOwnFadeOut=1\r\n"
               "OwnFadeOutDrop=3\r\nPlayAlbumsThrough=1\r\n",
               true, -90, true, 3, true},
          Case{"SilenceThreshold=-20\r\nOwnFadeOutDrop=0x28\r\n", false, -20, false, 40, false},
          Case{"SkipSilence=1\r\nSilenceThreshold=-91\r\nFadeOverOwnFadeOut=1\r\n"
               "OwnFadeOutDrop=2\r\n",
               true, -50, true, 12, false},
          Case{"SilenceThreshold=-19\r\nOwnFadeOutDrop=41\r\n", false, -50, false, 12, false},
          Case{"SkipSilence=yes\r\nSilenceThreshold=-60dB\r\nFadeOverOwnFadeOut=on\r\n"
               "OwnFadeOutDrop=twelve\r\nPlayAlbumsThrough=true\r\n",
               false, -50, false, 12, false},
          Case{"SkipSilence=\r\nSilenceThreshold=\r\nPlayAlbumsThrough=-1\r\n", false, -50, false,
               12, true}}) {
        SCOPED_TRACE(c.content);
        WriteBytes(IniFile(), std::string("[HVQBlend]\r\nFadeTime=3000\r\n") + c.content);
        auto store = MakeStore();
        EXPECT_EQ(store->SkipSilence(), c.skipSilence);
        EXPECT_EQ(store->SilenceThresholdDb(), c.thresholdDb);
        EXPECT_EQ(store->FadeOverOwnFadeOut(), c.fadeOverOwnFadeOut);
        EXPECT_EQ(store->OwnFadeOutDropDb(), c.dropDb);
        EXPECT_EQ(store->PlayAlbumsThrough(), c.albumsThrough);
        EXPECT_EQ(store->FadeTime(), 3000);
        store.reset();
        // Written back in the store's own form.
        for (const auto &[key, db] : {std::pair{"SilenceThreshold", c.thresholdDb},
                                      std::pair{"OwnFadeOutDrop", c.dropDb}}) {
            if (const std::string text = Value(key); !text.empty() && text != "<missing>") {
                EXPECT_EQ(text, std::to_string(db)) << key;
            }
        }
        fs::remove(IniFile());
    }
}

TEST_F(SettingsStore, NothingIsWrittenAgainAfterDeleteIniFile) {
    auto store = MakeStore();
    store->SetFadeTime(6000);
    ASSERT_TRUE(fs::exists(IniFile()));
    EXPECT_TRUE(store->DeleteIniFile());
    EXPECT_FALSE(fs::exists(IniFile()));
    EXPECT_TRUE(store->IniFileName().empty());

    store->SetFadeTime(7000);
    EXPECT_EQ(store->FadeTime(), 7000);
    EXPECT_FALSE(store->DeleteIniFile());
    store.reset();
    EXPECT_FALSE(fs::exists(IniFile()));
    EXPECT_TRUE(fs::is_empty(SettingsFolder() / L"Plugins"));
}

TEST_F(SettingsStore, AReadOnlyFileRaisesTheWriteErrorAndDestructionSwallowsIt) {
    const std::string content = "[HVQBlend]\r\nFadeTime=4000\r\n";
    WriteBytes(IniFile(), content);
    UnwritableFile readOnly(IniFile());
    ASSERT_TRUE(readOnly.Holds());
    auto store = MakeStore();
    EXPECT_EQ(store->FadeTime(), 4000); // reading still works

    try {
        store->SetFadeTime(6000);
        FAIL() << "a failed write was reported as done";
    } catch (const EPluginError &error) {
        EXPECT_EQ(error.what(), "Unable to write to " + Ansi(IniFile()));
    }
    EXPECT_EQ(store->FadeTime(), 6000); // kept in memory for the rest of the session
    EXPECT_NO_THROW(store.reset());
    EXPECT_EQ(ReadBytes(IniFile()), content);
}

TEST_F(SettingsStore, WithNeitherFolderTheSettingsLiveInMemoryOnly) {
    host.State().Answers[hostapi::IPC_GETINIFILE] = 1;
    host.State().Answers[hostapi::IPC_GETINIFILEW] = 1;
    wchar_t windows[MAX_PATH] = {};
    GetWindowsDirectoryW(windows, MAX_PATH);
    const fs::path profileDefault = fs::path(windows) / L"HVQBlend.ini";
    auto store = std::make_unique<TPluginConfig>(link.get(), "");
    EXPECT_TRUE(store->IniFileName().empty());
    store->SetFadeTime(6000);
    EXPECT_EQ(store->FadeTime(), 6000);
    store.reset();
    EXPECT_FALSE(fs::exists(profileDefault));
    EXPECT_FALSE(fs::exists(fs::current_path() / L"HVQBlend.ini"));
}

TEST_F(SettingsStore, RefusesToWorkWithoutAHostLink) {
    host.ClearMessages();
    try {
        TPluginConfig store(nullptr, Ansi(host.PluginsFolder() / L"x.dll"));
        FAIL() << "constructed without a host link";
    } catch (const EPluginError &error) {
        EXPECT_STREQ(error.what(), "Infernal Error!");
    }
    EXPECT_TRUE(host.Messages().empty());
}

// ---------------------------------------------------------------------------------------------
// The store inside the plug-in, as the host's Init and Quit create and destroy it

class PluginSettings : public ::testing::Test {
  protected:
    void SetUp() override {
        host.InstallProduct();
        host.State().IniPath = Ansi(SettingsFolder() / L"winamp.ini");
    }
    fs::path SettingsFolder() const { return scratch.Folder(); }
    fs::path IniFile() const { return SettingsFolder() / L"Plugins" / L"HVQBlend.ini"; }
    template <class T> T *Global(const char *name) {
        auto *global = reinterpret_cast<T *const *>(
            GetProcAddress(host.Plugin(L"in_hvqblend.dll")->Library, name));
        return global ? *global : nullptr;
    }
    TPluginConfig *Store() { return Global<TPluginConfig>("_PluginConfig"); }

    ScratchSettingsFolder scratch;
    RefHost host;
};

TEST_F(PluginSettings, InitReadsTheSettingsAfterTheHostLinkAndQuitLeavesTheFourKeys) {
    host.Start();
    TPluginConfig *store = Store();
    ASSERT_NE(store, nullptr);
    EXPECT_EQ(store->FadeTime(), 5000);
    EXPECT_EQ(store->PlaybackThreadPriority(), TPriorityLevel::Higher);
    EXPECT_TRUE(fs::is_directory(SettingsFolder() / L"Plugins"));
    EXPECT_FALSE(fs::exists(IniFile()));

    // The host link's version query comes first, then the one question for the settings folder,
    // in its wide form: this host has it.
    std::vector<LPARAM> asked;
    for (const auto &message : host.Messages())
        asked.push_back(message.LParam);
    EXPECT_EQ(asked, (std::vector<LPARAM>{260, 260, 260, 0, 1334}));

    host.Shutdown();
    EXPECT_EQ(Store(), nullptr);
    const std::string written = ReadBytes(IniFile());
    EXPECT_EQ(Lines(written), ExpectedLines(kDefaultKeys));
    EXPECT_EQ(written, WrittenBySystem(host.HostFolder(), kDefaultKeys));
}

const std::string kOlderSettings =
    "[HVQBlend]\r\nFadeTime=2500\r\nMinFileSize=8000\r\nLogTrans=1\r\n"
    "PlaybackThreadPriority=Idle\r\n";

TEST_F(PluginSettings, InitMovesTheOlderFileIntoThePluginsFolder) {
    WriteBytes(SettingsFolder() / L"HVQBlend.ini", kOlderSettings);
    host.Start();
    TPluginConfig *store = Store();
    ASSERT_NE(store, nullptr);
    EXPECT_EQ(store->FadeTime(), 2500);
    EXPECT_EQ(store->MinFileSize(), 8000);
    EXPECT_TRUE(store->LogTrans());
    EXPECT_EQ(store->PlaybackThreadPriority(), TPriorityLevel::Idle);
    // Moved at once, not only at Quit.
    EXPECT_FALSE(fs::exists(SettingsFolder() / L"HVQBlend.ini"));
    EXPECT_EQ(Lines(ReadBytes(IniFile())),
              (std::vector<std::string>{"[HVQBlend]", "FadeTime=2500", "MinFileSize=8000",
                                        "LogTrans=1", "PlaybackThreadPriority=Idle"}));
    host.Shutdown();
    EXPECT_EQ(Value(IniFile(), "LogTrans"), "1");
}

// The file in the Plugins folder holds the user's current settings: an older file never
// overwrites it, and is left as it is.
TEST_F(PluginSettings, AnOlderFileNeverOverwritesTheCurrentOne) {
    WriteBytes(SettingsFolder() / L"HVQBlend.ini", kOlderSettings);
    WriteBytes(IniFile(), "[HVQBlend]\r\nFadeTime=1111\r\nKeptKey=kept\r\n");
    host.Start();
    ASSERT_NE(Store(), nullptr);
    EXPECT_EQ(Store()->FadeTime(), 1111);
    EXPECT_EQ(Store()->MinFileSize(), 10000);
    EXPECT_EQ(ReadBytes(SettingsFolder() / L"HVQBlend.ini"), kOlderSettings);
    EXPECT_EQ(Lines(ReadBytes(IniFile())),
              (std::vector<std::string>{"[HVQBlend]", "FadeTime=1111", "KeptKey=kept"}));
    host.Shutdown();
    EXPECT_EQ(Value(IniFile(), "FadeTime"), "1111");
}

// An older file that cannot be deleted was moved all the same; the next start must not move it
// again over what the user has changed since.
TEST_F(PluginSettings, AnOlderFileThatCannotBeDeletedIsMovedOnceOnly) {
    WriteBytes(SettingsFolder() / L"HVQBlend.ini", kOlderSettings);
    UnwritableFile undeletable(SettingsFolder() / L"HVQBlend.ini");
    ASSERT_TRUE(undeletable.Holds());
    refhost::MessageBoxWatcher watcher;
    host.Start();
    ASSERT_NE(Store(), nullptr);
    EXPECT_EQ(Store()->FadeTime(), 2500);
    EXPECT_EQ(Value(IniFile(), "FadeTime"), "2500");
    Store()->SetFadeTime(777);
    host.Shutdown();

    RefHost second;
    second.InstallProduct();
    second.State().IniPath = host.State().IniPath;
    second.Start();
    auto *const *store = reinterpret_cast<TPluginConfig *const *>(
        GetProcAddress(second.Plugin(L"in_hvqblend.dll")->Library, "_PluginConfig"));
    ASSERT_NE(*store, nullptr);
    EXPECT_EQ((*store)->FadeTime(), 777);
    second.Shutdown();
    EXPECT_EQ(Value(IniFile(), "FadeTime"), "777");
    EXPECT_TRUE(watcher.Boxes().empty());
}

TEST_F(PluginSettings, QuitSwallowsAFailedSaveAndStillTakesTheHostLinkAway) {
    const std::string content = "[HVQBlend]\r\nFadeTime=4000\r\n"; // the other keys are missing
    WriteBytes(IniFile(), content);
    UnwritableFile readOnly(IniFile());
    ASSERT_TRUE(readOnly.Holds());
    refhost::MessageBoxWatcher watcher;
    host.Start();
    ASSERT_NE(Store(), nullptr);
    EXPECT_EQ(Store()->FadeTime(), 4000);

    host.Shutdown();
    EXPECT_EQ(Store(), nullptr);
    EXPECT_EQ(Global<TWinAmpAPIMan>("_WinAmpAPIMan"), nullptr);
    EXPECT_TRUE(watcher.Boxes().empty());
    EXPECT_EQ(ReadBytes(IniFile()), content);
}

TEST_F(PluginSettings, AMoveThatCannotBeWrittenStopsInitWithTheWriteError) {
    const std::string older = "[HVQBlend]\r\nFadeTime=3000\r\n";
    WriteBytes(SettingsFolder() / L"HVQBlend.ini", older);
    fs::create_directories(IniFile()); // a folder where the file should go
    refhost::MessageBoxWatcher watcher;
    host.Start();
    EXPECT_EQ(Store(), nullptr);
    EXPECT_NE(Global<TWinAmpAPIMan>("_WinAmpAPIMan"), nullptr); // made before, kept until Quit
    ASSERT_EQ(watcher.Boxes().size(), 1u);
    EXPECT_EQ(watcher.Boxes()[0].Caption, "Halvern Q-Blend");
    EXPECT_EQ(watcher.Boxes()[0].Text, "Unable to write to " + Ansi(IniFile()));
    host.Shutdown();
    EXPECT_EQ(ReadBytes(SettingsFolder() / L"HVQBlend.ini"), older);
}

// A host older than the wide INI path is not asked for it: its ANSI path places the file.
TEST_F(PluginSettings, AnOlderHostIsAskedForItsAnsiPathOnly) {
    host.State().Version = 0x5057;
    host.Start();
    ASSERT_NE(Store(), nullptr);
    std::vector<LPARAM> asked;
    for (const auto &message : host.Messages())
        asked.push_back(message.LParam);
    EXPECT_EQ(asked, (std::vector<LPARAM>{260, 260, 260, 0, 334}));
    host.Shutdown();
    EXPECT_EQ(Lines(ReadBytes(IniFile())), ExpectedLines(kDefaultKeys));
}

TEST_F(PluginSettings, WithoutTheHostsSettingsFolderTheFileLivesBesideThePlugin) {
    host.State().Answers[hostapi::IPC_GETINIFILE] = 1;
    host.State().Answers[hostapi::IPC_GETINIFILEW] = 1;
    host.Start();
    ASSERT_NE(Store(), nullptr);
    host.Shutdown();
    const fs::path besidePlugin = host.PluginsFolder() / L"HVQBlend.ini";
    EXPECT_EQ(Lines(ReadBytes(besidePlugin)), ExpectedLines(kDefaultKeys));
    EXPECT_FALSE(fs::exists(SettingsFolder()));
}

} // namespace
