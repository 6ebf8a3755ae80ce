// The check of a whole program, once, before it runs: what the engine reads
// of an instruction's operands without looking again.
#pragma once

#include <cstdint>
#include <vector>

#include "sqllib/front/SqlInstruction.h"

namespace vorn {

// Numbers of cursors, columns, results, temporary tables, buckets and their
// slots at or above this name nothing a compiler makes.
inline constexpr int32_t kSqlMaxOperand = 1 << 20;
// The most values one index search pops: its keys and a range start.
inline constexpr int32_t kSqlMaxKeyParts = 64;

// A sound program is one whose run may rely on this:
// - every opcode is in the set, and each operand the engine reads is what the
//   instruction's row in VORN_SQL_INSTRUCTIONS says: jump targets within the
//   program (its end included), numbers within their ranges, texts and
//   objects present;
// - cursors (each by one instruction), their columns and the result columns
//   are made before the first jump or jump target, where every run passes
//   them in order, and each is used only after the instruction that makes it;
// - temporary tables and buckets are made before the instructions that use
//   them, each number always with as many columns (slots), and those used lie
//   within them. Whether the run took the path that made one, and whether it
//   has a current record, depends on the rows: the engine looks as it runs.
// Texts are read as long as their lengths say, and objects as their opcode
// says: the verifier sees only that they are there. Operands an instruction
// does not read are not looked at, nor is the stack, nor parameter numbers
// (the parameters come when the statement is bound).
class SQLVerifier {
  public:
    // True when sound; else Fault() says what is wrong at instruction At().
    bool Verify(const SQLInstruction* code, int32_t count);
    const char* Fault() const { return fault; }
    int32_t At() const { return at; }
    // One more than the highest cursor (result column, temporary table,
    // bucket) number made.
    int32_t Cursors() const { return cursorCount; }
    int32_t Results() const { return resultCount; }
    // One more than the highest column number bound, of any cursor.
    int32_t Columns() const { return columnCount; }
    int32_t Temporaries() const { return static_cast<int32_t>(temporaries.size()); }
    int32_t Buckets() const { return static_cast<int32_t>(buckets.size()); }
    // Whether an instruction changes a table or the schema, or opens a cursor to write through.
    bool Writes() const { return writes; }
    // Whether the program walks the cursor by an index (SQL_Cursor_Index).
    bool WalksIndex(int32_t cursor) const { return cursor >= 0 && walked.Has(static_cast<uint64_t>(cursor)); }

  private:
    // Numbers from 0: bits in place for the first 256 (a statement's own
    // engine verifies it, so this costs no allocation), in the heap beyond.
    class Numbers {
      public:
        void Clear();
        bool Has(uint64_t n) const {
            return n < 256 ? (small[n >> 6] >> (n & 63)) & 1 : HasLarge(n);
        }
        void Add(uint64_t n) {
            if (n < 256)
                small[n >> 6] |= uint64_t{1} << (n & 63);
            else
                AddLarge(n);
        }

      private:
        bool HasLarge(uint64_t n) const;
        void AddLarge(uint64_t n);
        uint64_t small[4] = {};
        // Sorted; the compiler makes them in rising order, so each is appended.
        std::vector<uint64_t> large;
    };

    bool Refuse(int32_t pc, const char* what);

    const char* fault = nullptr;
    int32_t at = -1;
    int32_t cursorCount = 0;
    int32_t resultCount = 0;
    int32_t columnCount = 0;
    bool writes = false;
    Numbers cursors;
    Numbers results;
    Numbers walked;
    // Cursors' columns, as ColumnKey numbers them.
    Numbers columns;
    // The columns (slots) of each temporary table (bucket), -1 where none is made yet.
    std::vector<int32_t> temporaries;
    std::vector<int32_t> buckets;
};

} // namespace vorn
