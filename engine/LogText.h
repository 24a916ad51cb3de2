// Text from outside (paths, registry names) shortened for one log line: the
// logger drops a whole line that is too long, and the line is what tells a
// reader which path was refused.
#pragma once

#include <string>

inline std::wstring LogText(const std::wstring& text, size_t maxChars = 200) {
    if (text.size() <= maxChars) return text;
    return text.substr(0, maxChars) + L"...(" + std::to_wstring(text.size()) + L" chars)";
}
