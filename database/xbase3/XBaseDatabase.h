// The built-in "xbase3" database driver: one dBASE table with its memo file
// and its open index files, and the one view that moves over its records.
//
// Every operation returns 1 for success and 0 for failure with the message in
// the database's error text, which the instruction handler reports. Several
// messages hold a TAB (byte 0x09) where a space would be expected; scripts
// compare them as they are.
#pragma once

#include <cstdint>
#include <vector>

#include "database/format/XBaseTable.h"
#include "database/xbase3/XBaseFileStore.h"
#include "database/xbase3/XBaseIndex.h"
#include "engine/foundation/List.h"
#include "engine/foundation/String.h"
#include "engine/vm/Database.h"

namespace vorn {

class File;
class XBaseDatabaseView;

// Where the driver's files live and how it opens them.
inline constexpr int32_t kXBaseLocation = 0; // the data directory
inline constexpr int32_t kXBaseOpenMode = 3; // read and write, the file must exist

// Parses a VrCREATE field specification into field definitions appended to
// fields (owning); 1, or 0 with the message in error.
int ParseFieldSpecification(const char* text, int32_t length, List<XBaseField>& fields, String& error);
// Parses VrMAKEINDEX's flags text; 1, or 0 with the message in error.
int ParseIndexFlags(const char* text, int32_t length, uint32_t* flags, String& error);

// One file built under a temporary name during a pack or reindex, and the
// name it will take. It never touches the files itself.
class XBaseTemporaryFile {
  public:
    XBaseTemporaryFile(const String& finalName, const String& temporaryName)
        : finalName(finalName), temporaryName(temporaryName) {}
    virtual ~XBaseTemporaryFile() = default;

    String finalName;
    String temporaryName;
    // Where the swap stands: the files as made, exchanged (the temporary
    // name now holds the old file), or renamed (there was no old file).
    enum { Made, Exchanged, Renamed } state = Made;
};

class XBaseDatabase : public Database {
  public:
    // The name as the Database constructor takes it.
    XBaseDatabase(VornApplication* application, VornVM* program, const DatabaseText& name);
    ~XBaseDatabase() override;

    // Only the file is used; the name and extra texts are for libraries.
    int Open(const DatabaseText& file, const DatabaseText& name, const DatabaseText& extra1,
             const DatabaseText& extra2, const DatabaseText& extra3) override;
    // Closes the table's files; the indexes stay open until the database goes.
    int Close() override;
    int Create(const DatabaseText& file, const DatabaseText& name, const DatabaseText& fields) override;
    int SetIndexes(VornVM* program, const DatabaseText& indexes) override;
    int SetPrimaryIndexes(const DatabaseText& indexes) override;
    int MakeIndex(VornVM* program, const DatabaseText& file, const DatabaseText& expression,
                  const DatabaseText& flags) override;
    // Both rebuild under temporary names while the table is locked against
    // every change, then swap the new files in (XBaseRebuild.cpp).
    int Pack() override;
    int Reindex() override;
    int OpenView(const DatabaseText& viewName, const DatabaseText& query, VariableList* parameters,
                 int32_t parameterCount) override;
    int CloseView(const DatabaseText& viewName) override;
    int RunQuery(const DatabaseText& query, VariableList* parameters, int32_t parameterCount) override;
    int Commit() override;
    int Rollback() override;
    int Transact() override;
    int Command(const DatabaseText& command, const DatabaseText& value) override;

    // Opens the table and every open index again by name, as one set: under
    // the read lock of the new table's header, which a pack or reindex holds
    // until its old files are marked replaced. The table object keeps its
    // fields (the view's variables stay bound); the index objects are new.
    // *moved: the table's file was replaced too, so record numbers changed.
    // keepHold: the lock stays held until ReleaseHeaderHold, so that the
    // move made again reads the new indexes before a later rebuild can
    // replace them.
    int OpenCurrentFiles(bool* moved, bool keepHold = false);
    void ReleaseHeaderHold() {
        if (heldHeader > 0) DropHeaderHold();
    }

    XBaseTable* Table() const { return table; }
    XBaseIndexList& Indexes() { return indexes; }
    XBaseStoreOpener* Opener() { return &opener; }
    XBaseDatabaseView* View() const { return view; }
    const String& FileName() const { return fileName; }

  private:
    int Fail(const String& message);
    int Fail(const char* message);
    // Opens the indexes of a VrOPEN or VrSETINDEX list (after the ones
    // before a failure, which stay); *replaced: the failure was an index
    // file marked replaced.
    int OpenIndexList(VornVM* vm, const char* text, int32_t length, bool* replaced);
    // Takes the read lock of the table's header on the file the table's
    // name holds now: a table replaced meanwhile is opened again (*moved).
    int HoldCurrentTable(bool* moved);
    void DropHeaderHold();
    // Makes the primary view over the open table and registers it.
    void MakeView();
    // The index of that name (without regard to case) out of the list and
    // deleted; nothing when there is none.
    void DropIndex(const String& indexName);

    // --- Rebuilding (XBaseRebuild.cpp) -------------------------------------
    // A temporary file beside final, open and recorded in temporaries; null
    // with the message set.
    XBaseStore* MakeTemporary(const String& final, List<XBaseTemporaryFile>& temporaries);
    // New index objects on temporary files, one per open index, in order,
    // their keys compiled.
    int MakeTemporaryIndexes(XBaseIndexList& fresh, List<XBaseTemporaryFile>& temporaries);
    // Pack's new table (in *built) and indexes, filled with the live records.
    int BuildPacked(List<XBaseTemporaryFile>& temporaries, XBaseIndexList& fresh, XBaseTable** built);
    // The keys of the fields as they stand, for record, into every index.
    // With dead (a reindex: which records are deleted, from record 1), a
    // UNIQUE key two records hold goes to the live one: a deleted record
    // gives it up, a live one takes it from a deleted one.
    int AddKeys(XBaseIndexList& fresh, int32_t record, String& key, const std::vector<uint8_t>* dead = nullptr);
    // Swaps every temporary file with its final name (each temporary name
    // then holds the old file). 1; 0 after a failure whose swaps were put
    // back; -1 when they could not all be put back (nothing may be deleted).
    int SwapInFiles(List<XBaseTemporaryFile>& temporaries);
    // Puts the old files back under their names; 0 with the names of what
    // stays where in the message.
    int SwapBackFiles(List<XBaseTemporaryFile>& temporaries);
    // SwapInFiles, then the new table (when reopened is given) and indexes
    // opened; the old files go back when they do not open. As SwapInFiles.
    int SwapAndReopen(List<XBaseTemporaryFile>& temporaries, XBaseTable** reopened, XBaseIndexList& again);
    // Deletes the files under the temporary names (the new files before a
    // swap, the old ones after it).
    void DeleteTemporaries(List<XBaseTemporaryFile>& temporaries);
    // Opens each open index again by its file name into reopened.
    int ReopenIndexes(XBaseIndexList& reopened);
    // The new files are in place: the old indexes are marked replaced, the
    // reopened table (null for a reindex) and indexes become the database's
    // and the old files go. The caller moves the view once no lock of the
    // rebuild is left.
    void Commit(XBaseTable* reopened, XBaseIndexList& again, List<XBaseTemporaryFile>& temporaries);
    // The end of a failed rebuild (swapped as SwapInFiles gave); returns 0.
    int Abandon(List<XBaseTemporaryFile>& temporaries, int swapped);
    // The files this database holds open, which the swaps go through.
    int32_t OwnFiles(File** out, int32_t room);

    XBaseFileOpener opener;
    XBaseTable* table;
    String fileName;
    XBaseIndexList indexes;
    XBaseDatabaseView* view = nullptr;
    // Pack's new table while its files are swapped in.
    XBaseTable* rebuilt = nullptr;
    // The length of the table header's read lock HoldCurrentTable holds.
    int64_t heldHeader = 0;
};

} // namespace vorn
