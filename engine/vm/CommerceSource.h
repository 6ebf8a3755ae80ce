// What the VrCOMMERCE handlers need of the request's commerce libraries: a
// transaction object per block. The host's commerce manager makes them.
#pragma once

#include <cstdint>

#include "engine/foundation/String.h"
#include "engine/vm/Feature.h"

namespace vorn {

class VariableHash;
class VariableList;

// Results of CommerceTransaction::Pass.
inline constexpr int32_t kCommercePassBody = 1;
inline constexpr int32_t kCommercePassFinished = 2;

// One transaction: the open VrCOMMERCE block, a feature of kind
// kFeatureCommerce whose error holds the text of a failure.
class CommerceTransaction : public Feature {
  public:
    using Feature::Feature;

    // NUL-terminated copies of the tag's operands (length -1: up to the NUL).
    virtual void SetMethod(const char* text, int32_t length) = 0;
    virtual void SetRequest(const char* text, int32_t length) = 0;
    // The references the library gets; filled by the caller before Start.
    virtual VariableList* Fields() const = 0;
    // 1 when the transaction started; 0 with the error set.
    virtual int32_t Start() = 0;
    // One loop call: kCommercePassBody or kCommercePassFinished.
    virtual int32_t Pass() = 0;
    // Whether the library reported a failure that ended the transaction.
    virtual bool LoopFailed() const = 0;
    // Whether a library entry is running (it may call back into the script).
    virtual bool Busy() const = 0;
};

class CommerceSource {
  public:
    virtual ~CommerceSource() = default;

    // A new transaction of the program; the caller owns it.
    virtual CommerceTransaction* NewTransaction(VornApplication* application, VornVM* program,
                                                VariableHash* systemScope) = 0;
};

// "Commerce method '<method>' is unsupported or not configured".
String CommerceMethodNotConfigured(const char* method, int32_t length);

} // namespace vorn
