// What a hooked-in plug-in tells about a file: its length, a named information value, whether
// it is audio. Extended file information first, the record's GetFileInfo as the fall-back.
// Called from the host's thread and the playback thread; no state of their own.
#pragma once

#include "HookedInsUnit.h"

#include <string>

// Milliseconds; -1 when the plug-in answered with something that is no whole number (or said
// -1), -2 when nobody answered. A fault inside the fall-back GetFileInfo is caught: what the
// plug-in wrote before it stands.
int GetLengthMs(const THookedInPlugin &plugin, const std::wstring &fileName);

// Replaces value and answers true when some source answered the information name (ANSI, e.g.
// "type"). Without extended file information only "length" and "title" are known.
bool QueryFileInfo(const THookedInPlugin &plugin, const std::wstring &fileName,
                   const std::string &name, std::wstring &value);

// True when the plug-in calls the file audio ("type" is "0") or does not say.
bool IsAudioFile(const THookedInPlugin &plugin, const std::wstring &fileName);
