#include "sqllib/front/SqlInstruction.h"

#include <cstdio>
#include <cstdlib>

namespace vorn {

namespace {

const char* const kNames[kSqlOpcodeCount] = {
    "SQL_Add_View", "SQL_Result", "SQL_Cursor_Open", "SQL_Cursor_Column", "SQL_Cursor_Index",
    "SQL_Cursor_First", "SQL_Cursor_Next", "SQL_Cursor_Insert", "SQL_Cursor_Update",
    "SQL_Cursor_Update_Indexes", "SQL_Cursor_Delete", "SQL_Cursor_Delete_Indexes", "SQL_Temporary_Table",
    "SQL_Temporary_Record", "SQL_Temporary_Sort", "SQL_Temporary_Result", "SQL_Temporary_First",
    "SQL_Temporary_Next", "SQL_Bucket", "SQL_Bucket_Record", "SQL_Bucket_First", "SQL_Bucket_Next",
    "SQL_Bucket_Count", "SQL_Bucket_Average", "SQL_Bucket_Sum", "SQL_Bucket_Min", "SQL_Bucket_Max",
    "SQL_Push_BoolColumn", "SQL_Push_Column", "SQL_Push_Literal", "SQL_Push_Integer", "SQL_Push_Dynamic",
    "SQL_Push_Null", "SQL_Push_Temporary", "SQL_Push_Bucket", "SQL_Pop", "SQL_Pop_Column", "SQL_Pop_Result",
    "SQL_Pop_Temporary", "SQL_Pop_Bucket", "SQL_Copy", "SQL_Dupe", "SQL_Add", "SQL_Subtract",
    "SQL_Multiply", "SQL_Divide", "SQL_And", "SQL_Or", "SQL_Like", "SQL_Not", "SQL_Equal", "SQL_NotEqual",
    "SQL_LessThan", "SQL_GreaterThan", "SQL_LessThanEqual", "SQL_GreaterThanEqual", "SQL_IsNull",
    "SQL_Inc", "SQL_Upper", "SQL_Lower", nullptr, "SQL_Jump_EQ", "SQL_Jump_NE", "SQL_Jump", "SQL_Output",
    "SQL_Create_Table", "SQL_Alter_Table_Add", "SQL_Alter_Table_Drop", "SQL_Drop_Table", "SQL_Create_Index",
    "SQL_Drop_Index", "SQL_NOOP", "SQL_Error",
};

} // namespace

SQLProgram::~SQLProgram() { std::free(items); }

void SQLProgram::Start() {
    std::free(items);
    items = static_cast<SQLInstruction*>(std::malloc(sizeof(SQLInstruction) * kGrowth));
    if (!items) std::abort();
    count = 0;
    capacity = kGrowth;
}

int32_t SQLProgram::Emit(int32_t opcode, int32_t a, int32_t b, int32_t c, const char* text1, int32_t length1,
                         const char* text2, int32_t length2, void* object) {
    if (count == capacity) {
        // Steps of 52; past a few thousand instructions the step grows with the
        // array (still a multiple of 52), so a huge statement is not quadratic.
        size_t step = kGrowth;
        if (capacity >= kGrowth * 64) step = static_cast<size_t>(capacity / 2 / kGrowth * kGrowth);
        size_t bigger = static_cast<size_t>(capacity) + step;
        void* grown = std::realloc(items, sizeof(SQLInstruction) * bigger);
        if (!grown || bigger > INT32_MAX) std::abort();
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
