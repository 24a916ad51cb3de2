#include "app/RunMode.h"

namespace {
volatile int g_silent = 0;
}

void SetSilentRun(bool silent) { g_silent = silent ? 1 : 0; }
bool IsSilentRun() { return g_silent != 0; }
