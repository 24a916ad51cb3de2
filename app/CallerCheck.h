// Guards the silent run: accepted only from a signed parent (first launch) or
// with the hand-over token of a first launch on this machine (the copy).
#pragma once

bool CheckCaller();
