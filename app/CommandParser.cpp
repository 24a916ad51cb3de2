#include "app/CommandParser.h"

#include <windows.h>
#include <shellapi.h>

#include <cwctype>
#include <string.h>

#include "app/base/WinHandle.h"

namespace {

std::wstring Trim(const std::wstring& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && std::iswspace(text[begin])) ++begin;
    while (end > begin && std::iswspace(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

// Upper-cases with the runtime library's current locale.
std::wstring Upper(std::wstring text) {
    if (!text.empty()) _wcsupr(&text[0]);
    return text;
}

}  // namespace

bool CCommandParser::Parse(const std::wstring& commandLine) {
    commandLine_ = commandLine;
    switches_.clear();

    int count = 0;
    LPWSTR* argv = ::CommandLineToArgvW(commandLine_.c_str(), &count);
    if (argv == nullptr) return false;
    win::UniqueLocal freeArgs(reinterpret_cast<HLOCAL>(argv));

    for (int i = 0; i < count; ++i) {
        std::wstring argument = argv[i];
        std::wstring key, value;
        size_t equals = argument.find(L'=');
        if (equals != std::wstring::npos) {
            key = Trim(argument.substr(0, equals));
            value = Trim(argument.substr(equals + 1));
            if (!value.empty() && value.front() == L'"') value.erase(0, 1);
            if (!value.empty() && value.back() == L'"') value.pop_back();
        } else {
            key = Trim(argument);
        }
        switches_[Upper(key)] = value;
    }
    return true;
}

bool CCommandParser::HasSwitch(const std::wstring& name) const {
    return switches_.count(Upper(name)) != 0;
}

bool CCommandParser::GetSwitchValue(const std::wstring& name, std::wstring& value) const {
    auto found = switches_.find(Upper(name));
    if (found == switches_.end()) return false;
    value = found->second;
    return true;
}
