// libFuzzer entry: parse and generate over a fixed catalog; an unsound program is a crash.
#include "../SqlFuzz.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string fault = sqltest::FuzzGenerate(data, size);
    if (!fault.empty()) {
        std::fprintf(stderr, "unsound program: %s\n", fault.c_str());
        std::abort();
    }
    return 0;
}
