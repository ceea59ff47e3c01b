// What a test plug-in remembers about how it was called, for the tests to read back through its
// TestPlugin_* exports, and the knobs the tests turn to make it misbehave. Thread-safe: the
// product calls from the host's thread and from threads of its own.
#pragma once

#include <initializer_list>
#include <string>

namespace testplugin {

// Counts a call of the named entry point and logs it as "Name(arg,arg)". File names are UTF-8.
// What the lines carry: IsOurFile/Play/GetFileInfo/InfoBox(file), SetOutputTime(ms),
// SetVolume(volume), SetPan(pan), EQSet(on,firstBand,preamp), ExtOpen(file,bps,nch,srate) with
// the values found on entry, ExtGetData(len), ExtSetTime(ms), ExtClose(),
// GetExtendedFileInfo(file,field) for both the wide and the ANSI export; the rest take none.
void Note(const char *name, std::initializer_list<std::string> args = {});
// A knob set by TestPlugin_Set; 0 until set.
int Knob(const char *name);

// Extended reads: what an open found in its in/out arguments, and the bookkeeping of handles.
void NoteWishes(int bps, int nch, int srate);
void NoteReadOpened();
// Reads open now.
int OpenReadCount();
void NoteReadClosed(bool wasOpen);

} // namespace testplugin
