#include "database/xbase3/XBaseIndex.h"

#include <cstdlib>
#include <cstring>

#include "database/xbase3/XBaseDatabase.h"
#include "engine/program/Segment.h"
#include "engine/vm/VornVM.h"

namespace vorn {

namespace {

// Every move and search of a view locks the index header while it reads.
constexpr int kLockWalk = 1;

char Upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

} // namespace

int XBaseIndexList::Compare(const char* key, const XBaseIndex* item) const {
    const char* name = item ? item->Name().Text() : "";
    if (!key) key = "";
    for (;; ++key, ++name) {
        char a = Upper(*key);
        char b = Upper(*name);
        if (a != b) return a < b ? -1 : 1;
        if (!a) return 0;
    }
}

XBaseIndex::XBaseIndex(VornVM* program, VornApplication*, XBaseDatabase* database, XBaseStoreOpener* opener,
                       const char* indexName, int32_t nameLength)
    : program(program), database(database), name(indexName, nameLength),
      fileName(""), error(""), file(opener) {
    if (program) program->AddUse();
}

XBaseIndex::~XBaseIndex() {
    file.Close();
    if (program) program->ReleaseUse();
}

void XBaseIndex::SetError(const String& text) {
    if (!text.IsEmpty()) error.Assign(text);
}

int XBaseIndex::FileResult(int ok) {
    if (!ok) SetError(file.ErrorText());
    return ok;
}

int XBaseIndex::Create(const char* newName, const char* expression, uint32_t flags) {
    if (!FileResult(file.CreateFile(kXBaseLocation, newName, expression, flags))) return 0;
    fileName.Assign(newName);
    compiled = nullptr;
    return 1;
}

int XBaseIndex::CreateOnFile(XBaseStore* store, const char* newName, const char* expression, uint32_t flags) {
    if (!FileResult(file.Create(store, newName, expression, flags))) return 0;
    fileName.Assign(newName);
    compiled = nullptr;
    return 1;
}

int XBaseIndex::Open(const char* newName) {
    if (!FileResult(file.Open(kXBaseLocation, newName, kXBaseOpenMode))) return 0;
    fileName.Assign(newName);
    compiled = nullptr;
    return 1;
}

void XBaseIndex::DeactivateFile() {
    file.DeactivateFile();
}

Segment* XBaseIndex::Compile() {
    if (compiled) return compiled;
    if (!program) {
        SetError(String("Syntax error in index expression: there is no program to compile it"));
        return nullptr;
    }
    const String& expression = file.Expression();
    String message;
    compiled = program->CompileDatabaseExpression(expression.Text(), expression.Length(),
                                                  database ? database->Name().Text() : "", &message);
    if (!compiled) SetError(String("Syntax error in index expression: ") + message);
    return compiled;
}

int XBaseIndex::Evaluate(VariableHash* locals, String& key) {
    Segment* code = Compile();
    if (!code) return 0;
    const char* text = nullptr;
    int32_t length = 0;
    int32_t size = 0;
    bool owned = false;
    if (!program->EvaluateString(code, nullptr, locals, &text, &length, &size, &owned)) {
        SetError(String("Error evaluating the key expression of the index '") + name + "'");
        return 0;
    }
    key.Assign(text ? text : "", text ? length : 0);
    if (owned) std::free(const_cast<char*>(text));
    return 1;
}

int XBaseIndex::AddKey(int32_t record, const char* key, int32_t length) {
    return FileResult(file.Insert(record, key, length));
}

int XBaseIndex::RemoveKey(int32_t record, const char* key, int32_t length) {
    return FileResult(file.Delete(record, key, length));
}

int XBaseIndex::FindKey(const char* key, int32_t length, int exact, int32_t* outRecord, int* outFound) {
    return FileResult(file.Find(key, length, exact, outRecord, outFound, kLockWalk));
}

int XBaseIndex::FirstKey(int32_t* outRecord) {
    return FileResult(file.First(outRecord, kLockWalk));
}

int XBaseIndex::LastKey(int32_t* outRecord) {
    return FileResult(file.Last(outRecord, kLockWalk));
}

int XBaseIndex::NextKey(int32_t* outRecord, const char** outKey) {
    return FileResult(file.Next(outRecord, outKey, kLockWalk));
}

int XBaseIndex::PreviousKey(int32_t* outRecord) {
    return FileResult(file.Previous(outRecord, nullptr, kLockWalk));
}

int XBaseIndex::SeekEntry(const char* key, int32_t length, int32_t record) {
    return FileResult(file.Reposition(key, length, record, kLockWalk));
}

int XBaseIndex::HasOtherEntry(const char* key, int32_t length, int32_t record) {
    length = file.CutKey(key, length);
    int32_t found = 0;
    int equal = 0;
    if (!FindKey(key, length, 1, &found, &equal)) return -1;
    if (!equal) return 0;
    if (found == record) {
        // The record's own entry comes first: another one may follow it.
        const char* next = nullptr;
        int32_t after = 0;
        if (!NextKey(&after, &next)) return -1;
        if (after == 0 || !next ||
            CompareKeys(key, length, next, static_cast<int32_t>(std::strlen(next)), 1, Flags()) != 0)
            return 0;
    }
    SetError(String("Index '") + file.Name() + "' was created with the UNIQUE flag and the key '" +
             String(key, length) + "' already exists in the index file");
    return 1;
}

} // namespace vorn
