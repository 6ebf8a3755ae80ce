// The vornsql library's descriptor of database entries (the library's
// export hands it to the host).
#pragma once

#include "database/library/DatabaseLibrary.h"

namespace vorn {

DatabaseLibraryDescriptor* SQLDescriptor();
// Whether the view's statement has run to its end (its eof column is 1).
bool SQLViewFinished(VornDatabaseView* view);

} // namespace vorn
