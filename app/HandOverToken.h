// The token with which a silent first launch authorises its temporary copy:
// "hushnow" encrypted with this machine's identifier as key. Only a launch on
// the same machine can make it, so it is never stored.
#pragma once

#include <string>

std::wstring MakeHandOverToken();
bool VerifyHandOverToken(const std::wstring& token);

// With an explicit key (the machine identifier), for tests.
std::wstring MakeHandOverToken(const std::wstring& key);
bool VerifyHandOverToken(const std::wstring& token, const std::wstring& key);
