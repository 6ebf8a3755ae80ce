// Commerce libraries: plug-ins that carry out a payment transaction for the
// VrCOMMERCE block. The configuration names each one by its method; the
// request's manager loads and binds a library on the first use of its method,
// and a Commerce feature runs one transaction (init once, then one loop call
// per pass, the block's body running once for each pass the library asks for).
//
// The entry types and the descriptor below are the contract with the plug-in,
// shared in memory, so they are plain C types.
#pragma once

#include <cstdint>

#include "engine/app/ConfiguredLibraries.h"
#include "engine/foundation/HashTable.h"
#include "engine/foundation/String.h"
#include "engine/vm/CommerceSource.h"

namespace vorn {

class ExternalLibrary;
class VariableHash;
class VariableList;
class VornApplication;
class VornVM;

// Every entry gets the program, the address of the transaction's state word
// (null before init; the library sets it and gets it back on every later
// call), the method name and the request text (NUL-terminated) and the list of
// references to the variables the tag names.

// 0: the transaction started; anything else: it failed.
using CommerceInitEntry = int32_t (*)(VornVM* program, void** state, const char* method, const char* request,
                                      VariableList* fields, VariableHash* systemScope);
// 0: run the block's body (again); 1: failure; anything else: finished.
// pass counts the loop calls of the transaction from 0.
using CommerceLoopEntry = int32_t (*)(VornVM* program, void** state, const char* method, const char* request,
                                      VariableList* fields, VariableHash* systemScope, int32_t pass);
// Releases the transaction's state; called once when its block ends, after a
// failed init as well.
using CommerceCleanupEntry = void (*)(VornVM* program, void** state, const char* method, const char* request,
                                      VariableList* fields);
// The text of the last failure (NUL-terminated, the library's; copied at once).
using CommerceErrorEntry = const char* (*)(VornVM* program, void** state, const char* method,
                                           const char* request, VariableList* fields);

// What "vorn_commerce_library" returns; owned by the library.
struct CommerceLibraryDescriptor {
    int32_t version; // not read
    CommerceInitEntry init;
    CommerceLoopEntry loop;
    CommerceCleanupEntry cleanup;
    CommerceErrorEntry error;
};

using CommerceDescriptorEntry = CommerceLibraryDescriptor* (*)();

inline constexpr char kCommerceBindError[] = "Unable to load commerce library descriptor table/functions";

// One configured commerce method.
class CommerceLibrary {
  public:
    // Copies both texts; the library is bound later.
    CommerceLibrary(const char* method, const char* path);
    virtual ~CommerceLibrary();
    CommerceLibrary(const CommerceLibrary&) = delete;
    CommerceLibrary& operator=(const CommerceLibrary&) = delete;

    // The bound entries, arguments passed through.
    virtual int32_t Init(VornVM* program, void** state, const char* method, const char* request,
                         VariableList* fields, VariableHash* systemScope);
    virtual int32_t Loop(VornVM* program, void** state, const char* method, const char* request,
                         VariableList* fields, VariableHash* systemScope, int32_t pass);
    virtual void Cleanup(VornVM* program, void** state, const char* method, const char* request,
                         VariableList* fields);
    virtual const char* Error(VornVM* program, void** state, const char* method, const char* request,
                              VariableList* fields);
    virtual const String& ErrorText();
    // Assigns only a non-empty text.
    virtual void SetError(const String& text);
    // Takes the entries from the descriptor export, or else from the four
    // named exports. 1, or 0 with the error set.
    virtual int32_t Bind(ExternalLibrary* library);

    const String& Method() const { return method; }
    const String& Path() const { return path; }
    // The key of the manager's table.
    const String& Name() const { return method; }
    bool Bound() const { return bound != 0; }

  private:
    String method;
    String path;
    String error;
    int32_t bound = 0;
    CommerceInitEntry init = nullptr;
    CommerceLoopEntry loop = nullptr;
    CommerceCleanupEntry cleanup = nullptr;
    CommerceErrorEntry errorEntry = nullptr;
};

// The commerce methods of one request.
class CommerceLibraryManager : public ConfiguredLibraries, public CommerceSource {
  public:
    // The application gives the library loader.
    explicit CommerceLibraryManager(VornApplication* application);
    ~CommerceLibraryManager() override;
    CommerceLibraryManager(const CommerceLibraryManager&) = delete;
    CommerceLibraryManager& operator=(const CommerceLibraryManager&) = delete;

    // Records an unbound library for the method (NUL-terminated texts). 1.
    virtual int32_t RegisterLibrary(const char* method, const char* path);
    // The library of a method (any letter case; length -1: up to the NUL),
    // loaded and bound on first use; null with ErrorText() set. A failed load
    // or bind is tried again on the next call.
    virtual CommerceLibrary* FindForMethod(const char* name, int32_t length);
    virtual void SetError(const String& text);
    virtual const String& ErrorText();

    // ConfiguredLibraries: the methods in registration order.
    int32_t ConfiguredLibraryCount() override;
    const char* ConfiguredLibraryName(int32_t index, int32_t* length) override;
    bool IsLibraryConfigured(const char* name, int32_t length) override;

    // CommerceSource: a Commerce feature over this manager.
    CommerceTransaction* NewTransaction(VornApplication* application, VornVM* program,
                                        VariableHash* systemScope) override;

    VornApplication* Application() const { return application; }

  private:
    VornApplication* application;
    HashTable<CommerceLibrary> libraries;
    String error;
};

// One transaction: the open VrCOMMERCE block.
class Commerce : public CommerceTransaction {
  public:
    Commerce(VornApplication* application, VornVM* program, CommerceLibraryManager* manager,
             VariableHash* systemScope);
    // Calls the library's cleanup when init was called, then frees the texts
    // and the field list.
    ~Commerce() override;

    // NUL-terminated copies of the tag's operands (length -1: up to the NUL).
    void SetMethod(const char* text, int32_t length) override;
    void SetRequest(const char* text, int32_t length) override;
    // The references the library gets; filled by the caller before Start.
    VariableList* Fields() const override { return fields; }

    // Finds the library and calls init. 1 when the transaction started; 0
    // with the feature's error set.
    int32_t Start() override;
    // One loop call: kCommercePassBody or kCommercePassFinished. A failure
    // reported by the library leaves its text in the error and LoopFailed().
    int32_t Pass() override;

    bool LoopFailed() const override { return loopFailed; }
    // Whether a library entry is running (it may call back into the script).
    bool Busy() const override { return busy > 0; }
    int32_t Passes() const { return passes; }
    const char* Method() const { return method ? method : ""; }
    const char* Request() const { return request ? request : ""; }
    CommerceLibrary* Library() const { return library; }
    VariableHash* SystemScopeOf() const { return systemScope; }

  private:
    // Copies the error entry's text into the feature's error.
    void FetchError();

    VornVM* program;
    CommerceLibraryManager* manager;
    VariableHash* systemScope;
    char* request = nullptr;
    int32_t requestLength = 0;
    char* method = nullptr;
    int32_t methodLength = 0;
    VariableList* fields;
    void* state = nullptr;
    int32_t passes = 0;
    CommerceLibrary* library = nullptr;
    bool initCalled = false;
    bool loopFailed = false;
    int32_t busy = 0;
};

} // namespace vorn
