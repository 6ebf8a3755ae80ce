// VrDO sub-programs: another compiled file loaded once per request into a
// context of its own (pool, segments, functions, scopes over the caller's,
// localisation tables and a VM below the caller's), kept in the request's
// cache until it is evicted or the request ends.
#pragma once

#include <cstdint>

#include "engine/foundation/HashTable.h"
#include "engine/foundation/List.h"
#include "engine/foundation/String.h"
#include "engine/vm/VornVM.h"

namespace vorn {

class CommerceSource;
class Dictionary;
class ExternalFunctionSource;
class DatabaseLibrarySource;
class File;
class FunctionManager;
class LocalizedDictionary;
class LocalizedLanguages;
class ReferenceVariableHash;
class Segment;
class SegmentManager;
class TaggedFile;
class VariableHash;
class VornApplication;

// Bucket bits and slot growth of the VrDO tables.
inline constexpr int32_t kDoTableBits = 12;
inline constexpr int32_t kDoTableGrowth = 512;
// Nested VrDO runs (each nests the interpreter on the native stack).
inline constexpr int32_t kDoMaxNesting = 100;
inline constexpr const char kDoNestingTooDeep[] = "VrDO nesting too deep";

// A call expression of op_do_function, compiled once in the context's program.
// A text that did not compile is kept too, with the compiler's message and no
// segment, so repeating it neither recompiles nor uses up another segment.
class DoExpression {
public:
    DoExpression(const char* text, int32_t length, Segment* code, const String& message);
    virtual ~DoExpression();
    DoExpression(const DoExpression&) = delete;
    DoExpression& operator=(const DoExpression&) = delete;

    const String& Name() const { return text; }

    String text;
    Segment* segment; // in the context's segment manager (not owned); null when the text did not compile
    String error;     // the compiler's message when segment is null
};

class DoContext {
public:
    // name is the script-relative path the context is cached under; it also
    // names the sub-program, so its own relative VrDOs start from its directory.
    DoContext(const char* name, int32_t nameLength, VornVM* caller, VariableHash* callerGlobals,
              VariableHash* callerSystem, VornApplication* application, ExternalFunctionSource* externalCalls,
              CommerceSource* commerceLibraries, DatabaseLibrarySource* databaseLibraries);
    // Deletes the VM first, then the program's tables.
    virtual ~DoContext();
    DoContext(const DoContext&) = delete;
    DoContext& operator=(const DoContext&) = delete;

    // Reads the compiled program from the opened file (which becomes the
    // context's in every case) and builds its VM; false with `error` set.
    bool Load(const char* absolutePath, File* file);
    // While its VM runs, has sub-programs of its own, or is held by an open
    // database or filter, the context must not be deleted.
    bool InUse() const;

    const String& Name() const { return name; }

    TaggedFile* reader = nullptr;
    String path;  // the absolute path of the file
    String error; // the loader's message
    Dictionary* pool = nullptr;
    SegmentManager* segments = nullptr;
    FunctionManager* functions = nullptr;
    ReferenceVariableHash* globalScope = nullptr;
    ReferenceVariableHash* systemScope = nullptr;
    VornVM* vm = nullptr;

    VornVM* caller;
    VariableHash* callerGlobals;
    VariableHash* callerSystem;
    VornApplication* application;
    ExternalFunctionSource* externalCalls;
    CommerceSource* commerceLibraries;
    DatabaseLibrarySource* databaseLibraries;

    LocalizedLanguages* languages = nullptr;
    LocalizedDictionary* localizedTexts = nullptr;
    HashTable<DoExpression>* expressions = nullptr;

    String name; // the cache key

private:
    bool Fail(const String& reason);
};

// The run's contexts by path, and by use (most recent first), in the run's
// SubPrograms slot.
class DoCache : public RunState {
public:
    // The cache of vm's run, made on first use.
    static DoCache& Of(VornVM& vm);

    DoCache() = default;
    // Deletes the contexts nothing depends on any more, until none is left
    // or the rest are held.
    ~DoCache() override;

    // The cached or newly loaded context of a compiled file for vm: a name
    // with a leading separator counts from the script directory, others
    // from vm's program directory. Null after a runtime error of VrDO.
    DoContext* Get(VornVM& vm, const char* name, int32_t length);

    HashTable<DoContext>& Contexts() { return contexts; }
    List<DoContext>& ByUse() { return byUse; }

private:
    // Makes room under "maxdocache" by deleting unused contexts, least
    // recently used first.
    void Evict(VornApplication* application);

    // Keys are paths of a case-sensitive file system.
    HashTable<DoContext> contexts{false, false, kDoTableBits, kDoTableGrowth};
    List<DoContext> byUse{false};
};

} // namespace vorn
