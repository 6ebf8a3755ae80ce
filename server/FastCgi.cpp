#include "server/FastCgi.h"

#include <cstring>

namespace vorn::server {

namespace {

constexpr unsigned kResponder = 1;
constexpr size_t kHeaderSize = kRecordHeader;

// A name or value length: one byte below 128, else four with the top bit set.
bool ReadLength(const std::string& params, size_t& at, uint32_t* length) {
    if (at >= params.size()) return false;
    auto b0 = static_cast<unsigned char>(params[at]);
    if (b0 < 0x80) {
        *length = b0;
        ++at;
        return true;
    }
    if (params.size() - at < 4) return false;
    *length = (uint32_t{b0} & 0x7f) << 24 | uint32_t{static_cast<unsigned char>(params[at + 1])} << 16 |
              uint32_t{static_cast<unsigned char>(params[at + 2])} << 8 |
              uint32_t{static_cast<unsigned char>(params[at + 3])};
    at += 4;
    return true;
}

RequestHead CheckParams(const std::string& params) {
    bool nul = false;
    for (size_t at = 0; at < params.size();) {
        uint32_t nameLength = 0;
        uint32_t valueLength = 0;
        if (!ReadLength(params, at, &nameLength) || !ReadLength(params, at, &valueLength))
            return RequestHead::Malformed;
        if (nameLength == 0 || params.size() - at < uint64_t{nameLength} + valueLength) return RequestHead::Malformed;
        if (std::memchr(params.data() + at, '\0', uint64_t{nameLength} + valueLength)) nul = true;
        at += uint64_t{nameLength} + valueLength;
    }
    return nul ? RequestHead::NulParam : RequestHead::Complete;
}

bool IsTokenByte(char c) {
    auto b = static_cast<unsigned char>(c);
    return b > ' ' && b != ':' && b != 0x7f;
}

} // namespace

namespace {

// Where the request's input ends within the bytes, or 0 when it does not, or
// when something other than its input records comes first (left to the reader).
size_t InputEnd(const unsigned char* bytes, size_t length, size_t at, unsigned id) {
    while (length - at >= kHeaderSize) {
        const unsigned char* record = bytes + at;
        size_t contentLength = size_t{record[4]} << 8 | record[5];
        size_t total = kHeaderSize + contentLength + record[6];
        if (record[0] != kVersion || record[1] != kStdin || (unsigned{record[2]} << 8 | record[3]) != id) return 0;
        if (length - at < total) return 0;
        at += total;
        if (contentLength == 0) return at;
    }
    return 0;
}

} // namespace

RequestHead ReadRequestHead(const unsigned char* bytes, size_t length, RequestHeadInfo* info, std::string* params) {
    params->clear();
    bool begun = false;
    for (size_t at = 0;;) {
        if (at >= kMaxRequestHead) return RequestHead::Malformed;
        if (length - at < kHeaderSize) return length >= kMaxRequestHead ? RequestHead::Malformed : RequestHead::Incomplete;
        const unsigned char* record = bytes + at;
        if (record[0] != kVersion) return RequestHead::Malformed;
        unsigned char type = record[1];
        unsigned requestId = unsigned{record[2]} << 8 | record[3];
        size_t contentLength = size_t{record[4]} << 8 | record[5];
        size_t total = kHeaderSize + contentLength + record[6];
        if (length - at < total)
            return at + total > kMaxRequestHead ? RequestHead::Malformed : RequestHead::Incomplete;
        const unsigned char* content = record + kHeaderSize;
        if (requestId == 0) return RequestHead::Malformed; // management records are not served
        if (!begun) {
            if (type != kBeginRequest || contentLength != 8) return RequestHead::Malformed;
            if ((unsigned{content[0]} << 8 | content[1]) != kResponder) return RequestHead::Malformed;
            begun = true;
            info->id = static_cast<uint16_t>(requestId);
            info->keepConnection = (content[2] & 1) != 0;
        } else {
            if (type != kParams || requestId != info->id) return RequestHead::Malformed;
            if (contentLength == 0) {
                RequestHead head = CheckParams(*params);
                info->paramsEnd = at + total;
                info->requestEnd = InputEnd(bytes, length, at + total, requestId);
                return head;
            }
            params->append(reinterpret_cast<const char*>(content), contentLength);
        }
        at += total;
    }
}

void AppendRecordHeader(std::string* out, unsigned char type, uint16_t id, size_t contentLength) {
    const char header[kHeaderSize] = {static_cast<char>(kVersion),
                                      static_cast<char>(type),
                                      static_cast<char>(id >> 8),
                                      static_cast<char>(id & 0xff),
                                      static_cast<char>(contentLength >> 8 & 0xff),
                                      static_cast<char>(contentLength & 0xff),
                                      0,
                                      0};
    out->append(header, kHeaderSize);
}

void AppendParamEntries(const std::string& params, std::string* text) {
    // Sized once, then copied into: some thirty entries a request.
    size_t total = 0;
    for (int pass = 0; pass < 2; ++pass) {
        char* out = pass ? text->data() + text->size() - total : nullptr;
        for (size_t at = 0; at < params.size();) {
            uint32_t nameLength = 0;
            uint32_t valueLength = 0;
            if (!ReadLength(params, at, &nameLength) || !ReadLength(params, at, &valueLength)) break;
            if (params.size() - at < uint64_t{nameLength} + valueLength) break;
            if (pass == 0) {
                total += uint64_t{nameLength} + valueLength + 2;
            } else {
                std::memcpy(out, params.data() + at, nameLength);
                out += nameLength;
                *out++ = '=';
                std::memcpy(out, params.data() + at + nameLength, valueLength);
                out += valueLength;
                *out++ = '\0';
            }
            at += uint64_t{nameLength} + valueLength;
        }
        if (pass == 0) text->resize(text->size() + total);
    }
}

bool BuildResponseHead(const char* status, const char* headers, std::string* head) {
    if (!status || !headers) return false;
    for (int i = 0; i < 3; ++i)
        if (status[i] < '0' || status[i] > '9') return false;
    if (status[3] != '\0' && status[3] != ' ') return false;
    for (const char* p = status; *p; ++p)
        if (*p == '\r' || *p == '\n') return false;
    // Checked whole before anything is written: head stays as it was on a refusal.
    const char* p = headers;
    while (*p) {
        if (p[0] == '\r' && p[1] == '\n') {
            if (p[2] != '\0') return false; // the empty line ends the block
            break;
        }
        const char* name = p;
        while (IsTokenByte(*p)) ++p;
        if (p == name || p[0] != ':' || p[1] != ' ') return false;
        p += 2;
        while (*p && *p != '\r' && *p != '\n') ++p;
        if (p[0] != '\r' || p[1] != '\n') return false;
        p += 2;
    }
    head->assign("Status: ");
    head->append(status);
    head->append("\r\n");
    head->append(headers, static_cast<size_t>(p - headers));
    head->append("\r\n");
    return true;
}

void AllHttp(char** environment, std::string* out) {
    std::string& all = *out;
    all.clear();
    for (char** entry = environment; entry && *entry; ++entry) {
        const char* text = *entry;
        if (std::strncmp(text, "HTTP_", 5) != 0) continue;
        const char* equals = std::strchr(text, '=');
        if (!equals) continue;
        all.append(text, static_cast<size_t>(equals - text));
        all += ':';
        for (const char* v = equals + 1; *v; ++v)
            if (*v != '\r' && *v != '\n') all += *v;
        all += '\n';
    }
}

} // namespace vorn::server
