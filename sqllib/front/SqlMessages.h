// The SQL library's failure texts that more than one place shows, of the
// front end, the store and the engine: a statement's caller sees them as they
// are.
#pragma once

namespace vorn {

// --- The front end -----------------------------------------------------------
inline constexpr char kSqlMismatchedParentheses[] = "Syntax Error: Mismatched parentheses";
inline constexpr char kSqlUnknownOperator[] = "Unknown operator";

// --- Names -------------------------------------------------------------------
// Followed by the name, then "'".
inline constexpr char kSqlUnknownTable[] = "Unknown table '";
inline constexpr char kSqlUnknownColumn[] = "Unknown column '";
inline constexpr char kSqlUnknownField[] = "Unknown field '";
// "Column '", the column's name, then what is wrong with it.
inline constexpr char kSqlColumnNamed[] = "Column '";
inline constexpr char kSqlUsedOnIndex[] = "' is used on index '";
// Each follows "Table '" or "Index '" and the name.
inline constexpr char kSqlAlreadyExists[] = "' already exists";
inline constexpr char kSqlDoesNotExist[] = "' does not exist";

// --- The engine --------------------------------------------------------------
// Followed by the table's name, "': " and the reason.
inline constexpr char kSqlNoCursor[] = "Unable to create cursor for table '";

// --- The schema (the catalog's own table and index) --------------------------
// Each is followed by the reason.
inline constexpr char kSqlErrorCreatingSchemaIndex[] = "Error creating schema index: ";
inline constexpr char kSqlErrorCreatingSchemaDatabase[] = "Error creating schema database: ";
inline constexpr char kSqlErrorOpeningSchemaDatabase[] = "Error opening schema database: ";
inline constexpr char kSqlUnableToLockSchema[] = "Unable to lock schema for create: ";

} // namespace vorn
