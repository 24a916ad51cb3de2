// The process's switches: filled once at start-up, then only read (any thread).
#pragma once

#include <map>
#include <string>

#include "app/base/Singleton.h"

class CCommandParser {
public:
    CCommandParser() = default;
    virtual ~CCommandParser() = default;

    static CCommandParser* Instance() { return CSingletonT<CCommandParser>::Instance(); }

    // Splits the command line into switches; false only when splitting failed.
    bool Parse(const std::wstring& commandLine);
    bool HasSwitch(const std::wstring& name) const;
    // Copies the switch's value into `value` when the switch is present.
    bool GetSwitchValue(const std::wstring& name, std::wstring& value) const;
    bool IsSilent() const { return HasSwitch(L"/S"); }

    const std::wstring& CommandLine() const { return commandLine_; }

private:
    std::wstring commandLine_;
    std::map<std::wstring, std::wstring> switches_;
};
