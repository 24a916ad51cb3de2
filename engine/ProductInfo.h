// Which of the maker's products a folder belongs to, recognised by the marker
// programs in it, with the product code and the user's pid that the run-list
// companions are told about.
#pragma once

#include <windows.h>

#include <string>

struct ProductInfo {
    std::wstring code;  // "tapis" for Lumora; empty when no product was recognised
    std::wstring pid;   // the product's per-user "PID" value, at most 260 characters
};

// The product whose marker program lies in `directory`; both fields empty
// when none does. The per-user key is read below `userRoot` (replaceable for
// tests only).
ProductInfo GetProductInfo(const std::wstring& directory, HKEY userRoot = HKEY_CURRENT_USER);

// The product of the running executable's directory. The uninstaller runs from
// a temporary copy that holds no marker, so this is usually empty.
ProductInfo GetRunningProductInfo();
