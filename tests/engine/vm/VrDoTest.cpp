// VrDO: compiled files in a scratch script directory, run from a main program
// through the request's context cache.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "engine/files/PosixFile.h"
#include "engine/values/Variable.h"
#include "engine/vm/DatabaseRegistry.h"
#include "engine/vm/DoContext.h"
#include "engine/vm/Feature.h"
#include "engine/vm/VornVM.h"
#include "tests/engine/files/FileTestSupport.h"
#include "tests/engine/vm/AssembledRun.h"

namespace vorn::test {
namespace {

using Names = std::vector<std::string>;

class DoApplication : public LoggingApplication {
  public:
    DoApplication() {
        config = &settings;
        fileManager = &files;
        output = &sink;
    }
    ~DoApplication() override { fileManager = nullptr; }
    const char* LastSystemErrorText() override { return platform::LastErrorText(); }
    Config settings;
    PosixFileManager files{this};
    RecordingSink sink;
};

class DoVM : public VornVM {
  public:
    using VornVM::VornVM;
    using VornVM::decodeSegments;
};

std::string Printer(const std::string& marker) {
    return ".segment main entry\n pushc \"" + marker + "\"\n out\n.end\n";
}
// Runs each file with op_do_file, then writes `after`.
std::string Runner(const Names& files, const std::string& after = "") {
    std::string source = ".global VrDO_Error count\n.segment main entry\n";
    for (const std::string& f : files) source += " pushc \"" + f + "\"\n op_do_file\n";
    return source + " pushc \"" + after + "\"\n out\n.end\n";
}
// Functions for op_do_function: add(x, y) counts its calls in calls.
const char kMathLibrary[] = R"SRC(
.global calls
.segment main entry
 pushc "never run"
 out
.end
.segment code
.function add(x, y)
 incg calls, 1
 pushl x
 pushl y
 add
 ret
.function broken()
 .word 0x0fff
 ret
.end
)SRC";

std::string Text(const Bytes& b) { return std::string(b.begin(), b.end()); }

class VrDoTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(app.files.CheckScriptDirectory(tree.Scripts().c_str()));
        ASSERT_TRUE(app.files.CheckDataDirectory(tree.Data().c_str()));
    }
    void TearDown() override { vm.reset(); }
    void Put(const std::string& relative, const std::string& source, bool raw = false) {
        std::filesystem::path target = std::filesystem::path(tree.Scripts()) / relative;
        std::filesystem::create_directories(target.parent_path());
        ScratchTree::WriteFile(target.string(), raw ? source : Text(Assembled(source)));
    }
    // A new request's top VM over the main program; its output starts empty.
    DoVM& Start(const std::string& source, const char* name = "main.vrc") {
        vm.reset();
        app.sink.text.clear();
        program = std::make_unique<LoadedProgram>(Assembled(source));
        EXPECT_TRUE(program->LoadAll());
        vm = NewVM<DoVM>(app, *program, &tags, nullptr, nullptr, name);
        return *vm;
    }
    std::string Global(const char* name) {
        Variable* v = nullptr;
        if (!program->globals.Find(&v, name, -1, false) || !v) return "<none>";
        return v->Value().Text();
    }
    Names Cached() { // most recently used first
        Names names;
        List<DoContext>& byUse = DoCache::Of(*vm).ByUse();
        for (DoContext* c = byUse.First(); c; c = byUse.Next())
            names.emplace_back(c->Name().Text());
        return names;
    }
    const std::string& Output() { return app.sink.text; }

    ScratchTree tree;
    DoApplication app;
    TagErrorTable tags;
    std::unique_ptr<LoadedProgram> program;
    std::unique_ptr<DoVM> vm;
};

TEST_F(VrDoTest, FilesLoadOncePerRequestAndShareTheCallersScopes) {
    Put("a.vrc", ".global count\n.segment main entry\n pushc \"A\"\n out\n incg count, 1\n.end\n");
    Put("Case.vrc", Printer("U"));
    Put("case.vrc", Printer("l"));
    app.settings.SetInteger(kConfigLogLevel, LogDoEnter | LogDoExit);
    ASSERT_EQ(Start(Runner({"a.vrc", "Case.vrc", "case.vrc", "a.vrc"})).Execute(), 1);
    EXPECT_EQ(Global("count"), "2") << "the sub-program's globals are the caller's";
    Put("a.vrc", Printer("B"));
    DoContext* a = DoCache::Of(*vm).Get(*vm, "./x/.././a.vrc", -1);
    ASSERT_EQ(a, DoCache::Of(*vm).Contexts().Find("a.vrc")) << "a cache hit, whatever the spelling";
    EXPECT_EQ(Cached(), (Names{"a.vrc", "case.vrc", "Case.vrc"}));
    EXPECT_EQ(a->vm->Parent(), vm.get());
    EXPECT_EQ(&DatabaseRegistry::Of(*a->vm), &DatabaseRegistry::Of(*vm));
    std::string path = tree.Scripts() + "/a.vrc";
    ASSERT_EQ(app.events.size(), 8u);
    EXPECT_EQ(app.events[0].kind, static_cast<uint32_t>(LogDoEnter));
    EXPECT_EQ(app.events[1].kind, static_cast<uint32_t>(LogDoExit));
    EXPECT_EQ(app.events[1].text, path);

    ASSERT_EQ(Start(Runner({"a.vrc"})).Execute(), 1);
    EXPECT_EQ(Output(), "B") << "a new request reads the file anew";
}

TEST_F(VrDoTest, MaxDoCacheEvictsTheLeastRecentlyUsedContextNotInUse) {
    for (const char* n : {"a", "b", "c", "d"}) Put(std::string(n) + ".vrc", Printer(n));
    Put("outer.vrc", Runner({"b.vrc", "c.vrc", "d.vrc"}, "o"));
    app.settings.SetInteger(kConfigMaxDoCache, 2);
    ASSERT_EQ(Start(Runner({"a.vrc", "b.vrc", "a.vrc", "c.vrc"})).Execute(), 1);
    EXPECT_EQ(Output(), "abac");
    EXPECT_EQ(Cached(), (Names{"c.vrc", "a.vrc"})) << "the hit on a left b the oldest";

    // The running outer file stays while the files it runs push each other out.
    ASSERT_EQ(Start(Runner({"outer.vrc"})).Execute(), 1);
    EXPECT_EQ(Output(), "bcdo");
    EXPECT_EQ(Cached(), (Names{"d.vrc", "outer.vrc"}));
    DoContext* outer = DoCache::Of(*vm).Contexts().Find("outer.vrc");
    EXPECT_EQ(DoCache::Of(*vm).Contexts().Find("d.vrc")->vm->Parent(), outer->vm);
    EXPECT_TRUE(outer->InUse()) << "the parent of d's VM";
}

TEST_F(VrDoTest, NamesCountFromTheCallersDirectoryOrTheRootAndStayInside) {
    Put("top.vrc", Printer("T"));
    Put("rel.vrc", Printer("X"));
    Put("dir/rel.vrc", Runner({"inner/deep.vrc"}, "R"));
    Put("dir/inner/deep.vrc", Runner({"sib.vrc", "/top.vrc"}, "D"));
    Put("dir/inner/sib.vrc", Printer("S"));
    ASSERT_EQ(Start(Runner({"/top.vrc", "rel.vrc", "/rel.vrc"}), "dir/main.vrc").Execute(), 1);
    EXPECT_EQ(Output(), "TSTDRX");
    EXPECT_EQ(Cached(), (Names{"rel.vrc", "top.vrc", "dir/inner/sib.vrc", "dir/inner/deep.vrc", "dir/rel.vrc"}));

    ScratchTree::WriteFile(tree.root + "/outside.vrc", Text(Assembled(Printer("ESCAPED"))));
    tags.SetSetting(kTagDo, kTagErrorDisplay);
    for (const char* name : {"../outside.vrc", "/../outside.vrc", "a/../../outside.vrc", "..\\\\outside.vrc"}) {
        ASSERT_EQ(Start(Runner({name}, "|on")).Execute(), 1) << name;
        EXPECT_EQ(Output().find("ESCAPED"), std::string::npos) << name;
        EXPECT_NE(Output().find("VrDO: The specified path references a path outside the configured script"),
                  std::string::npos)
            << Output();
        EXPECT_EQ(Output().substr(Output().size() - 3), "|on") << "a displayed error lets the run go on";
        EXPECT_TRUE(Cached().empty());
    }
}

TEST_F(VrDoTest, MissingAndDamagedFilesAreEncodedRuntimeErrors) {
    ASSERT_EQ(Start(Runner({"missing.vrc"}, "after")).Execute(), 0) << "fatal by default";
    EXPECT_EQ(Output().find("after"), std::string::npos);
    EXPECT_EQ(vm->LastError().Find("Runtime error in main.vrc @ [00000000:00000006]: VrDO: "), 0);

    std::string good = Text(Assembled(Printer("G")));
    Put("short.vrc", good.substr(0, 20), true);
    Put("noise.vrc", std::string(300, 'Z'), true);
    Put("<i>x&.vrc", good.substr(0, good.size() - 30), true); // the directory cut off
    Put("nosegs.vrc", ".omit segs\n" + Printer("G"));
    tags.SetSetting(kTagDo, kTagErrorDisplay);
    for (const char* name : {"short.vrc", "noise.vrc", "<i>x&.vrc", "nosegs.vrc"}) {
        ASSERT_EQ(Start(Runner({name}, "|on")).Execute(), 1) << name;
        std::string shown = std::string(name) == "<i>x&.vrc" ? "&lt;i&gt;x&amp;.vrc" : name;
        std::string prefix = "Unable to open '" + tree.Scripts() + "/" + shown + "': ";
        EXPECT_EQ(Global("VrDO_Error").rfind(prefix, 0), 0u) << Global("VrDO_Error");
        EXPECT_GT(Global("VrDO_Error").size(), prefix.size()) << "the reason follows";
        EXPECT_EQ(Output().find("<i>"), std::string::npos) << Output();
        EXPECT_TRUE(Cached().empty());
    }
}

TEST_F(VrDoTest, AbortsExitAndEndlessRecursionEndTheRequest) {
    Put("bad.vrc", ".segment main entry\n pushc \"b\"\n out\n .word 0x0fff\n pushc \"never\"\n out\n.end\n");
    EXPECT_EQ(Start(Runner({"bad.vrc"}, "after")).Execute(), 0);
    EXPECT_EQ(Output().find("Fatal error in bad.vrc @ [00000000:00000008]: Illegal Instruction"), 1u) << Output();
    EXPECT_EQ(vm->LastError(), DoCache::Of(*vm).Contexts().Find("bad.vrc")->vm->LastError());
    EXPECT_EQ(Output().find("after"), std::string::npos);

    Put("rec.vrc", ".global count\n.segment main entry\n incg count, 1\n pushc \"rec.vrc\"\n op_do_file\n.end\n");
    EXPECT_EQ(Start(Runner({"rec.vrc"}, "after")).Execute(), 0);
    EXPECT_EQ(Global("count"), std::to_string(kDoMaxNesting));
    EXPECT_NE(vm->LastError().Find(kDoNestingTooDeep), -1) << vm->LastError().Text();

    Put("exit.vrc", ".segment main entry\n pushc \"E\"\n out\n exit\n pushc \"never\"\n out\n.end\n");
    Put("mid.vrc", Runner({"exit.vrc"}, "mid"));
    EXPECT_EQ(Start(Runner({"mid.vrc"}, "after")).Execute(), 1) << "exit is a normal end";
    EXPECT_EQ(Output(), "E");
}

// On its second tick (the first comes from the top VM, the second from inside
// the sub-program's run) opens a feature on the sub-program's VM.
struct Opener : Feature {
    Opener(VornApplication* a, VornVM* owner, VornVM* sub, bool* gone) : Feature(a, owner, kFeatureCapture), sub(sub), gone(gone) {}
    struct Opened : Feature {
        Opened(VornApplication* a, VornVM* owner, bool* gone) : Feature(a, owner, kFeatureLockfile), gone(gone) {}
        ~Opened() override { *gone = true; }
        bool* gone;
    };
    void Tick() override {
        if (++ticks == 2) sub->PushFeature(new Opened(application, sub, gone));
    }
    VornVM* sub;
    bool* gone;
    int ticks = 0;
};

TEST_F(VrDoTest, FeaturesOpenedByASubProgramEndWithItsRun) {
    Put("sub.vrc", Printer("s"));
    Start(Runner({"sub.vrc"}, "m"));
    DoContext* sub = DoCache::Of(*vm).Get(*vm, "sub.vrc", -1);
    bool gone = false;
    auto* opener = new Opener(&app, vm.get(), sub->vm, &gone);
    vm->PushFeature(opener);
    app.TickCounterPlace()->fetch_add(1);
    ASSERT_EQ(vm->Execute(), 1);
    EXPECT_EQ(opener->ticks, 2);
    EXPECT_TRUE(gone);
    EXPECT_EQ(sub->vm->FeatureCount(), 0);
    EXPECT_EQ(vm->FeatureCount(), 1) << "the caller's own stay";
}

TEST_F(VrDoTest, FunctionCallsTakeTheCallersArgumentsAndCompileOnce) {
    Put("lib/math.vrc", kMathLibrary);
    std::string call = " op_do_function\n popg r";
    tags.SetSetting(kTagDo, kTagErrorDisplay);
    ASSERT_EQ(Start(".global a b r1 r2 r3 r4 r5 r6 VrDO_Error\n.segment main entry\n storegi a, 2\n storegi b, 3\n"
                    " pushc \"lib/math.vrc\"\n pushc \"add(a, b)\"\n" + call + "1\n storegi a, 40\n"
                    " pushc \"lib/math.vrc\"\n pushc \"add(a, b)\"\n" + call + "2\n"
                    " pushi 7\n call local\n popg r3\n"
                    " pushc \"/lib/math.vrc\"\n pushc \"add(<b>, 1)\"\n" + call + "4\n"
                    " pushc \"/lib/math.vrc\"\n pushc \"add(<b>, 1)\"\n" + call + "5\n"
                    " storegi r6, 9\n pushc \"lib/none.vrc\"\n pushc \"add(1, 2)\"\n" + call + "6\n"
                    ".end\n.segment functions\n.function local(n)\n"
                    " pushc \"lib/math.vrc\"\n pushc \"add(l.n, 100)\"\n op_do_function\n ret\n.end\n")
                  .Execute(),
              1)
        << vm->LastError().Text();
    EXPECT_EQ(Global("r1") + " " + Global("r2") + " " + Global("r3"), "5 43 107");
    EXPECT_EQ(Global("r4") + Global("r5") + Global("r6"), "") << "failures give NULL";
    EXPECT_EQ(Global("calls"), "3");
    EXPECT_EQ(Output().find("never run"), std::string::npos) << "only the function ran";
    EXPECT_EQ(Output().find("<b>"), std::string::npos) << Output();
    std::string compileError = "VrDO: Invalid Argument '&lt;' Found in expression\n";
    size_t first = Output().find(compileError);
    EXPECT_NE(Output().find(compileError, first + 1), std::string::npos) << "fails each time, compiled once";
    DoContext* lib = DoCache::Of(*vm).Contexts().Find("lib/math.vrc");
    EXPECT_EQ(lib->expressions->Used(), 3);

    ASSERT_EQ(Start(".segment main entry\n pushc \"lib/math.vrc\"\n pushc \"broken()\"\n op_do_function\n"
                    " pushc \"after\"\n out\n.end\n")
                  .Execute(),
              0);
    EXPECT_NE(vm->LastError().Find("Fatal error in lib/math.vrc @ "), -1) << vm->LastError().Text();
    EXPECT_EQ(Output().find("after"), std::string::npos);
}

// Sub-programs run from inside script functions, reading their locals by
// name: decoded and from the bytes alike, the failing one included.
TEST_F(VrDoTest, SubProgramsInsideFunctionsRunAsTheByteFormRuns) {
    Put("lib/math.vrc", kMathLibrary);
    const std::string source =
        ".global r1 r2 VrDO_Error\n.segment main entry\n pushi 7\n call viaDo\n popg r1\n pushi 8\n"
        " call viaDo\n popg r2\n pushg r1\n out\n pushg r2\n out\n call fails\n.end\n"
        ".segment functions\n.function viaDo(n)\n.local k\n pushc \"lib/math.vrc\"\n"
        " pushc \"add(l.n, 100)\"\n op_do_function\n popl k\n pushl k\n pushl n\n add\n ret\n"
        ".function fails()\n pushc \"x\"\n pushc \"lib/math.vrc\"\n pushc \"broken()\"\n op_do_function\n"
        " ret\n.end\n";
    std::string runs[2];
    for (bool decoded : {false, true}) {
        Start(source).decodeSegments = decoded;
        EXPECT_EQ(vm->Execute(), 0);
        runs[decoded] = Output() + "|" + vm->LastError().Text() + "|" + Global("calls");
    }
    EXPECT_EQ(runs[1], runs[0]);
    EXPECT_EQ(runs[1].rfind("114116", 0), 0u) << runs[1];
    EXPECT_NE(runs[1].find("Fatal error in lib/math.vrc @ "), std::string::npos) << runs[1];
}

} // namespace
} // namespace vorn::test
