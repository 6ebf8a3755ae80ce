// The exports of the vornsql plug-in: its descriptor here, its registration
// in the binding unit.
#include "sqllib/engine/SqlDriver.h"

extern "C" __attribute__((visibility("default"))) DatabaseLibraryDescriptor* vorn_database_library() {
    return vorn::SQLDescriptor();
}
