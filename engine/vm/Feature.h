// A tag block that stays open across many instructions (an import loop, an
// HTTP call, a mail session, a capture, a lock file...). Open features sit on
// their VM's feature stack from the instruction that opens them to the one
// that ends them; the VM deletes them.
#pragma once

#include <cstdint>

#include "engine/foundation/Messages.h"
#include "engine/foundation/Stack.h"
#include "engine/foundation/String.h"

namespace vorn {

class VornApplication;
class VornVM;
class VornVM_Frame;

// The fatal error of a block's end, loop or stop word that finds no open
// feature of its kind.
inline constexpr const char* kErrorNoOpenFeature = kInvalidInstruction;

// Feature kinds.
inline constexpr int32_t kFeatureImport = 1;
inline constexpr int32_t kFeatureSmtp = 3;
inline constexpr int32_t kFeatureCommerce = 4;
inline constexpr int32_t kFeaturePop3 = 5;
inline constexpr int32_t kFeatureLockfile = 6;
inline constexpr int32_t kFeatureCall = 7;
inline constexpr int32_t kFeatureCapture = 8;

class Feature {
public:
    // Records the VM's current frame as the activation that owns the feature.
    Feature(VornApplication* application, VornVM* vm, int32_t kind);
    virtual ~Feature();
    Feature(const Feature&) = delete;
    Feature& operator=(const Feature&) = delete;

    // The periodic tick of the watchdog; nothing by default.
    virtual void Tick();
    virtual void SetError(const String& text);

    VornApplication* application;
    VornVM* vm;
    VornVM_Frame* frame;
    int32_t kind;
    String error;
};

// The VM's stack of open features, top first, with unlinking from anywhere.
// It never deletes features itself.
class FeatureStack : public Stack<Feature> {
public:
    FeatureStack() : Stack<Feature>(false) {}
    // Unlinks the feature wherever it sits; false when it is not on the stack.
    bool Unlink(Feature* feature);
    // The feature at that position from the top (0 = top), or null.
    Feature* At(int32_t position) const;
};

} // namespace vorn
