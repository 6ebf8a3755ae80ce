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
#include "tests/support/ScriptRun.h"
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

class FeatureRig : public ScriptRig {
  public:
    FeatureRig() {
        EXPECT_TRUE(app.injecting.CheckDataDirectory(tree.Data().c_str()));
        app.settings.SetInteger(kConfigFileDelay, 5);
        app.output = &sink;
    }

    // The program's VM, not yet run. settings: tag id -> error setting.
    std::unique_ptr<InspectableVM> Load(const std::string& source,
                                        const std::map<int32_t, uint32_t>& settings = {}) {
        app.ClearExit();
        ScriptRig::Load(ResolveTagJumps(source));
        for (const auto& [tag, setting] : settings)
            tags.SetSetting(tag, setting);
        return NewVM<InspectableVM>(app, *program, &tags);
    }
    // Runs the program to its end and destroys its VM (and open features).
    int Run(const std::string& source, const std::map<int32_t, uint32_t>& settings = {}) {
        return RunToEnd(*Load(source, settings));
    }
    std::string Global(const char* name) { return program ? VariableText(program->globals, name) : "<none>"; }
    std::string Path(const std::string& name) const { return tree.Data() + "/" + name; }
    std::string Read(const std::string& name) const { return ScratchTree::ReadFile(Path(name)); }
    void Write(const std::string& name, const std::string& bytes) const {
        ScratchTree::WriteFile(Path(name), bytes);
    }
    bool Exists(const std::string& name) const { return ScratchTree::Exists(Path(name)); }

    ScratchTree tree;
    FeatureApplication app;
    TagErrorTable tags;
};

} // namespace vorn::test
