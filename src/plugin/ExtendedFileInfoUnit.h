// Extended file information for the host: each request goes to the hooked-in plug-in that owns
// the file, in the text form that plug-in takes, and the answer comes back in the caller's form.
#pragma once

#include <windows.h>

#include <cstddef>

namespace extinfo {

// Whether a field name mentions "replaygain" in any letter case. Such values are kept from the
// host: it would apply one track's gain to sound that mixes two tracks.
bool MentionsReplayGain(const char *field);

// An empty or null name means the file of the last request that named one.
int GetInfo(const char *fileName, const char *field, char *answer, int length);
int GetInfoW(const wchar_t *fileName, const char *field, wchar_t *answer, int length);

// Both forms remember the owner, which takes the next Write: a caller stages values with
// whichever form it has and expects the write that follows to commit them.
int SetInfo(const char *fileName, const char *field, const char *value);
int SetInfoW(const wchar_t *fileName, const char *field, const wchar_t *value);
int Write();

int ClearInfoW(const wchar_t *fileName);
int UseUnifiedDialog(const wchar_t *fileName);
HWND AddUnifiedPane(int index, const wchar_t *fileName, HWND parent, wchar_t *name,
                    std::size_t nameLength);

} // namespace extinfo
