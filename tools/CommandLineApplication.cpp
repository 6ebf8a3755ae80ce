#include "tools/CommandLineApplication.h"

#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "engine/app/PosixExternalLibrary.h"
#include "engine/files/PosixFile.h"
#include "engine/foundation/Hash.h"
#include "engine/foundation/Number.h"
#include "engine/program/Dictionary.h"
#include "engine/program/Segment.h"
#include "engine/program/TaggedFile.h"
#include "engine/values/FunctionManager.h"
#include "engine/values/Localisation.h"
#include "engine/values/SystemVariables.h"
#include "engine/values/VariableHash.h"
#include "engine/vm/VornVM.h"
#include "host/CommerceLibrary.h"
#include "host/Crypt.h"
#include "host/ExternalCall.h"
#include "host/LogLine.h"
#include "host/OpenSSL.h"
#include "host/PosixNetwork.h"
#include "host/SystemLibrary.h"
#include "platform/Errors.h"
#include "platform/Modules.h"
#include "platform/Process.h"
#include "platform/Random.h"
#include "platform/Time.h"

namespace vorn {

namespace {

char* CopyText(const char* text, int32_t length, int32_t* outLength) {
    auto* buffer = static_cast<char*>(std::malloc(static_cast<size_t>(length) + 1));
    if (!buffer) return nullptr;
    std::memcpy(buffer, text, static_cast<size_t>(length));
    buffer[length] = '\0';
    if (outLength) *outLength = length;
    return buffer;
}

bool IsAbsolute(const char* path) {
    return path && path[0] == '/';
}

// The directory part of a path ("." when it has none).
String DirectoryOf(const char* path) {
    const char* slash = std::strrchr(path, '/');
    if (!slash) return String(".");
    if (slash == path) return String("/");
    return String(path, static_cast<int32_t>(slash - path));
}

String WorkingDirectory() {
    char buffer[4096];
    if (!getcwd(buffer, sizeof buffer)) return String(".");
    return String(buffer);
}

// The roots of the file manager are absolute; relative ones given on the
// command line count from the working directory.
String AbsolutePath(const String& path) {
    if (IsAbsolute(path.Text())) return path;
    String absolute = WorkingDirectory();
    if (path.Equals(".")) return absolute;
    absolute.Append("/");
    absolute.AppendString(path);
    return absolute;
}

// Ticks the application's watchdog counter until stopped: what the web
// host's watchdog thread does for a running request.
class Watchdog {
  public:
    Watchdog(VornApplication* application, int32_t intervalMilliseconds)
        : thread([this, application, intervalMilliseconds] {
              std::unique_lock<std::mutex> lock(mutex);
              while (!stopping) {
                  wake.wait_for(lock, std::chrono::milliseconds(intervalMilliseconds));
                  if (!stopping) application->CheckTimeouts();
              }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        wake.notify_all();
        thread.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

  private:
    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    std::thread thread;
};

} // namespace

// --- DescriptorOutput ---------------------------------------------------------------

DescriptorOutput::DescriptorOutput(int fd, int32_t size) : BufferedOutput(size), descriptor(fd) {}

DescriptorOutput::~DescriptorOutput() {
    Flush();
}

int32_t DescriptorOutput::Send(const char* bytes, int32_t length) {
    int32_t sent = 0;
    while (sent < length) {
        ssize_t n = ::write(descriptor, bytes + sent, static_cast<size_t>(length - sent));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        sent += static_cast<int32_t>(n);
    }
    return sent;
}

// --- CommandLineApplication ----------------------------------------------------------

CommandLineApplication::CommandLineApplication(Output* sink)
    : output(sink), files(new PosixFileManager(this)),
      libraries(new PosixExternalLibraryManager(this, platform::HostModule())),
      commerceLibraries(new CommerceLibraryManager(this)), systemLibraries(new SystemLibraryManager(this)),
      network(new PosixNetworkManager(this)) {}

CommandLineApplication::~CommandLineApplication() {
    delete network;
    FreeOpenSSLContext(sslFunctions, &sslContext);
    delete systemLibraries;
    delete commerceLibraries;
    delete files;
    // Last of the library objects: release calls made while the others were
    // destroyed still found their modules.
    delete libraries;
}

FileManager* CommandLineApplication::GetFileManager() {
    return files;
}

ExternalLibraryManager* CommandLineApplication::GetExternalLibraryManager() {
    return libraries;
}

CommerceLibraryManager* CommandLineApplication::GetCommerceLibraryManager() {
    return commerceLibraries;
}

SystemLibraryManager* CommandLineApplication::GetSystemLibraryManager() {
    return systemLibraries;
}

ConfiguredLibraries* CommandLineApplication::ConfiguredLibrariesOf(int32_t family) {
    if (family == kLibraryFamilyCommerce) return commerceLibraries;
    if (family == kLibraryFamilySystem) return systemLibraries;
    if (family == kLibraryFamilyDatabase) return databaseLibraries;
    return nullptr;
}

int32_t CommandLineApplication::SetOption(const char* assignment, String* error) {
    const char* equals = assignment ? std::strchr(assignment, '=') : nullptr;
    if (!equals || equals == assignment) {
        if (error) error->Assign("Expected name=value");
        return 0;
    }
    int32_t nameLength = static_cast<int32_t>(equals - assignment);
    const char* value = equals + 1;
    for (const ConfigItemInfo& item : kConfigItems) {
        const char* itemName = item.registryName ? item.registryName : item.memberName;
        if (!itemName || static_cast<int32_t>(std::strlen(itemName)) != nameLength ||
            CompareTextNoCase(itemName, assignment, nameLength) != 0)
            continue;
        if (IsConfigIntegerItem(item.id)) {
            int32_t invalid = 0;
            int32_t number = ParseInteger(value, -1, &invalid);
            if (invalid || !value[0]) {
                if (error)
                    *error = String("Not a number for '") + String(assignment, nameLength) + "': " + value;
                return 0;
            }
            config.SetInteger(item.id, number);
            return 1;
        }
        int32_t length = static_cast<int32_t>(std::strlen(value));
        char* copy = CopyText(value, length, nullptr);
        if (!copy || !config.SetText(item.id, copy, length, true)) {
            std::free(copy);
            if (error) error->Assign("Out of memory");
            return 0;
        }
        return 1;
    }
    if (error) *error = String("Unknown configuration item '") + String(assignment, nameLength) + "'";
    return 0;
}

void CommandLineApplication::AddLibrary(const char* path) {
    libraryPaths.Insert(new String(path), kListTail);
}

void CommandLineApplication::AddCommerceLibrary(const char* method, const char* path) {
    commerceLibraries->RegisterLibrary(method, path);
}

void CommandLineApplication::AddSystemLibrary(const char* name, const char* path) {
    systemLibraries->RegisterLibrary(name, path);
}

void CommandLineApplication::AddDatabaseLibrary(const char* type, const char* path) {
    databaseTypes.Insert(new String(type), kListTail);
    databasePaths.Insert(new String(path), kListTail);
}

int32_t CommandLineApplication::Fail(String* error, const String& text) {
    if (error) error->Assign(text);
    return kRunNotLoaded;
}

int32_t CommandLineApplication::Run(const char* programPath, String* error) {
    if (!programPath || !programPath[0]) return Fail(error, String("No program given"));

    String scriptRoot = AbsolutePath(scriptDirectory.IsEmpty() ? DirectoryOf(programPath) : scriptDirectory);
    if (!files->CheckScriptDirectory(scriptRoot.Text()))
        return Fail(error, String("Script directory '") + scriptRoot + "': " + files->ErrorText());
    String dataRoot = dataDirectory.IsEmpty() ? WorkingDirectory() : AbsolutePath(dataDirectory);
    if (!files->CheckDataDirectory(dataRoot.Text()))
        return Fail(error, String("Data directory '") + dataRoot + "': " + files->ErrorText());

    File* file = (!scriptDirectory.IsEmpty() && !IsAbsolute(programPath))
                     ? files->Open(LocationScript, programPath, OpenRead)
                     : files->OpenPath(programPath, OpenRead);
    if (!file) return Fail(error, String("Unable to execute '") + programPath + "': " + files->ErrorText());
    return RunFile(programPath, file, error);
}

int32_t CommandLineApplication::RunImage(const char* name, File* file, String* error) {
    String scriptRoot = scriptDirectory.IsEmpty() ? WorkingDirectory() : AbsolutePath(scriptDirectory);
    String dataRoot = dataDirectory.IsEmpty() ? WorkingDirectory() : AbsolutePath(dataDirectory);
    if (!files->CheckScriptDirectory(scriptRoot.Text()) || !files->CheckDataDirectory(dataRoot.Text())) {
        delete file;
        return Fail(error, files->ErrorText());
    }
    return RunFile(name, file, error);
}

int32_t CommandLineApplication::RunFile(const char* name, File* file, String* error) {
    // The per-run objects, in the order the web host makes them; the
    // function libraries go before the library loader, which outlives them.
    TaggedFile reader(files);
    Dictionary pool;
    SystemVariableHash system(&pool, kScopeBits, kScopeCapacity);
    VariableHash globals(&pool, kScopeBits, kScopeCapacity);
    SegmentManager segments;
    FunctionManager functions(&pool, 8);
    ExternalCallManager externalCalls(this);
    LocalizedLanguages languages(this, &pool, &reader, 12, 8);
    LocalizedDictionary texts;

    for (String* path = libraryPaths.First(); path; path = libraryPaths.Next()) {
        if (!externalCalls.RegisterLibrary(path->Text())) {
            delete file;
            return Fail(error,
                        String("Unable to register library '") + *path + "': " + externalCalls.ErrorText());
        }
    }

    if (!reader.OpenRead(name, file)) {
        String reason = reader.ErrorText();
        delete file;
        return Fail(error, String("Unable to execute '") + name + "': " + reason);
    }
    if (!pool.ReadChunk(reader) || !system.LoadSection(reader, kSectionSyst) ||
        !globals.LoadSection(reader, kSectionGlbl) || !languages.Load() || !texts.Load(reader) ||
        !segments.Load(reader) || !functions.ReadChunk(reader))
        return Fail(error,
                    String("Unable to execute '") + name +
                        "': File does not exist, is corrupt, is not a valid Vorn Script file, or cannot be "
                        "opened due to permission problems");

    AddComputedSystemVariables(system, this, this);

    if (const char* filter = config.GetText(kConfigLogFilter)) {
        if (filter[0]) ParseLogFilter(filter);
    }

    // A manager per run, as the web host makes one per request; it outlives
    // the VM, whose databases make their last library calls as it goes.
    ExternalDatabaseLibraryManager databases(this);
    String* path = databasePaths.First();
    for (String* type = databaseTypes.First(); type && path; type = databaseTypes.Next()) {
        databases.RegisterLibrary(type->Text(), path->Text());
        path = databasePaths.Next();
    }
    databaseLibraries = &databases;

    int ran = 0;
    {
        VornVM vm(name, -1, this, &pool, &system, &globals, &segments, &functions, &externalCalls,
                  commerceLibraries, &databases, &languages, &texts, TickCounterPlace(), TimedOutPlace(),
                  ExitRequestedPlace(), nullptr);
        reader.ReleaseFile();
        ResetTimeLimit();
        Watchdog watchdog(this, watchdogInterval);
        ran = vm.Execute();
    }
    databaseLibraries = nullptr;
    if (output) {
        output->Commit(1);
        output->Flush();
    }
    return ran ? kRunCompleted : kRunFailed;
}

// --- VornApplication ------------------------------------------------------------------

char* CommandLineApplication::HTTPDate(int32_t* outLength) {
    time_t now = static_cast<time_t>(platform::NowSeconds());
    struct tm local {};
    if (!localtime_r(&now, &local)) return CopyText("", 0, outLength);
    char buffer[128];
    size_t n = strftime(buffer, sizeof buffer, "%a, %d %b %Y %H:%M:%S ", &local);
    long east = local.tm_gmtoff / 60; // minutes
    long magnitude = east < 0 ? -east : east;
    int written = std::snprintf(buffer + n, sizeof buffer - n, east > 0 ? "+%04ld" : "-%04ld",
                                magnitude / 60 * 100 + magnitude % 60);
    if (written > 0) n += static_cast<size_t>(written);
    return CopyText(buffer, static_cast<int32_t>(n), outLength);
}

const char* CommandLineApplication::LastSystemErrorText() {
    const char* text = platform::LastErrorText();
    if (!text) return nullptr;
    std::snprintf(systemError, sizeof systemError, "%s", text);
    return systemError;
}

Output* CommandLineApplication::SetOutput(Output* next) {
    Output* previous = output;
    if (next && previous) next->SetMode(previous->Mode());
    output = next;
    return previous;
}

char* CommandLineApplication::Crypt(const char* key, int32_t keyLength, const char* salt, int32_t* outLength,
                                    int32_t* outSize) {
    UFCrypt crypt;
    return crypt.Crypt(key, keyLength, salt, outLength, outSize);
}

char* CommandLineApplication::MakeSessionID(int32_t* outLength) {
    static const char hex[] = "0123456789abcdef";
    // From the kernel: a guessable id would let one caller take another's session.
    unsigned char bytes[16];
    if (!platform::RandomBytes(bytes, sizeof bytes)) return nullptr;
    char buffer[32];
    for (int i = 0; i < 16; ++i) {
        buffer[2 * i] = hex[bytes[i] >> 4];
        buffer[2 * i + 1] = hex[bytes[i] & 15];
    }
    return CopyText(buffer, 32, outLength);
}

const char* CommandLineApplication::ServerName() {
    const char* configured = config.GetText(kConfigLockHostname);
    if (configured && configured[0]) return configured;
    if (serverName.IsEmpty()) {
        char buffer[256];
        serverName.Assign(platform::HostName(buffer, sizeof buffer) ? buffer : "localhost");
    }
    return serverName.Text();
}

int32_t CommandLineApplication::LockExpiration() {
    return config.GetInteger(kConfigLockExpiration);
}

int32_t CommandLineApplication::WaitForStop(int32_t milliseconds) {
    for (int64_t slept = 0; slept < milliseconds; slept += 10) {
        if (StopRequested()) return WaitStopSignalled;
        platform::SleepMilliseconds(milliseconds - slept < 10 ? milliseconds - slept : 10);
    }
    return StopRequested() ? WaitStopSignalled : WaitTimedOut;
}

bool CommandLineApplication::LoadOpenSSL(String* error) {
    StartProcessOpenSSL();
    return BindOpenSSL(ProcessOpenSSL(), sslFunctions, &sslContext, config.GetText(kConfigCaDir),
                       config.GetInteger(kConfigSecurityOptions), error);
}

void* CommandLineApplication::SSLFunction(const char* name) {
    return EnsureOpenSSL(nullptr) ? ProcessOpenSSL().Find(name) : nullptr;
}

void CommandLineApplication::Log(uint32_t event, const LogField* fields) {
    WriteLogEvent(this, event, fields);
}

} // namespace vorn
