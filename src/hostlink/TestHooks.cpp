#include "TestHooks.h"

// Alone in its file: a build that links another definition never pulls this one in.
extern "C" void HvqHookPoint(const char *) {}
