// The failure texts that more than one subsystem shows: the VM and the SQL
// engine, the xBase format and driver, the SQL store, flat files, the clients
// and the body parsers. Scripts, logs and peers see them, and callers tell a
// failure by its start, so each is written here once and nowhere else
// (tests/layout/messages_once.py fails on a copy typed in the sources).
#pragma once

namespace vorn {

// --- Memory and stacks -------------------------------------------------------
inline constexpr char kOutOfMemory[] = "Out of memory";
inline constexpr char kStackUnderflow[] = "Stack underflow";
inline constexpr char kStackOverflow[] = "Stack overflow";
// A text that would pass the 2 GB limit.
inline constexpr char kTextTooLong[] = "Text too long";
// An instruction that its machine (the VM, the SQL engine) cannot run where
// it stands.
inline constexpr char kInvalidInstruction[] = "Invalid instruction";

// --- Files -------------------------------------------------------------------
// Each is followed by the file's name and then by "': " and the reason, but
// for locks: kErrorLocking, the name, then kForRead or kForWrite and the
// reason.
inline constexpr char kErrorReadingFrom[] = "Error reading from '";
inline constexpr char kErrorWritingTo[] = "Error writing to '";
inline constexpr char kErrorCreating[] = "Error creating '";
inline constexpr char kErrorOpening[] = "Error opening '";
inline constexpr char kErrorLocking[] = "Error locking '";
inline constexpr char kForRead[] = "' for read: ";
inline constexpr char kForWrite[] = "' for write: ";
// Followed by the name, "': " and the reason.
inline constexpr char kUnableToOpen[] = "Unable to open '";
// Follows the name alone: a file the caller should have had open.
inline constexpr char kInternalErrorOpening[] = "Internal error opening '";
// "'", the name, then this.
inline constexpr char kIsNotOpen[] = "' is not open";
inline constexpr char kFileEndsEarly[] = "File is corrupt (unexpected end of file)";
// A request or a run that was given no file manager.
inline constexpr char kNoFileManager[] = "There is no file manager";
// A file whose path now names another file, or none.
inline constexpr char kFileRemovedOrReplaced[] = "The file was removed or replaced";

// --- Records -----------------------------------------------------------------
inline constexpr char kInvalidRecordNumber[] = "Invalid record number";
inline constexpr char kRecordNotInIndex[] = "Record is not in index";

// --- Filters (of views and of flat files) ------------------------------------
// Followed by the expression compiler's reason.
inline constexpr char kFilterSyntax[] = "Syntax error in filter: ";

// --- Databases and libraries -------------------------------------------------
// Followed by the database's name, then what is wrong with it.
inline constexpr char kDatabaseNamed[] = "Database '";
// "Database type '" (or "Commerce method '"), the name, then the end.
inline constexpr char kDatabaseType[] = "Database type '";
inline constexpr char kNotConfigured[] = "' is unsupported or not configured";

} // namespace vorn
