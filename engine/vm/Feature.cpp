#include "engine/vm/Feature.h"

#include "engine/vm/VornVM.h"
#include "engine/vm/VornVMFrame.h"

namespace vorn {

Feature::Feature(VornApplication* app, VornVM* owner, int32_t featureKind)
    : application(app), vm(owner), frame(owner ? owner->CurrentFrame() : nullptr), kind(featureKind) {
    // A function frame owning a feature returns the general way, which
    // releases it.
    if (frame) frame->returnForm = nullptr;
    error.Assign("");
}

Feature::~Feature() = default;

void Feature::Tick() {}

void Feature::SetError(const String& text) {
    error.Assign(text);
}

bool FeatureStack::Unlink(Feature* feature) {
    StackNode<Feature>* previous = nullptr;
    for (StackNode<Feature>* node = top; node; previous = node, node = node->next) {
        if (node->item != feature) continue;
        if (previous)
            previous->next = node->next;
        else
            top = node->next;
        if (cursor == node) cursor = node->next;
        --count;
        delete node;
        return true;
    }
    return false;
}

Feature* FeatureStack::At(int32_t position) const {
    StackNode<Feature>* node = top;
    for (int32_t i = 0; node && i < position; ++i) node = node->next;
    return position >= 0 && node ? node->item : nullptr;
}

} // namespace vorn
