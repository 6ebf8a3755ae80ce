// The SQL instruction set: one compiled statement is a flat array of
// nine-field instructions; an instruction's index is its address.
#pragma once

#include "engine/foundation/String.h"

#include <cstdint>

namespace vorn {

enum SQLOpcode : int32_t {
    SQL_Add_View = 0,
    SQL_Result = 1,
    SQL_Cursor_Open = 2,
    SQL_Cursor_Column = 3,
    SQL_Cursor_Index = 4,
    SQL_Cursor_First = 5,
    SQL_Cursor_Next = 6,
    SQL_Cursor_Insert = 7,
    SQL_Cursor_Update = 8,
    SQL_Cursor_Update_Indexes = 9,
    SQL_Cursor_Delete = 10,
    SQL_Cursor_Delete_Indexes = 11,
    SQL_Temporary_Table = 12,
    SQL_Temporary_Record = 13,
    SQL_Temporary_Sort = 14,
    SQL_Temporary_Result = 15,
    SQL_Temporary_First = 16,
    SQL_Temporary_Next = 17,
    SQL_Bucket = 18,
    SQL_Bucket_Record = 19,
    SQL_Bucket_First = 20,
    SQL_Bucket_Next = 21,
    SQL_Bucket_Count = 22,
    SQL_Bucket_Average = 23,
    SQL_Bucket_Sum = 24,
    SQL_Bucket_Min = 25,
    SQL_Bucket_Max = 26,
    SQL_Push_BoolColumn = 27,
    SQL_Push_Column = 28,
    SQL_Push_Literal = 29,
    SQL_Push_Integer = 30,
    SQL_Push_Dynamic = 31,
    SQL_Push_Null = 32,
    SQL_Push_Temporary = 33,
    SQL_Push_Bucket = 34,
    SQL_Pop = 35,
    SQL_Pop_Column = 36,
    SQL_Pop_Result = 37,
    SQL_Pop_Temporary = 38,
    SQL_Pop_Bucket = 39,
    SQL_Copy = 40,
    SQL_Dupe = 41,
    SQL_Add = 42,
    SQL_Subtract = 43,
    SQL_Multiply = 44,
    SQL_Divide = 45,
    SQL_And = 46,
    SQL_Or = 47,
    SQL_Like = 48,
    SQL_Not = 49,
    SQL_Equal = 50,
    SQL_NotEqual = 51,
    SQL_LessThan = 52,
    SQL_GreaterThan = 53,
    SQL_LessThanEqual = 54,
    SQL_GreaterThanEqual = 55,
    SQL_IsNull = 56,
    SQL_Inc = 57,
    SQL_Upper = 58,
    SQL_Lower = 59,
    SQL_Length = 60, // has no name in the listing
    SQL_Jump_EQ = 61,
    SQL_Jump_NE = 62,
    SQL_Jump = 63,
    SQL_Output = 64,
    SQL_Create_Table = 65,
    SQL_Alter_Table_Add = 66,
    SQL_Alter_Table_Drop = 67,
    SQL_Drop_Table = 68,
    SQL_Create_Index = 69,
    SQL_Drop_Index = 70,
    SQL_NOOP = 71,
    SQL_Error = 72,
};
inline constexpr int32_t kSqlOpcodeCount = 73;

// Texts point into the statement's text or into catalog and compiler objects
// that live until the next statement is compiled; the array owns none of them.
struct SQLInstruction {
    int32_t opcode;
    int32_t a;
    int32_t b;
    int32_t c;
    const char* text1;
    const char* text2;
    int32_t length1;
    int32_t length2;
    void* object;
};

// The growing instruction array of one statement.
class SQLProgram {
  public:
    // The array grows by 52 instructions at a time (by half its size, in
    // multiples of 52, once it holds more than 3328).
    static constexpr int32_t kGrowth = 52;

    SQLProgram() = default;
    SQLProgram(const SQLProgram&) = delete;
    SQLProgram& operator=(const SQLProgram&) = delete;
    ~SQLProgram();

    // Drops the instructions and starts a new array with room for 52.
    void Start();
    // Appends one instruction and returns its index. The length of text1 comes
    // before text2.
    int32_t Emit(int32_t opcode, int32_t a = 0, int32_t b = 0, int32_t c = 0, const char* text1 = nullptr,
                 int32_t length1 = 0, const char* text2 = nullptr, int32_t length2 = 0,
                 void* object = nullptr);
    // Emits an SQL_NOOP and returns its index.
    int32_t Label();
    // Writes target into operand A (which = 1), B (2) or C (3) of instruction index.
    void Patch(int32_t index, int which, int32_t target);
    // Label() patched into operand which of instruction index; returns the label.
    int32_t LabelAndPatch(int32_t index, int which);

    int32_t Count() const { return count; }
    int32_t Capacity() const { return capacity; }
    const SQLInstruction* Instructions() const { return items; }
    SQLInstruction& At(int32_t i) { return items[i]; }
    const SQLInstruction& At(int32_t i) const { return items[i]; }

    // The listing: one line per instruction, as the SQL log shows it.
    void List(String& out) const;
    static void ListInstruction(String& out, int32_t index, const SQLInstruction& instruction);
    // The listing's name of an opcode, or null (60 and codes outside 0-72).
    static const char* OpcodeName(int32_t opcode);

  private:
    SQLInstruction* items = nullptr;
    int32_t count = 0;
    int32_t capacity = 0;
};

} // namespace vorn
