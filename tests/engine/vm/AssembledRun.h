// A program assembled from text, loaded with the engine's own loaders, and a
// VM over it whose output and log events are recorded.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/foundation/Config.h"
#include "engine/vm/VornVM.h"
#include "tests/engine/app/TestApplication.h"
#include "tests/engine/vm/VmCoreHarness.h"
#include "tests/support/ScriptRun.h"
#include "tests/tools/LoadedProgram.h"

namespace vorn::test {

// Keeps every log event: its kind and its text fields after program, source
// file and line, joined by '|'.
class LoggingApplication : public TestApplication {
  public:
    void Log(uint32_t event, const LogField* fields) override {
        TestApplication::Log(event, fields);
        std::string text;
        for (int32_t i = 3; fields && fields[i].kind != LogField::End; ++i) {
            if (fields[i].kind != LogField::Text) continue;
            if (!text.empty()) text += "|";
            text.append(fields[i].value.text ? fields[i].value.text : "",
                        static_cast<size_t>(fields[i].length));
        }
        events.push_back({event, text});
    }
    struct Event {
        uint32_t kind;
        std::string text;
    };
    std::vector<Event> events;
};

template <class VM = VornVM> struct AssembledRun {
    // calls: the function libraries the VM resolves external functions with.
    explicit AssembledRun(const std::string& source, ExternalFunctionSource* calls = nullptr,
                          int32_t logLevel = 0)
        : program(Assembled(source)) {
        app.output = &sink;
        app.config = &config;
        if (logLevel) config.SetInteger(kConfigLogLevel, logLevel);
        loaded = program.LoadAll();
        EXPECT_TRUE(loaded) << "the assembled program did not load";
        vm = NewVM<VM>(app, program, nullptr, nullptr, calls);
    }
    ~AssembledRun() { vm.reset(); }

    int Execute() { return loaded ? vm->Execute() : 0; }
    // The text of a global variable ("<none>" when it does not exist).
    std::string Global(const char* name) { return VariableText(program.globals, name); }
    Function* FunctionNamed(const char* name) { return program.functions.Find(name, -1); }

    LoggingApplication app;
    RecordingSink sink;
    Config config;
    LoadedProgram program;
    bool loaded = false;
    std::unique_ptr<VM> vm;
};

} // namespace vorn::test
