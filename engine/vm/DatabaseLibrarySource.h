// What VrOPEN and VrCREATE need to make a database: one of the built-in
// "xbase3" driver, or one of a type that a plug-in library serves. The
// database engine's library manager makes both; the engine only chooses.
#pragma once

#include <cstdint>

#include "engine/foundation/String.h"
#include "engine/vm/Database.h"

namespace vorn {

class VornApplication;
class VornVM;

class DatabaseLibrarySource {
  public:
    virtual ~DatabaseLibrarySource() = default;

    // A new database of the type (any letter case; length -1: up to the NUL),
    // neither opened nor created yet, named as the Database constructor names
    // it. The type's library is loaded on first use. Null, with the reason in
    // *error and the name left to the caller, when no library serves the type.
    virtual Database* NewDatabase(VornApplication* application, VornVM* program, const char* type,
                                  int32_t typeLength, const DatabaseText& name, String* error) = 0;
    // A new database of the built-in "xbase3" driver, neither opened nor
    // created yet, named as above; null when this source has no such driver.
    virtual Database* NewXBaseDatabase(VornApplication* application, VornVM* program,
                                       const DatabaseText& name) {
        (void)application;
        (void)program;
        (void)name;
        return nullptr;
    }
};

} // namespace vorn
