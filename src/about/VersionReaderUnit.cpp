#include "VersionReaderUnit.h"

#include <windows.h>

#include <cstdio>
#include <vector>

namespace {

struct Translation {
    WORD Language;
    WORD CodePage;
};

// Asks for the name's length with a one-character buffer first. Some systems answer 0, or the
// length of what fitted, and leave a cut name unterminated: such a name is asked for again.
std::string LanguageNameOf(WORD language) {
    char probe[1] = {};
    DWORD size = VerLanguageNameA(language, probe, 1) + 3;
    for (;;) {
        std::vector<char> name(size + 1, '\0');
        const DWORD length = VerLanguageNameA(language, name.data(), size);
        if ((length > 0 && length + 1 < size) || size >= 1024)
            return name.data();
        size *= 4;
    }
}

// The string value at path, or false when the resource does not hold it.
bool QueryString(const std::vector<char> &block, const std::string &path, std::string &value) {
    char *text = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(block.data(), path.c_str(), reinterpret_cast<void **>(&text), &length) ||
        !text)
        return false;
    value.assign(text, strnlen(text, length));
    return true;
}

void ReadFixedPart(const VS_FIXEDFILEINFO &fixed, TVersionReaderResult &result) {
    result.FileVersionMS = fixed.dwFileVersionMS;
    result.FileVersionLS = fixed.dwFileVersionLS;
    result.ProductVersionMS = fixed.dwProductVersionMS;
    result.ProductVersionLS = fixed.dwProductVersionLS;
    result.FileFlagsMask = fixed.dwFileFlagsMask;
    result.FileFlags = fixed.dwFileFlags;
    result.FileOS = fixed.dwFileOS;
    result.FileType = fixed.dwFileType;
    result.FileSubtype = fixed.dwFileSubtype;
    result.FileDateMS = fixed.dwFileDateMS;
    result.FileDateLS = fixed.dwFileDateLS;

    // A flag counts only when the mask says the flags word speaks for it.
    const auto flag = [&](DWORD bit) {
        return (fixed.dwFileFlagsMask & fixed.dwFileFlags & bit) != 0;
    };
    result.IsDebug = flag(VS_FF_DEBUG);
    result.IsPreRelease = flag(VS_FF_PRERELEASE);
    result.IsPatched = flag(VS_FF_PATCHED);
    result.IsPrivateBuild = flag(VS_FF_PRIVATEBUILD);
    result.IsInfoInferred = flag(VS_FF_INFOINFERRED);
    result.IsSpecialBuild = flag(VS_FF_SPECIALBUILD);
    result.FixedInfoRead = true;
}

} // namespace

std::string StringTablePrefix(std::uint16_t language, std::uint16_t codePage) {
    char name[16];
    std::snprintf(name, sizeof name, "%04x%04x", language, codePage);
    return std::string("\\StringFileInfo\\") + name;
}

TVersionReaderResult &TVersionReader::Read(const std::string &fileName,
                                           TVersionReaderResult &result) const {
    result = TVersionReaderResult{};

    DWORD handle = 1;
    const DWORD size = GetFileVersionInfoSizeA(fileName.c_str(), &handle);
    if (size == 0 || handle != 0)
        return result;

    std::vector<char> block(size, '\0');
    if (!GetFileVersionInfoA(fileName.c_str(), 0, size, block.data()))
        return result;
    return ReadBlock(block, result);
}

TVersionReaderResult &TVersionReader::Read(const std::wstring &fileName,
                                           TVersionReaderResult &result) const {
    result = TVersionReaderResult{};

    DWORD handle = 1;
    const DWORD size = GetFileVersionInfoSizeW(fileName.c_str(), &handle);
    if (size == 0 || handle != 0)
        return result;

    std::vector<char> block(size, '\0');
    if (!GetFileVersionInfoW(fileName.c_str(), 0, size, block.data()))
        return result;
    return ReadBlock(block, result);
}

// The block as GetFileVersionInfo left it; the texts are asked for in the ANSI code page.
TVersionReaderResult &TVersionReader::ReadBlock(std::vector<char> &block,
                                                TVersionReaderResult &result) const {
    Translation *translations = nullptr;
    UINT translationBytes = 0;
    if (!VerQueryValueA(block.data(), "\\VarFileInfo\\Translation",
                        reinterpret_cast<void **>(&translations), &translationBytes) ||
        !translations || translationBytes < sizeof(Translation))
        return result;
    result.Language = translations[0].Language;
    result.CodePage = translations[0].CodePage;
    result.LanguageName = LanguageNameOf(result.Language);

    const std::string prefix = StringTablePrefix(result.Language, result.CodePage);
    const std::pair<const char *, std::string *> keys[] = {
        {"\\CompanyName", &result.CompanyName},
        {"\\FileDescription", &result.FileDescription},
        {"\\FileVersion", &result.FileVersion},
        {"\\InternalName", &result.InternalName},
        {"\\LegalCopyright", &result.LegalCopyright},
        {"\\OriginalFileName", &result.OriginalFileName},
        {"\\ProductName", &result.ProductName},
        {"\\ProductVersion", &result.ProductVersion},
    };
    for (const auto &[key, field] : keys) {
        if (!QueryString(block, prefix + key, *field))
            return result;
    }
    result.StringInfoRead = true;

    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT fixedBytes = 0;
    if (ReadFixedInfo &&
        VerQueryValueA(block.data(), "\\", reinterpret_cast<void **>(&fixed), &fixedBytes) &&
        fixed && fixedBytes >= sizeof(VS_FIXEDFILEINFO))
        ReadFixedPart(*fixed, result);
    return result;
}

std::unique_ptr<TVersionReaderResult> TVersionReader::Read(const std::string &fileName) const {
    auto result = std::make_unique<TVersionReaderResult>();
    Read(fileName, *result);
    return result;
}
