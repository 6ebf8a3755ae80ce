// The SQL instruction set: one compiled statement is a flat array of
// nine-field instructions; an instruction's index is its address.
#pragma once

#include "engine/foundation/String.h"

#include <cstdint>

namespace vorn {

// Every instruction, in opcode order from 0, as X(name, listed, writes):
// listed is 0 for the one the listing shows without a name, writes is 1 for
// those that change a table or the schema. The comment gives the operands
// as the code generator fills them: A, B and C the integers, t1 and t2 the
// texts (with their lengths), obj the object; "-> B" names a jump target,
// "-" no operand. Operands not named are 0 (texts null). Values are popped
// from the top of the engine's stack; "as X" shares X's operands.
#define VORN_SQL_INSTRUCTIONS(X)                                                                             \
    X(SQL_Add_View, 1, 0)              /* -: fails unless the statement runs for a view (not emitted)     */ \
    X(SQL_Result, 1, 0)                /* A result column, made a variable of the view; B 1 a select-list */ \
                                       /* column, 0 the end marker; t1 its name                           */ \
    X(SQL_Cursor_Open, 1, 0)           /* A cursor; B 1 when the statement writes through it; t1 table    */ \
    X(SQL_Cursor_Column, 1, 0)         /* A cursor; B column number; t1 the field's name                  */ \
    X(SQL_Cursor_Index, 1, 0)          /* A cursor; B key values popped, the last index column's on top;  */ \
                                       /* C 1: a range start popped below them; t1 index                  */ \
    X(SQL_Cursor_First, 1, 0)          /* A cursor; -> B when it has no row                               */ \
    X(SQL_Cursor_Next, 1, 0)           /* A cursor; -> B when it moved to a row (the loop's body)         */ \
    X(SQL_Cursor_Insert, 1, 1)         /* A cursor: its record buffer appended                            */ \
    X(SQL_Cursor_Update, 1, 1)         /* A cursor: its current record written back                       */ \
    X(SQL_Cursor_Update_Indexes, 1, 1) /* A cursor: the index changes of its updates applied              */ \
    X(SQL_Cursor_Delete, 1, 1)         /* A cursor: its current record deleted                            */ \
    X(SQL_Cursor_Delete_Indexes, 1, 1) /* A cursor: the index changes of its deletes applied              */ \
    X(SQL_Temporary_Table, 1, 0)       /* A temporary table; B columns: the select list, then sort keys   */ \
    X(SQL_Temporary_Record, 1, 0)      /* A table: an empty record appended, made current                 */ \
    X(SQL_Temporary_Sort, 1, 0)        /* A table; obj the ORDER BY list, keys in the last columns        */ \
    X(SQL_Temporary_Result, 1, 0)      /* A table; B column; C result column: shows it (not emitted)      */ \
    X(SQL_Temporary_First, 1, 0)       /* A table; -> B when it has no record                             */ \
    X(SQL_Temporary_Next, 1, 0)        /* A table; -> B when it moved to a record                         */ \
    X(SQL_Bucket, 1, 0)                /* A bucket; B value slots of each record                          */ \
    X(SQL_Bucket_Record, 1, 0)         /* A bucket; B key values popped: the record of that key made      */ \
                                       /* current; -> C, unless 0, if it was there (DISTINCT)             */ \
    X(SQL_Bucket_First, 1, 0)          /* A bucket; -> B when it has no record                            */ \
    X(SQL_Bucket_Next, 1, 0)           /* A bucket; -> B when it moved to a record                        */ \
    X(SQL_Bucket_Count, 1, 0)          /* A bucket; B slot: counts one row; pops nothing                  */ \
    X(SQL_Bucket_Average, 1, 0)        /* A bucket; B slot: pops a value into it; a null is only dropped  */ \
    X(SQL_Bucket_Sum, 1, 0)            /* as SQL_Bucket_Average                                           */ \
    X(SQL_Bucket_Min, 1, 0)            /* as SQL_Bucket_Average; the first of equal values stays          */ \
    X(SQL_Bucket_Max, 1, 0)            /* as SQL_Bucket_Min                                               */ \
    X(SQL_Push_BoolColumn, 1, 0)       /* A cursor; B column: 1 for a value that starts with T, else 0    */ \
    X(SQL_Push_Column, 1, 0)           /* A cursor; B column: the field, read where it is used; both push */ \
                                       /* the empty text once the cursor is at its end                    */ \
    X(SQL_Push_Literal, 1, 0)          /* t1 the literal's text, borrowed                                 */ \
    X(SQL_Push_Integer, 1, 0)          /* A the integer                                                   */ \
    X(SQL_Push_Dynamic, 1, 0)          /* A parameter number: its text, borrowed                          */ \
    X(SQL_Push_Null, 1, 0)             /* -: the empty text, which is NULL                                */ \
    X(SQL_Push_Temporary, 1, 0)        /* A table; B column of its current record                         */ \
    X(SQL_Push_Bucket, 1, 0)           /* A bucket; B slot of its current record                          */ \
    X(SQL_Pop, 1, 0)                   /* -: the top dropped                                              */ \
    X(SQL_Pop_Column, 1, 0)            /* A cursor; B column: the top stored into the field               */ \
    X(SQL_Pop_Result, 1, 0)            /* A result column: the top, by reference while the row is current */ \
    X(SQL_Pop_Temporary, 1, 0)         /* A table; B column of its current record: the top, copied        */ \
    X(SQL_Pop_Bucket, 1, 0)            /* A bucket; B slot of its current record: the top, copied         */ \
    X(SQL_Copy, 1, 0)                  /* -: a field on top becomes an owned copy of its text             */ \
    X(SQL_Dupe, 1, 0)                  /* -: the top pushed again, not owning its text (not emitted)      */ \
    X(SQL_Add, 1, 0)                   /* -: pops right, then left; pushes the double left + right        */ \
    X(SQL_Subtract, 1, 0)              /* as SQL_Add: left - right                                        */ \
    X(SQL_Multiply, 1, 0)              /* as SQL_Add: left * right                                        */ \
    X(SQL_Divide, 1, 0)                /* as SQL_Add: left / right (a zero divisor is no error)           */ \
    X(SQL_And, 1, 0)                   /* -: pops two booleans; pushes 1 when both hold, else 0           */ \
    X(SQL_Or, 1, 0)                    /* as SQL_And: either (not emitted: OR jumps)                      */ \
    X(SQL_Like, 1, 0)                  /* -: pops the pattern, then the subject; pushes 1 or 0            */ \
    X(SQL_Not, 1, 0)                   /* -: pops a boolean; pushes 1 for false, else 0                   */ \
    X(SQL_Equal, 1, 0)                 /* A values kept: 0, 1 (the tested value of BETWEEN and IN) or 2;  */ \
                                       /* compares left (deeper) with right (top); pushes 1 or 0          */ \
    X(SQL_NotEqual, 1, 0)              /* as SQL_Equal                                                    */ \
    X(SQL_LessThan, 1, 0)              /* as SQL_Equal                                                    */ \
    X(SQL_GreaterThan, 1, 0)           /* as SQL_Equal                                                    */ \
    X(SQL_LessThanEqual, 1, 0)         /* as SQL_Equal                                                    */ \
    X(SQL_GreaterThanEqual, 1, 0)      /* as SQL_Equal                                                    */ \
    X(SQL_IsNull, 1, 0)                /* -: pops a value; pushes 1 when it is null, else 0               */ \
    X(SQL_Inc, 1, 0)                   /* A: pops an integer; pushes it plus A (not emitted)              */ \
    X(SQL_Upper, 1, 0)                 /* -: pops a text; pushes it with its ASCII letters upper-cased    */ \
    X(SQL_Lower, 1, 0)                 /* as SQL_Upper, lower-cased                                       */ \
    X(SQL_Length, 0, 0)                /* -: pops a text; pushes its length in bytes (listed unnamed)     */ \
    X(SQL_Jump_EQ, 1, 0)               /* A 0 or 1; -> B when the popped integer equals A                 */ \
    X(SQL_Jump_NE, 1, 0)               /* A 0 or 1; -> B when the popped integer differs from A           */ \
    X(SQL_Jump, 1, 0)                  /* -> A                                                            */ \
    X(SQL_Output, 1, 0)                /* -: the row is made; the run hands it out                        */ \
    X(SQL_Create_Table, 1, 1)          /* t1 table; obj its column definitions                            */ \
    X(SQL_Alter_Table_Add, 1, 1)       /* t1 table; obj the column definitions added                      */ \
    X(SQL_Alter_Table_Drop, 1, 1)      /* t1 table; t2 the column dropped                                 */ \
    X(SQL_Drop_Table, 1, 1)            /* t1 table                                                        */ \
    X(SQL_Create_Index, 1, 1)          /* A 1 for UNIQUE; t1 table; t2 index; obj its column list         */ \
    X(SQL_Drop_Index, 1, 1)            /* t1 index                                                        */ \
    X(SQL_NOOP, 1, 0)                  /* -: where a jump lands                                           */ \
    X(SQL_Error, 1, 0)                 /* t1 the message, NUL-terminated: fails the statement             */

#define VORN_SQL_OPCODE(name, listed, writes) name,
enum SQLOpcode : int32_t { VORN_SQL_INSTRUCTIONS(VORN_SQL_OPCODE) };
#undef VORN_SQL_OPCODE
#define VORN_SQL_ONE(name, listed, writes) +1
inline constexpr int32_t kSqlOpcodeCount = 0 VORN_SQL_INSTRUCTIONS(VORN_SQL_ONE);
#undef VORN_SQL_ONE
// The numbering is fixed: a new instruction goes at the end.
static_assert(SQL_Length == 60 && SQL_Error == 72 && kSqlOpcodeCount == 73);

#define VORN_SQL_WRITES(name, listed, writes) writes != 0,
inline constexpr bool kSqlWrites[kSqlOpcodeCount] = {VORN_SQL_INSTRUCTIONS(VORN_SQL_WRITES)};
#undef VORN_SQL_WRITES
// Whether an instruction changes a table or the schema (codes outside the set do not).
inline bool SQLInstructionWrites(int32_t opcode) {
    return opcode >= 0 && opcode < kSqlOpcodeCount && kSqlWrites[opcode];
}

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

// The growing instruction array of one statement. When the array cannot
// grow, the instruction is dropped, Emit answers -1 and OutOfMemory() stays
// true until the next Start.
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
    // Writes target into the jump at index: A of an SQL_Jump, B of the others.
    void PatchJump(int32_t index, int32_t target);
    // Label() patched into operand which of instruction index; returns the label.
    int32_t LabelAndPatch(int32_t index, int which);

    int32_t Count() const { return count; }
    int32_t Capacity() const { return capacity; }
    bool OutOfMemory() const { return outOfMemory; }
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
    bool outOfMemory = false;
};

} // namespace vorn
