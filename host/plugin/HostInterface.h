// What the exported host functions share: the checks every argument from a
// plug-in goes through, the managers of a program, and the paths of the file
// locations.
#pragma once

#include <cstdint>

#include "engine/foundation/String.h"

namespace vorn {

class FileManager;
class Variable;
class VariableList;
class VornApplication;
class VornVM;

namespace hostapi {

// Location numbers of the newer file functions.
inline constexpr int32_t kLocationScript = 1;
inline constexpr int32_t kLocationCommerce = 3;

// Makes (text, length) usable: -1 is measured; false for a length below -1 or
// a null text with a nonzero length. A null text of length 0 becomes "".
bool TextArgument(const char*& text, int32_t& length);

// A new host-heap copy of the bytes with a NUL after them (null when out of
// memory); its length through the optional pointer.
char* HeapCopy(const char* text, int32_t length, int32_t* outLength);

// Stores *out when the pointer is given.
template <class T> void Put(T* out, T value) {
    if (out) *out = value;
}

VornApplication* ApplicationOf(VornVM* program);
FileManager* FilesOf(VornVM* program);

// The file-manager location and path of a newer-family file argument:
// location 1 next to the running script (from the script root when the path
// starts with a separator), 3 under the commerce directory, any other the
// data directory. False for a refused text argument.
bool LocatePath(VornVM* program, FileManager* files, int32_t location, const char* path, int32_t length,
                int32_t* kind, String* out);

// The older family's locations: 1 the script root, any other the data root.
int32_t OlderLocation(int32_t location);

// Appends the elements of an aggregate in key order, each named after its
// key (the member name, or the index in decimal): new references to them, or
// the element variables themselves renamed (the list takes a reference on
// each). Returns the number appended; a scalar appends none.
int32_t AppendElements(Variable* aggregate, VariableList* list, bool asReferences);

// The aggregate kind as the newer family reports it: 0 scalar, 1 array,
// 2 structure, -1 any other.
int32_t NewerAggregateType(int32_t kind);

} // namespace hostapi
} // namespace vorn
