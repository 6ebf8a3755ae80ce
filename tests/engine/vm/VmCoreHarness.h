// A program's tables, a test application with a recording output and a VM
// over them, plus a small writer of bytecode into segments.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/foundation/Output.h"
#include "engine/program/Dictionary.h"
#include "engine/program/InstructionSet.h"
#include "engine/program/Segment.h"
#include "engine/values/FunctionManager.h"
#include "engine/values/VariableHash.h"
#include "engine/vm/VornVM.h"
#include "tests/engine/app/TestApplication.h"
#include "tests/support/RecordingSink.h"

namespace vorn::test {

// Writes instructions into a segment, word then immediates, little-endian.
class CodeWriter {
  public:
    explicit CodeWriter(Segment* target) : segment(target), at(target->Used()) {}
    CodeWriter& Word(uint16_t word) { return Put16(word); }
    CodeWriter& Op(uint16_t word) { return Put16(word); }
    CodeWriter& Op(uint16_t word, int32_t a) { return Put16(word).Put32(a); }
    CodeWriter& Op(uint16_t word, int32_t a, int32_t b) { return Put16(word).Put32(a).Put32(b); }
    CodeWriter& OpDouble(uint16_t word, double a) {
        at = segment->WriteDouble(Put16(word).at, a);
        return *this;
    }
    CodeWriter& Put16(uint16_t v) {
        at = segment->WriteU16(at, v);
        return *this;
    }
    CodeWriter& Put32(int32_t v) {
        at = segment->WriteU32(at, static_cast<uint32_t>(v));
        return *this;
    }
    CodeWriter& Double(double v) {
        at = segment->WriteDouble(at, v);
        return *this;
    }
    CodeWriter& Byte(uint8_t v) {
        at = segment->WriteBytes(at, &v, 1);
        return *this;
    }
    int32_t Position() const { return at; }

  private:
    Segment* segment;
    int32_t at;
};

// A VM whose protected state tests may read and set.
class InspectableVM : public VornVM {
  public:
    using VornVM::VornVM;
    using VornVM::code;
    using VornVM::codeLength;
    using VornVM::frame;
    using VornVM::immA;
    using VornVM::instructionStart;
    using VornVM::line;
    using VornVM::pc;
    using VornVM::segmentIndex;
    using VornVM::sourceFile;
    using VornVM::sourceFileName;
    using VornVM::UnwindTo;
};

struct VmHarness {
    VmHarness() {
        app.output = &sink;
        main = segments.CurrentSegment();
    }
    ~VmHarness() { vm.reset(); }

    // The VM over the tables; a second call replaces it.
    InspectableVM& Make(VornVM* parent = nullptr, const TagErrorTable* tags = nullptr) {
        vm.reset();
        vm = std::make_unique<InspectableVM>("prog.vrc", -1, &app, &pool, &system, &global, &segments, &functions,
                                             nullptr, nullptr, nullptr, nullptr, nullptr, app.TickCounterPlace(),
                                             app.TimedOutPlace(), app.ExitRequestedPlace(), parent, tags);
        return *vm;
    }
    CodeWriter Code() { return CodeWriter(main); }
    int32_t Pool(const char* text) { return pool.Add(text, -1); }

    TestApplication app;
    RecordingSink sink;
    Dictionary pool;
    SystemVariableHash system{&pool, kScopeBits, kScopeCapacity};
    VariableHash global{&pool, kScopeBits, kScopeCapacity};
    SegmentManager segments;
    FunctionManager functions{&pool, 8};
    Segment* main = nullptr;
    std::unique_ptr<InspectableVM> vm;
};

} // namespace vorn::test
