// A view in one process while another process packs or reindexes its table:
// the view follows the new files at its next move (standing again at the key
// it stood on), never reads an old index against the new table or the
// reverse, and a write on files it has not followed yet fails with the
// replaced message. The first process waits in the middle of its script for
// a lock this test holds on a file of its own (SYNC.DBF) while the rebuild
// runs here.
#include <fcntl.h>

#include "platform/Files.h"
#include "tests/database/xbase3/DatabaseScriptSupport.h"

namespace vorn::test {
namespace {

// Five people (records 1 to 5: eve bob dan amy cat) with a name index, and
// the file the other process waits on.
const char* kSeed = R"SEED(create t T.DBF "NAME CHAR(10), N NUMBER(3)"
set t NAME eve
dbadd t ""
set t NAME bob
dbadd t ""
set t NAME dan
dbadd t ""
set t NAME amy
dbadd t ""
set t NAME cat
dbadd t ""
dbmakeindex t N.VRX NAME "unique"
create s SYNC.DBF "X CHAR(1)"
err VrADD VrMAKEINDEX VrCREATE
)SEED";

// Where the other process waits: an add to SYNC.DBF, whose header this test
// holds.
const char* kWait = "open s SYNC.DBF\ndbadd s \"\"\n";

struct Case {
    const char* name;
    std::string before; // the other process, up to its wait
    std::string rebuild; // this process, meanwhile
    std::string after;   // the other process, once the rebuild is done
    const char* output;  // the other process's
};

class XBaseReplacedFilesTest : public DatabaseScriptTest {
  protected:
    // Whether another process holds a lock on SYNC.DBF's first record: it is
    // in its add, waiting for the header.
    bool Waiting() {
        int fd = open(DataPath("SYNC.DBF").c_str(), O_RDWR);
        if (fd < 0) return false;
        struct flock probe = {};
        probe.l_type = F_WRLCK;
        probe.l_whence = SEEK_SET;
        probe.l_start = 65;
        probe.l_len = 1;
        bool held = fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
        close(fd);
        return held;
    }

    void RunCase(const Case& c) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(tree.Data());
        std::filesystem::create_directories(tree.Data());
        ASSERT_EQ(Run(kSeed), "VrADD= VrMAKEINDEX= VrCREATE=\n");
        platform::FileHandle sync;
        ASSERT_TRUE(sync.Open(DataPath("SYNC.DBF").c_str(), platform::kOpenRead | platform::kOpenWrite));
        // Read-locked: the other process opens SYNC.DBF, then its add holds the
        // new record and waits for the header.
        ASSERT_TRUE(sync.Lock(0, 65, false));
        pid_t other = StartVrrun(ExpandScript(c.before + kWait + c.after), "other");
        for (int wait = 0; wait < 3000 && !Waiting(); ++wait)
            usleep(2000);
        EXPECT_TRUE(Waiting());
        EXPECT_EQ(Run(c.rebuild), "VrPACK= VrREINDEX=\n");
        sync.Close();
        EXPECT_EQ(Finish(other, "other"), c.output);
    }
};

TEST_F(XBaseReplacedFilesTest, AViewFollowsTheFilesAnotherProcessRebuilt) {
    const std::string packWithoutDan =
        "open b T.DBF N.VRX\ndbgo b \"\" 3\ndbdelete b \"\"\ndbpack b\nerr VrPACK VrREINDEX\n";
    const Case cases[] = {
        {"a walk goes on in the packed files, after the record it stood on, and writes there",
         "open a T.DBF N.VRX\ndbgo a \"\" top\ndbskip a \"\" 1\nprint a.NAME a.recno\n", packWithoutDan,
         "dbskip a \"\" 1\nprint a.NAME a.recno\ndbskip a \"\" 1\nprint a.NAME a.recno\ndbskip a \"\" -2\n"
         "print a.NAME\nset a N 7\ndbupdate a \"\"\nerr VrSKIP VrUPDATE\nwalk a N\n",
         // After the pack: eve 1, bob 2, amy 3, cat 4.
         "bob2\ncat4\neve1\nbob\nVrSKIP= VrUPDATE=\n3: 2:7 4: 1: eof\n"},
        {"after a reindex and another request's re-key, a find of the old key finds nothing",
         "open a T.DBF N.VRX\ndbfind a \"\" cat 1\nprint a.NAME a.recno\n",
         "open b T.DBF N.VRX\ndbreindex b\ndbfind b \"\" cat 1\nset b NAME zed\ndbupdate b \"\"\n"
         "err VrPACK VrREINDEX\n",
         "dbfind a \"\" cat 1\nprint a.eof\ndbfind a \"\" zed 1\nprint a.eof a.recno a.NAME\nerr VrFIND\n"
         "walk a NAME\n",
         "cat5\n1\n05zed\nVrFIND=\n4:amy 2:bob 3:dan 1:eve 5:zed eof\n"},
        {"a record appended before the pack does not end the walk early",
         "open a T.DBF N.VRX\nprint a.totrec\n",
         "open b T.DBF N.VRX\nset b NAME bea\ndbadd b \"\"\ndbgo b \"\" 2\ndbdelete b \"\"\ndbpack b\n"
         "err VrPACK VrREINDEX\n",
         "walk a NAME\nerr VrGO VrSKIP\n",
         "5\n3:amy 5:bea 4:cat 2:dan 1:eve eof\nVrGO= VrSKIP=\n"},
        {"a write without an index to follow fails with the message, parentheses and all as text",
         "open a T.DBF\ndbgo a \"\" 1\n", packWithoutDan,
         "set a NAME zed\ndbupdate a \"\"\nerr VrUPDATE\n",
         "VrUPDATE=Error locking 'T.DBF' for write: The file was replaced by a pack or a reindex since it "
         "was opened; open it again\n"},
    };
    for (const Case& c : cases) {
        RunCase(c);
        if (HasFailure()) return;
    }
}

} // namespace
} // namespace vorn::test
