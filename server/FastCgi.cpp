#include "server/FastCgi.h"

#include <algorithm>
#include <cstring>
#include <string_view>

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

// CONTENT_LENGTH's value: digits only, at most kMaxContentLength; empty is 0.
bool ReadContentLength(const char* text, size_t length, size_t* value) {
    size_t n = 0;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        n = n * 10 + static_cast<size_t>(text[i] - '0');
        if (n > kMaxContentLength) return false;
    }
    *value = n;
    return true;
}

// The pairs fill the parameters exactly; no name or value holds a NUL, and
// the first CONTENT_LENGTH is a length (*contentLength).
RequestHead CheckParams(const std::string& params, size_t* contentLength) {
    static constexpr char kLengthName[] = "CONTENT_LENGTH";
    bool bad = false;
    bool lengthSeen = false;
    *contentLength = 0;
    for (size_t at = 0; at < params.size();) {
        uint32_t nameLength = 0;
        uint32_t valueLength = 0;
        if (!ReadLength(params, at, &nameLength) || !ReadLength(params, at, &valueLength))
            return RequestHead::Malformed;
        if (nameLength == 0 || params.size() - at < uint64_t{nameLength} + valueLength) return RequestHead::Malformed;
        const char* name = params.data() + at;
        if (std::memchr(name, '\0', uint64_t{nameLength} + valueLength)) bad = true;
        if (!lengthSeen && nameLength == sizeof kLengthName - 1 && std::memcmp(name, kLengthName, nameLength) == 0) {
            lengthSeen = true;
            if (!ReadContentLength(name + nameLength, valueLength, contentLength)) bad = true;
        }
        at += uint64_t{nameLength} + valueLength;
    }
    return bad ? RequestHead::BadParams : RequestHead::Complete;
}

bool IsTokenByte(char c) {
    auto b = static_cast<unsigned char>(c);
    return b > ' ' && b != ':' && b != 0x7f;
}

} // namespace

namespace {

void AppendPair(std::string* out, const char* name, const std::string& value) {
    size_t nameLength = std::strlen(name);
    out->push_back(static_cast<char>(nameLength));
    out->push_back(static_cast<char>(value.size()));
    out->append(name, nameLength);
    out->append(value);
}

// The answer to a management record: the values asked for that we know, or
// that its type is unknown.
void AnswerManagement(unsigned char type, const std::string& query, unsigned maxConnections, std::string* replies) {
    if (!replies) return;
    if (type != kGetValues) {
        AppendRecordHeader(replies, kUnknownType, 0, 8);
        replies->push_back(static_cast<char>(type));
        replies->append(7, '\0');
        return;
    }
    std::string pairs;
    const std::string connections = std::to_string(maxConnections);
    for (size_t at = 0; at < query.size();) {
        uint32_t nameLength = 0;
        uint32_t valueLength = 0;
        if (!ReadLength(query, at, &nameLength) || !ReadLength(query, at, &valueLength) ||
            query.size() - at < uint64_t{nameLength} + valueLength)
            break;
        std::string_view name(query.data() + at, nameLength);
        at += uint64_t{nameLength} + valueLength;
        // One request at a time on a connection: as many requests as connections.
        if (name == "FCGI_MAX_CONNS")
            AppendPair(&pairs, "FCGI_MAX_CONNS", connections);
        else if (name == "FCGI_MAX_REQS")
            AppendPair(&pairs, "FCGI_MAX_REQS", connections);
        else if (name == "FCGI_MPXS_CONNS")
            AppendPair(&pairs, "FCGI_MPXS_CONNS", "0");
    }
    AppendRecordHeader(replies, kGetValuesResult, 0, pairs.size());
    replies->append(pairs);
}

} // namespace

void InputRecords::Begin(uint16_t requestId, unsigned connections) {
    *this = InputRecords{};
    id = requestId;
    maxConnections = connections;
}

size_t InputRecords::Need() const {
    return contentLeft > 0 || paddingLeft > 0 ? 1 : kHeaderSize;
}

size_t InputRecords::Most() const {
    if (state != Input::Open) return 0;
    return size_t{contentLeft} + paddingLeft + (ending ? 0 : kHeaderSize);
}

size_t InputRecords::Consume(const unsigned char* bytes, size_t length, char* to, size_t room, size_t* got,
                             std::string* replies) {
    size_t at = 0;
    *got = 0;
    while (state == Input::Open) {
        if (contentLeft > 0) {
            size_t take = std::min<size_t>(contentLeft, length - at);
            if (content == Content::Own && to) take = std::min(take, room - *got);
            if (take == 0) break;
            if (content == Content::Own) {
                if (to) std::memcpy(to + *got, bytes + at, take);
                *got += take;
            } else if (content == Content::Query) {
                query.append(reinterpret_cast<const char*>(bytes + at), take);
            }
            at += take;
            contentLeft -= static_cast<uint32_t>(take);
            if (contentLeft == 0 && content == Content::Query) AnswerManagement(kGetValues, query, maxConnections, replies);
            continue;
        }
        if (paddingLeft > 0) {
            size_t skip = std::min<size_t>(paddingLeft, length - at);
            if (skip == 0) break;
            at += skip;
            paddingLeft -= static_cast<uint32_t>(skip);
            if (paddingLeft == 0 && ending) state = Input::Ended;
            continue;
        }
        if (length - at < kHeaderSize) break;
        const unsigned char* record = bytes + at;
        if (record[0] != kVersion) {
            state = Input::Broken;
            break;
        }
        unsigned char type = record[1];
        unsigned requestId = unsigned{record[2]} << 8 | record[3];
        contentLeft = uint32_t{record[4]} << 8 | record[5];
        paddingLeft = record[6];
        at += kHeaderSize;
        content = Content::Skipped;
        if (requestId == id) {
            if (type == kAbortRequest) {
                state = Input::Aborted;
            } else if (type != kStdin) {
                state = Input::Broken;
            } else if (contentLeft > 0) {
                content = Content::Own;
            } else {
                ending = true;
                if (paddingLeft == 0) state = Input::Ended;
            }
        } else if (requestId == 0) {
            if (type == kGetValues) {
                content = Content::Query;
                query.clear();
                if (contentLeft == 0) AnswerManagement(kGetValues, query, maxConnections, replies);
            } else {
                AnswerManagement(type, query, maxConnections, replies);
            }
        } else if (type == kBeginRequest && replies) {
            // One request at a time on a connection.
            AppendEndRequest(replies, static_cast<uint16_t>(requestId), kCantMpxConn);
        }
    }
    return at;
}

RequestHead ReadRequestHead(const unsigned char* bytes, size_t length, unsigned maxConnections, RequestHeadInfo* info,
                            std::string* params, std::string* replies) {
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
        if (!begun && requestId != 0 && type == kBeginRequest) {
            if (contentLength != 8) return RequestHead::Malformed;
            info->id = static_cast<uint16_t>(requestId);
            info->keepConnection = (content[2] & 1) != 0;
            at += total;
            if ((unsigned{content[0]} << 8 | content[1]) == kResponder) {
                begun = true;
                continue;
            }
            AppendEndRequest(replies, info->id, kUnknownRole);
            info->paramsEnd = at;
            return RequestHead::Record;
        }
        if (!begun || requestId != info->id) {
            // A record of no request of ours: a management record is answered,
            // a second request refused, a turned-away request's records passed over.
            if (requestId == 0)
                AnswerManagement(type, std::string(reinterpret_cast<const char*>(content), contentLength),
                                 maxConnections, replies);
            else if (type == kBeginRequest)
                AppendEndRequest(replies, static_cast<uint16_t>(requestId), kCantMpxConn);
            at += total;
            if (begun) continue;
            info->keepConnection = true;
            info->paramsEnd = at;
            return RequestHead::Record;
        }
        if (type != kParams) return RequestHead::Malformed;
        if (contentLength == 0) {
            RequestHead head = CheckParams(*params, &info->contentLength);
            info->paramsEnd = at + total;
            // How far its input has come; what lies between its records is
            // answered when the input is read.
            InputRecords input;
            input.Begin(info->id, maxConnections);
            size_t got = 0;
            size_t used = input.Consume(bytes + info->paramsEnd, length - info->paramsEnd, nullptr, 0, &got, nullptr);
            info->input = input.State();
            info->requestEnd = info->input == Input::Ended ? info->paramsEnd + used : 0;
            return head;
        }
        params->append(reinterpret_cast<const char*>(content), contentLength);
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

void AppendEndRequest(std::string* out, uint16_t id, unsigned char protocolStatus) {
    AppendRecordHeader(out, kEndRequest, id, 8);
    const char body[8] = {0, 0, 0, 0, static_cast<char>(protocolStatus), 0, 0, 0};
    out->append(body, sizeof body);
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

// --- RecordStream ---------------------------------------------------------------------------

void RecordStream::Begin(const RequestHeadInfo& info, size_t received, unsigned maxConnections) {
    input.Begin(info.id, maxConnections);
    begin = info.paramsEnd;
    end = received;
    id = info.id;
    keepConnection = info.keepConnection;
    contentLength = info.contentLength;
    answers.clear();
    recordAt = std::string::npos;
    Flushed();
}

size_t RecordStream::Read(char* to, size_t room) {
    size_t got = 0;
    begin += input.Consume(bytes + begin, end - begin, to, room, &got, &answers);
    if (!answers.empty()) {
        Append(answers);
        answers.clear();
    }
    return got;
}

unsigned char* RecordStream::Room(size_t* length) {
    size_t most = input.Most();
    // What is left moves to the front when the request's next bytes might
    // not fit behind it.
    if (begin > 0 && kCapacity - begin < most) {
        std::memmove(bytes, bytes + begin, end - begin);
        end -= begin;
        begin = 0;
    }
    size_t limit = std::min(kCapacity, begin + most);
    *length = limit > end ? limit - end : 0;
    return bytes + end;
}

size_t RecordStream::Write(const char* data, size_t length) {
    if (recordAt == std::string::npos) {
        recordAt = out.size();
        AppendRecordHeader(&out, kStdout, id, 0);
    }
    size_t take = std::min(length, kMaxRecordContent - (out.size() - recordAt - kHeaderSize));
    out.append(data, take);
    if (out.size() - recordAt - kHeaderSize == kMaxRecordContent) CloseRecord();
    return take;
}

void RecordStream::CloseRecord() {
    if (recordAt == std::string::npos) return;
    size_t length = out.size() - recordAt - kHeaderSize;
    out[recordAt + 4] = static_cast<char>(length >> 8);
    out[recordAt + 5] = static_cast<char>(length & 0xff);
    recordAt = std::string::npos;
}

void RecordStream::End(bool output) {
    CloseRecord();
    if (output) AppendRecordHeader(&out, kStdout, id, 0);
    AppendEndRequest(&out, id, kRequestComplete);
}

void RecordStream::Append(const std::string& records) {
    CloseRecord();
    out += records;
}

void RecordStream::Sent(size_t length) {
    sent += length;
    if (sent == out.size()) return DropOutput();
    if (sent >= kFlushSize && sent >= out.size() / 2) {
        out.erase(0, sent);
        if (recordAt != std::string::npos) recordAt -= sent;
        sent = 0;
    }
}

void RecordStream::DropOutput() {
    if (out.capacity() > 4 * kFlushSize) std::string().swap(out);
    out.clear();
    sent = 0;
    recordAt = std::string::npos;
}

} // namespace vorn::server
