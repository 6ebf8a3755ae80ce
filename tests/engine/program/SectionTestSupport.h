// Helpers for tests of section loaders: writing a container to memory,
// opening bytes as a container, and checking that no Variable leaks.
#pragma once

#include <gtest/gtest.h>

#include <functional>

#include "engine/program/TaggedFile.h"
#include "engine/values/Variable.h"
#include "tests/engine/files/MemoryFile.h"
#include "tests/engine/program/ContainerBytes.h"

namespace vorn::test {

// Runs the writer on a fresh container in memory and returns its bytes.
inline Bytes WriteContainer(const std::function<bool(TaggedFile&)>& write, uint32_t version = 0) {
    TaggedFile tf(nullptr);
    auto* file = new MemoryFile();
    EXPECT_TRUE(tf.OpenWriteFile(file, nullptr, version));
    EXPECT_TRUE(write(tf));
    EXPECT_TRUE(tf.Finish());
    return file->bytes;
}

// Opens bytes for reading; on success the TaggedFile owns the file.
inline bool OpenBytes(TaggedFile& tf, const Bytes& bytes) {
    auto* file = new MemoryFile(bytes);
    if (tf.OpenRead("prog.vrc", file)) return true;
    delete file;
    return false;
}

// Every test of the fixture ends with as many live Variables as it began.
class BalancedVariables : public ::testing::Test {
protected:
    void SetUp() override { before = Variable::LiveCount(); }
    void TearDown() override { EXPECT_EQ(Variable::LiveCount(), before) << "Variables leaked or freed twice"; }
    int64_t before = 0;
};

} // namespace vorn::test
