#include "netlib/HttpBody.h"

#include <windows.h>
#include <zlib.h>

namespace netlib {

std::string ToUtf8(const wchar_t* text) {
    std::string out;
    if (!text || !*text) return out;
    int needed = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (needed <= 1) return out;
    out.resize(static_cast<size_t>(needed));
    ::WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], needed, nullptr, nullptr);
    out.resize(static_cast<size_t>(needed - 1));
    return out;
}

std::wstring FromUtf8(const std::string& text) {
    std::wstring out;
    if (text.empty()) return out;
    int needed = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (needed <= 0) return out;
    out.resize(static_cast<size_t>(needed));
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], needed);
    return out;
}

namespace {

void AppendEscaped(const std::string& bytes, std::string* out) {
    static const char kHex[] = "0123456789ABCDEF";
    for (unsigned char c : bytes) {
        bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                     c == '.' || c == '_' || c == '~';
        if (plain) {
            out->push_back(static_cast<char>(c));
        } else if (c == ' ') {
            out->push_back('+');
        } else {
            out->push_back('%');
            out->push_back(kHex[c >> 4]);
            out->push_back(kHex[c & 15]);
        }
    }
}

}  // namespace

std::string EncodeForm(const FormFields& fields) {
    std::string out;
    for (const auto& field : fields) {
        if (!out.empty()) out.push_back('&');
        AppendEscaped(field.first, &out);
        out.push_back('=');
        AppendEscaped(field.second, &out);
    }
    return out;
}

bool GzipCompress(const std::string& data, std::string* out) {
    z_stream stream = {};
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return false;
    out->resize(deflateBound(&stream, static_cast<uLong>(data.size())) + 32);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(&(*out)[0]);
    stream.avail_out = static_cast<uInt>(out->size());
    int result = deflate(&stream, Z_FINISH);
    deflateEnd(&stream);
    if (result != Z_STREAM_END) return false;
    out->resize(stream.total_out);
    return true;
}

InflateResult Inflate(const std::string& data, size_t limit, std::string* out) {
    out->clear();
    z_stream stream = {};
    // 32 + 15: accepts both gzip and zlib headers.
    if (inflateInit2(&stream, 32 + 15) != Z_OK) return InflateResult::kBadData;
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    char chunk[64 * 1024];
    InflateResult outcome = InflateResult::kBadData;
    for (;;) {
        stream.next_out = reinterpret_cast<Bytef*>(chunk);
        stream.avail_out = sizeof(chunk);
        int result = inflate(&stream, Z_NO_FLUSH);
        size_t produced = sizeof(chunk) - stream.avail_out;
        if (out->size() + produced > limit) {
            outcome = InflateResult::kTooLarge;
            break;
        }
        out->append(chunk, produced);
        if (result == Z_STREAM_END) {
            outcome = InflateResult::kOk;
            break;
        }
        // Z_BUF_ERROR with input left over cannot happen with a fresh output
        // buffer; without input left it means a truncated stream.
        if (result != Z_OK) break;
        if (stream.avail_in == 0 && produced == 0) break;
    }
    inflateEnd(&stream);
    if (outcome != InflateResult::kOk) out->clear();
    return outcome;
}

}  // namespace netlib
