// Several requests on one indexed table at once: eight threads and two
// processes append records and re-key their own, each through its own file
// objects, while a reader walks the index. Afterwards every append is there
// once and the index holds exactly the table's keys in a sound tree.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "tests/database/format/XBaseTestSupport.h"

namespace vorn::test {
namespace {

constexpr int kThreads = 8;
constexpr int kProcesses = 2;
constexpr int kAppends = 150;

std::string KeyOf(int writer, int sequence, int revision) {
    char key[24];
    std::snprintf(key, sizeof key, "w%02d-%05d-r%d", writer, sequence, revision);
    return key;
}

// One request's work; an empty result is success, else what failed.
std::string Work(const ScratchTree& tree, int writer) {
    FileTestApplication app;
    if (!app.files.CheckDataDirectory(tree.Data().c_str())) return "no data directory";
    app.settings.SetInteger(kConfigFileDelay, 2);
    app.settings.SetInteger(kConfigFileTimeout, 20);
    XBaseFileOpener opener(&app);
    XBaseTable table(&opener);
    KPZIndexFile index(&opener);
    if (!table.Open(LocationData, "conc.dbf", 3)) return table.ErrorText().Text();
    if (!index.Open(LocationData, "conc.vrx", 3)) return index.ErrorText().Text();
    std::string writerText = std::to_string(writer);
    for (int sequence = 0; sequence < kAppends; ++sequence) {
        std::string key = KeyOf(writer, sequence, 0);
        std::string number = std::to_string(sequence);
        std::string note = "note " + key;
        table.FindField("WRITER")->SetValue(writerText.c_str(), -1);
        table.FindField("SEQ")->SetValue(number.c_str(), -1);
        table.FindField("KEY")->SetValue(key.c_str(), -1);
        table.FindField("NOTE")->SetValue(note.c_str(), -1);
        if (!table.AppendRecord()) return std::string("append: ") + table.ErrorText().Text();
        int32_t record = table.CurrentRecord();
        if (!index.Insert(record, key.c_str(), -1)) return std::string("insert: ") + index.ErrorText().Text();
        if (sequence % 3 == 2) {
            // Re-key this record as an update does: table first, then the index.
            std::string next = KeyOf(writer, sequence, 1);
            if (!table.ReadRecord(record)) return table.ErrorText().Text();
            table.FindField("KEY")->SetValue(next.c_str(), -1);
            if (!table.UpdateRecord()) return std::string("update: ") + table.ErrorText().Text();
            if (!index.Delete(record, key.c_str(), -1)) return std::string("delete: ") + index.ErrorText().Text();
            if (!index.Insert(record, next.c_str(), -1)) return std::string("re-insert: ") + index.ErrorText().Text();
        }
    }
    return "";
}

class XBaseConcurrencyTest : public XBaseTest {};

TEST_F(XBaseConcurrencyTest, WritersInThreadsAndProcessesKeepTableAndIndexWhole) {
    {
        XBaseTable table(&opener);
        Create(table, "conc.dbf", {{"WRITER", 'N', 2, 0}, {"SEQ", 'N', 5, 0}, {"KEY", 'C', 20, 0}, {"NOTE", 'M', 10, 0}});
        KPZIndexFile index(&opener);
        ASSERT_TRUE(index.CreateFile(LocationData, "conc.vrx", "KEY", kIndexUnique));
    }
    // The processes first, while this one has no threads of its own.
    pid_t children[kProcesses];
    for (int p = 0; p < kProcesses; ++p) {
        children[p] = fork();
        ASSERT_GE(children[p], 0);
        if (children[p] == 0) {
            std::string failure = Work(tree, kThreads + p);
            if (!failure.empty()) std::fprintf(stderr, "process %d: %s\n", p, failure.c_str());
            _exit(failure.empty() ? 0 : 1);
        }
    }
    std::string failures[kThreads];
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back([&, t] { failures[t] = Work(tree, t); });

    // A reader walks the index meanwhile: every walk in key order.
    std::atomic<bool> done{false};
    std::string readerFailure;
    int walks = 0;
    std::thread reader([&] {
        FileTestApplication readerApp;
        readerApp.files.CheckDataDirectory(tree.Data().c_str());
        XBaseFileOpener readerOpener(&readerApp);
        KPZIndexFile index(&readerOpener);
        if (!index.Open(LocationData, "conc.vrx", 1)) {
            readerFailure = index.ErrorText().Text();
            return;
        }
        while (!done && readerFailure.empty()) {
            int32_t record = 0;
            const char* key = nullptr;
            std::string previous;
            if (!index.First(&record, 1)) readerFailure = index.ErrorText().Text();
            while (record && readerFailure.empty()) {
                if (!index.Next(&record, &key, 1)) readerFailure = index.ErrorText().Text();
                if (!record) break;
                if (std::string(key) <= previous) readerFailure = "walk out of order at " + std::string(key);
                previous = key;
            }
            ++walks;
        }
    });
    for (auto& t : threads) t.join();
    for (int p = 0; p < kProcesses; ++p) {
        int status = 0;
        ASSERT_EQ(waitpid(children[p], &status, 0), children[p]);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "process " << p;
    }
    done = true;
    reader.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], "") << "thread " << t;
    EXPECT_EQ(readerFailure, "");
    EXPECT_GT(walks, 0);

    const int writers = kThreads + kProcesses;
    XBaseTable table(&opener);
    ASSERT_TRUE(table.Open(LocationData, "conc.dbf", 1));
    ASSERT_EQ(table.RecordCount(), writers * kAppends);
    std::vector<int> seen(static_cast<size_t>(writers * kAppends), 0);
    std::multiset<IndexEntry> expected;
    for (int32_t n = 1; n <= table.RecordCount(); ++n) {
        ASSERT_TRUE(table.ReadRecord(n));
        int writer = std::stoi(Value(table, "WRITER"));
        int sequence = std::stoi(Value(table, "SEQ"));
        ASSERT_TRUE(writer >= 0 && writer < writers && sequence >= 0 && sequence < kAppends);
        ++seen[static_cast<size_t>(writer * kAppends + sequence)];
        EXPECT_EQ(Value(table, "KEY"), KeyOf(writer, sequence, sequence % 3 == 2 ? 1 : 0));
        EXPECT_EQ(Value(table, "NOTE"), "note " + KeyOf(writer, sequence, 0));
        expected.insert({Value(table, "KEY"), n});
    }
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), writers * kAppends);
    std::vector<IndexEntry> tree;
    ASSERT_TRUE(CheckIndex(Bytes("conc.vrx"), &tree));
    EXPECT_TRUE(std::multiset<IndexEntry>(tree.begin(), tree.end()) == expected);
}

// An append that keeps its record locked while a rebuild holds every record
// byte but not yet the header: it steps back from the header, waits for the
// records, and appends after them; its record then stays its own until given
// back.
TEST_F(XBaseConcurrencyTest, AppendKeptLockedWaitsForARebuildsRecords) {
    {
        XBaseTable table(&opener);
        Create(table, "keep.dbf", {{"KEY", 'C', 8, 0}});
        table.FindField("KEY")->SetValue("first", -1);
        ASSERT_TRUE(table.AppendRecord());
    }
    XBaseTable rebuild(&opener);
    ASSERT_TRUE(rebuild.Open(LocationData, "keep.dbf", 3));
    XBaseStore* held = rebuild.DataStore();
    const int64_t records = rebuild.HeaderLength();
    ASSERT_TRUE(held->Lock(true, records, INT64_MAX - records));

    FileTestApplication app;
    ASSERT_TRUE(app.files.CheckDataDirectory(tree.Data().c_str()));
    XBaseFileOpener other(&app);
    XBaseTable adder(&other);
    ASSERT_TRUE(adder.Open(LocationData, "keep.dbf", 3));
    adder.FindField("KEY")->SetValue("second", -1);
    std::atomic<int> appended{-1};
    std::thread thread([&] { appended = adder.AppendRecord(true); });
    usleep(50000);
    EXPECT_EQ(appended, -1) << "the append went on while the records were held";
    // The header is free meanwhile: the adder does not sit on it.
    ASSERT_EQ(held->TryLock(true, 0, records), 1);
    held->Unlock(0, records);
    held->Unlock(records, INT64_MAX - records);
    thread.join();
    ASSERT_EQ(appended, 1) << adder.ErrorText().Text();
    EXPECT_EQ(adder.CurrentRecord(), 2);
    const int64_t second = records + adder.RecordLength();
    EXPECT_EQ(held->TryLock(true, second, adder.RecordLength()), 0);
    adder.UnlockCurrentRecord();
    EXPECT_EQ(held->TryLock(true, second, adder.RecordLength()), 1);
    held->Unlock(second, adder.RecordLength());
}

} // namespace
} // namespace vorn::test
