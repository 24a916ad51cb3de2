// The process-wide silent flag: set once at start-up from "/S", never changed.
#pragma once

void SetSilentRun(bool silent);
bool IsSilentRun();
