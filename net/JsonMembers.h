// Reading the feedback service's JSON replies (cJSON): bounded parsing and the
// three member readers every reply goes through. A member that is missing or
// of another type gives the caller's default, never an error.
#pragma once

#include <cJSON.h>

#include <cstddef>
#include <memory>
#include <string>

struct CJsonDeleter {
    void operator()(cJSON* item) const { cJSON_Delete(item); }
};
using JsonPtr = std::unique_ptr<cJSON, CJsonDeleter>;

// The service's replies are a few hundred bytes; anything far larger is not
// one of them and is not parsed at all.
constexpr size_t kMaxJsonReplyBytes = 64 * 1024;

// Parses `length` bytes of `body`; null for a null or empty body, one above
// kMaxJsonReplyBytes, or text that is not one complete JSON value (trailing
// bytes other than blanks are refused too), or nesting deeper than 32 levels.
JsonPtr ParseJsonReply(const char* body, size_t length);

// The member's integer value when `object` is an object holding `key` (any
// case) as a number, else `defaultValue`. Numbers beyond the int range are
// clamped; fractions are cut toward zero.
int JsonInt(const cJSON* object, const char* key, int defaultValue);
// The member's text when it exists (any case) and is a string, else `defaultValue`.
std::string JsonString(const cJSON* object, const char* key, const std::string& defaultValue);
// The member's string value (exact name) converted from UTF-8; empty when it is
// absent or not a string.
std::wstring JsonStringW(const cJSON* object, const char* key);
// The member (any case) when it is an object, else null.
const cJSON* JsonObject(const cJSON* object, const char* key);
