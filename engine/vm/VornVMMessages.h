// The texts of the machine's own fatal errors: a program that the compiler
// would not have made, or a run past the machine's limits. The machine ends
// the run with them; scripts' error pages show them as they are.
#pragma once

namespace vorn {

// --- Code --------------------------------------------------------------------
inline constexpr char kErrorIllegalInstruction[] = "Illegal Instruction";
inline constexpr char kErrorInvalidSegment[] = "Invalid segment reference";
inline constexpr char kErrorInvalidDictionary[] = "Invalid dictionary reference";
inline constexpr char kErrorTruncatedInstruction[] = "Instruction runs past the end of the segment";
inline constexpr char kErrorInvalidJump[] = "Jump outside of the segment";

// --- Stack and variables -----------------------------------------------------
inline constexpr char kInvalidVariable[] = "Invalid variable reference";
inline constexpr char kExpectedVariable[] = "Expected variable, found constant";
inline constexpr char kInvalidStackReference[] = "Invalid stack reference";

// --- Calls -------------------------------------------------------------------
inline constexpr char kInvalidFunctionCall[] = "Invalid function call";
inline constexpr char kInvalidParameterReference[] = "Invalid parameter reference";
inline constexpr char kFrameUnderflow[] = "Frame underflow";
inline constexpr char kReturnOutsideFunction[] = "Return outside of function";
inline constexpr char kParameterCountMismatch[] = "Number of parameters mismatch in call to external function";
inline constexpr char kParameterTypeMismatch[] = "Parameter type mismatch in call to external function";
inline constexpr char kNestingTooDeep[] = "Function call nesting too deep";

// --- Limits ------------------------------------------------------------------
inline constexpr char kErrorTimedOut[] = "Application timed out";

} // namespace vorn
