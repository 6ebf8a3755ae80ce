// The application of one web request: a worker makes it for the request's
// control block, runs it once and destroys it. Run reads the request's
// configuration, checks the directories and the script path, loads the
// compiled script, builds its virtual machine, turns the request into script
// variables, reads the body, runs the script and sends the response.
// Everything a request makes is owned here; nothing outlives the request.
// The program it runs may be shared with other requests of the same script
// (ScriptCache): what the run may change is its own copy.
#pragma once

#include <new>

#include <cstdint>

#include "database/library/ExternalDatabaseLibraryManager.h"
#include "engine/foundation/String.h"
#include "host/app/HostApplication.h"
#include "host/web/HTTPOutput.h"
#include "host/web/ISAPIBaseConfig.h"
#include "host/web/RequestPool.h"
#include "platform/ISAPI.h"
#include "platform/Modules.h"
#include "platform/Time.h"

namespace vorn {

class HTTPContentParser;
class VornVM;

// The value of a cookie of exactly that name in a Cookie header ("a=1; b=2"),
// or null; its length through valueLength.
const char* FindCookie(const char* cookies, const char* name, int32_t* valueLength);

// The request's own system variables are deferred (DeferredSystemVariables):
// each step below records what it would add, and the system table adds it
// all, in the same order, the first time anything could see it; a run that
// never looks at them never makes them.
class ISAPIApplication : public HostApplication, public ServedRequest, private DeferredSystemVariables {
  public:
    // The token stands for the caller's identity, which this platform does
    // not take on; it is not used.
    ISAPIApplication(platform::ModuleHandle module, platform::ISAPIControlBlock* controlBlock, void* token);
    ~ISAPIApplication() override;

    // A worker makes one application a request: the block of the last one
    // it freed is kept for the next (some kilobytes, beyond the allocator's
    // per-thread caches).
    static void* operator new(size_t size);
    static void* operator new(size_t size, const std::nothrow_t&) noexcept;
    static void operator delete(void* block, size_t size) noexcept;

    // --- VornApplication ------------------------------------------------------
    Config* GetConfig() override { return &config; }
    const char* InterfaceName() override { return "VornIIS"; }
    // Adds the default headers first, then writes and flushes; returns 0.
    int32_t Write(const char* bytes, int32_t length) override;
    void CheckTimeouts() override;

    // --- ServedRequest --------------------------------------------------------------
    // 0 after the script ran, 1 when a step failed before it could run (the
    // response then holds the step's message).
    int32_t Run() override;

    // "Configuration Error: " message "<br>" and the administrator's address.
    int32_t ConfigurationErrorPage(const String* message);

    // --- Request variables, in the order Run makes them ------------------------------
    bool AddServerVariables();
    bool AddSystemVariables();
    bool AddArguments();
    // False, with the parser's message written, when the query string fails.
    bool AddQueryVariables();
    bool AddDocumentURL();
    // "Content-Type: text/html" and, with "usecookies", the caller-id cookie;
    // once per request.
    void AddDefaultHeaders();
    void SetCallerCookie();
    // Suppresses the request's log unless its "vornlogcookie" cookie carries
    // exactly the configured text.
    void CheckLogCookie(const char* configured);
    // Reads the body through the parser its content type calls for; false,
    // with the message written, when it cannot be taken.
    bool ReadPostData();

    Ladrel& Configuration() { return config; }
    ISAPIOutput& Response() { return response; }
    ProgramTables& Program() { return program; }

  private:
    // The steps that add system variables, in the order they were taken.
    enum class Step : uint8_t { ServerVariables, SystemVariables, Arguments, DocumentURL, CallerId };
    static constexpr int32_t kMaxSteps = 8;

    // --- DeferredSystemVariables ----------------------------------------------------
    bool MayHold(const char* name, int32_t length) override;
    void AddTo(VariableHash& table) override;

    // Records the step while the system table is deferred, else takes it.
    void Take(Step step);
    void Put(Step step, VariableHash& scope);
    void PutServerVariables(VariableHash& scope);
    void PutSystemVariables(VariableHash& scope);
    void PutArguments(VariableHash& scope);
    void PutDocumentURL(VariableHash& scope);
    // ALL_HTTP, read once.
    const char* AllHttp();

    bool Fail(const String& message);
    bool FailConfiguration(const String& message);
    bool CheckScriptPath(String* scriptName);
    bool LoadScript(const String& scriptName);
    bool CheckDataDirectory();
    bool RunParser(HTTPContentParser& parser, int64_t length);
    ServerText ServerVariable(const char* name);
    // The request's fields as the server filled the block; they live as
    // long as the request.
    const char* PathInfo() const { return controlBlock->pathInfo; }
    const char* QueryString() const { return controlBlock->queryString; }

    platform::ISAPIControlBlock* controlBlock;
    ISAPIOutput response;
    ExternalDatabaseLibraryManager databaseManager;
    ProgramTables program;
    Ladrel config;
    VornVM* vm = nullptr;
    bool defaultHeadersAdded = false;

    Step steps[kMaxSteps] = {};
    int32_t stepCount = 0;
    bool stepTaken = false;
    // What the steps took when they were taken: the time of the request,
    // its time-out, the worker's thread, the caller id.
    platform::CalendarTime requestTime;
    int32_t globalTimeout = 0;
    int64_t threadId = 0;
    String callerId;
    ServerText allHttp;
    bool allHttpRead = false;
    // Whether every header name of ALL_HTTP begins with HTTP_ (-1 not yet known).
    int8_t headersPrefixed = -1;
};

} // namespace vorn
