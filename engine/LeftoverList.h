// Full paths that still existed after a removal attempt. The removal steps
// append to it; the RunOnce batch consumes and empties it.
#pragma once

#include <list>
#include <string>

using LeftoverList = std::list<std::wstring>;
