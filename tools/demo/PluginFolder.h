// A player's Plugins folder as the render tool takes it (--plugins): the input plug-ins the
// player would load from it, and which of them a file belongs to by its extension. Pure: no
// windows.h.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace demo {

// What the render takes from a plug-in folder: its input plug-ins, in the order the player
// loads them (by name), without the folder's own in_hvqblend.dll: the render plays this build's.
struct PluginFolder {
    std::vector<std::filesystem::path> InputPlugins;
    bool HasOwnProduct = false; // the folder holds an in_hvqblend.dll of its own
    int OtherFiles = 0;         // files that are no input plug-ins (output, DSP, settings ...)
};

// "in_*.dll", in any letter case, as the player finds its input plug-ins.
bool IsInputPluginName(std::wstring_view fileName);

// The folder's plug-ins; throws std::runtime_error saying what is wrong, the folder named as
// the user typed it, where there is no such folder or no input plug-in in it.
PluginFolder ReadPluginFolder(const std::filesystem::path &folder, const std::string &asGiven);

// The extension patterns of an input plug-in's FileExtensions: the patterns of every other
// string ("SYW;SYX", then its description), upper-cased, each cut to 14 characters as the
// player compares them. strings holds the list's strings in order.
std::vector<std::string> ExtensionPatterns(const std::vector<std::string> &strings);
// Whether a file's extension is one of the patterns, in any letter case, as the player's second
// pass over its plug-ins asks.
bool ExtensionListed(const std::vector<std::string> &patterns, std::string_view fileName);
// ".SYW .SYX", or "no extensions": for messages.
std::string ExtensionsText(const std::vector<std::string> &patterns);

} // namespace demo
