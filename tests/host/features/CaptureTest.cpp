#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "host/features/Capture.h"
#include "tests/host/features/HostFeatureSupport.h"

namespace vorn::test {
namespace {

// Records text and headers.
class HeaderSink : public RecordingSink {
  public:
    int32_t AddHeader(const char* name, int32_t, bool nameOwned, const char* value, int32_t,
                      bool valueOwned) override {
        headers += std::string(name) + ": " + value + "\n";
        return Output::AddHeader(name, -1, nameOwned, value, -1, valueOwned);
    }
    std::string headers;
};

TEST(CaptureTest, CaptureOutputKeepsEveryByteAndPassesErrorsAndHeadersOn) {
    HeaderSink outer;
    CaptureOutput capture(&outer);
    constexpr int32_t kBytes = 10 << 20;
    for (int32_t i = 0; i < kBytes; ++i) {
        const char c = static_cast<char>('a' + i % 26);
        capture.Write(&c, 1);
    }
    capture.WriteAndFlush("error\n", 6);
    capture.AddHeaderText("X-Captured", "no");
    int32_t length = 0, size = 0;
    char* text = capture.TakeCaptured(&length, &size);
    ASSERT_EQ(length, kBytes);
    EXPECT_GT(size, length);
    EXPECT_EQ(text[length], '\0');
    int32_t wrong = 0;
    for (int32_t i = 0; i < kBytes; ++i)
        wrong += text[i] != 'a' + i % 26;
    EXPECT_EQ(wrong, 0);
    std::free(text);
    EXPECT_EQ(outer.text, "error\n");
    EXPECT_EQ(outer.headers, "X-Captured: no\n");
    EXPECT_EQ(capture.CapturedLength(), 0);

    // Past its limit a capture keeps what fitted and says why.
    CaptureOutput small(nullptr, 100);
    const std::string bytes(150, 'z');
    EXPECT_EQ(small.Write(bytes.data(), 150), 150);
    EXPECT_EQ(small.CapturedLength(), 100);
    EXPECT_STREQ(small.Failure().Text(), "Captured output exceeds 100 bytes; the rest was dropped");
}

TEST(CaptureTest, TheVariableTakesTheCapturedBlockItself) {
    FeatureRig rig;
    Variable* target = new Variable();
    {
        Capture capture(&rig.app, nullptr, target);
        capture.Begin();
        EXPECT_TRUE(capture.IsCurrent());
        rig.app.GetOutput()->Write("kept", 4);
        const char* block = capture.Collector()->CapturedText();
        ASSERT_EQ(capture.End(), 1);
        EXPECT_EQ(target->Value().Text(), block);
        EXPECT_EQ(rig.app.GetOutput(), &rig.sink);
    }
    EXPECT_STREQ(target->Value().Text(), "kept");
    target->Release();
}

TEST(CaptureTest, CaptureBlocksInAScript) {
    const std::string head = ".global outer, inner, t, VrCAPTURE_Error\n.segment main entry\n"
                             " pushc \"old\"\n popg t\n";
    const std::string big(20000, 'q');
    struct Case {
        std::string code;
        int result;
        std::string sink, t, outer, inner;
    };
    const Case cases[] = {
        {" pushg outer\n capture\n pushc \"a\"\n out\n pushg inner\n capture\n pushc \"b\"\n out\n "
         "capture_end\n"
         " pushc \"c\"\n out\n capture_end\n pushc \"d\"\n out\n",
         1, "d", "old", "ac", "b"},
        {" pushg t\n capture\n capture_end\n", 1, "", "", "<none>", "<none>"},
        {" pushg t\n capture\n pushc \"" + big + "\"\n out\n pushc \"!\"\n out\n capture_end\n", 1, "",
         big + "!", "<none>", "<none>"},
        // Open at the end: the output comes back and the text is dropped.
        {" pushg t\n capture\n pushc \"x\"\n out\n exit\n", 1, "", "old", "<none>", "<none>"},
        // Error texts reach the response, not the variable.
        {" pushg t\n capture\n pushc \"x\"\n out\n call 9\n", 0, "Fatal error", "old", "<none>", "<none>"},
        {" capture_end\n", 0, "Fatal error", "old", "<none>", "<none>"},
        // A target that cannot change takes nothing and leaks nothing.
        {" pushnc \"system.nosuch\"\n capture\n pushc \"x\"\n out\n capture_end\n", 1, "", "old", "<none>",
         "<none>"},
    };
    FeatureRig rig;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code.substr(0, 80));
        EXPECT_EQ(rig.Run(head + c.code + ".end\n"), c.result) << rig.lastError;
        EXPECT_EQ(rig.sink.text.substr(0, c.sink.size()), c.sink);
        EXPECT_EQ(rig.Global("t"), c.t);
        EXPECT_EQ(rig.Global("outer"), c.outer);
        EXPECT_EQ(rig.Global("inner"), c.inner);
        EXPECT_EQ(rig.app.GetOutput(), &rig.sink);
        if (c.code == " capture_end\n") {
            EXPECT_NE(rig.lastError.find("Invalid instruction"), std::string::npos);
        }
    }

    // A capture past its limit: the part that fitted and the tag's error.
    rig.app.features.SetCaptureLimit(5);
    ASSERT_EQ(rig.Run(head + " pushg t\n capture\n pushc \"123456789\"\n out\n capture_end\n.end\n"), 1);
    EXPECT_EQ(rig.Global("t"), "12345");
    EXPECT_EQ(rig.Global("VrCAPTURE_Error"), "Captured output exceeds 5 bytes; the rest was dropped");
    EXPECT_NE(rig.sink.text.find("VrCAPTURE: Captured output exceeds"), std::string::npos);
}

// An end whose capture's output is no longer current (another took over in
// between) ends the run instead of restoring a stale output.
TEST(CaptureTest, AnEndOutOfTurnIsFatal) {
    FeatureRig rig;
    auto vm = rig.Load(".global t\n.segment main entry\n pushg t\n capture\n pushc \"x\"\n out\n.end\n"
                       ".segment end\n capture_end\n.end\n");
    ASSERT_EQ(vm->Execute(), 1);
    RecordingSink other;
    Output* capturing = rig.app.SetOutput(&other);
    EXPECT_EQ(vm->RunSegment(rig.program->segments.SegmentAt(1), nullptr, nullptr), 0);
    EXPECT_NE(other.text.find("Invalid instruction"), std::string::npos);
    rig.app.SetOutput(capturing); // the capture's own output is current again at the end
    vm.reset();
    EXPECT_EQ(rig.app.GetOutput(), &rig.sink);
    EXPECT_EQ(rig.sink.text, "");
}

} // namespace
} // namespace vorn::test
