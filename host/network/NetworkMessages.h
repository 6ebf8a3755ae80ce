// The failure texts of connections and of the clients that use them. Scripts
// see them as tag errors, so they do not change.
#pragma once

namespace vorn {

// Each is followed by the reason.
inline constexpr char kReadError[] = "Read Error: ";
inline constexpr char kSslReadError[] = "SSL Read Error: ";
inline constexpr char kWriteError[] = "Write Error: ";
inline constexpr char kSslConnectError[] = "Error establishing SSL connection: ";
// Each is followed by the host's name, then (but for a failed look-up with
// no reason) "': " and the reason.
inline constexpr char kErrorConnectingTo[] = "Error connecting to '";
inline constexpr char kErrorLookingUp[] = "Error looking up '";

inline constexpr char kReadTimeout[] = "Read Timeout";
inline constexpr char kWriteTimeout[] = "Write Timeout";
inline constexpr char kConnectionClosed[] = "Read Error: Connection closed by remote host";
inline constexpr char kNotConnected[] = "TCP connection not established";
inline constexpr char kMalformedUrl[] = "Malformed URL";
// The reason of a failure the system or the TLS library gave none for.
inline constexpr char kUnknownError[] = "Unknown error";

} // namespace vorn
