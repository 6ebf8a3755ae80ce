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
    // Each name we know is answered once, however often it is asked for:
    // the answer always fits one record.
    std::string pairs;
    const std::string connections = std::to_string(maxConnections);
    unsigned answered = 0;
    for (size_t at = 0; at < query.size();) {
        uint32_t nameLength = 0;
        uint32_t valueLength = 0;
        if (!ReadLength(query, at, &nameLength) || !ReadLength(query, at, &valueLength) ||
            query.size() - at < uint64_t{nameLength} + valueLength)
            break;
        std::string_view name(query.data() + at, nameLength);
        at += uint64_t{nameLength} + valueLength;
        // One request at a time on a connection: as many requests as connections.
        unsigned bit = name == "FCGI_MAX_CONNS" ? 1 : name == "FCGI_MAX_REQS" ? 2 : name == "FCGI_MPXS_CONNS" ? 4 : 0;
        if (!bit || (answered & bit)) continue;
        answered |= bit;
        if (bit == 1)
            AppendPair(&pairs, "FCGI_MAX_CONNS", connections);
        else if (bit == 2)
            AppendPair(&pairs, "FCGI_MAX_REQS", connections);
        else
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
            if (paddingLeft == 0 && aborting) state = Input::Aborted;
            continue;
        }
        if (aborting) {
            state = Input::Aborted;
            break;
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
                // Ended once its content and padding are past, so that a
                // kept connection goes on after it.
                aborting = true;
                if (contentLeft == 0 && paddingLeft == 0) state = Input::Aborted;
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

void HeadParser::Reset() {
    *this = HeadParser{};
}

RequestHead HeadParser::Parse(const unsigned char* bytes, size_t length, unsigned maxConnections,
                              RequestHeadInfo* info, ParamIndex* params, std::string* replies) {
    // A run of records of no request ends where a request begins, or where
    // the bytes end: the caller passes over it before the head is read.
    auto run = [&](bool keep) {
        info->keepConnection = keep;
        info->paramsEnd = at;
        return RequestHead::Record;
    };
    for (;;) {
        if (at >= kMaxRequestHead) return begun ? RequestHead::Malformed : run(true);
        if (length - at < kHeaderSize) {
            if (!begun && at > 0) return run(true);
            return length >= kMaxRequestHead ? RequestHead::Malformed : RequestHead::Incomplete;
        }
        const unsigned char* record = bytes + at;
        if (record[0] != kVersion) return RequestHead::Malformed;
        unsigned char type = record[1];
        unsigned requestId = unsigned{record[2]} << 8 | record[3];
        size_t contentLength = size_t{record[4]} << 8 | record[5];
        size_t total = kHeaderSize + contentLength + record[6];
        if (length - at < total) {
            if (!begun && at > 0) return run(true);
            return at + total > kMaxRequestHead ? RequestHead::Malformed : RequestHead::Incomplete;
        }
        const unsigned char* content = record + kHeaderSize;
        if (!begun && requestId != 0 && type == kBeginRequest) {
            if (at > 0) return run(true);
            if (contentLength != 8) return RequestHead::Malformed;
            id = static_cast<uint16_t>(requestId);
            keepConnection = (content[2] & 1) != 0;
            at += total;
            if ((unsigned{content[0]} << 8 | content[1]) == kResponder) {
                begun = true;
                params->Clear();
                continue;
            }
            // Its records that follow are passed over as no request's.
            AppendEndRequest(replies, id, kUnknownRole);
            if (!keepConnection) return run(false);
            continue;
        }
        if (!begun || requestId != id) {
            // A record of no request of ours: a management record is answered,
            // a second request refused, a turned-away request's records passed over.
            if (requestId == 0)
                AnswerManagement(type, std::string(reinterpret_cast<const char*>(content), contentLength),
                                 maxConnections, replies);
            else if (type == kBeginRequest)
                AppendEndRequest(replies, static_cast<uint16_t>(requestId), kCantMpxConn);
            at += total;
            continue;
        }
        if (type == kAbortRequest) {
            // Aborted before its head was whole: it ended, and never ran.
            AppendEndRequest(replies, id, kRequestComplete);
            at += total;
            begun = false;
            if (!keepConnection) return run(false);
            continue;
        }
        if (type != kParams) return RequestHead::Malformed;
        if (contentLength > 0) {
            params->Append(content, contentLength);
            at += total;
            continue;
        }
        info->id = id;
        info->keepConnection = keepConnection;
        RequestHead head = params->Index(&info->contentLength);
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
}

RequestHead ReadRequestHead(const unsigned char* bytes, size_t length, unsigned maxConnections, RequestHeadInfo* info,
                            ParamIndex* params, std::string* replies) {
    HeadParser parser;
    return parser.Parse(bytes, length, maxConnections, info, params, replies);
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

// --- ParamIndex ------------------------------------------------------------------------------

namespace {

// A name's length and three of its bytes: CGI names differ there, and a
// lookup costs the same whatever the name's length.
uint32_t NameHash(const char* name, size_t length) {
    if (length == 0) return 0;
    auto at = [name](size_t i) { return uint32_t{static_cast<unsigned char>(name[i])}; };
    uint32_t hash = static_cast<uint32_t>(length) * 0x9e3779b1u ^ at(0) * 0x85ebca6bu ^ at(length - 1) * 0xc2b2ae35u ^
                    at(length / 2) * 0x27d4eb2fu;
    return hash ^ hash >> 15;
}

} // namespace

void ParamIndex::Clear() {
    raw.clear();
    text.clear();
    entries.clear();
    headers.clear();
}

void ParamIndex::Append(const unsigned char* bytes, size_t length) {
    raw.append(reinterpret_cast<const char*>(bytes), length);
}

void ParamIndex::Assign(const std::string& bytes) {
    Clear();
    raw = bytes;
}

RequestHead ParamIndex::Index(size_t* contentLength) {
    static constexpr char kLengthName[] = "CONTENT_LENGTH";
    *contentLength = 0;
    entries.clear();
    headers.clear();
    slots.clear();
    // Two length bytes at least become two NULs: the text never outgrows
    // the bytes.
    text.resize(raw.size());
    char* out = text.data();
    bool bad = false;
    bool lengthSeen = false;
    for (size_t at = 0; at < raw.size();) {
        uint32_t nameLength = 0;
        uint32_t valueLength = 0;
        if (!ReadLength(raw, at, &nameLength) || !ReadLength(raw, at, &valueLength)) return RequestHead::Malformed;
        if (nameLength == 0 || raw.size() - at < uint64_t{nameLength} + valueLength) return RequestHead::Malformed;
        const char* name = raw.data() + at;
        const char* value = name + nameLength;
        at += uint64_t{nameLength} + valueLength;
        if (std::memchr(name, '\0', uint64_t{nameLength} + valueLength)) bad = true;
        if (!lengthSeen && nameLength == sizeof kLengthName - 1 && std::memcmp(name, kLengthName, nameLength) == 0) {
            lengthSeen = true;
            if (!ReadContentLength(value, valueLength, contentLength)) bad = true;
        }
        Entry entry{static_cast<uint32_t>(out - text.data()), nameLength, 0, valueLength};
        std::memcpy(out, name, nameLength);
        out += nameLength;
        *out++ = '\0';
        entry.value = static_cast<uint32_t>(out - text.data());
        std::memcpy(out, value, valueLength);
        out += valueLength;
        *out++ = '\0';
        if (nameLength >= 5 && std::memcmp(name, "HTTP_", 5) == 0) headers.push_back(static_cast<uint16_t>(entries.size()));
        entries.push_back(entry);
    }
    text.resize(static_cast<size_t>(out - text.data()));
    if (bad) return RequestHead::BadParams;
    // Twice as many slots as entries: lookups seldom probe twice.
    size_t size = 64;
    while (size < 2 * entries.size()) size *= 2;
    slots.assign(size, 0);
    for (size_t i = 0; i < entries.size(); ++i) {
        const Entry& e = entries[i];
        size_t slot = NameHash(text.data() + e.name, e.nameLength) & (size - 1);
        for (;; slot = (slot + 1) & (size - 1)) {
            if (slots[slot] == 0) {
                slots[slot] = static_cast<uint16_t>(i + 1);
                break;
            }
            const Entry& other = entries[slots[slot] - 1];
            if (other.nameLength == e.nameLength &&
                std::memcmp(text.data() + other.name, text.data() + e.name, e.nameLength) == 0)
                break; // the first of a name stays
        }
    }
    return RequestHead::Complete;
}

const char* ParamIndex::Find(const char* name, size_t nameLength, size_t* valueLength) const {
    if (slots.empty() || entries.empty()) return nullptr;
    size_t mask = slots.size() - 1;
    for (size_t slot = NameHash(name, nameLength) & mask; slots[slot] != 0; slot = (slot + 1) & mask) {
        const Entry& e = entries[slots[slot] - 1];
        if (e.nameLength == nameLength && std::memcmp(text.data() + e.name, name, nameLength) == 0) {
            if (valueLength) *valueLength = e.valueLength;
            return text.data() + e.value;
        }
    }
    return nullptr;
}

const char* ParamIndex::Find(const char* name) const {
    return Find(name, std::strlen(name));
}

void ParamIndex::Header(size_t i, const char** name, size_t* nameLength, const char** value,
                        size_t* valueLength) const {
    const Entry& e = entries[headers[i]];
    *name = text.data() + e.name;
    *nameLength = e.nameLength;
    *value = text.data() + e.value;
    *valueLength = e.valueLength;
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

size_t RecordStream::KeepLeft() {
    size_t left = end - begin;
    if (left > 0 && begin > 0) std::memmove(bytes, bytes + begin, left);
    begin = 0;
    end = left;
    return left;
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
