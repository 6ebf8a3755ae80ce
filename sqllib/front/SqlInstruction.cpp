#include "sqllib/front/SqlInstruction.h"

#include <cstdio>
#include <cstdlib>

#include "sqllib/front/SqlMemory.h"

namespace vorn {

namespace {

#define VORN_SQL_NAME(name, listed, writes) listed ? #name : nullptr,
const char* const kNames[kSqlOpcodeCount] = {VORN_SQL_INSTRUCTIONS(VORN_SQL_NAME)};
#undef VORN_SQL_NAME

} // namespace

SQLProgram::~SQLProgram() { std::free(items); }

void SQLProgram::Start() {
    std::free(items);
    items = static_cast<SQLInstruction*>(SQLAllocate(sizeof(SQLInstruction) * kGrowth));
    count = 0;
    capacity = items ? kGrowth : 0;
    outOfMemory = !items;
}

int32_t SQLProgram::Emit(int32_t opcode, int32_t a, int32_t b, int32_t c, const char* text1, int32_t length1,
                         const char* text2, int32_t length2, void* object) {
    if (count == capacity) {
        // Steps of 52; past a few thousand instructions the step grows with the
        // array (still a multiple of 52), so a huge statement is not quadratic.
        size_t step = kGrowth;
        if (capacity >= kGrowth * 64) step = static_cast<size_t>(capacity / 2 / kGrowth * kGrowth);
        size_t bigger = static_cast<size_t>(capacity) + step;
        void* grown = bigger > INT32_MAX ? nullptr : SQLReallocate(items, sizeof(SQLInstruction) * bigger);
        if (!grown) {
            outOfMemory = true;
            return -1;
        }
        items = static_cast<SQLInstruction*>(grown);
        capacity = static_cast<int32_t>(bigger);
    }
    items[count] = SQLInstruction{opcode, a, b, c, text1, text2, length1, length2, object};
    return count++;
}

int32_t SQLProgram::Label() { return Emit(SQL_NOOP); }

void SQLProgram::Patch(int32_t index, int which, int32_t target) {
    if (index < 0 || index >= count) return;
    if (which == 1)
        items[index].a = target;
    else if (which == 2)
        items[index].b = target;
    else if (which == 3)
        items[index].c = target;
}

void SQLProgram::PatchJump(int32_t index, int32_t target) {
    if (index >= 0 && index < count) Patch(index, items[index].opcode == SQL_Jump ? 1 : 2, target);
}

int32_t SQLProgram::LabelAndPatch(int32_t index, int which) {
    int32_t label = Label();
    Patch(index, which, label);
    return label;
}

const char* SQLProgram::OpcodeName(int32_t opcode) {
    return opcode >= 0 && opcode < kSqlOpcodeCount ? kNames[opcode] : nullptr;
}

void SQLProgram::ListInstruction(String& out, int32_t index, const SQLInstruction& in) {
    const char* name = OpcodeName(in.opcode);
    char head[160];
    int n = std::snprintf(head, sizeof head, "%04d %-25s %10d %10d %10d %p ", index, name ? name : "<unknown>",
                          in.a, in.b, in.c, in.object);
    out.Append(head, n);
    if (in.text1 && in.length1 > 0) out.Append(in.text1, in.length1);
    out.AppendChar(' ');
    if (in.text2 && in.length2 > 0) out.Append(in.text2, in.length2);
    out.Append(" \n", 2);
}

void SQLProgram::List(String& out) const {
    for (int32_t i = 0; i < count; ++i) ListInstruction(out, i, items[i]);
}

} // namespace vorn
