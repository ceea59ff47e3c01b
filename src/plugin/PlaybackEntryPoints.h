// The playback entry points of the module record: ownership, play control and file information.
// A file plays in thread mode when the playback thread takes it, else in direct mode: the
// hooked-in plug-in that owns it becomes ActiveHookedIn and plays it into the host's output.
#pragma once

#include "../hostlink/WinampApi.h"

// Points the playback members of record at this plug-in's entry points.
void FillPlaybackEntryPoints(In_Module &record);

// Makes the owner of LastClaimedFile the active plug-in when nothing is active and the thread
// would not play that file, then points the active plug-in's outMod at the host's output.
void EnsureActiveHookedIn();
// Quit: forgets the last claimed file and the engine's file.
void ForgetPlaybackNames();
