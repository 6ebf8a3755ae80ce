#include "sqllib/engine/SqlBucket.h"

namespace vorn {

SQLBucket::~SQLBucket() {
    for (SQLBucketRecord* record : records)
        for (int32_t i = 0; i < slots; ++i) record->slots[i].~SQLBucketEntry();
}

} // namespace vorn
