// The request as script variables: server variables and headers, the time
// of the request, positional arguments, query-string pairs and the document
// URL; the default response headers, the caller-id cookie and the log cookie.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "engine/foundation/Config.h"
#include "engine/foundation/Hash.h"
#include "engine/values/SystemVariables.h"
#include "engine/values/Variable.h"
#include "engine/values/VariableHash.h"
#include "host/base/ProductVersion.h"
#include "host/web/ContentParsers.h"
#include "host/web/ISAPIApplication.h"
#include "host/web/RequestNames.h"
#include "platform/Process.h"
#include "platform/Time.h"

namespace vorn {

namespace {

// A bit for each length among the names the lookup knows: most names a
// script looks up are answered by it alone.
constexpr uint64_t RequestNameLengths() {
    uint64_t bits = 0;
    for (std::string_view name : kRequestServerVariables) bits |= uint64_t{1} << name.size();
    for (std::string_view name : kRequestNames) bits |= uint64_t{1} << name.size();
    return bits;
}
constexpr uint64_t kRequestNameLengths = RequestNameLengths();

// Calls each(name, value, valueLength) for every header of the request
// (name NUL-ended): from the server's own list where it lends one, with CR
// and LF dropped from the values as ALL_HTTP drops them, else from ALL_HTTP's
// "NAME:value" lines (allHttp() reads it).
template <class AllHttp, class Each>
void ForEachHeader(const platform::ISAPIControlBlock* block, AllHttp&& allHttp, Each&& each) {
    if (block && platform::HasOptionalCallbacks(block) && block->requestHeader) {
        const char* name = nullptr;
        const char* value = nullptr;
        size_t nameLength = 0, valueLength = 0;
        for (size_t i = 0; block->requestHeader(block->connection, i, &name, &nameLength, &value, &valueLength); ++i) {
            if (!std::memchr(value, '\r', valueLength) && !std::memchr(value, '\n', valueLength)) {
                each(name, value, static_cast<int32_t>(valueLength));
                continue;
            }
            String kept;
            for (size_t v = 0; v < valueLength; ++v)
                if (value[v] != '\r' && value[v] != '\n') kept.AppendChar(value[v]);
            each(name, kept.Text(), kept.Length());
        }
        return;
    }
    const char* all = allHttp();
    for (const char* line = all; line && *line;) {
        const char* end = std::strchr(line, '\n');
        if (!end) end = line + std::strlen(line);
        const char* colon = static_cast<const char*>(std::memchr(line, ':', static_cast<size_t>(end - line)));
        if (colon) {
            String name(line, static_cast<int32_t>(colon - line));
            each(name.Text(), colon + 1, static_cast<int32_t>(end - colon - 1));
        }
        line = *end ? end + 1 : end;
    }
}

constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr const char* kWeekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

constexpr int64_t kCookieLifetime = 31536000; // 365 days

void PutText(VariableHash& scope, const char* name, const char* text, int32_t length = -1) {
    scope.ReplaceVariable(new Variable(name, -1, text ? text : "", text ? length : 0));
}

void PutText(VariableHash& scope, RequestName name, const char* text, int32_t length = -1) {
    PutText(scope, NameOf(name), text, length);
}

void PutInteger(VariableHash& scope, RequestName name, int32_t value) {
    scope.ReplaceVariable(new Variable(NameOf(name), -1, value));
}

// A caller id we sent: 32 lower-case hexadecimal characters.
bool IsCallerId(const char* id, int32_t length) {
    if (length != 32) return false;
    for (int32_t i = 0; i < length; ++i) {
        char c = id[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

} // namespace

const char* FindCookie(const char* cookies, const char* name, int32_t* valueLength) {
    if (!cookies || !name) return nullptr;
    size_t nameLength = std::strlen(name);
    for (const char* p = cookies; *p;) {
        while (*p == ' ' || *p == '\t') ++p;
        const char* end = std::strchr(p, ';');
        if (!end) end = p + std::strlen(p);
        const char* equals = static_cast<const char*>(std::memchr(p, '=', static_cast<size_t>(end - p)));
        if (equals && static_cast<size_t>(equals - p) == nameLength && std::memcmp(p, name, nameLength) == 0) {
            if (valueLength) *valueLength = static_cast<int32_t>(end - equals - 1);
            return equals + 1;
        }
        p = *end ? end + 1 : end;
    }
    return nullptr;
}

// --- Deferred steps ----------------------------------------------------------------------

void ISAPIApplication::Take(Step step) {
    if (!stepTaken) {
        stepTaken = true;
        program.system.Defer(this);
    }
    if (program.system.HasDeferred() && stepCount < kMaxSteps) {
        steps[stepCount++] = step;
        return;
    }
    // Settled already (or settled now, by the first change): straight in.
    Put(step, program.system);
}

void ISAPIApplication::AddTo(VariableHash& table) {
    int32_t n = stepCount;
    stepCount = 0;
    for (int32_t i = 0; i < n; ++i) Put(steps[i], table);
}

void ISAPIApplication::Put(Step step, VariableHash& scope) {
    switch (step) {
    case Step::ServerVariables: return PutServerVariables(scope);
    case Step::SystemVariables: return PutSystemVariables(scope);
    case Step::Arguments: return PutArguments(scope);
    case Step::DocumentURL: return PutDocumentURL(scope);
    case Step::CallerId: return PutText(scope, RequestName::CallerId, callerId.Text(), callerId.Length());
    }
}

const char* ISAPIApplication::AllHttp() {
    if (!allHttpRead) {
        allHttpRead = true;
        allHttp = ServerVariable("ALL_HTTP");
    }
    return allHttp.get();
}

bool ISAPIApplication::MayHold(const char* name, int32_t length) {
    if (!name) return false;
    if (length < 0) length = static_cast<int32_t>(std::strlen(name));
    auto startsWith = [&](const char* prefix, int32_t n) {
        return length >= n && CompareTextNoCase(name, prefix, n) == 0;
    };
    if (startsWith("dyn_", 4) || startsWith("vorn_", 5)) return true;
    if (startsWith("arg", 3) && length > 3) {
        int32_t i = 3;
        while (i < length && name[i] >= '0' && name[i] <= '9') ++i;
        if (i == length) return true;
    }
    if (length < 64 && (kRequestNameLengths >> length) & 1) {
        auto known = [&](std::string_view listed) {
            return listed.size() == static_cast<size_t>(length) &&
                   CompareTextNoCase(name, listed.data(), length) == 0;
        };
        for (std::string_view listed : kRequestServerVariables)
            if (known(listed)) return true;
        for (std::string_view listed : kRequestNames)
            if (known(listed)) return true;
    }
    if (headersPrefixed < 0) {
        // Headers are named as the server names them: usually HTTP_ and more.
        headersPrefixed = 1;
        ForEachHeader(controlBlock, [this] { return AllHttp(); }, [&](const char* header, const char*, int32_t) {
            if (CompareTextNoCase(header, "HTTP_", 5) != 0) headersPrefixed = 0;
        });
    }
    return headersPrefixed == 0 || startsWith("HTTP_", 5);
}

// --- The steps ---------------------------------------------------------------------------------

bool ISAPIApplication::AddServerVariables() {
    Take(Step::ServerVariables);
    return true;
}

void ISAPIApplication::PutServerVariables(VariableHash& scope) {
    for (const char* name : kRequestServerVariables) {
        ServerText value = ServerVariable(name);
        if (value) PutText(scope, name, value.get());
    }
    ForEachHeader(controlBlock, [this] { return AllHttp(); }, [&](const char* header, const char* value, int32_t length) {
        PutText(scope, header, value, length);
    });
}

bool ISAPIApplication::AddSystemVariables() {
    // The time of the request and its time-out are those of this moment.
    platform::LocalCalendarNow(requestTime);
    globalTimeout = config.GetInteger(kConfigGlobalTimeout);
    threadId = platform::ThreadId();
    Take(Step::SystemVariables);
    return true;
}

void ISAPIApplication::PutSystemVariables(VariableHash& scope) {
    const platform::CalendarTime& now = requestTime;
    if (now.seconds >= INT32_MIN && now.seconds <= INT32_MAX)
        PutInteger(scope, RequestName::TimeT, static_cast<int32_t>(now.seconds));
    else
        scope.ReplaceVariable(new Variable(NameOf(RequestName::TimeT), -1, static_cast<double>(now.seconds)));
    PutInteger(scope, RequestName::TmUsec, now.microseconds);
    PutInteger(scope, RequestName::TmSec, now.second);
    PutInteger(scope, RequestName::TmMin, now.minute);
    PutInteger(scope, RequestName::TmHour, now.hour);
    PutInteger(scope, RequestName::TmMday, now.day);
    PutInteger(scope, RequestName::TmMon, now.month + 1);
    PutText(scope, RequestName::StmMon, kMonths[now.month >= 0 && now.month < 12 ? now.month : 0]);
    PutInteger(scope, RequestName::TmYear, 1900 + now.year);
    PutInteger(scope, RequestName::TmWday, now.weekday + 1);
    PutText(scope, RequestName::StmWday, kWeekdays[now.weekday >= 0 && now.weekday < 7 ? now.weekday : 0]);
    PutInteger(scope, RequestName::TmYday, now.yearDay + 1);
    PutInteger(scope, RequestName::TmIsdst, now.daylightSaving > 0 ? 1 : 0);
    PutText(scope, RequestName::StmZone, now.zone);
    PutInteger(scope, RequestName::GlobalTimeout, globalTimeout);
    AddDynamicTimeVariables(scope);
    scope.SetVariable(NameOf(RequestName::VornVersion), -1, kProductVersion,
                      static_cast<int32_t>(sizeof kProductVersion - 1));
    AddApplicationSystemVariables(scope, this, this);
    double processId = static_cast<double>(static_cast<uint32_t>(threadId));
    scope.ReplaceVariable(new Variable(NameOf(RequestName::ProcessId), -1, processId));
}

bool ISAPIApplication::AddArguments() {
    Take(Step::Arguments);
    return true;
}

void ISAPIApplication::PutArguments(VariableHash& scope) {
    PutText(scope, "arg1", PathInfo());
    const char* query = QueryString() ? QueryString() : "";
    int32_t count = 1;
    for (const char* piece = query;;) {
        const char* plus = std::strchr(piece, '+');
        int32_t n = plus ? static_cast<int32_t>(plus - piece) : static_cast<int32_t>(std::strlen(piece));
        int32_t decodedLength = 0;
        char* decoded = AttributeDecode(piece, n, &decodedLength, nullptr);
        ++count;
        char name[16];
        std::snprintf(name, sizeof name, "arg%d", count);
        PutText(scope, name, decoded ? decoded : "", decoded ? decodedLength : 0);
        std::free(decoded);
        if (!plus) break;
        piece = plus + 1;
    }
    PutInteger(scope, RequestName::Nargs, count);
}

bool ISAPIApplication::AddQueryVariables() {
    const char* query = QueryString();
    if (!query || !query[0]) return true;
    URLEncodedParser parser(&program.globals, 0);
    size_t n = std::strlen(query);
    if (parser.Parse(query, static_cast<int32_t>(n)) && parser.Finish()) return true;
    Write(parser.ErrorText().Text(), parser.ErrorText().Length());
    return false;
}

bool ISAPIApplication::AddDocumentURL() {
    Take(Step::DocumentURL);
    return true;
}

void ISAPIApplication::PutDocumentURL(VariableHash& scope) {
    PutText(scope, RequestName::ApiType, "ISAPI");
    ServerText host = ServerVariable("SERVER_NAME");
    ServerText secure = ServerVariable("SERVER_PORT_SECURE");
    ServerText port = ServerVariable("SERVER_PORT");
    bool https = secure && std::atoi(secure.get()) != 0;
    String url(https ? "https://" : "http://");
    const char* hostName = host ? host.get() : "";
    // An address is written in brackets, so its colons are not taken for a port's.
    if (network && network->IsIPv6Address(hostName)) {
        url.AppendChar('[');
        url.Append(hostName);
        url.AppendChar(']');
    } else {
        url.Append(hostName);
    }
    const char* portText = port ? port.get() : "";
    if (std::strcmp(portText, https ? "443" : "80") != 0) {
        url.AppendChar(':');
        url.Append(portText);
    }
    if (PathInfo()) url.Append(PathInfo());
    url.AppendChar('?');
    PutText(scope, RequestName::DocumentUrl, url.Text(), url.Length());
}

void ISAPIApplication::AddDefaultHeaders() {
    if (defaultHeadersAdded) return;
    defaultHeadersAdded = true;
    if (output) output->AddHeaderText("Content-Type", "text/html");
    if (config.GetInteger(kConfigUseCookies) != 0) SetCallerCookie();
}

void ISAPIApplication::SetCallerCookie() {
    ServerText cookies = ServerVariable("HTTP_COOKIE");
    int32_t length = 0;
    const char* sent = FindCookie(cookies.get(), "kpzcallerid", &length);
    String id;
    if (sent && IsCallerId(sent, length)) {
        id.Assign(sent, length);
    } else {
        int32_t n = 0;
        char* made = MakeSessionID(&n);
        id.Assign(made ? made : "", made ? n : 0);
        std::free(made);
    }
    platform::CalendarTime expiry;
    platform::ToUtcCalendar(platform::NowSeconds() + kCookieLifetime, expiry);
    char value[160];
    int n = std::snprintf(value, sizeof value, "kpzcallerid=%.*s; expires=%s, %02d-%s-%04d %02d:%02d:%02d GMT; path=/",
                          id.Length(), id.Text(), kWeekdays[expiry.weekday >= 0 && expiry.weekday < 7 ? expiry.weekday : 0],
                          expiry.day, kMonths[expiry.month >= 0 && expiry.month < 12 ? expiry.month : 0],
                          1900 + expiry.year, expiry.hour, expiry.minute, expiry.second);
    if (output && n > 0 && n < static_cast<int>(sizeof value)) output->AddHeader("Set-Cookie", -1, false, value, n, false);
    callerId = std::move(id);
    Take(Step::CallerId);
}

void ISAPIApplication::CheckLogCookie(const char* configured) {
    ServerText cookies = ServerVariable("HTTP_COOKIE");
    int32_t length = 0;
    const char* value = FindCookie(cookies.get(), "vornlogcookie", &length);
    bool logged = value && static_cast<size_t>(length) == std::strlen(configured) &&
                  std::memcmp(value, configured, static_cast<size_t>(length)) == 0;
    if (!logged) SetLoggingSuppressed(true);
}

} // namespace vorn
