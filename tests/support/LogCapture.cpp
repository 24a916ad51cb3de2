#include "support/LogCapture.h"

#include <windows.h>

#include "app/SmartLogger.h"

namespace testing_support {

LogCapture::LogCapture() : file_(dir_.Join(L"capture.log")) { CSmartLogger::Process().SetLogPath(file_); }

LogCapture::~LogCapture() { CSmartLogger::Process().SetLogPath(std::wstring()); }

std::wstring LogCapture::Text() const {
    std::string bytes = ReadFileBytes(file_);
    if (bytes.empty()) return std::wstring();
    int length = ::MultiByteToWideChar(936, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    ::MultiByteToWideChar(936, 0, bytes.data(), static_cast<int>(bytes.size()), &wide[0], length);
    return wide;
}

std::vector<std::wstring> LogCapture::Lines() const {
    std::wstring text = Text();
    std::vector<std::wstring> messages;
    constexpr size_t kStampChars = 20;  // "YYYY-MM-DD hh:mm:ss "
    size_t begin = 0;
    while (begin < text.size()) {
        size_t end = text.find(L"\r\n", begin);
        if (end == std::wstring::npos) end = text.size();
        std::wstring line = text.substr(begin, end - begin);
        if (line.size() >= kStampChars && line[4] == L'-' && line[13] == L':') messages.push_back(line.substr(kStampChars));
        begin = end + 2;
    }
    return messages;
}

bool LogCapture::HasLine(const std::wstring& line) const {
    return Text().find(L" " + line + L"\r\n") != std::wstring::npos;
}

int LogCapture::CountLines(const std::wstring& line) const {
    std::wstring text = Text();
    std::wstring needle = L" " + line + L"\r\n";
    int count = 0;
    for (size_t at = text.find(needle); at != std::wstring::npos; at = text.find(needle, at + 1)) ++count;
    return count;
}

}  // namespace testing_support
