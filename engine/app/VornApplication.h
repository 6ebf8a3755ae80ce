// The abstract host of one run of a compiled program: output, configuration,
// managers, time limits, language state, logging and a few text codecs.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/foundation/List.h"
#include "engine/foundation/String.h"

namespace vorn {

class Config;
class Output;
class FileManager;
class NetworkSource;
class ExternalLibraryManager;
class CommerceSource;
class DatabaseLibrarySource;
class HostFeatureSource;
class SystemLibraryManager;
class Variable;

// Log event bits: the "loglevel" setting is a sum of these.
enum LogEvent : uint32_t {
    LogFunctionCall = 0x10,
    LogFunctionParameter = 0x20,
    LogFunctionReturnValue = 0x40,
    LogFunctionReturn = 0x80,
    LogExternalFunctionCall = 0x100,
    LogExternalFunctionParameter = 0x200,
    LogExternalFunctionReturnValue = 0x400,
    LogExternalFunctionReturn = 0x800,
    LogDoEnter = 0x1000,
    LogDoExit = 0x2000,
    LogCall = 0x100000,
    LogSmtp = 0x200000,
    LogTimedOut = 0x8000000,
    LogRuntimeError = 0x10000000,
    LogFatalError = 0x20000000,
    LogTrace = 0x40000000,
};

// One field of a log event; an array of them ends with an end field.
struct LogField {
    enum Kind : uint32_t { Text = 0, Integer = 1, Double = 2, Var = 3, End = 4 };

    // End field.
    LogField() : kind(End), length(0) { value.text = nullptr; }
    // Text field; length -1 is replaced by the text's length up to its NUL.
    LogField(const char* text, int32_t len);

    uint32_t kind;
    union {
        const char* text;
        int32_t integer;
        double number;
        Variable* variable;
    } value;
    int32_t length;
};

// One entry of the log filter: a source-file name and a line range, where a
// bound of 0 is open.
class LogFilterEntry {
  public:
    LogFilterEntry(const char* name, int32_t length, int32_t low, int32_t high);
    virtual ~LogFilterEntry();
    LogFilterEntry(const LogFilterEntry&) = delete;
    LogFilterEntry& operator=(const LogFilterEntry&) = delete;

    bool Matches(const char* name, int32_t length, int32_t number) const;

    const char* Name() const { return name; }
    int32_t NameLength() const { return nameLength; }
    int32_t Low() const { return low; }
    int32_t High() const { return high; }

  private:
    char* name; // owned copy, not NUL-terminated
    int32_t nameLength;
    int32_t low;
    int32_t high;
};

// Result codes of WaitForStop.
inline constexpr int32_t WaitStopSignalled = 0;
inline constexpr int32_t WaitTimedOut = 258;

class VornApplication {
  public:
    VornApplication();
    virtual ~VornApplication();
    VornApplication(const VornApplication&) = delete;
    VornApplication& operator=(const VornApplication&) = delete;

    // --- Managers, configuration, outputs -----------------------------------
    // The request's network manager (the host's NetworkManager), or null.
    virtual NetworkSource* GetNetworkManager() = 0;
    virtual FileManager* GetFileManager() = 0;
    virtual ExternalLibraryManager* GetExternalLibraryManager() = 0;
    virtual CommerceSource* GetCommerceLibraryManager() { return nullptr; }
    virtual DatabaseLibrarySource* GetDatabaseLibraryManager() { return nullptr; }
    virtual SystemLibraryManager* GetSystemLibraryManager() { return nullptr; }
    // Lock files, flat files and output capture for the tag handlers.
    virtual HostFeatureSource* GetHostFeatures() { return nullptr; }
    virtual Config* GetConfig() = 0;
    virtual const char* InterfaceName() = 0;
    virtual const char* DefaultRemoteAddress() = 0;
    // The current local time as an HTTP date: a malloc'ed, NUL-terminated
    // buffer the caller frees; its length through outLength (optional).
    virtual char* HTTPDate(int32_t* outLength) = 0;
    // Text of the last operating-system error (captured at the failure), or
    // null when there is none.
    virtual const char* LastSystemErrorText() = 0;
    virtual Output* GetOutput() = 0;
    // Makes the given output current and hands back the previous one, which
    // the caller owns again.
    virtual Output* SetOutput(Output* output) = 0;
    // Traditional DES crypt of the key (at most 8 characters) with a
    // 2-character salt: a malloc'ed 14-byte buffer holding 13 characters.
    virtual char* Crypt(const char* key, int32_t keyLength, const char* salt, int32_t* outLength,
                        int32_t* outSize) = 0;
    // 32 hexadecimal characters in a malloc'ed buffer the caller frees.
    virtual char* MakeSessionID(int32_t* outLength) = 0;

    // --- Time limits ----------------------------------------------------------
    // Starts the global deadline from "globaltimeout" (0: none) and clears the
    // timed-out flag.
    virtual void ResetTimeLimit();
    // Starts the POST-intake deadline from "posttimeout" and clears its flag.
    virtual void ResetPostTimeLimit();
    virtual void ClearPostTimeLimit();
    virtual int32_t TimedOut();
    // Server name written into lock owner texts.
    virtual const char* ServerName() = 0;
    // Seconds after which another server's lock counts as stale (0: never).
    virtual int32_t LockExpiration() = 0;

    // --- Writing --------------------------------------------------------------
    virtual int32_t WriteText(const char* text);
    virtual int32_t WriteString(const String& text);
    // Passes the bytes to WriteAndFlush of the current output; returns 0.
    virtual int32_t Write(const char* bytes, int32_t length);

    // Waits up to the given milliseconds for the request to be stopped:
    // WaitStopSignalled when it was, WaitTimedOut when the time passed.
    virtual int32_t WaitForStop(int32_t milliseconds) = 0;
    // Called by the watchdog thread: counts a tick and marks passed deadlines.
    virtual void CheckTimeouts();
    // Seconds to the global deadline (negative once passed), -1 without one.
    virtual int64_t SecondsLeft();

    // --- Language and default database ----------------------------------------
    virtual const String& Language() { return language; }
    virtual int32_t LanguageVersion() { return languageVersion; }
    virtual const String& DefaultLanguage() { return defaultLanguage; }
    virtual int32_t DefaultLanguageVersion() { return defaultLanguageVersion; }
    virtual const String& DefaultDatabase() { return defaultDatabase; }
    virtual int32_t DefaultDatabaseVersion() { return defaultDatabaseVersion; }
    // Each set assigns the text (length -1: up to the NUL) and raises the
    // counter, even when the text is unchanged.
    virtual const String& SetLanguage(const char* text, int32_t length);
    virtual const String& SetDefaultLanguage(const char* text, int32_t length);
    virtual const String& SetDefaultDatabase(const char* text, int32_t length);

    // --- TLS library ----------------------------------------------------------
    // 1 when the TLS context exists, else the result of LoadOpenSSL.
    virtual int32_t EnsureOpenSSL(String* error);
    virtual bool LoadOpenSSL(String* error) = 0;
    virtual void* SSLFunction(const char* name) = 0;
    // The bound table (SSLFunctionCount entries, the host's OpenSSLEntry
    // order) and the TLS client context; null context until EnsureOpenSSL.
    void* const* SSLFunctions() const { return sslFunctions; }
    void* SSLContext() const { return sslContext; }

    // --- Logging --------------------------------------------------------------
    // Replaces both filter lists with the entries of a filter text such as
    // "orders:10-20, !other, third:5". Never fails; a null text clears them.
    virtual void ParseLogFilter(const char* text);
    // Writes one event; the base writes nothing.
    virtual void Log(uint32_t event, const LogField* fields);
    virtual const char* LogEventName(uint32_t event);

    // Marks the run timed out so that waits and the interpreter stop; the web
    // host also signals its stop event.
    virtual void RequestStop();

    // Whether an event of that source file and line may be logged.
    // (Walks the lists with their cursors.)
    bool LogFilterAccepts(const char* name, int32_t length, int32_t number);

    // --- Non-virtual helpers ----------------------------------------------------
    void SetLoggingSuppressed(bool suppressed) { loggingSuppressed = suppressed ? 1 : 0; }
    bool LoggingSuppressed() const { return loggingSuppressed != 0; }
    int32_t PostTimedOut() const { return postTimedOut.load(std::memory_order_acquire); }
    uint32_t TickCount() const { return tickCounter.load(std::memory_order_acquire); }
    int64_t GlobalDeadline() const { return globalDeadline.load(std::memory_order_acquire); }
    int64_t PostDeadline() const { return postDeadline.load(std::memory_order_acquire); }
    int32_t ExitRequested() const { return exitRequested.load(std::memory_order_acquire); }
    // True once the run is timed out, stopped or asked to exit: blocking loops
    // (lock waits, rename retries) give up then.
    bool StopRequested() const;
    // The configured pause between file retries, milliseconds ("filedelay"; 100
    // without a configuration; never negative).
    int32_t FileDelay();

    // The places the virtual machine and its sub-programs watch and share.
    std::atomic<uint32_t>* TickCounterPlace() { return &tickCounter; }
    std::atomic<int32_t>* TimedOutPlace() { return &timedOut; }
    std::atomic<int32_t>* ExitRequestedPlace() { return &exitRequested; }

    List<LogFilterEntry>& Inclusions() { return inclusions; }
    List<LogFilterEntry>& Exclusions() { return exclusions; }

    // The 46 calls of the TLS code, the system trust store's loader, the
    // error-queue reset and the name-entry reader.
    static constexpr int32_t SSLFunctionCount = 49;

  protected:
    // Set by the request application once it made the TLS client context.
    void* sslContext = nullptr;
    void* sslFunctions[SSLFunctionCount] = {};

    // Read and written by the watchdog thread as well.
    std::atomic<uint32_t> tickCounter{0};
    std::atomic<int32_t> timedOut{0};
    std::atomic<int32_t> postTimedOut{0};
    std::atomic<int32_t> exitRequested{0};
    std::atomic<int64_t> globalDeadline{0};
    std::atomic<int64_t> postDeadline{0};

    uint8_t loggingSuppressed = 0;

  private:
    void ClearLogFilter();

    List<LogFilterEntry> inclusions;
    List<LogFilterEntry> exclusions;
    String language;
    int32_t languageVersion = 1;
    String defaultLanguage;
    int32_t defaultLanguageVersion = 1;
    String defaultDatabase;
    int32_t defaultDatabaseVersion = 1;
};

// Text codecs. Each returns a new malloc'ed, NUL-terminated buffer that the
// caller frees, with its length and allocated size through the optional
// out-parameters; a length of -1 means up to the NUL. They return null only
// when the result could not be sized or allocated.

// < > & " ( ) become "&lt;" "&gt;" "&amp;" "&quot;" "&#40;" "&#41;".
char* EntityEncode(const char* text, int32_t length, int32_t* outLength, int32_t* outSize);
// The entity EntityEncode writes for c (its length in *length), or null
// for a byte it keeps.
inline const char* EncodedEntity(char c, int32_t* length) {
    switch (c) {
    case '<': *length = 4; return "&lt;";
    case '>': *length = 4; return "&gt;";
    case '&': *length = 5; return "&amp;";
    case '"': *length = 6; return "&quot;";
    case '(': *length = 5; return "&#40;";
    case ')': *length = 5; return "&#41;";
    default: return nullptr;
    }
}
// The reverse; other '&' sequences are copied as they are.
char* EntityDecode(const char* text, int32_t length, int32_t* outLength, int32_t* outSize);
// Space becomes '+', control, high and punctuation bytes "%XX".
char* AttributeEncode(const char* text, int32_t length, int32_t* outLength, int32_t* outSize);
// "%XX" (either case) becomes that byte, '+' a space.
char* AttributeDecode(const char* text, int32_t length, int32_t* outLength, int32_t* outSize);
// Copies n bytes dropping every NUL byte.
char* CopyWithoutNuls(const char* bytes, int32_t n, int32_t* outLength, int32_t* outSize);

} // namespace vorn
