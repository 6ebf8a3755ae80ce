// The log file's line: time stamp, process and thread ids, the event's name
// and its TAB-separated fields, with control bytes escaped so that the only
// raw TABs are separators and each event is one line.
#pragma once

#include <cstdint>

#include "engine/app/VornApplication.h"
#include "engine/foundation/String.h"

namespace vorn {

class Variable;

// A text with every byte below 0x20 written as "\x" and two lower-case hex
// digits (length -1: up to the NUL).
void AppendLogText(String& line, const char* text, int32_t length);
// A variable: structures and arrays one level deep, scalars by their type.
void AppendLogValue(String& line, Variable* variable);
// The whole line of an event, from the time stamp to its CR LF; a null or
// empty name is left out.
void FormatLogLine(String& line, const char* eventName, const LogField* fields);

// Appends the event's line to the "logfile" of the application's
// configuration with one write; nothing when the setting is empty or the
// file cannot be opened.
void WriteLogEvent(VornApplication* application, uint32_t event, const LogField* fields);

} // namespace vorn
