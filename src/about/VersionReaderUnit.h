// Reads a file's version resource: the eight standard strings of its first translation, the
// language, and the fixed part with its build flags.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct TVersionReaderResult {
    bool StringInfoRead = false; // all eight strings were found
    bool FixedInfoRead = false;
    std::string LanguageName;
    std::string CompanyName;
    std::string FileDescription;
    std::string FileVersion;
    std::string InternalName;
    std::string LegalCopyright;
    std::string OriginalFileName;
    std::string ProductName;
    std::string ProductVersion;
    std::uint16_t Language = 0;
    std::uint16_t CodePage = 0;
    std::uint32_t FileVersionMS = 0;
    std::uint32_t FileVersionLS = 0;
    std::uint32_t ProductVersionMS = 0;
    std::uint32_t ProductVersionLS = 0;
    std::uint32_t FileFlagsMask = 0;
    std::uint32_t FileFlags = 0;
    bool IsDebug = false;
    bool IsInfoInferred = false;
    bool IsPatched = false;
    bool IsPreRelease = false;
    bool IsPrivateBuild = false;
    bool IsSpecialBuild = false;
    std::uint32_t FileOS = 0;
    std::uint32_t FileType = 0;
    std::uint32_t FileSubtype = 0;
    std::uint32_t FileDateMS = 0;
    std::uint32_t FileDateLS = 0;
};

// The string-table path of a translation: "\StringFileInfo\" and "%04x%04x".
std::string StringTablePrefix(std::uint16_t language, std::uint16_t codePage);

class TVersionReader {
  public:
    bool ReadFixedInfo = true;

    // Fills result (reset first) and answers it. Failures only leave the flags false.
    TVersionReaderResult &Read(const std::string &fileName, TVersionReaderResult &result) const;
    // The same into a new record that the caller owns.
    std::unique_ptr<TVersionReaderResult> Read(const std::string &fileName) const;
    // The same for a wide path, which names files outside the ANSI code page too.
    TVersionReaderResult &Read(const std::wstring &fileName, TVersionReaderResult &result) const;

  private:
    TVersionReaderResult &ReadBlock(std::vector<char> &block, TVersionReaderResult &result) const;
};
