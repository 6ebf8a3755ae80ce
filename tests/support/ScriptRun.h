// Runs of assembled programs on a test's application: the VM a request would
// build over a loaded program, the text of a program's variables, and the
// rig that the tests of features, calls, mail and commerce build on (its
// output, the last program and what its run left).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "engine/app/VornApplication.h"
#include "engine/values/Variable.h"
#include "engine/vm/TagErrors.h"
#include "engine/vm/VornVM.h"
#include "tests/support/RecordingSink.h"
#include "tests/tools/LoadedProgram.h"

namespace vorn::test {

// A VM over the program on the application (its tick counter and stop
// flags), with the sources and the tag error table given, running under the
// program name given.
template <class VM = VornVM>
std::unique_ptr<VM> NewVM(VornApplication& app, LoadedProgram& program, const TagErrorTable* tags = nullptr,
                          CommerceSource* commerce = nullptr, ExternalFunctionSource* calls = nullptr,
                          const char* name = "t.vrc") {
    return std::make_unique<VM>(name, -1, &app, &program.dictionary, &program.system, &program.globals,
                                &program.segments, &program.functions, calls, commerce, nullptr, nullptr, nullptr,
                                app.TickCounterPlace(), app.TimedOutPlace(), app.ExitRequestedPlace(), nullptr,
                                tags);
}

// The text of a variable of the scope; missing when it has none of the name.
inline std::string VariableText(VariableHash& scope, const std::string& name, const char* missing = "<none>") {
    Variable* v = nullptr;
    if (!scope.Find(&v, name.c_str(), static_cast<int32_t>(name.size()), false) || !v) return missing;
    return std::string(v->Value().Text(), static_cast<size_t>(v->Value().Length()));
}

class ScriptRig {
  public:
    RecordingSink sink;
    std::unique_ptr<LoadedProgram> program;
    std::string lastError;
    int32_t openFeatures = 0;

  protected:
    // Clears the output and makes the source the last program; false, with
    // a failure added, when it does not load.
    bool Load(const std::string& source) {
        sink.text.clear();
        program = std::make_unique<LoadedProgram>(Assembled(source));
        if (program->LoadAll()) return true;
        ADD_FAILURE() << "program did not load";
        return false;
    }
    // Loads the source and runs it to its end on the application, with the
    // tags' error settings (tag id -> setting); the VM is gone when this
    // returns. -1 when the program did not load.
    int Run(VornApplication& app, const std::string& source, const std::map<int32_t, uint32_t>& settings,
            CommerceSource* commerce = nullptr, uint32_t traceFlags = 0) {
        if (!Load(source)) return -1;
        TagErrorTable tags;
        for (const auto& [tag, setting] : settings) tags.SetSetting(tag, setting);
        std::unique_ptr<VornVM> vm = NewVM(app, *program, &tags, commerce);
        vm->SetTraceFlags(traceFlags);
        return RunToEnd(*vm);
    }
    // Runs the VM to its end and keeps its last error and the features it
    // left open.
    int RunToEnd(VornVM& vm) {
        int result = vm.Execute();
        lastError = vm.LastError().Text();
        openFeatures = vm.FeatureCount();
        return result;
    }
};

} // namespace vorn::test
