// What the VrCALL handlers need of the request's network manager: a call
// object per block, which sends the request and walks the reply. The host's
// network manager makes them.
#pragma once

#include <cstdint>

#include "engine/foundation/String.h"
#include "engine/vm/Feature.h"

namespace vorn {

class VariableHash;
class VariableList;

// Results of HttpCall::Next.
inline constexpr int32_t kCallItem = 0;   // an item was published (or the empty first pass)
inline constexpr int32_t kCallEnd = 2;    // the reply is walked: nothing published
inline constexpr int32_t kCallFailed = 3; // the error holds why

// The tag's operands. Texts are (pointer, length) and are copied; the three
// optional ones are null when the tag form does not carry them.
struct CallOperands {
    const char* url = "";
    int32_t urlLength = 0;
    const char* method = "";
    int32_t methodLength = 0;
    const char* files = "";
    int32_t filesLength = 0;
    const char* contentType = "";
    int32_t contentTypeLength = 0;
    const char* certificateFile = nullptr;
    int32_t certificateFileLength = 0;
    const char* certificateType = nullptr;
    int32_t certificateTypeLength = 0;
    const char* passPhrase = nullptr;
    int32_t passPhraseLength = 0;
    int32_t timeout = 0;      // the tag's seconds; it can only shorten "calltimeout"
    bool logTraffic = false;  // write the request and reply to the trace log
};

// One open VrCALL block: a feature of kind kFeatureCall whose error holds the
// text of a failure.
class HttpCall : public Feature {
  public:
    HttpCall(VornApplication* application, VornVM* vm) : Feature(application, vm, kFeatureCall) {}

    // The references of the form fields, in order; filled by the caller before Start.
    virtual VariableList* Fields() = 0;
    // Sends the request (the extra header lines given) and reads the reply's
    // head into the header variables. False with the error set.
    virtual bool Start(const char* headers, int32_t headersLength) = 0;
    // One pass: kCallItem, kCallEnd or kCallFailed.
    virtual int32_t Next() = 0;
};

class NetworkSource {
  public:
    virtual ~NetworkSource() = default;

    // A new call of the program; the caller owns it.
    virtual HttpCall* NewCall(VornApplication* application, VornVM* program, VariableHash* systemScope,
                              const CallOperands& operands) = 0;
};

} // namespace vorn
