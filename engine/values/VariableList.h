// An ordered list of Variables that holds one reference on each: clearing or
// destroying the list releases every Variable once. Used for parameter lists,
// name lists and the lists handed to plug-ins.
#pragma once

#include <cstdint>

#include "engine/foundation/List.h"
#include "engine/values/Variable.h"

namespace vorn {

class VariableList : public List<Variable> {
public:
    VariableList() : List<Variable>(true) {}
    ~VariableList() override;

    // Inserts and takes a reference on the item.
    void Insert(Variable* item, int mode) override;
    // Releases instead of deleting.
    void DeleteItem(Variable* item) override;
    // Inserts, taking a reference only when asked (to take over the
    // caller's own reference instead).
    virtual void InsertItem(Variable* item, int mode, bool addReference);
    // Clears the list, then deletes it.
    virtual void Delete();

    // The first variable whose name equals name (A-Z folded); length -1 means
    // up to the first NUL. Moves the cursor onto it (null when none).
    Variable* FindByName(const char* name, int32_t length);
};

} // namespace vorn
