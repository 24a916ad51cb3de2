// Extraction of a 7z archive file with the loaded 7-Zip library.
#pragma once

#include <string>

// Extracts every item of the archive at `archivePath` below `outputFolder`
// (created when missing). 0 on success; -1 when the library is not loaded,
// the archive cannot be opened (damaged, encrypted headers, not a 7z file), or
// any item could not be written or failed its check.
int Extract7z(const std::wstring& archivePath, const std::wstring& outputFolder);
