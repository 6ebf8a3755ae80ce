// The vornsql library's descriptor of database entries (the library's
// export hands it to the host).
#pragma once

#include "database/DatabaseLibrary.h"

namespace vorn {

DatabaseLibraryDescriptor* SQLDescriptor();

} // namespace vorn
