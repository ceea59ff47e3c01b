// The version-resource reader against small libraries with version resources of our own.
#include "RefHost.h"
#include "about/VersionReaderUnit.h"

#include <gtest/gtest.h>

namespace {

std::string Fixture(const char *name) {
    return (refhost::RefHost::BuildFolder() / name).string();
}

TEST(VersionReader, ReadsEveryStringTheLanguageAndTheFixedPart) {
    TVersionReaderResult result;
    TVersionReader().Read(Fixture("ver_full.dll"), result);

    EXPECT_TRUE(result.StringInfoRead);
    EXPECT_TRUE(result.FixedInfoRead);
    EXPECT_EQ(result.Language, 0x0409);
    EXPECT_EQ(result.CodePage, 0x04E4);
    EXPECT_NE(result.LanguageName.find("English"), std::string::npos) << result.LanguageName;
    EXPECT_EQ(result.CompanyName, "Test Company");
    EXPECT_EQ(result.FileDescription, "Version fixture");
    EXPECT_EQ(result.FileVersion, "2.1.0.5");
    EXPECT_EQ(result.InternalName, "ver_full");
    EXPECT_EQ(result.LegalCopyright, "none");
    EXPECT_EQ(result.OriginalFileName, "ver_full.dll");
    EXPECT_EQ(result.ProductName, "Fixture Product");
    EXPECT_EQ(result.ProductVersion, "2.1");
    EXPECT_EQ(result.FileVersionMS, 0x00020001u);
    EXPECT_EQ(result.FileVersionLS, 0x00000005u);
    EXPECT_EQ(result.ProductVersionMS, 0x00020001u);
    EXPECT_EQ(result.ProductVersionLS, 0x00000000u);
    EXPECT_EQ(result.FileFlagsMask, 0x3Du);
    EXPECT_EQ(result.FileFlags, 0x3u);
    EXPECT_EQ(result.FileOS, static_cast<std::uint32_t>(VOS__WINDOWS32));
    EXPECT_EQ(result.FileType, static_cast<std::uint32_t>(VFT_DLL));
}

TEST(VersionReader, SetsABuildFlagOnlyWhenMaskAndFlagsBothHoldIt) {
    const auto result = TVersionReader().Read(Fixture("ver_full.dll"));
    EXPECT_TRUE(result->IsDebug);       // 0x1 in mask 0x3D and flags 0x3
    EXPECT_FALSE(result->IsPreRelease); // 0x2 in the flags only
    EXPECT_FALSE(result->IsPatched);
    EXPECT_FALSE(result->IsPrivateBuild);
    EXPECT_FALSE(result->IsInfoInferred);
    EXPECT_FALSE(result->IsSpecialBuild);
}

TEST(VersionReader, StopsAtTheFirstMissingStringAndSkipsTheFixedPart) {
    TVersionReaderResult result;
    TVersionReader().Read(Fixture("ver_nointernal.dll"), result);
    EXPECT_EQ(result.Language, 0x0407);
    EXPECT_EQ(result.CodePage, 0x04B0);
    EXPECT_EQ(result.CompanyName, "Partial Company");
    EXPECT_EQ(result.FileDescription, "Partial fixture");
    EXPECT_EQ(result.FileVersion, "1.0");
    EXPECT_EQ(result.InternalName, "");
    EXPECT_EQ(result.LegalCopyright, "");
    EXPECT_EQ(result.ProductName, "");
    EXPECT_FALSE(result.StringInfoRead);
    EXPECT_FALSE(result.FixedInfoRead);
    EXPECT_EQ(result.FileVersionMS, 0u);
}

TEST(VersionReader, AFileWithoutVersionInformationGivesAResetResult) {
    for (const std::string &name : {Fixture("ver_none.dll"), Fixture("no_such_file.dll"), std::string()}) {
        TVersionReaderResult result;
        result.StringInfoRead = result.FixedInfoRead = result.IsDebug = true;
        result.CompanyName = "stale";
        result.Language = 7;
        TVersionReader().Read(name, result);
        EXPECT_FALSE(result.StringInfoRead) << name;
        EXPECT_FALSE(result.FixedInfoRead) << name;
        EXPECT_FALSE(result.IsDebug) << name;
        EXPECT_EQ(result.CompanyName, "") << name;
        EXPECT_EQ(result.Language, 0) << name;
        EXPECT_EQ(result.LanguageName, "") << name;
    }
}

TEST(VersionReader, NamesTheStringTableInLowerCaseHex) {
    EXPECT_EQ(StringTablePrefix(0x0409, 0x04E4), "\\StringFileInfo\\040904e4");
    EXPECT_EQ(StringTablePrefix(0x0C0A, 0xFDE9), "\\StringFileInfo\\0c0afde9");
}

} // namespace
