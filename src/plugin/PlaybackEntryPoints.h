// The playback entry points of the module record: ownership, play control and file information.
#pragma once

#include "../hostlink/WinampApi.h"

// Points the playback members of record at this plug-in's entry points.
void FillPlaybackEntryPoints(In_Module &record);
