// libFuzzer entry: scan and parse any bytes.
#include "../SqlFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    sqltest::FuzzParse(data, size);
    return 0;
}
