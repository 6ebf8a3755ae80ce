// The vornsql plug-in as scripts meet it: loaded by the host for its database
// type, driven through the database tags, its files read back by the two
// Python dBASE readers and the index checker.
#include "tests/database/DatabaseScriptSupport.h"

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

} // namespace
} // namespace vorn::test
