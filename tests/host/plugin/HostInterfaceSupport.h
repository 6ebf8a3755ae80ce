// The host-interface tests' rig: an application with file roots, a
// configuration, a recording output (headers too), the library loader and
// system libraries; a function-library manager; and a program assembled from
// text with its VM, through which the exported functions are called.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "engine/app/PosixExternalLibrary.h"
#include "engine/values/Variable.h"
#include "engine/values/VariableHash.h"
#include "engine/values/VariableList.h"
#include "engine/vm/VornVM.h"
#include "host/plugin/ExternalCall.h"
#include "host/plugin/SystemLibrary.h"
#include "host/plugin/VornHost.h"
#include "platform/Modules.h"
#include "tests/engine/files/FileTestSupport.h"
#include "tests/engine/vm/VmCoreHarness.h"
#include "tests/support/ScriptRun.h"
#include "tests/tools/LoadedProgram.h"

namespace vorn::test {

// Records headers as well as text; owned header texts are freed here.
class HeaderSink : public RecordingSink {
  public:
    int32_t AddHeader(const char* name, int32_t nameLength, bool nameOwned, const char* value,
                      int32_t valueLength, bool valueOwned) override {
        headers += std::string(name, static_cast<size_t>(nameLength)) + ": " +
                   std::string(value, static_cast<size_t>(valueLength)) + "\n";
        if (nameOwned) std::free(const_cast<char*>(name));
        if (valueOwned) std::free(const_cast<char*>(value));
        return 1;
    }
    std::string headers;
};

class HostApplication : public FileTestApplication {
  public:
    HostApplication() { libraryManager = &loader; }
    ~HostApplication() override { libraryManager = nullptr; }
    SystemLibraryManager* GetSystemLibraryManager() override { return &systems; }
    // Returns early once the run is stopped, as the web host's wait does.
    int32_t WaitForStop(int32_t milliseconds) override { return TestApplication::WaitForStop(milliseconds); }

    PosixExternalLibraryManager loader{this, platform::HostModule()};
    SystemLibraryManager systems{this};
};

inline constexpr char kDefaultProgram[] = R"(
.global g, n
.segment main entry
    exit
.function twice(x)
    pushl x
    pushl x
    cat
    ret
.end
)";

// App is HostApplication or a class derived from it.
template <class App> struct HostRigFor {
    // The program's name puts it in the script directory's "sub" folder.
    explicit HostRigFor(const std::string& source = kDefaultProgram, const char* name = "sub/t.vrc",
                        bool withFixture = false)
        : program(Assembled(source)) {
        ConfigureRoots(app, tree);
        std::filesystem::create_directories(tree.Scripts() + "/sub");
        app.output = &sink;
        if (withFixture) {
            EXPECT_EQ(calls.RegisterLibrary(VORN_FIXTURE_HOSTINTERFACELIBRARY), 1)
                << calls.ErrorText().Text();
        }
        EXPECT_TRUE(program.LoadAll());
        vm = NewVM(app, program, nullptr, nullptr, &calls, name);
    }

    VornVM* P() { return vm.get(); }
    int Execute() { return vm->Execute(); }
    std::string Global(const char* name) { return VariableText(program.globals, name); }

    ScratchTree tree;
    App app;
    HeaderSink sink;
    ExternalCallManager calls{&app};
    LoadedProgram program;
    std::unique_ptr<VornVM> vm;
};

using HostRig = HostRigFor<HostApplication>;

// Writes the assembled program into the script directory as "run.vrc" and
// runs the runner on it with the host-interface library: what it printed,
// and its exit status.
inline std::string RunWithLibrary(const ScratchTree& tree, const std::string& source, int* status) {
    Bytes bytes = Assembled(source);
    std::ofstream(tree.Scripts() + "/run.vrc", std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    std::string command = std::string(VORN_VRRUN) + " -s " + tree.Scripts() + " -d " + tree.Data() + " -l " +
                          VORN_FIXTURE_HOSTINTERFACELIBRARY + " run.vrc 2>&1";
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    *status = -1;
    if (!pipe) return output;
    char buffer[256];
    while (size_t n = fread(buffer, 1, sizeof buffer, pipe))
        output.append(buffer, n);
    *status = pclose(pipe);
    return output;
}

// A host-heap text as a string, freed. The length is read after the call
// that hands out the buffer has set it.
inline std::string Take(char* buffer, const int32_t& length) {
    std::string text = buffer ? std::string(buffer, static_cast<size_t>(length)) : std::string("<null>");
    vorn_free(buffer);
    return text;
}

inline std::string TextOf(VornVariable* v) {
    int32_t length = 0;
    const char* text = vrVariable_Value(v, &length);
    return text ? std::string(text, static_cast<size_t>(length)) : std::string();
}

} // namespace vorn::test
