#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine/files/PosixFile.h"
#include "engine/program/Dictionary.h"
#include "engine/values/Aggregate.h"
#include "engine/values/Variable.h"
#include "engine/values/VariableHash.h"
#include "engine/values/VariableList.h"
#include "engine/vm/ExternalFunctionSource.h"
#include "engine/vm/VornVM.h"
#include "host/web/ContentParsers.h"
#include "tests/engine/app/TestApplication.h"
#include "tests/host/web/RandomBodies.h"
#include "tests/host/web/WebHostSupport.h"
#include "tests/support/ScriptRun.h"

namespace vorn {
namespace {

using test::Bytes;
using test::LoadedProgram;
using test::NewVM;
using test::ScratchDir;

// Every variable of a scope as "path=value" lines in path order; arrays and
// structures by element ("a[1]", "a:m").
void DumpVariable(Variable* v, const std::string& path, std::map<std::string, std::string>& out) {
    Variable* real = v->RealIdentity();
    AggregateElementTree* tree = real->AggregateType() == kAggregateScalar ? nullptr : real->Tree();
    if (!tree) {
        out[path] = std::string(real->Value().Text(), static_cast<size_t>(real->Value().Length()));
        return;
    }
    tree->ForEachElement([&](AggregateElement* e) {
        const AggregateIndex& key = e->Key();
        std::string sub = key.IsMember() ? path + ":" + key.Name().Text() : path + "[" + std::to_string(key.Index()) + "]";
        if (e->Value()) DumpVariable(e->Value(), sub, out);
    });
}

std::string Dump(VariableHash& scope, const char* skip = "limit") {
    VariableList all;
    scope.VisitAll(&all);
    std::map<std::string, std::string> lines;
    for (Variable* v = all.First(); v; v = all.Next()) {
        std::string name(v->Name().Text(), static_cast<size_t>(v->Name().Length()));
        if (name != skip && name != "count") DumpVariable(v, name, lines);
    }
    std::string text;
    for (auto& [path, value] : lines)
        if (!(value.empty() && path == "files")) text += path + "=" + value + "\n";
    return text;
}

// The ways a body may arrive: whole, byte by byte, and cut once at every point.
std::vector<std::vector<size_t>> Splits(size_t length) {
    std::vector<std::vector<size_t>> splits = {{length}};
    std::vector<size_t> bytes(length, 1);
    splits.push_back(bytes);
    for (size_t cut = 1; cut < length; ++cut) splits.push_back({cut, length - cut});
    return splits;
}

// Feeds the body in pieces of the given sizes; "" or the error text.
std::string Feed(HTTPContentParser& parser, const std::string& body, const std::vector<size_t>& pieces) {
    size_t at = 0;
    for (size_t n : pieces) {
        if (!parser.Parse(body.data() + at, static_cast<int32_t>(n))) return parser.ErrorText().Text();
        at += n;
    }
    return parser.Finish() ? "" : parser.ErrorText().Text();
}

TEST(UrlEncodedParser, PairsArriveTheSameHoweverTheBodyIsCut) {
    struct Case {
        std::string body;
        int32_t limit;
        std::string variables; // Dump
        std::string error;
    } cases[] = {
        {"a=1&b=2", 0, "a=1\nb=2\n", ""},
        {"a=1&a=2&a=", 0, "a[1]=1\na[2]=2\na[3]=\n", ""},
        {"n=x+y%20z&m=%41%62", 0, "m=Ab\nn=x y z\n", ""},
        {"flag", 0, "flag=\n", ""},
        {"a=1&flag&", 0, "a=1\nflag=\n", ""},
        {"", 0, "", ""},
        {"&&=x&a=1", 0, "a=1\n", ""},
        {"a=50%25&b=%E2%82%ac", 0, "a=50%\nb=\xE2\x82\xAC\n", ""},
        // A '%' without two hexadecimal digits stays as sent.
        {"a=%&b=%2&c=%2g&d=%zz&e=100%", 0, "a=%\nb=%2\nc=%2g\nd=%zz\ne=100%\n", ""},
        {"x%4=1&%%41=2", 0, "%A=2\nx%4=1\n", ""},
        {"p[1]=x&p[2]=y&s:m=z", 0, "p[1]=x\np[2]=y\ns:m=z\n", ""},
        {"a=1&b=2", 2, "a=1\nb=2\n", ""},
        {"a=1&b=2&c=3", 2, "", "Maximum number of POST variables exceeded"},
        {"a&b&c", 2, "", "Maximum number of POST variables exceeded"},
    };
    for (const Case& c : cases) {
        for (const std::vector<size_t>& pieces : Splits(c.body.size())) {
            SCOPED_TRACE(c.body + " in " + std::to_string(pieces.size()) + " pieces");
            Dictionary pool;
            VariableHash globals(&pool, kScopeBits, kScopeCapacity);
            URLEncodedParser parser(&globals, c.limit);
            ASSERT_EQ(Feed(parser, c.body, pieces), c.error);
            if (c.error.empty()) {
                ASSERT_EQ(Dump(globals), c.variables);
            }
        }
    }
}

TEST(UnknownContentHandler, TheBodyIsKeptWholeInContentData) {
    for (const std::string& body : {std::string("{\"json\": true}"), std::string("\0\1\2binary\r\n", 11), std::string()}) {
        for (const std::vector<size_t>& pieces : Splits(body.size())) {
            Dictionary pool;
            VariableHash system(&pool, kScopeBits, kScopeCapacity);
            UnknownContentHandler parser(&system, static_cast<int32_t>(body.size()));
            ASSERT_EQ(Feed(parser, body, pieces), "");
            Variable* content = nullptr;
            ASSERT_TRUE(system.Find(&content, "content_data", -1, false) && content);
            ASSERT_EQ(std::string(content->Value().Text(), static_cast<size_t>(content->Value().Length())), body);
        }
    }
}

// --- Multipart ----------------------------------------------------------------------------

// readfile(path): a file of the data folder, for the upload callback to see
// what was written.
class ReadFile : public ExternalFunctionCall, public ExternalFunctionSource {
  public:
    explicit ReadFile(std::string folder) : data(std::move(folder)) {}
    int32_t ParameterCount() const override { return 1; }
    uint32_t ParameterFlags(int32_t) const override { return 0; }
    int32_t ActiveCalls() const override { return 0; }
    void EnterCall() override {}
    void LeaveCall() override {}
    Variable* Invoke(VornVM*, VariableList* parameters) override {
        Variable* path = parameters ? parameters->First() : nullptr;
        std::string text = path ? test::ReadText(data + "/" + path->Value().Text()) : "";
        return new Variable("", 0, text.data(), static_cast<int32_t>(text.size()));
    }
    ExternalFunctionCall* Lookup(const char* name, int32_t length) override {
        return std::string(name, length < 0 ? std::strlen(name) : static_cast<size_t>(length)) == "readfile"
                   ? this
                   : nullptr;
    }
    bool ExternalParameter(ExternalFunctionCall*, int32_t position, const char** name, int32_t* length,
                           uint32_t* flags) override {
        if (position != 0) return false;
        *name = "path";
        *length = 4;
        *flags = 0;
        return true;
    }
    std::string data;
};

// The upload callbacks of a script: the limit comes from the global "limit";
// each processed file is noted as files[n] = field|file|status|type|size|content.
const char kUploadScript[] = R"(
.global limit files count
.extern readfile(path)
.segment main entry
    exit
.function Vorn_ValidateFileUpload(field, file, type)
    pushg limit
    ret
.function Vorn_ProcessFileUpload(field, file, status, path, type, size)
    FAIL
    incg count, 1
    pushl field
    pushc "|"
    cat
    pushl file
    cat
    pushc "|"
    cat
    pushl status
    cat
    pushc "|"
    cat
    pushl type
    cat
    pushc "|"
    cat
    pushl size
    cat
    pushc "|"
    cat
    pushl path
    call readfile
    cat
    pushg files
    pushg count
    elem
    store
    pushi 1
    ret
.end
)";

enum class Script { Callbacks, NoValidation, FailingProcess };

Bytes ScriptBytes(Script kind) {
    std::string source = kUploadScript;
    size_t fail = source.find("    FAIL\n");
    source.replace(fail, 9, kind == Script::FailingProcess ? "    .word 0xffff\n" : "");
    if (kind == Script::NoValidation) {
        size_t start = source.find(".function Vorn_ValidateFileUpload");
        source.erase(start, source.find(".function Vorn_ProcessFileUpload") - start);
    }
    return test::Assembled(source);
}

// A data folder for the temporary files, and an application whose file
// manager has it.
struct UploadFolder {
    UploadFolder() {
        app.config = &config;
        app.fileManager = &files;
        EXPECT_TRUE(files.CheckDataDirectory(data.Path().c_str()));
    }
    int TemporaryFiles() const {
        int n = 0;
        if (DIR* dir = opendir(data.Path().c_str())) {
            while (dirent* e = readdir(dir)) n += std::strncmp(e->d_name, "VORN_FUP", 8) == 0;
            closedir(dir);
        }
        return n;
    }

    ScratchDir data;
    test::TestApplication app;
    Config config;
    PosixFileManager files{&app};
};

// A program with the callbacks, its upload limit set, on a machine of its own.
struct UploadProgram {
    UploadProgram(UploadFolder& folder, const Bytes& bytes, int32_t limit) : program(bytes), calls(folder.data.Path()) {
        EXPECT_TRUE(program.LoadAll());
        program.globals.SetVariable("limit", -1, std::to_string(limit).c_str(), -1);
        vm = NewVM(folder.app, program, nullptr, nullptr, &calls);
    }

    LoadedProgram program;
    ReadFile calls;
    std::unique_ptr<VornVM> vm;
};

std::string Part(const std::string& disposition, const std::string& data, const std::string& type = "") {
    std::string part = "Content-Disposition: form-data; " + disposition + "\r\n";
    if (!type.empty()) part += "Content-Type: " + type + "\r\n";
    return part + "\r\n" + data + "\r\n";
}

const std::string kType = "multipart/form-data; boundary=XyZ";
const std::string B = "--XyZ\r\n";
const std::string kEnd = "--XyZ--\r\n";
// Looks like the boundary in places, and is not.
const std::string kTricky = "one\r\n-\r\n--Xy\r\n--XyQ \r\r\n--X";

TEST(MultipartFormParser, FieldsAndFilesArriveTheSameHoweverTheBodyIsCut) {
    struct Case {
        const char* what;
        std::string type, body;
        Script script;
        int32_t sizeLimit, variableLimit;
        std::string variables; // Dump
        std::string error;
    } cases[] = {
        {"a field and a file whose quoted name holds ';'", kType,
         B + Part("name=\"comment\"", "hello") + B + Part("name=\"file\"; filename=\"a;b.txt\"", kTricky, "text/plain") + kEnd,
         Script::Callbacks, 0, 0, "comment=hello\nfiles[1]=file|a;b.txt|COMPLETE|text/plain|" + std::to_string(kTricky.size()) + "|" + kTricky + "\n", ""},
        {"repeated names collect into an array", kType, B + Part("name=\"c\"", "1") + B + Part("name=\"c\"", "") + kEnd,
         Script::Callbacks, 0, 0, "c[1]=1\nc[2]=\n", ""},
        {"an empty file input is a plain field", kType,
         B + Part("name=\"file\"; filename=\"\"", "", "application/octet-stream") + kEnd, Script::Callbacks, 0, 0,
         "file=\n", ""},
        {"unquoted values lose nothing", kType,
         B + Part("name=x", "1") + B + Part("name=f; filename=y", "data") + B + Part("name=", "z") + kEnd,
         Script::Callbacks, 0, 0, "x=1\nfiles[1]=f|y|COMPLETE||4|data\n", ""},
        {"a limit keeps the start of the file", kType,
         B + Part("name=\"f\"; filename=\"big\"", std::string(150, 'b')) + kEnd, Script::Callbacks, 100, 0,
         "files[1]=f|big|PARTIAL||150|" + std::string(100, 'b') + "\n", ""},
        {"a negative limit skips the file", kType, B + Part("name=\"f\"; filename=\"s\"", "skipped") + kEnd,
         Script::Callbacks, -1, 0, "", ""},
        {"without a validation function every file is skipped", kType,
         B + Part("name=\"f\"; filename=\"s\"", "skipped") + B + Part("name=\"k\"", "kept") + kEnd,
         Script::NoValidation, 0, 0, "k=kept\n", ""},
        {"the boundary learned from the first line", "multipart/form-data",
         B + Part("name=\"a\"", "1") + kEnd, Script::Callbacks, 0, 0, "a=1\n", ""},
        {"a quoted boundary with an escape", "multipart/form-data; charset=x; boundary=\"X\\yZ\"",
         B + Part("name=\"a\"", "1") + kEnd, Script::Callbacks, 0, 0, "a=1\n", ""},
        {"a disposition without parameters ends at its line", kType,
         B + "Content-Disposition: form-data\r\n\r\nlost\r\n" + B + Part("name=\"a\"", "1") + kEnd,
         Script::Callbacks, 0, 0, "a=1\n", ""},
        {"a body ending inside a file leaves nothing", kType,
         B + Part("name=\"a\"", "1") + B + "Content-Disposition: form-data; name=\"f\"; filename=\"x\"\r\n\r\npartial",
         Script::Callbacks, 0, 0, "a=1\n", ""},
        {"the variable limit", kType, B + Part("name=\"a\"", "1") + B + Part("name=\"b\"", "2") + kEnd,
         Script::Callbacks, 0, 1, "", "Maximum number of POST variables exceeded"},
        // The syntax's own failures are MultipartParser's tests; one shows its message arrive.
        {"no boundary first", kType, "preamble\r\n" + B, Script::Callbacks, 0, 0, "",
         "Failed to find boundary separator"},
        {"a failing processing callback", kType, B + Part("name=\"f\"; filename=\"x\"", "data") + kEnd,
         Script::FailingProcess, 0, 0, "", "Failed call to ProcessFileUpload"},
    };
    std::map<Script, Bytes> scripts;
    for (Script s : {Script::Callbacks, Script::NoValidation, Script::FailingProcess}) scripts[s] = ScriptBytes(s);
    UploadFolder folder;
    for (const Case& c : cases) {
        // One machine per case; the fields of each run go to a scope of their
        // own and the callbacks' notes start again.
        auto run = std::make_unique<UploadProgram>(folder, scripts[c.script], c.sizeLimit);
        for (const std::vector<size_t>& pieces : Splits(c.body.size())) {
            SCOPED_TRACE(std::string(c.what) + " in " + std::to_string(pieces.size()) + " pieces, first " +
                         std::to_string(pieces[0]));
            // A fatal error ends its machine for good.
            if (c.script == Script::FailingProcess)
                run = std::make_unique<UploadProgram>(folder, scripts[c.script], c.sizeLimit);
            run->program.globals.ClearVariable("files", -1);
            run->program.globals.SetVariable("count", -1, "0", 1);
            VariableHash fields(&run->program.dictionary, 4, 16);
            {
                MultipartFormParser parser(run->vm.get(), &folder.files, &fields, c.type.c_str(), c.variableLimit);
                ASSERT_EQ(Feed(parser, c.body, pieces), c.error);
                if (c.error.empty()) {
                    std::string files = Dump(run->program.globals);
                    ASSERT_EQ(Dump(fields) + files, c.variables);
                }
            }
            ASSERT_EQ(folder.TemporaryFiles(), 0) << "a temporary upload file was left behind";
        }
    }
}

TEST(ContentParsers, RandomBytesNeitherCrashNorLeaveFiles) {
    std::mt19937 random(12);
    const std::vector<std::string> pieces = {B, "\r\n", "--", "--XyZ--", "Content-Disposition: form-data; ",
                                             "name=\"a\"", "filename=\"f\"", "Content-Type: x\r\n", ";", "\"",
                                             "=", "%", "&", "+", "%4"};
    Bytes script = ScriptBytes(Script::Callbacks);
    UploadFolder folder;
    for (int round = 0; round < 300; ++round) {
        std::string body = test::RandomBody(random, pieces, 40, 3);
        std::vector<size_t> cuts = test::RandomCuts(random, body.size());
        UploadProgram run(folder, script, static_cast<int32_t>(random() % 20) - 5);
        {
            MultipartFormParser multipart(run.vm.get(), &folder.files, &run.program.globals,
                                          round % 2 ? kType.c_str() : "multipart/form-data", 3);
            Feed(multipart, body, cuts);
            URLEncodedParser encoded(&run.program.globals, 5);
            Feed(encoded, body, cuts);
            UnknownContentHandler unknown(&run.program.system, static_cast<int32_t>(body.size() / 2));
            Feed(unknown, body, cuts);
        }
        ASSERT_EQ(folder.TemporaryFiles(), 0) << "round " << round;
    }
}

} // namespace
} // namespace vorn
