#include "engine/app/VornApplication.h"

#include <cstdlib>
#include <cstring>

#include "engine/foundation/Config.h"
#include "engine/foundation/Hash.h"
#include "engine/foundation/Output.h"
#include "platform/Time.h"

namespace vorn {

namespace {

constexpr int32_t DefaultFileDelay = 100;

inline bool IsSpace(char c) { return AsciiIsSpace(static_cast<unsigned char>(c)); }
inline bool IsDigit(char c) { return AsciiIsDigit(static_cast<unsigned char>(c)); }

int64_t NowSeconds() {
    return platform::NowSeconds();
}

// Length of a codec input: -1 means up to the NUL, a null text or any other
// negative length means nothing.
int32_t InputLength(const char* text, int32_t length) {
    if (!text) return 0;
    if (length == -1) {
        size_t n = std::strlen(text);
        return n > static_cast<size_t>(INT32_MAX - 1) ? INT32_MAX - 1 : static_cast<int32_t>(n);
    }
    return length < 0 ? 0 : length;
}

// A malloc'ed output buffer that grows in fixed steps; sizes stay within
// int32 so the out-parameters can hold them.
class GrowBuffer {
  public:
    GrowBuffer(int64_t initial, int32_t step) : step(step) {
        if (initial < 1 || initial > INT32_MAX) return;
        data = static_cast<char*>(std::malloc(static_cast<size_t>(initial)));
        if (data) size = static_cast<int32_t>(initial);
    }
    ~GrowBuffer() { std::free(data); }
    GrowBuffer(const GrowBuffer&) = delete;
    GrowBuffer& operator=(const GrowBuffer&) = delete;

    bool Ok() const { return data != nullptr; }

    // Appends n bytes, keeping room for the terminator.
    bool Append(const char* bytes, int32_t n) {
        if (!data) return false;
        int64_t needed = static_cast<int64_t>(length) + n + 1;
        if (needed > size) {
            int64_t grown = size;
            while (grown < needed)
                grown += step;
            if (grown > INT32_MAX) return Fail();
            char* bigger = static_cast<char*>(std::realloc(data, static_cast<size_t>(grown)));
            if (!bigger) return Fail();
            data = bigger;
            size = static_cast<int32_t>(grown);
        }
        std::memcpy(data + length, bytes, static_cast<size_t>(n));
        length += n;
        return true;
    }
    bool AppendByte(char c) { return Append(&c, 1); }

    char* Finish(int32_t* outLength, int32_t* outSize) {
        if (!data) return nullptr;
        data[length] = 0;
        if (outLength) *outLength = length;
        if (outSize) *outSize = size;
        char* result = data;
        data = nullptr;
        return result;
    }

  private:
    bool Fail() {
        std::free(data);
        data = nullptr;
        return false;
    }

    char* data = nullptr;
    int32_t size = 0;
    int32_t length = 0;
    int32_t step;
};

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool TokenIs(const char* token, int32_t length, const char* word) {
    int32_t n = static_cast<int32_t>(std::strlen(word));
    if (n != length) return false;
    for (int32_t i = 0; i < n; ++i) {
        char c = token[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != word[i]) return false;
    }
    return true;
}

// Reads a run of decimal digits, saturating rather than overflowing.
int32_t ReadNumber(const char*& p) {
    int32_t value = 0;
    while (IsDigit(*p)) {
        int32_t digit = *p - '0';
        value = value > (INT32_MAX - digit) / 10 ? INT32_MAX : value * 10 + digit;
        ++p;
    }
    return value;
}

void SkipSpace(const char*& p) {
    while (IsSpace(*p))
        ++p;
}

int32_t NextVersion(int32_t v) {
    return static_cast<int32_t>(static_cast<uint32_t>(v) + 1u);
}

} // namespace

// --- LogField ------------------------------------------------------------------

LogField::LogField(const char* text, int32_t len) : kind(Text), length(len) {
    value.text = text;
    if (!text)
        length = 0;
    else if (len == -1)
        length = static_cast<int32_t>(std::strlen(text));
    else if (len < 0)
        length = 0;
}

// --- LogFilterEntry ----------------------------------------------------------------

LogFilterEntry::LogFilterEntry(const char* text, int32_t length, int32_t lowBound, int32_t highBound)
    : name(nullptr), nameLength(length > 0 && text ? length : 0), low(lowBound), high(highBound) {
    if (nameLength > 0) {
        name = static_cast<char*>(std::malloc(static_cast<size_t>(nameLength)));
        if (name)
            std::memcpy(name, text, static_cast<size_t>(nameLength));
        else
            nameLength = 0;
    }
}

LogFilterEntry::~LogFilterEntry() {
    std::free(name);
}

bool LogFilterEntry::Matches(const char* text, int32_t length, int32_t number) const {
    if (length != nameLength) return false;
    if (length > 0 && std::memcmp(text, name, static_cast<size_t>(length)) != 0) return false;
    if (low != 0 && low > number) return false;
    if (high != 0 && high < number) return false;
    return true;
}

// --- VornApplication ---------------------------------------------------------------

VornApplication::VornApplication()
    : inclusions(true), exclusions(true), language("en-US"), defaultLanguage("en-US"),
      defaultDatabase("xbase3") {}

VornApplication::~VornApplication() {
    ClearLogFilter();
}

void VornApplication::ResetTimeLimit() {
    Config* config = GetConfig();
    int32_t seconds = config ? config->GetInteger(kConfigGlobalTimeout) : 0;
    // A negative setting would put the deadline in the past and time out
    // every request: it counts as no limit, as 0 does.
    globalDeadline.store(seconds > 0 ? NowSeconds() + seconds : 0, std::memory_order_release);
    // Cleared after the new deadline is in place, so a check racing with us
    // cannot leave a flag earned by the old deadline.
    timedOut.store(0, std::memory_order_release);
}

void VornApplication::ResetPostTimeLimit() {
    Config* config = GetConfig();
    int32_t seconds = config ? config->GetInteger(kConfigPostTimeout) : 0;
    postDeadline.store(seconds > 0 ? NowSeconds() + seconds : 0, std::memory_order_release);
    postTimedOut.store(0, std::memory_order_release);
}

void VornApplication::ClearPostTimeLimit() {
    postDeadline.store(0, std::memory_order_release);
    postTimedOut.store(0, std::memory_order_release);
}

int32_t VornApplication::TimedOut() {
    return timedOut.load(std::memory_order_acquire);
}

int32_t VornApplication::WriteText(const char* text) {
    if (!text) return 0;
    return Write(text, static_cast<int32_t>(std::strlen(text)));
}

int32_t VornApplication::WriteString(const String& text) {
    return Write(text.Text(), text.Length());
}

int32_t VornApplication::Write(const char* bytes, int32_t length) {
    Output* output = GetOutput();
    if (output) output->WriteAndFlush(bytes, length);
    return 0;
}

void VornApplication::CheckTimeouts() {
    tickCounter.fetch_add(1, std::memory_order_acq_rel);
    int64_t global = globalDeadline.load(std::memory_order_acquire);
    int64_t post = postDeadline.load(std::memory_order_acquire);
    if (global == 0 && post == 0) return;
    int64_t now = NowSeconds();
    if (global > 0 && now > global) timedOut.store(1, std::memory_order_release);
    if (post > 0 && now > post) postTimedOut.store(1, std::memory_order_release);
}

int64_t VornApplication::SecondsLeft() {
    int64_t global = globalDeadline.load(std::memory_order_acquire);
    if (global == 0) return -1;
    return global - NowSeconds();
}

const String& VornApplication::SetLanguage(const char* text, int32_t length) {
    language.Assign(text, length);
    languageVersion = NextVersion(languageVersion);
    return language;
}

const String& VornApplication::SetDefaultLanguage(const char* text, int32_t length) {
    defaultLanguage.Assign(text, length);
    defaultLanguageVersion = NextVersion(defaultLanguageVersion);
    return defaultLanguage;
}

const String& VornApplication::SetDefaultDatabase(const char* text, int32_t length) {
    defaultDatabase.Assign(text, length);
    defaultDatabaseVersion = NextVersion(defaultDatabaseVersion);
    return defaultDatabase;
}

int32_t VornApplication::EnsureOpenSSL(String* error) {
    if (sslContext) return 1;
    return LoadOpenSSL(error) ? 1 : 0;
}

void VornApplication::ClearLogFilter() {
    inclusions.Clear();
    exclusions.Clear();
}

void VornApplication::ParseLogFilter(const char* text) {
    ClearLogFilter();
    if (!text) return;
    const char* p = text;
    while (*p) {
        SkipSpace(p);
        bool exclude = false;
        if (*p == '!') {
            exclude = true;
            ++p;
            SkipSpace(p);
        }
        if (*p == ',') {
            ++p;
            continue;
        }
        if (*p == 0) break; // nothing but white space (or a lone '!') left
        const char* name = p;
        while (*p && !IsSpace(*p) && *p != ':' && *p != ',')
            ++p;
        int32_t nameLength = static_cast<int32_t>(p - name);
        SkipSpace(p);
        int32_t low = 0;
        int32_t high = 0;
        if (*p == ':') {
            ++p;
            SkipSpace(p);
            low = ReadNumber(p);
            SkipSpace(p);
            if (*p == '-') {
                ++p;
                SkipSpace(p);
                high = ReadNumber(p);
            } else {
                high = low;
            }
        }
        auto* entry = new LogFilterEntry(name, nameLength, low, high);
        (exclude ? exclusions : inclusions).Insert(entry, kListTail);
        while (*p && *p != ',')
            ++p;
        if (*p == ',') ++p;
    }
}

bool VornApplication::LogFilterAccepts(const char* name, int32_t length, int32_t number) {
    if (loggingSuppressed) return false;
    if (!name)
        length = 0;
    else if (length == -1)
        length = static_cast<int32_t>(std::strlen(name));
    else if (length < 0)
        length = 0;
    for (LogFilterEntry* entry = exclusions.First(); entry; entry = exclusions.Next())
        if (entry->Matches(name, length, number)) return false;
    if (inclusions.Count() == 0) return true;
    for (LogFilterEntry* entry = inclusions.First(); entry; entry = inclusions.Next())
        if (entry->Matches(name, length, number)) return true;
    return false;
}

void VornApplication::Log(uint32_t, const LogField*) {}

const char* VornApplication::LogEventName(uint32_t event) {
    switch (event) {
    case LogFunctionCall:
        return "Function Call";
    case LogFunctionParameter:
        return "Function Parameter";
    case LogFunctionReturnValue:
        return "Function Return Value";
    case LogFunctionReturn:
        return "Function Return";
    case LogExternalFunctionCall:
        return "External Function Call";
    case LogExternalFunctionParameter:
        return "External Function Parameter";
    case LogExternalFunctionReturnValue:
        return "External Function Return Value";
    case LogExternalFunctionReturn:
        return "External Function Return";
    case LogDoEnter:
        return "VrDO Enter";
    case LogDoExit:
        return "VrDO Exit";
    case LogCall:
        return "VrCALL";
    case LogSmtp:
        return "VrSMTP";
    case LogTimedOut:
        return "Application Timed Out";
    case LogRuntimeError:
        return "Runtime Error";
    case LogFatalError:
        return "Fatal Error";
    case LogTrace:
        return "Trace";
    default:
        return "Unknown";
    }
}

void VornApplication::RequestStop() {
    timedOut.store(1, std::memory_order_release);
}

bool VornApplication::StopRequested() const {
    return timedOut.load(std::memory_order_acquire) != 0 ||
           exitRequested.load(std::memory_order_acquire) != 0;
}

int32_t VornApplication::FileDelay() {
    Config* config = GetConfig();
    int32_t delay = config ? config->GetInteger(kConfigFileDelay) : DefaultFileDelay;
    return delay < 0 ? 0 : delay;
}

// --- Codecs ---------------------------------------------------------------------------

char* EntityEncode(const char* text, int32_t length, int32_t* outLength, int32_t* outSize) {
    int32_t n = InputLength(text, length);
    GrowBuffer out(static_cast<int64_t>(n) + 512, 512);
    for (int32_t i = 0; i < n && out.Ok(); ++i) {
        int32_t entityLength = 0;
        if (const char* entity = EncodedEntity(text[i], &entityLength))
            out.Append(entity, entityLength);
        else
            out.AppendByte(text[i]);
    }
    return out.Finish(outLength, outSize);
}

char* EntityDecode(const char* text, int32_t length, int32_t* outLength, int32_t* outSize) {
    int32_t n = InputLength(text, length);
    GrowBuffer out(static_cast<int64_t>(n) + 1, 512);
    int32_t i = 0;
    while (i < n && out.Ok()) {
        if (text[i] != '&') {
            out.AppendByte(text[i++]);
            continue;
        }
        int32_t stop = i + 1;
        while (stop < n && text[stop] != ';' && !IsSpace(text[stop]))
            ++stop;
        if (stop == n || text[stop] == ';') {
            const char* token = text + i + 1;
            int32_t tokenLength = stop - i - 1;
            char decoded = 0;
            if (TokenIs(token, tokenLength, "lt"))
                decoded = '<';
            else if (TokenIs(token, tokenLength, "gt"))
                decoded = '>';
            else if (TokenIs(token, tokenLength, "amp"))
                decoded = '&';
            else if (TokenIs(token, tokenLength, "#40"))
                decoded = '(';
            else if (TokenIs(token, tokenLength, "#41"))
                decoded = ')';
            else if (TokenIs(token, tokenLength, "quot"))
                decoded = '"';
            if (decoded) {
                out.AppendByte(decoded);
                i = stop < n ? stop + 1 : stop;
                continue;
            }
        }
        int32_t end = stop < n ? stop + 1 : stop;
        out.Append(text + i, end - i);
        i = end;
    }
    return out.Finish(outLength, outSize);
}

char* AttributeEncode(const char* text, int32_t length, int32_t* outLength, int32_t* outSize) {
    static const char kHex[] = "0123456789ABCDEF";
    static const char kEscaped[] = "~`!#$%^&()+={}[]|\\:;'<>,?/\"";
    int32_t n = InputLength(text, length);
    GrowBuffer out(static_cast<int64_t>(n) + 512, 512);
    for (int32_t i = 0; i < n && out.Ok(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == ' ') {
            out.AppendByte('+');
        } else if (c < 0x20 || c > 0x7F || (c != 0 && std::strchr(kEscaped, c) != nullptr)) {
            char piece[3] = {'%', kHex[c >> 4], kHex[c & 0x0F]};
            out.Append(piece, 3);
        } else {
            out.AppendByte(static_cast<char>(c));
        }
    }
    return out.Finish(outLength, outSize);
}

char* AttributeDecode(const char* text, int32_t length, int32_t* outLength, int32_t* outSize) {
    int32_t n = InputLength(text, length);
    GrowBuffer out(static_cast<int64_t>(n) + 1, 512);
    int32_t i = 0;
    while (i < n && out.Ok()) {
        char c = text[i];
        if (c == '%' && n - i >= 3) {
            int high = HexValue(text[i + 1]);
            int low = HexValue(text[i + 2]);
            if (high >= 0 && low >= 0) {
                out.AppendByte(static_cast<char>(high * 16 + low));
                i += 3;
                continue;
            }
        }
        out.AppendByte(c == '+' ? ' ' : c);
        ++i;
    }
    return out.Finish(outLength, outSize);
}

char* CopyWithoutNuls(const char* bytes, int32_t n, int32_t* outLength, int32_t* outSize) {
    if (!bytes || n < 0) n = 0;
    GrowBuffer out(static_cast<int64_t>(n) + 1, 512);
    for (int32_t i = 0; i < n && out.Ok(); ++i)
        if (bytes[i] != 0) out.AppendByte(bytes[i]);
    return out.Finish(outLength, outSize);
}

} // namespace vorn
