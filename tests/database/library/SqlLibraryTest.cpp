// The vornsql plug-in as scripts meet it: loaded by the host for its database
// type, driven through the database tags, its files read back by the two
// Python dBASE readers and the index checker.
#include "tests/database/xbase3/DatabaseScriptSupport.h"

#include <chrono>

namespace vorn::test {
namespace {

class SqlLibraryTest : public DatabaseScriptTest {
  protected:
    void SetUp() override { libraries = {{"vornsql", VORN_VORNSQL}}; }
    // The script after a prologue that creates database s of type vornsql.
    std::string Sql(const std::string& script, int32_t* status = nullptr) {
        return Run("create s shop \"\" vornsql\nerr VrCREATE\n" + script, status);
    }
};

TEST_F(SqlLibraryTest, CreatesQueriesAndReadsColumns) {
    std::string out = Sql(
        "dbquery s \"CREATE TABLE t (id NUMERIC(5), name CHAR(12), ok BOOLEAN)\" \"\"\nerr VrQUERY\n"
        "dbquery s \"INSERT INTO t VALUES (1, 'pear', 'T')\" \"\"\n"
        "dbquery s \"INSERT INTO t VALUES (2, 'apple', 'F')\" \"\"\n"
        "err VrQUERY\n"
        "dbopenview s v \"SELECT id, name FROM t ORDER BY name\" \"\"\nerr VrOPENVIEW\n"
        "print v.id \":\" v.name \":\" v.eof\n"
        "dbskip s v 1\nprint v.id \":\" v.name \":\" v.eof\n"
        "dbskip s v 1\nprint v.eof\n");
    EXPECT_EQ(out, "VrCREATE=\nVrQUERY=\nVrQUERY=\nVrOPENVIEW=\n2:apple:0\n1:pear:0\n1\n");
}

// A view that fails after the library registered it is closed by the host
// (the library's state with it): the name is free for the next try.
TEST_F(SqlLibraryTest, FailedViewsLeaveNothingAndCommandsAnswer) {
    std::string out = Sql(
        "dbquery s \"CREATE TABLE t (a NUMERIC(5))\" \"\"\n"
        "dbquery s \"INSERT INTO t VALUES (3)\" \"\"\n"
        "dbopenview s v \"SELECT a FROM t WHERE a = ?\" \"\"\nerr VrOPENVIEW\n"
        "let p1 \"3\"\n"
        "dbopenview s v \"SELECT a FROM t WHERE a = ?\" \"p1\"\nerr VrOPENVIEW\nprint v.a \"/\" v.eof\n"
        "dbskip s v 0\nerr VrSKIP\nprint v.a\n"
        "dbskip s v 5\nerr VrSKIP\nprint v.eof\n"
        "dbcommand s LOG \"\"\nerr VrDBCOMMAND\n"
        "dbcommand s other \"x\"\nerr VrDBCOMMAND\n"
        "dbquery s \"SELECT a FROM t\" \"\"\nerr VrQUERY\n");
    EXPECT_EQ(out, "VrCREATE=\nVrOPENVIEW=Input parameter count mismatch: Found 0 expected 1\nVrOPENVIEW=\n3/0\n"
                   "VrSKIP=\n3\nVrSKIP=\n1\nVrDBCOMMAND=\nVrDBCOMMAND=\n"
                   "VrQUERY=Queries that return results are not valid in this context\n");
    EXPECT_NE(Bytes("sql.log").find("SQL Prepare:\nSELECT a FROM t\n"), std::string::npos);
    Verify("t.dbf");
}

// A statement runs inside one instruction: a runaway join still ends with
// the request's time-out. The run stops before the instruction after it, so
// the tag shows its error itself.
TEST_F(SqlLibraryTest, ARunawayJoinStopsAtTheTimeOut) {
    std::string script = ": tagerror 44, 1\n" // VrOPENVIEW shown
                         "dbquery s \"CREATE TABLE t (a NUMERIC(5))\" \"\"\n"
                         "dbquery s \"INSERT INTO t VALUES (1)\" \"\"\n";
    for (int i = 0; i < 9; ++i) script += "dbquery s \"INSERT INTO t SELECT * FROM t\" \"\"\n";
    script += "dbopenview s c \"SELECT COUNT(*) AS n FROM t\" \"\"\nprint c.n\n"
              "dbopenview s v \"SELECT COUNT(*) AS n FROM t a, t b, t c\" \"\"\nprint \"joined\"\n";
    auto started = std::chrono::steady_clock::now();
    int32_t status = 0;
    // Time enough for the table to be made first on a busy machine.
    std::string out = Run("create s shop \"\" vornsql\n" + script, &status, {"globaltimeout=3"});
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_EQ(out.substr(0, 4), "512\n") << out;
    EXPECT_NE(out.find("VrOPENVIEW: Statement stopped: the request has ended\nApplication timed out"),
              std::string::npos)
        << out;
    EXPECT_EQ(status, kRunFailed);
    EXPECT_LT(seconds, 20.0);
}

} // namespace
} // namespace vorn::test
