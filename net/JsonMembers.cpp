#include "net/JsonMembers.h"

#include <cmath>
#include <climits>

#include "app/base/PathUtil.h"

namespace {

// Replies are parsed on the network library's threads; cJSON recurses once per
// nesting level, so deeply nested text is refused before it reaches the parser.
constexpr int kMaxJsonNesting = 32;

bool NestingWithinLimit(const char* text, size_t length) {
    int depth = 0;
    bool inString = false;
    for (size_t i = 0; i < length; ++i) {
        char c = text[i];
        if (inString) {
            if (c == '\\') ++i;
            else if (c == '"') inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            if (++depth > kMaxJsonNesting) return false;
        } else if (c == '}' || c == ']') {
            --depth;
        }
    }
    return true;
}

const cJSON* Member(const cJSON* object, const char* key, bool caseSensitive) {
    if (object == nullptr || key == nullptr || !cJSON_IsObject(object)) return nullptr;
    return caseSensitive ? cJSON_GetObjectItemCaseSensitive(object, key) : cJSON_GetObjectItem(object, key);
}

}  // namespace

JsonPtr ParseJsonReply(const char* body, size_t length) {
    if (body == nullptr || length == 0 || length > kMaxJsonReplyBytes) return nullptr;
    if (!NestingWithinLimit(body, length)) return nullptr;
    const char* end = nullptr;
    JsonPtr root(cJSON_ParseWithLengthOpts(body, length, &end, 0));
    if (!root) return nullptr;
    // cJSON stops after the first value; a reply with more after it is damaged.
    const char* last = body + length;
    while (end != nullptr && end < last && (*end == ' ' || *end == '\t' || *end == '\r' || *end == '\n')) ++end;
    if (end != nullptr && end < last && *end != '\0') return nullptr;
    return root;
}

int JsonInt(const cJSON* object, const char* key, int defaultValue) {
    const cJSON* item = Member(object, key, false);
    if (item == nullptr || !cJSON_IsNumber(item)) return defaultValue;
    double value = item->valuedouble;
    if (std::isnan(value)) return defaultValue;
    if (value >= static_cast<double>(INT_MAX)) return INT_MAX;
    if (value <= static_cast<double>(INT_MIN)) return INT_MIN;
    return static_cast<int>(value);
}

std::string JsonString(const cJSON* object, const char* key, const std::string& defaultValue) {
    const cJSON* item = Member(object, key, false);
    if (item == nullptr || !cJSON_IsString(item) || item->valuestring == nullptr) return defaultValue;
    return item->valuestring;
}

std::wstring JsonStringW(const cJSON* object, const char* key) {
    const cJSON* item = Member(object, key, true);
    if (item == nullptr || !cJSON_IsString(item) || item->valuestring == nullptr) return std::wstring();
    return text::FromUtf8(item->valuestring);
}

const cJSON* JsonObject(const cJSON* object, const char* key) {
    const cJSON* item = Member(object, key, false);
    return item != nullptr && cJSON_IsObject(item) ? item : nullptr;
}
