// Helpers of the lock-file, flat-file and capture tests: an application with
// the host's features over a scratch data directory, and runs of assembled
// programs on it ("@label" tag jumps, see ResolveTagJumps).
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include "engine/foundation/Config.h"
#include "engine/values/Variable.h"
#include "engine/vm/TagErrors.h"
#include "engine/vm/VornVM.h"
#include "host/features/HostFeatures.h"
#include "tests/engine/files/FileTestSupport.h"
#include "tests/engine/files/MemoryFile.h"
#include "tests/engine/vm/VmCoreHarness.h"
#include "tests/tools/LoadedProgram.h"

namespace vorn::test {

// Reads fail once this many bytes were read.
class BrokenFile : public MemoryFile {
  public:
    BrokenFile(std::vector<uint8_t> bytes, int64_t failAt) : MemoryFile(std::move(bytes)), failAt(failAt) {}
    int32_t Read(void* buffer, int32_t count) override {
        failReads = position >= failAt;
        if (!failReads && position + count > failAt) count = static_cast<int32_t>(failAt - position);
        return MemoryFile::Read(buffer, count);
    }
    int64_t failAt;
};

// The data directory's files, except "broken", which reads "1\n2\n3\n" and
// fails after its first four bytes.
class InjectingFiles : public PosixFileManager {
  public:
    using PosixFileManager::PosixFileManager;
    File* Open(int32_t kind, const char* path, int32_t mode) override {
        if (std::string(path) == "broken") return new BrokenFile({'1', '\n', '2', '\n', '3', '\n'}, 4);
        return PosixFileManager::Open(kind, path, mode);
    }
};

class FeatureApplication : public FileTestApplication {
  public:
    FeatureApplication() { fileManager = &injecting; }
    ~FeatureApplication() override { fileManager = nullptr; }
    HostFeatures* GetHostFeatures() override { return &features; }
    void ClearExit() { exitRequested.store(0); }
    // Counts without sleeping: the retry loops' pauses cost nothing here.
    int32_t WaitForStop(int32_t milliseconds) override {
        lastWait = milliseconds;
        waits.fetch_add(1);
        return StopRequested() ? WaitStopSignalled : WaitTimedOut;
    }

    InjectingFiles injecting{this};
    HostFeatures features;
    int32_t lastWait = -1;
};

class FeatureRig {
  public:
    FeatureRig() {
        EXPECT_TRUE(app.injecting.CheckDataDirectory(tree.Data().c_str()));
        app.settings.SetInteger(kConfigFileDelay, 5);
        app.output = &sink;
    }

    // The program's VM, not yet run. settings: tag id -> error setting.
    std::unique_ptr<InspectableVM> Load(const std::string& source,
                                        const std::map<int32_t, uint32_t>& settings = {}) {
        sink.text.clear();
        app.ClearExit();
        program = std::make_unique<LoadedProgram>(Assembled(ResolveTagJumps(source)));
        EXPECT_TRUE(program->LoadAll());
        for (const auto& [tag, setting] : settings)
            tags.SetSetting(tag, setting);
        return std::make_unique<InspectableVM>(
            "t.vrc", -1, &app, &program->dictionary, &program->system, &program->globals, &program->segments,
            &program->functions, nullptr, nullptr, nullptr, nullptr, nullptr, app.TickCounterPlace(),
            app.TimedOutPlace(), app.ExitRequestedPlace(), nullptr, &tags);
    }
    // Runs the program to its end and destroys its VM (and open features).
    int Run(const std::string& source, const std::map<int32_t, uint32_t>& settings = {}) {
        std::unique_ptr<InspectableVM> vm = Load(source, settings);
        int result = vm->Execute();
        lastError = vm->LastError().Text();
        openFeatures = vm->FeatureCount();
        return result;
    }
    std::string Global(const char* name) {
        Variable* v = nullptr;
        if (!program || !program->globals.Find(&v, name, -1, false) || !v) return "<none>";
        return std::string(v->Value().Text(), static_cast<size_t>(v->Value().Length()));
    }
    std::string Path(const std::string& name) const { return tree.Data() + "/" + name; }
    std::string Read(const std::string& name) const { return ScratchTree::ReadFile(Path(name)); }
    void Write(const std::string& name, const std::string& bytes) const {
        ScratchTree::WriteFile(Path(name), bytes);
    }
    bool Exists(const std::string& name) const { return ScratchTree::Exists(Path(name)); }

    ScratchTree tree;
    FeatureApplication app;
    RecordingSink sink;
    TagErrorTable tags;
    std::unique_ptr<LoadedProgram> program;
    std::string lastError;
    int32_t openFeatures = 0;
};

} // namespace vorn::test
