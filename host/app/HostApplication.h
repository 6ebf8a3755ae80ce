// What the two applications of the host share, the runner's (one program from
// the command line) and the web host's (one request): the file manager and
// the plug-in library managers, the stop event that ends waits early, and the
// services that do not depend on how the program was started (dates, crypt,
// session ids, TLS, the log file). Also the tables of one compiled program,
// loaded in the order both load them.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "database/library/ExternalDatabaseLibraryManager.h"
#include "engine/app/ConfiguredLibraries.h"
#include "engine/app/VornApplication.h"
#include "engine/foundation/String.h"
#include "engine/program/Dictionary.h"
#include "engine/program/Segment.h"
#include "engine/program/TaggedFile.h"
#include "engine/values/FunctionManager.h"
#include "engine/values/Localisation.h"
#include "engine/values/VariableHash.h"
#include "host/features/HostFeatures.h"
#include "host/network/NetworkManager.h"
#include "host/plugin/CommerceLibrary.h"
#include "host/plugin/ExternalCall.h"
#include "platform/Modules.h"

namespace vorn {

class File;
class PosixExternalLibraryManager;
class PosixFileManager;
class SystemLibraryManager;

// A program that cannot be run starts its message with this, its name, "': "
// and the reason.
inline constexpr char kUnableToExecute[] = "Unable to execute '";
// The message of a program whose sections cannot be loaded.
inline constexpr char kProgramNotLoadable[] =
    "File does not exist, is corrupt, is not a valid Vorn Script file, or cannot be opened due to permission "
    "problems";

// A manual-reset event: set wakes every waiter until it is reset.
class StopEvent {
  public:
    void Set();
    void Reset();
    // True when set within the time (milliseconds; negative: no limit).
    bool Wait(int64_t milliseconds);

  private:
    std::mutex mutex;
    std::condition_variable changed;
    bool set = false;
};

class HostApplication : public VornApplication, public ConfiguredLibrarySource {
  public:
    // hostModule is handed to every plug-in library as the host's module.
    explicit HostApplication(platform::ModuleHandle hostModule);
    ~HostApplication() override;

    NetworkManager* GetNetworkManager() override { return network; }
    FileManager* GetFileManager() override;
    ExternalLibraryManager* GetExternalLibraryManager() override;
    CommerceLibraryManager* GetCommerceLibraryManager() override;
    // The manager of the run in progress; null between runs.
    ExternalDatabaseLibraryManager* GetDatabaseLibraryManager() override { return databaseLibraries; }
    SystemLibraryManager* GetSystemLibraryManager() override;
    // Lock files, flat files and output capture.
    HostFeatures* GetHostFeatures() override { return &hostFeatures; }
    const char* DefaultRemoteAddress() override { return "127.0.0.1"; }
    // "Thu, 01 Jan 1970 01:00:00 +0100": local time and its offset east of UTC
    // ("-0000" for UTC).
    char* HTTPDate(int32_t* outLength) override;
    const char* LastSystemErrorText() override;
    Output* GetOutput() override { return output; }
    Output* SetOutput(Output* next) override;
    char* Crypt(const char* key, int32_t keyLength, const char* salt, int32_t* outLength,
                int32_t* outSize) override;
    // The MD5 of the server name, process and thread ids, the time and
    // kernel random bytes, as 32 lower-case hexadecimal characters.
    char* MakeSessionID(int32_t* outLength) override;
    // "lock_hostname", else the machine's host name: never the client's Host
    // header, which would let one server of a farm take another's locks as
    // its own.
    const char* ServerName() override;
    int32_t LockExpiration() override;

    // The time limit restarts with the stop event cleared; a deadline passed
    // or a stop request sets it.
    void ResetTimeLimit() override;
    void CheckTimeouts() override;
    void RequestStop() override;
    int32_t WaitForStop(int32_t milliseconds) override;

    // The process's OpenSSL (loaded on first use), bound with the "cadir" and
    // "securityoptions" settings.
    bool LoadOpenSSL(String* error) override;
    void* SSLFunction(const char* name) override;
    // Lines go to the "logfile" setting.
    void Log(uint32_t event, const LogField* fields) override;

    // The commerce and system managers, and the database manager of the run.
    ConfiguredLibraries* ConfiguredLibrariesOf(int32_t family) override;

    PosixFileManager* Files() const { return files; }
    CommerceLibraryManager* CommerceLibraries() const { return commerceLibraries; }
    SystemLibraryManager* SystemLibraries() const { return systemLibraries; }

  protected:
    Output* output = nullptr;
    PosixFileManager* files;
    PosixExternalLibraryManager* libraries;
    CommerceLibraryManager* commerceLibraries;
    SystemLibraryManager* systemLibraries;
    ExternalDatabaseLibraryManager* databaseLibraries = nullptr;
    NetworkManager* network;
    HostFeatures hostFeatures;

  private:
    StopEvent stopEvent;
    String serverName;
    char systemError[512] = {};
};

// The tables of a compiled program as loaded, never changed afterwards, so
// that every run of the same file shares them: each run copies what it may
// change (ProgramTables::Share) and reads the rest in place.
struct LoadedProgram {
    LoadedProgram();
    LoadedProgram(const LoadedProgram&) = delete;
    LoadedProgram& operator=(const LoadedProgram&) = delete;

    // Loads the program's file (its bytes) as ProgramTables::Load does; false
    // when a section fails.
    bool Load(FileManager* files, const char* name, const uint8_t* bytes, int32_t length);

    Dictionary pool;
    SystemVariableHash system;
    VariableHash globals;
    SegmentManager segments;
    FunctionManager functions;
    int32_t languageCount = 0; // in its "locl" section
};

// The tables of one compiled program and its reader, made in the order the
// host makes them. The function libraries come with them: they are the
// program's too, and the library loader (the application's) outlives them.
struct ProgramTables {
    ProgramTables(VornApplication* application, FileManager* files);

    // Takes the opened file and checks it: false with the reader's message
    // (the caller still owns the file then).
    bool Open(const char* name, File* file, String* reason);
    // Reads the sections in the order "dict", "syst", "glbl", "locl", "locd",
    // "segs", "func"; false at the first that fails (kProgramNotLoadable).
    bool Load();
    // What Load makes of the opened file, from the program loaded from the
    // same bytes: the pool and the segments are shared (what the run adds is
    // its own), the scopes and the function table copied; the languages and
    // texts are read from the file as Load reads them.
    bool Share(std::shared_ptr<const LoadedProgram> loaded);

    // Destroyed last: the tables below may read it to the end.
    std::shared_ptr<const LoadedProgram> shared;
    TaggedFile reader;
    Dictionary pool;
    SystemVariableHash system;
    VariableHash globals;
    SegmentManager segments;
    FunctionManager functions;
    ExternalCallManager externalCalls;
    LocalizedLanguages languages;
    LocalizedDictionary texts;
};

} // namespace vorn
