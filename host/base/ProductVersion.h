// The product's version, the one the system shows: the scripts' vornversion,
// the X-Mailer header of mail ("Vorn v5.20"), and the banners of vornfcgi and
// vrrun ("Vorn 5.20"). The extension interface's own version (0x00010002,
// reported to the web server) is another number.
#pragma once

namespace vorn {

inline constexpr char kProductName[] = "Vorn";
inline constexpr char kProductVersion[] = "5.20";

} // namespace vorn
