// One open index file of an "xbase3" database with its key expression,
// compiled on first use by the program that opened or made the index. The
// index holds a use of that program: a key compiled there can only run there,
// so a VrDO sub-program that made the index must live as long as it.
#pragma once

#include <cstdint>

#include "database/format/KPZIndexFile.h"
#include "engine/foundation/List.h"
#include "engine/foundation/String.h"

namespace vorn {

class Segment;
class VariableHash;
class VornApplication;
class VornVM;
class XBaseDatabase;
class XBaseStoreOpener;

class XBaseIndex {
  public:
    // The name is copied; scripts refer to the index by it.
    XBaseIndex(VornVM* program, VornApplication* application, XBaseDatabase* database,
               XBaseStoreOpener* opener, const char* name, int32_t nameLength);
    virtual ~XBaseIndex();
    XBaseIndex(const XBaseIndex&) = delete;
    XBaseIndex& operator=(const XBaseIndex&) = delete;

    // The file operations: 1, or 0 with the message in ErrorText.
    int Create(const char* fileName, const char* expression, uint32_t flags);
    int CreateOnFile(XBaseStore* file, const char* fileName, const char* expression, uint32_t flags);
    int Open(const char* fileName);
    void DeactivateFile();
    // The compiled key, compiled first when there is none; null with
    // "Syntax error in index expression: " and the compiler's message.
    Segment* Compile();
    // Runs the key in the index's program with the given local scope and
    // keeps its text in key (the buffer is reused). 0 with a message of its
    // own when the run fails (the program has reported why).
    int Evaluate(VariableHash* locals, String& key);

    int AddKey(int32_t record, const char* key, int32_t length);
    int RemoveKey(int32_t record, const char* key, int32_t length);
    // The moves of a view, each under the index's read lock; record 0 past
    // either end or when nothing comes before the key.
    int FindKey(const char* key, int32_t length, int exact, int32_t* outRecord, int* outFound);
    int FirstKey(int32_t* outRecord);
    int LastKey(int32_t* outRecord);
    int NextKey(int32_t* outRecord, const char** outKey);
    int PreviousKey(int32_t* outRecord);
    // Moves the cursor onto the entry (key, record); "Record is not in index"
    // when there is none.
    int SeekEntry(const char* key, int32_t length, int32_t record);

    // Whether the key stands in the index for a record other than record:
    // 1 yes (with the file's UNIQUE message set), 0 no, -1 failure.
    int HasOtherEntry(const char* key, int32_t length, int32_t record);

    const String& Expression() { return file.Expression(); }
    uint32_t Flags() const { return file.Flags(); }
    const String& Name() const { return name; }
    const String& FileName() const { return fileName; }
    KPZIndexFile& File() { return file; }
    VornVM* Program() const { return program; }
    const String& ErrorText() const { return error; }
    // A String without text leaves the message as it was.
    void SetError(const String& text);

  private:
    int FileResult(int ok);

    VornVM* program;
    XBaseDatabase* database;
    String name;
    String fileName;
    String error;
    Segment* compiled = nullptr;
    KPZIndexFile file;
};

// The list of a database's open indexes, searched by name without regard to
// case; it owns its indexes. Its first index is the controlling one.
class XBaseIndexList : public SearchableList<XBaseIndex, const char*> {
  public:
    XBaseIndexList() : SearchableList<XBaseIndex, const char*>(true) {}

    using SearchableList<XBaseIndex, const char*>::Find;
    // An index without a name counts as the empty text.
    int Compare(const char* key, const XBaseIndex* item) const override;
};

} // namespace vorn
