#include "host/base/LogLine.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/foundation/Config.h"
#include "engine/foundation/Number.h"
#include "engine/values/Aggregate.h"
#include "engine/values/Variable.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/Time.h"

namespace vorn {

namespace {

const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

void AppendDouble(String& line, double value) {
    int32_t length = 0, size = 0;
    char* text = FormatDouble(value, &length, &size);
    if (text) line.Append(text, length);
    std::free(text);
}

void AppendScalar(String& line, Variable* value) {
    switch (value->Type()) {
    case kTypeText:
        AppendLogText(line, value->Value().Text(), value->Value().Length());
        break;
    case kTypeInteger:
        line.AppendInteger(value->ValueInteger());
        break;
    case kTypeDouble:
        AppendDouble(line, value->ValueDouble());
        break;
    default:
        break;
    }
}

// A member or element: nested aggregates by their kind only.
void AppendNested(String& line, Variable* value) {
    Variable* real = value ? value->RealIdentity() : nullptr;
    if (!real) return;
    if (real->AggregateType() == kAggregateStructure) {
        line.Append("<structure>");
    } else if (real->AggregateType() == kAggregateArray) {
        line.Append("<array>[");
        line.AppendInteger(real->ArrayMax());
        line.Append("]");
    } else {
        const String& text = real->Value();
        AppendLogText(line, text.Text(), text.Length());
    }
}

} // namespace

void AppendLogText(String& line, const char* text, int32_t length) {
    if (!text) return;
    if (length < 0) length = static_cast<int32_t>(std::strlen(text));
    int32_t start = 0;
    for (int32_t i = 0; i < length; ++i) {
        auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x20) continue;
        line.Append(text + start, i - start);
        char escape[5];
        std::snprintf(escape, sizeof escape, "\\x%02x", byte);
        line.Append(escape, 4);
        start = i + 1;
    }
    line.Append(text + start, length - start);
}

void AppendLogValue(String& line, Variable* variable) {
    Variable* real = variable ? variable->RealIdentity() : nullptr;
    if (!real) return;
    int32_t kind = real->AggregateType();
    if (kind == kAggregateScalar) {
        AppendScalar(line, real);
        return;
    }
    List<AggregateElement> elements(false);
    if (real->Tree()) real->Tree()->Walk(elements);
    if (kind == kAggregateStructure) {
        line.Append("{ ");
        bool first = true;
        for (AggregateElement* e = elements.First(); e; e = elements.Next()) {
            if (!first) line.Append(", ");
            first = false;
            line.AppendString(e->Key().Name());
            line.Append(": ");
            AppendNested(line, e->Value());
        }
        line.Append(" }");
        return;
    }
    line.Append("[");
    line.AppendInteger(real->ArrayMax());
    line.Append("] = [ ");
    bool first = true;
    for (AggregateElement* e = elements.First(); e; e = elements.Next()) {
        if (!first) line.Append(",");
        first = false;
        AppendNested(line, e->Value());
    }
    line.Append(" ]");
}

void FormatLogLine(String& line, const char* eventName, const LogField* fields) {
    platform::CalendarTime now;
    platform::LocalCalendarNow(now);
    char stamp[128];
    int n = std::snprintf(stamp, sizeof stamp, "%.3s %-2d %-4d %02d:%02d:%02d.%06ld\t%u.%u\t",
                          kMonths[now.month >= 0 && now.month < 12 ? now.month : 0], now.day, now.year + 1900,
                          now.hour, now.minute, now.second, static_cast<long>(now.microseconds),
                          static_cast<unsigned>(platform::ProcessId()), static_cast<unsigned>(platform::ThreadId()));
    line.Assign(stamp, n > 0 && n < static_cast<int>(sizeof stamp) ? n : 0);
    if (eventName) line.Append(eventName);
    for (const LogField* field = fields; field && field->kind != LogField::End; ++field) {
        line.AppendChar('\t');
        switch (field->kind) {
        case LogField::Text:
            AppendLogText(line, field->value.text, field->length);
            break;
        case LogField::Integer:
            line.AppendInteger(field->value.integer);
            break;
        case LogField::Double:
            AppendDouble(line, field->value.number);
            break;
        case LogField::Var:
            AppendLogValue(line, field->value.variable);
            break;
        default:
            break;
        }
    }
    line.Append("\r\n");
}

void WriteLogEvent(VornApplication* application, uint32_t event, const LogField* fields) {
    Config* config = application ? application->GetConfig() : nullptr;
    const char* path = config ? config->GetText(kConfigLogFile) : nullptr;
    if (!path || !path[0]) return;
    String line;
    FormatLogLine(line, application->LogEventName(event), fields);
    // One write on a descriptor opened for appending: concurrent requests'
    // lines land whole, each after the other.
    platform::AppendRecord(path, line.Text(), static_cast<size_t>(line.Length()));
}

} // namespace vorn
