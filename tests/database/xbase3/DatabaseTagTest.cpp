// The database tags as scripts meet them: each case is a script in the line
// language of DatabaseScriptSupport.h and the exact output it prints.
#include "tests/database/xbase3/DatabaseScriptSupport.h"

#include <dlfcn.h>

#include "tests/database/library/DatabaseLibrarySupport.h"

namespace vorn::test {
namespace {

struct ScriptCase {
    const char* name;
    const char* script;
    const char* output;
};

class DatabaseTagTest : public DatabaseScriptTest {
  protected:
    void RunCases(const std::vector<ScriptCase>& cases, bool verifyTable = false) {
        for (const ScriptCase& c : cases) {
            std::filesystem::remove_all(tree.Data());
            std::filesystem::create_directories(tree.Data());
            EXPECT_EQ(Run(c.script), c.output) << c.name;
            if (verifyTable && std::filesystem::exists(DataPath("T.DBF"))) Verify("T.DBF");
        }
    }
};

// The registry: which database is primary, names in any case, the messages
// of the handlers themselves, and the driver a type chooses.
TEST_F(DatabaseTagTest, RegistryAndDriverChoice) {
    RunCases({
        {"no database at all", "dbskip \"\" \"\" 1\nerr VrSKIP",
         "VrSKIP=There is no primary database, and no database was specified\n"},
        {"a name not open", "dbgo nothere \"\" 1\nerr VrGO", "VrGO=Database 'nothere' is not open\n"},
        {"open twice in another case",
         "create people P.DBF \"N NUMBER(3)\"\nopen PEOPLE P.DBF\nerr VrCREATE VrOPEN",
         "VrCREATE= VrOPEN=A database with the name 'PEOPLE' is already open\n"},
        {"no such view", "create a A.DBF \"N NUMBER(3)\"\ndbadd a other\nerr VrADD",
         "VrADD=Database 'a' has no view named 'other'\n"},
        {"the last opened is primary, VrCLOSE hands it on",
         "create a A.DBF \"N NUMBER(3)\"\ncreate b B.DBF \"M NUMBER(3)\"\nset a N 1\ndbadd \"\" \"\"\n"
         "print a.totrec b.totrec\ndbclose \"\"\nset a N 2\ndbadd \"\" \"\"\nprint a.totrec\nerr VrADD "
         "VrCLOSE",
         "01\n1\nVrADD= VrCLOSE=\n"},
        {"VrPRIMARY makes primary even when its view is missing",
         "create a A.DBF \"N NUMBER(3)\"\ncreate b B.DBF \"M NUMBER(3)\"\ndbprimary a nope \"\"\nerr "
         "VrPRIMARY\n"
         "dbadd \"\" \"\"\nprint a.totrec b.totrec",
         "VrPRIMARY=Database 'a' has no view named 'nope'\n10\n"},
        {"VrPRIMARY's empty name is no primary database",
         "create a A.DBF \"N NUMBER(3)\"\ndbprimary \"\" \"\" \"\"\nerr VrPRIMARY",
         "VrPRIMARY=Database '' is not open\n"},
        {"VrPRIMARY with a view and no index clears its error",
         "create a A.DBF \"N NUMBER(3)\"\ndbprimary A a \"\"\nerr VrPRIMARY", "VrPRIMARY=\n"},
        {"the default type read in capitals",
         "let vorn_defaultdatabase XBASE3\ncreate a A.DBF \"N NUMBER(3)\" \"\"\nerr VrCREATE\nprint a.totrec",
         "VrCREATE=\n0\n"},
        {"a seven-letter type goes to the libraries",
         "create a A.DBF \"N NUMBER(3)\" xbase3x\nerr VrCREATE\nopen b A.DBF \"\" Other\nerr VrOPEN",
         "VrCREATE=Database type 'xbase3x' is unsupported or not configured\n"
         "VrOPEN=Database type 'Other' is unsupported or not configured\n"},
        {"a failed open registers nothing", "open a MISSING.DBF\nerr VrOPEN\ndbskip \"\" \"\" 1\nerr VrSKIP",
         "VrOPEN=Error opening 'MISSING.DBF': No such file or directory\n"
         "VrSKIP=There is no primary database, and no database was specified\n"},
        {"file operands lose their NUL bytes",
         "create a \"A\\0.DBF\" \"N NUMBER(3)\"\nerr VrCREATE\ndbclose a\nopen b A.DBF\nerr VrOPEN",
         "VrCREATE=\nVrOPEN=\n"},
        {"the four refusals",
         "create a A.DBF \"N NUMBER(3)\"\ndbopenview a v \"q\" \"\"\ndbcloseview a v\ndbquery a \"q\" \"\"\n"
         "dbcommand a \"c\" \"v\"\ndbcommit a\ndbrollback a\ndbtransact a\n"
         "err VrOPENVIEW VrCLOSEVIEW VrQUERY VrDBCOMMAND VrCOMMIT VrROLLBACK VrTRANSACT",
         "VrOPENVIEW=VrOPENVIEW is not currently supported for databases of type 'xbase3'"
         " VrCLOSEVIEW=VrCLOSEVIEW is not currently supported for databases of type 'xbase3'"
         " VrQUERY=VrQUERY is not currently supported for databases of type 'xbase3'"
         " VrDBCOMMAND=VrDBCOMMAND is not currently supported for databases of type 'xbase3'"
         " VrCOMMIT= VrROLLBACK= VrTRANSACT=\n"},
        {"messages are entity-encoded", "dbgo \"<a&b>\" \"\" 1\nerr VrGO",
         "VrGO=Database '&lt;a&amp;b&gt;' is not open\n"},
    });
}

// Word 0x020f is no instruction; a failed pop ends the run before the
// handler does anything; the default settings show and end.
TEST_F(DatabaseTagTest, IllegalWordAbortAndDefaultSettings) {
    int32_t status = 0;
    std::string out = Run(": .word 0x020f\nprint after", &status);
    EXPECT_EQ(status, kRunFailed);
    EXPECT_NE(out.find("Illegal Instruction"), std::string::npos) << out;
    EXPECT_EQ(out.find("after"), std::string::npos);

    out = Run("create a A.DBF \"N NUMBER(3)\"\n: pushc \"a\"\n: dbskip\nprint after", &status);
    EXPECT_EQ(status, kRunFailed);
    EXPECT_NE(out.find("Stack underflow"), std::string::npos) << out;
    EXPECT_EQ(out.find("Stack underflow"), out.rfind("Stack underflow")) << "reported once: " << out;
    EXPECT_EQ(out.find("There is no primary"), std::string::npos) << out;

    // VrSKIP shows its error and goes on; VrMAKEINDEX is fatal by default.
    out = Run("loud\ndbskip x \"\" 1\nprint on\ncreate a A.DBF \"N NUMBER(3)\"\ndbmakeindex a I.VRX \"N +\" "
              "\"\"\nprint after",
              &status);
    EXPECT_EQ(status, kRunFailed);
    EXPECT_NE(out.find("VrSKIP: Database 'x' is not open"), std::string::npos) << out;
    EXPECT_NE(out.find("on\n"), std::string::npos) << out;
    EXPECT_NE(out.find("VrMAKEINDEX: Syntax error in index expression: "), std::string::npos) << out;
    EXPECT_EQ(out.find("after"), std::string::npos) << out;
}

// A report names the tag's own word, also after a key ran for it: the same
// VrADD fails first before any key runs, then after its unique key ran.
TEST_F(DatabaseTagTest, ReportsNameTheTagsWord) {
    std::string out = Run("loud\nlet c 0\ncreate t T.DBF \"K CHAR(5), N NUMBER(2)\"\ndbmakeindex t K.VRX K unique\n"
                          "set t K a\ndbadd t \"\"\nset t N 999\n: again:\ndbadd t \"\"\nset t N 1\n: incg c, 1\n"
                          ": cmpgi c, 2\n: jmp_lt again\n");
    size_t first = out.find("VrADD: The value");
    size_t second = out.find("VrADD: Index 'K.VRX'");
    ASSERT_NE(first, std::string::npos) << out;
    ASSERT_NE(second, std::string::npos) << out;
    auto position = [&](size_t at) {
        size_t open = out.rfind('[', at);
        return out.substr(open, out.find(']', open) - open);
    };
    EXPECT_EQ(position(first), position(second)) << out;
}

// VrCREATE's field specifications: the structure they make, or the message
// (TABs included) of the first field that fails, with nothing created.
TEST_F(DatabaseTagTest, FieldSpecifications) {
    struct Spec {
        const char* spec;
        const char* fields; // NAME:T:LEN:DEC ..., or null when it fails
        const char* message;
    };
    const char* widths = "Field widths in the field specification must be positive numbers";
    const Spec specs[] = {
        {"name CHAR(20), Age NUMBER(3), Price NUMBER(8.2), Born DATE, Ok BOOL, Notes MEMO",
         "NAME:C:20:0 AGE:N:3:0 PRICE:N:11:2 BORN:D:8:0 OK:L:1:0 NOTES:M:10:0", nullptr},
        {"a CHAR(5), A NUMBER", nullptr, "Field name is used more than once in the field specification"},
        {"a CHAR(5),", nullptr, "Dangling comma in field\tspecification"},
        {"", nullptr, "Dangling comma in field\tspecification"},
        {"  \t ", nullptr, "Dangling comma in field\tspecification"},
        {"abcdefghijklm CHAR(5)", nullptr, "Field name is longer than the XBase limit of 10 characters"},
        {"abcdefghij CHAR(5)", "ABCDEFGHIJ:C:5:0", nullptr},
        {"x CHAR", nullptr, "Error in field specification: CHAR datatypes require a length"},
        {"x CHAR()", nullptr, "Error in field specification: CHAR datatypes require a length"},
        {"x CHAR(   )", nullptr, "Error in field specification: CHAR datatypes require a length"},
        {"a CHAR(5), b CHAR", nullptr, "Error in field specification: CHAR datatypes require a length"},
        {"x CHAR(254)", "X:C:254:0", nullptr},
        {"x CHAR(255)", nullptr, "CHAR fields may\tonly be\t254 characters long, field is too long"},
        {"x CHAR(300) y", nullptr, "CHAR fields may\tonly be\t254 characters long, field is too long"},
        {"x NUMBER", "X:N:19:0", nullptr},
        {"x NUMBER()", "X:N:19:0", nullptr},
        {"x NUMBER(10.0)", "X:N:10:0", nullptr},
        {"x NUMBER(16.2)", "X:N:19:2", nullptr},
        {"x NUMBER(17.2)", nullptr, "NUMERIC\tfields may only\tbe 19 digits, field is too many digits"},
        {"x NUMBER(10,2)", nullptr, "Empty field type in field specification"},
        {"x CHAR(10) y", nullptr, "Unexpected character following field declaration"},
        {"x DATE y", "X:D:8:0", nullptr},
        {"x INTEGER", nullptr, "Unknown\tfield type in field specification"},
        {"x NUMERIC", nullptr, "Unknown\tfield type in field specification"},
        {"x", nullptr, "Empty field type in field specification"},
        {"c CHARACTER(3), d DATETIME, b BOOLEAN", "C:C:3:0 D:D:8:0 B:L:1:0", nullptr},
        {"x CHAR(0)", nullptr, widths},
        {"x CHAR(abc)", nullptr, widths},
        {"x NUMBER(-3)", nullptr, widths},
        {"x NUMBER(4.-1)", nullptr, widths},
        {"x CHAR 5)", nullptr, widths},
    };
    for (const Spec& s : specs) {
        std::filesystem::remove_all(tree.Data());
        std::filesystem::create_directories(tree.Data());
        std::string out = Run(std::string("create a A.DBF \"") + s.spec + "\"\nerr VrCREATE");
        if (!s.fields) {
            std::string message = s.message;
            for (size_t at; (at = message.find("\\t")) != std::string::npos;)
                message.replace(at, 2, "\t");
            EXPECT_EQ(out, "VrCREATE=" + message + "\n") << s.spec;
            EXPECT_FALSE(std::filesystem::exists(DataPath("A.DBF"))) << s.spec;
            continue;
        }
        EXPECT_EQ(out, "VrCREATE=\n") << s.spec;
        FileTestApplication app;
        ASSERT_TRUE(app.files.CheckDataDirectory(tree.Data().c_str()));
        XBaseFileOpener opener(&app);
        XBaseTable table(&opener);
        ASSERT_TRUE(table.Open(LocationData, "A.DBF", 1)) << s.spec;
        std::string fields;
        for (XBaseField* f = table.Fields().First(); f; f = table.Fields().Next())
            fields += (fields.empty() ? "" : " ") + std::string(f->Name()) + ":" +
                      XBaseTypeLetter(f->Kind()) + ":" + std::to_string(f->Length()) + ":" +
                      std::to_string(f->Decimals());
        EXPECT_EQ(fields, s.fields) << s.spec;
        EXPECT_EQ(table.RecordCount(), 0);
    }
}

// The example of the database tags runs as its comments say, and leaves a
// table both readers read and a sound index.
TEST_F(DatabaseTagTest, TheExampleRuns) {
    std::string source = ScratchTree::ReadFile(std::filesystem::path(__FILE__).parent_path().string() +
                                               "/../../../examples/xbase.vra");
    ASSERT_FALSE(source.empty());
    int32_t status = 0;
    std::string out = RunSource(source, &status);
    EXPECT_EQ(status, kRunCompleted);
    EXPECT_EQ(
        out,
        "Found: 3. Edsger (Rotterdam, 19300511): Shortest paths, semaphores and structured programming.\n"
        "In name order:\n"
        "2. Ada (London, 18151210): Published the first program.\n"
        "4. Barbara (Los Angeles, 19391107): Data abstraction and the substitution principle.\n"
        "3. Edsger (Rotterdam, 19300511): Shortest paths, semaphores and structured programming.\n"
        "1. Grace (Arlington, 19061209): Wrote the first compiler and found the first bug.\n"
        "After deleting Grace and packing: 3 people, Ada first\n");
    Verify("people.dbf", {{"people.vrx", FieldKey<0>}});
}

} // namespace
} // namespace vorn::test
