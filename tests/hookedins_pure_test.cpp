// The pure rules of the hooked-in unit: parsing declared extension lists, finding a name's
// extension and matching it, which folder entries are plug-ins, and how information values read.
#include "hookedins/ExtensionTable.h"
#include "hookedins/HookedInsRules.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

// A declaration as a plug-in writes it: strings with their NULs, then the empty one.
std::string Declaration(std::initializer_list<const char *> strings) {
    std::string list;
    for (const char *text : strings)
        list += std::string(text) + '\0';
    return list + '\0';
}

TEST(ExtensionTable, JoinsEveryPatternInLowerCaseAndKeepsThePairsAsDeclared) {
    const std::string list =
        Declaration({"MP3;MP2", "MPEG audio", "WaV", "Waveform Audio (*.WAV)"});
    const TExtensionTable table = ParseFileExtensions(list.c_str());
    EXPECT_EQ(table.Extensions, "mp3;mp2;wav;");
    ASSERT_EQ(table.Items.size(), 2u);
    EXPECT_EQ(table.Items[0].Pattern, "MP3;MP2");
    EXPECT_EQ(table.Items[0].Description, "MPEG audio");
    EXPECT_EQ(table.Items[1].Pattern, "WaV");
    EXPECT_EQ(table.Items[1].Description, "Waveform Audio (*.WAV)");
    EXPECT_EQ(ExtensionListSize(list.c_str()), list.size());
}

TEST(ExtensionTable, NullOrEmptyListsGiveNothingAndAMissingDescriptionEndsTheList) {
    EXPECT_EQ(ParseFileExtensions(nullptr).Extensions, "");
    EXPECT_TRUE(ParseFileExtensions(nullptr).Items.empty());
    EXPECT_EQ(ExtensionListSize(nullptr), 0u);

    const char empty[2] = {'\0', '\0'};
    EXPECT_EQ(ParseFileExtensions(empty).Extensions, "");
    EXPECT_TRUE(ParseFileExtensions(empty).Items.empty());
    EXPECT_EQ(ExtensionListSize(empty), 1u);

    // A pattern followed directly by the terminator: no description, and nothing read after.
    const char patternOnly[] = {'S', 'Y', 'W', '\0', '\0', 'X', 'Y', 'Z', '\0', 'd', '\0', '\0'};
    const TExtensionTable table = ParseFileExtensions(patternOnly);
    EXPECT_EQ(table.Extensions, "syw;");
    ASSERT_EQ(table.Items.size(), 1u);
    EXPECT_EQ(table.Items[0].Description, "");
    EXPECT_EQ(ExtensionListSize(patternOnly), 5u);
}

TEST(ExtensionTable, LowersAsciiLettersOnly) {
    EXPECT_EQ(LowerAscii("MP3;Ogg;\xC4U"), "mp3;ogg;\xC4u");
}

TEST(ExtensionOfAName, IsWhatFollowsTheLastDotWhenNoSeparatorComesAfterIt) {
    EXPECT_EQ(ExtensionOf("C:\\music\\Song.MP3"), "mp3");
    EXPECT_EQ(ExtensionOf("song.mp3"), "mp3");
    EXPECT_EQ(ExtensionOf("a.tar.gz"), "gz");
    EXPECT_EQ(ExtensionOf("C:\\music.d\\song"), "");
    EXPECT_EQ(ExtensionOf("C:song"), "");
    EXPECT_EQ(ExtensionOf("noextension"), "");
    EXPECT_EQ(ExtensionOf("trailing."), "");
    EXPECT_EQ(ExtensionOf("some.host/live"), "host/live"); // '/' separates nothing here
    EXPECT_EQ(ExtensionOf("http://radio.example/stream"), "example/stream");
    EXPECT_EQ(ExtensionOf(""), "");
}

// The host compares whole patterns: "x.p3" is no mp3 file, and ".psf" files are not the
// minipsf player's.
TEST(ExtensionMatch, MatchesWholePatternsOnly) {
    const std::string extensions = "mp3;mp2;wav;minipsf;";
    EXPECT_TRUE(ExtensionListed(extensions, "mp3"));
    EXPECT_TRUE(ExtensionListed(extensions, "wav"));
    EXPECT_TRUE(ExtensionListed(extensions, "minipsf"));
    EXPECT_FALSE(ExtensionListed(extensions, "p3"));
    EXPECT_FALSE(ExtensionListed(extensions, "3"));
    EXPECT_FALSE(ExtensionListed(extensions, "psf"));
    EXPECT_FALSE(ExtensionListed(extensions, "mp3;mp2"));
    EXPECT_FALSE(ExtensionListed(extensions, "mp"));
    EXPECT_FALSE(ExtensionListed(extensions, "ogg"));
    EXPECT_FALSE(ExtensionListed(extensions, ""));
    EXPECT_FALSE(ExtensionListed("", "mp3"));
    EXPECT_FALSE(ExtensionListed(extensions, "host/live"));
}

TEST(PluginNames, BeginWithInUnderscoreAndEndInDotDllInAnyCase) {
    EXPECT_TRUE(IsInputPluginName(L"in_a.dll"));
    EXPECT_TRUE(IsInputPluginName(L"IN_B.DLL"));
    EXPECT_TRUE(IsInputPluginName(L"In_Mixed.Dll"));
    EXPECT_TRUE(IsInputPluginName(L"in_.dll"));
    EXPECT_FALSE(IsInputPluginName(L"in_c.dll.bak"));
    EXPECT_FALSE(IsInputPluginName(L"xin_d.dll"));
    EXPECT_FALSE(IsInputPluginName(L"out_ds.dll"));
    EXPECT_FALSE(IsInputPluginName(L".dll"));
    EXPECT_FALSE(IsInputPluginName(L"in_"));
    EXPECT_FALSE(IsInputPluginName(L""));
}

TEST(FolderPart, EndsAtTheLastBackslashOrColonAndAlwaysInABackslash) {
    EXPECT_EQ(FolderPartOf(L"C:\\Winamp\\Plugins\\in_hvqblend.dll"), L"C:\\Winamp\\Plugins\\");
    EXPECT_EQ(FolderPartOf(L"C:in_hvqblend.dll"), L"C:\\");
    EXPECT_EQ(FolderPartOf(L"in_hvqblend.dll"), L"");
    EXPECT_EQ(FolderPartOf(L""), L"");
    EXPECT_EQ(FolderPartOf(L"\\\\server\\share\\x.dll"), L"\\\\server\\share\\");
}

TEST(LengthText, IsADecimalWholeNumberOrMinusOne) {
    EXPECT_EQ(ParseLengthText("180"), 180);
    EXPECT_EQ(ParseLengthText("0"), 0);
    EXPECT_EQ(ParseLengthText("-1"), -1);
    EXPECT_EQ(ParseLengthText("-1000"), -1000);
    EXPECT_EQ(ParseLengthText(" 42 "), 42);
    EXPECT_EQ(ParseLengthText("+7"), 7);
    EXPECT_EQ(ParseLengthText("2147483647"), INT_MAX);
    EXPECT_EQ(ParseLengthText("2147483648"), -1); // does not fit
    EXPECT_EQ(ParseLengthText("abc"), -1);
    EXPECT_EQ(ParseLengthText("12abc"), -1);
    EXPECT_EQ(ParseLengthText("1.5"), -1);
    EXPECT_EQ(ParseLengthText(""), -1);
    EXPECT_EQ(ParseLengthText("+-3"), -1);
    EXPECT_EQ(ParseLengthText("0x10"), -1);
}

TEST(TypeText, OnlyZeroIsAudio) {
    EXPECT_TRUE(IsAudioTypeText(L"0"));
    EXPECT_FALSE(IsAudioTypeText(L"1"));
    EXPECT_FALSE(IsAudioTypeText(L""));
    EXPECT_FALSE(IsAudioTypeText(L"00"));
    EXPECT_FALSE(IsAudioTypeText(L" 0"));
}

} // namespace
