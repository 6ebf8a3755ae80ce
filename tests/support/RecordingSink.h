// An output that keeps what is written to it as text, and counts its
// flushes: what a test reads back of a program's or an application's output.
#pragma once

#include <cstdint>
#include <string>

#include "engine/foundation/Output.h"

namespace vorn::test {

class RecordingSink : public Output {
  public:
    int32_t Write(const char* bytes, int32_t length) override {
        if (length < 0) length = 0;
        text.append(bytes, static_cast<size_t>(length));
        return length;
    }
    int32_t Flush() override {
        ++flushes;
        return 1;
    }
    int32_t Kind() override { return kKindBuffered; }

    std::string text;
    int flushes = 0;
};

} // namespace vorn::test
