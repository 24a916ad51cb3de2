// Request and response bodies: form encoding, text conversion and gzip.
#pragma once

#include <stddef.h>

#include <string>
#include <utility>
#include <vector>

namespace netlib {

using FormFields = std::vector<std::pair<std::string, std::string>>;

// UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
std::string ToUtf8(const wchar_t* text);
// UTF-8 (or plain ASCII) to UTF-16.
std::wstring FromUtf8(const std::string& text);

// application/x-www-form-urlencoded: "name=value" pairs joined by "&";
// letters, digits and "-._~" stay, a blank becomes "+", every other byte %XX.
std::string EncodeForm(const FormFields& fields);

// gzip (RFC 1952) of `data`; false only when zlib fails.
bool GzipCompress(const std::string& data, std::string* out);

enum class InflateResult { kOk, kTooLarge, kBadData };
// Inflates a gzip or zlib stream; output above `limit` bytes is refused.
InflateResult Inflate(const std::string& data, size_t limit, std::string* out);

}  // namespace netlib
