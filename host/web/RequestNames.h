// The names of the request's variables that the system scope's lazy lookup
// knows: the server variables read by name and the names the request's steps
// put (the headers, dyn_*, vorn_* and arg<n> aside, which it knows by their
// form). A step names what it puts only through RequestName, so nothing is
// put that the lookup does not know.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vorn {

inline constexpr const char* kRequestServerVariables[] = {
    "AUTH_TYPE",   "CONTENT_LENGTH", "CONTENT_TYPE", "PATH_INFO",          "QUERY_STRING",
    "REMOTE_ADDR", "REMOTE_HOST",    "REMOTE_USER",  "REQUEST_METHOD",     "SCRIPT_NAME",
    "SERVER_NAME", "SERVER_PORT",    "SERVER_PORT_SECURE", "SERVER_PROTOCOL", "SERVER_SOFTWARE",
};

// X(name, text).
#define VORN_REQUEST_NAMES(X)                                                                                \
    X(TimeT, "time_t")                                                                                       \
    X(TmUsec, "tm_usec")                                                                                     \
    X(TmSec, "tm_sec")                                                                                       \
    X(TmMin, "tm_min")                                                                                       \
    X(TmHour, "tm_hour")                                                                                     \
    X(TmMday, "tm_mday")                                                                                     \
    X(TmMon, "tm_mon")                                                                                       \
    X(StmMon, "stm_mon")                                                                                     \
    X(TmYear, "tm_year")                                                                                     \
    X(TmWday, "tm_wday")                                                                                     \
    X(StmWday, "stm_wday")                                                                                   \
    X(TmYday, "tm_yday")                                                                                     \
    X(TmIsdst, "tm_isdst")                                                                                   \
    X(StmZone, "stm_zone")                                                                                   \
    X(GlobalTimeout, "globaltimeout")                                                                        \
    X(VornVersion, "vornversion")                                                                            \
    X(ProcessId, "process_id")                                                                               \
    X(Nargs, "nargs")                                                                                        \
    X(ApiType, "apitype")                                                                                    \
    X(DocumentUrl, "documenturl")                                                                            \
    X(CallerId, "callerid")

enum class RequestName : uint8_t {
#define VORN_REQUEST_NAME_ENUM(name, text) name,
    VORN_REQUEST_NAMES(VORN_REQUEST_NAME_ENUM)
#undef VORN_REQUEST_NAME_ENUM
};

inline constexpr std::string_view kRequestNames[] = {
#define VORN_REQUEST_NAME_TEXT(name, text) text,
    VORN_REQUEST_NAMES(VORN_REQUEST_NAME_TEXT)
#undef VORN_REQUEST_NAME_TEXT
};

// NUL-terminated: each view is a whole literal.
constexpr const char* NameOf(RequestName name) { return kRequestNames[static_cast<size_t>(name)].data(); }

} // namespace vorn
