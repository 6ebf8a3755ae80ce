#include "tools/CommandLineApplication.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "database/library/ExternalDatabaseLibraryManager.h"
#include "engine/files/PosixFile.h"
#include "engine/foundation/Hash.h"
#include "engine/foundation/Messages.h"
#include "engine/foundation/Number.h"
#include "engine/values/SystemVariables.h"
#include "engine/vm/VornVM.h"
#include "host/plugin/SystemLibrary.h"
#include "platform/Modules.h"

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

CommandLineApplication::CommandLineApplication(Output* sink) : HostApplication(platform::HostModule()) {
    output = sink;
}

CommandLineApplication::~CommandLineApplication() = default;

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
            int32_t number = 0;
            // Bit sets such as loglevel read better in hexadecimal.
            if (value[0] == '0' && (value[1] == 'x' || value[1] == 'X')) {
                uint64_t bits = 0;
                invalid = !value[2];
                for (const char* p = value + 2; *p && !invalid; ++p) {
                    int digit = std::isdigit(static_cast<unsigned char>(*p)) ? *p - '0'
                                : std::isxdigit(static_cast<unsigned char>(*p))
                                    ? std::tolower(static_cast<unsigned char>(*p)) - 'a' + 10
                                    : -1;
                    bits = bits * 16 + static_cast<uint64_t>(digit);
                    invalid = digit < 0 || bits > 0xffffffffu;
                }
                number = static_cast<int32_t>(static_cast<uint32_t>(bits));
            } else {
                number = ParseInteger(value, -1, &invalid);
            }
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
            if (error) error->Assign(kOutOfMemory);
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
    if (!file) return Fail(error, String(kUnableToExecute) + programPath + "': " + files->ErrorText());
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
    ProgramTables program(this, files);
    for (String* path = libraryPaths.First(); path; path = libraryPaths.Next()) {
        if (!program.externalCalls.RegisterLibrary(path->Text())) {
            delete file;
            return Fail(error, String("Unable to register library '") + *path +
                                   "': " + program.externalCalls.ErrorText());
        }
    }

    String reason;
    if (!program.Open(name, file, &reason)) {
        delete file;
        return Fail(error, String(kUnableToExecute) + name + "': " + reason);
    }
    if (!program.Load()) return Fail(error, String(kUnableToExecute) + name + "': " + kProgramNotLoadable);

    AddComputedSystemVariables(program.system, this, this);

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
        VornVM vm(name, -1, this, &program.pool, &program.system, &program.globals, &program.segments,
                  &program.functions, &program.externalCalls, commerceLibraries, &databases, &program.languages,
                  &program.texts, TickCounterPlace(), TimedOutPlace(), ExitRequestedPlace(), nullptr);
        program.reader.ReleaseFile();
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

} // namespace vorn
