#include "host/features/HostFeatures.h"

#include "engine/app/VornApplication.h"
#include "host/features/FlatFile.h"
#include "host/features/Lockfile.h"

namespace vorn {

LockfileFeature* HostFeatures::NewLockfile(VornApplication* application, VornVM* vm, const char* path,
                                           int32_t length) {
    return new Lockfile(vm, application, path, length);
}

ImportFeature* HostFeatures::NewImport(VornApplication* application, VornVM* vm) {
    return new Import(application, vm);
}

CaptureFeature* HostFeatures::NewCapture(VornApplication* application, VornVM* vm, Variable* target) {
    return new Capture(application, vm, target, captureLimit);
}

int32_t HostFeatures::Export(VornApplication* application, const char* name, int32_t nameLength,
                             const char* delimiter, int32_t delimiterLength, VariableList* fields,
                             String* error) {
    return ExportRecord(application ? application->GetFileManager() : nullptr, name, nameLength, delimiter,
                        delimiterLength, fields, error);
}

} // namespace vorn
