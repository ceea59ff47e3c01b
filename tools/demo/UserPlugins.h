// A user's plug-in folder (--plugins) laid beside in_hvqblend.dll in the reference host, as a
// player's Plugins folder holds them, and the files its plug-ins take: which plug-in owns each
// file, asked as the player asks, and what that plug-in decodes the file to, read once through
// its extended read (as in_hvqblend.dll reads it) into a file of the render's own, for the
// analysis after the render.
#pragma once

#include "PluginFolder.h"
#include "RefHost.h"
#include "Transitions.h"
#include "sound/AlbumJoin.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace demo {

// One file as its plug-in decodes it.
struct DecodedFile {
    std::string Plugin{}; // the owner's file name
    PcmFormat Format{};
    std::int64_t Frames = 0;
    std::filesystem::path Samples; // the decoded PCM, interleaved, nothing before it
    TAlbumTags Tags;               // as the plug-in's extended file information gives them
};

class UserPlugins {
  public:
    // Copies the folder's input plug-ins (ReadPluginFolder) into the host's Plugins folder, beside
    // this build's in_hvqblend.dll; its name as the user typed it goes into messages.
    UserPlugins(refhost::RefHost &host, const std::string &folderAsGiven, PluginFolder folder);
    // Removes the decoded copies.
    ~UserPlugins();
    UserPlugins(const UserPlugins &) = delete;
    UserPlugins &operator=(const UserPlugins &) = delete;

    // Once the host has started: a note on each plug-in it did not load, with why; throws when
    // it loaded none of them.
    std::vector<std::string> CheckLoaded();
    // The plug-ins loaded and where from, for the report's head.
    std::string Summary() const;

    // The file (path as Windows sees it, name as the user typed it) decoded whole by the plug-in
    // that owns it; throws std::runtime_error saying what stands in the way, the file named as
    // typed. index numbers the decoded copy.
    DecodedFile Take(const std::filesystem::path &file, const std::string &asGiven, int index);

  private:
    struct Plugin {
        std::wstring FileName;
        const refhost::LoadedPlugin *Loaded = nullptr;
        // The plug-in's own ownership test, taken before in_hvqblend.dll hooks it in (it then
        // answers 0 to everyone else) and its extension patterns.
        int(__cdecl *IsOurFile)(const void *) = nullptr;
        std::vector<std::string> Extensions;
    };
    const Plugin *OwnerOf(const std::filesystem::path &file) const;
    std::string NoOwner(const std::string &asGiven) const;
    void CheckHostPlaysItThroughUs(const std::filesystem::path &file,
                                   const std::string &asGiven) const;

    refhost::RefHost &host_;
    std::string folderAsGiven_;
    PluginFolder folder_;
    std::vector<Plugin> plugins_; // the loaded ones, in the player's order
    std::filesystem::path decoded_;
};

} // namespace demo
