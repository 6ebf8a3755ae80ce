// The application of a program run from the command line: the counterpart of
// the web host's request application for `vrrun`, the tests and the
// benchmarks. It loads one compiled program, builds its virtual machine and
// runs it, with the output going to a sink the caller provides.
#pragma once

#include <cstdint>

#include "engine/foundation/Config.h"
#include "engine/foundation/List.h"
#include "engine/foundation/Output.h"
#include "engine/foundation/String.h"
#include "host/app/HostApplication.h"

namespace vorn {

class File;

// Buffered output to a file descriptor (standard output for the runner).
class DescriptorOutput : public BufferedOutput {
  public:
    DescriptorOutput(int descriptor, int32_t size);
    // Sends what is still buffered.
    ~DescriptorOutput() override;
    int32_t Send(const char* bytes, int32_t length) override;

  private:
    int descriptor;
};

// Exit statuses of Run.
inline constexpr int32_t kRunCompleted = 0;
inline constexpr int32_t kRunFailed = 1;    // fatal error, abort or time-out
inline constexpr int32_t kRunNotLoaded = 2; // the program (or a library) could not be loaded

class CommandLineApplication : public HostApplication {
  public:
    // The output is not owned; it stays the current output unless a program
    // replaces it for a while.
    explicit CommandLineApplication(Output* output);
    ~CommandLineApplication() override;

    // --- Settings, before Run ----------------------------------------------
    // "name=value" where name is a registry value name of a configuration item
    // (any case), or the member name of an item the registry does not carry
    // ("lock_hostname", "bufsz_import"). 1, or 0 with *error set.
    int32_t SetOption(const char* assignment, String* error);
    void SetScriptDirectory(const char* directory) { scriptDirectory.Assign(directory); }
    void SetDataDirectory(const char* directory) { dataDirectory.Assign(directory); }
    // A built-in function library to register when the run starts.
    void AddLibrary(const char* path);
    // A commerce method and a system library name with their library files;
    // each file is loaded on the first use of its name.
    void AddCommerceLibrary(const char* method, const char* path);
    void AddSystemLibrary(const char* name, const char* path);
    // A database type and its library, registered with each run's manager.
    void AddDatabaseLibrary(const char* type, const char* path);

    // Loads and runs the program: kRunCompleted after a normal end (segment
    // end or exit), kRunFailed after a fatal error or a time-out, kRunNotLoaded
    // when it could not be loaded, with the reason in *error.
    // The script directory defaults to the program's own, the data directory
    // to the working directory.
    int32_t Run(const char* programPath, String* error);
    // The same for a program already open (an assembled image in memory, for
    // instance); the file becomes the run's. name is what error texts call it.
    int32_t RunImage(const char* name, File* file, String* error);

    // Milliseconds between watchdog ticks during Run (time-outs and feature ticks).
    void SetWatchdogInterval(int32_t milliseconds) { watchdogInterval = milliseconds; }

    // --- VornApplication ------------------------------------------------------
    Config* GetConfig() override { return &config; }
    const char* InterfaceName() override { return "VornCLI"; }

  private:
    int32_t Fail(String* error, const String& text);
    int32_t RunFile(const char* name, File* file, String* error);

    Config config;
    List<String> databaseTypes{true};
    List<String> databasePaths{true};
    String scriptDirectory;
    String dataDirectory;
    List<String> libraryPaths{true};
    int32_t watchdogInterval = 1000;
};

} // namespace vorn
