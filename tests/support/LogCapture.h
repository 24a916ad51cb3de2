// Points the process log at a private file for one test and reads it back.
#pragma once

#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace testing_support {

class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // The whole log, converted from code page 936.
    std::wstring Text() const;
    // The logged messages in order, without their time stamps.
    std::vector<std::wstring> Lines() const;
    // True when a whole message (after its time stamp) reads `line`.
    bool HasLine(const std::wstring& line) const;
    int CountLines(const std::wstring& line) const;
    bool Has(const std::wstring& part) const { return Text().find(part) != std::wstring::npos; }

private:
    ScopedTempDir dir_;
    std::wstring file_;
};

}  // namespace testing_support
