// The SQL engine run in-process over a scratch database: statements through
// an engine without a view, queries through one whose result columns are a
// host view's variables, rows read back as texts.
#pragma once

#include "tests/sqllib/store/SqlStoreSupport.h"

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

#include "host/plugin/VornHost.h"
#include "sqllib/engine/SqlEngine.h"

namespace vorn::test {

// Another process working on the test's database beside it, as another
// responder would: step(k, schema) runs with a Schema of its own over
// "db.dbf" until Stop, and what each step reports ("" for done) comes back
// in order.
class Beside {
  public:
    Beside(const std::string& root, std::function<std::string(int, Schema&)> step) {
        if (pipe(stop) != 0 || pipe(report) != 0) return;
        child = fork();
        if (child != 0) {
            close(stop[0]);
            close(report[1]);
            return;
        }
        close(stop[1]);
        close(report[0]);
        VornProgram* own = SqlHost::Get().Open(root);
        {
            Schema schema(own);
            bool opened = schema.Open("db.dbf", -1);
            Outcome outcome{};
            if (!opened) std::snprintf(outcome.message, sizeof outcome.message, "open: %s", schema.ErrorText().Text());
            pollfd done{stop[0], POLLIN, 0};
            for (int k = 0; opened && poll(&done, 1, 0) == 0; ++k) {
                std::snprintf(outcome.message, sizeof outcome.message, "%s", step(k, schema).c_str());
                (void)!write(report[1], &outcome, sizeof outcome);
            }
            if (!opened) (void)!write(report[1], &outcome, sizeof outcome);
        }
        SqlHost::Get().Close(own);
        _exit(0);
    }
    // Every step's report, once the process has ended.
    std::vector<std::string> Stop() {
        std::vector<std::string> reports;
        if (child <= 0) return {"no process"};
        close(stop[1]);
        // Read to the end before the wait: a full pipe would hold the child.
        Outcome outcome;
        while (read(report[0], &outcome, sizeof outcome) == static_cast<ssize_t>(sizeof outcome))
            reports.emplace_back(outcome.message);
        close(report[0]);
        int status = 0;
        if (waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
            reports.emplace_back("the process did not end well");
        child = -1;
        return reports;
    }
    ~Beside() {
        if (child > 0) Stop();
    }

  private:
    struct Outcome {
        char message[160];
    };
    int stop[2] = {-1, -1};
    int report[2] = {-1, -1};
    pid_t child = -1;
};

class SqlEngineTest : public SqlStoreTest {
  protected:
    using Rows = std::vector<std::vector<std::string>>;
    struct Outcome {
        Rows rows;
        std::string error; // empty when the statement ran to its end
    };

    void SetUp() override {
        SqlStoreTest::SetUp();
        auto make = reinterpret_cast<VornDatabase* (*)(VornProgram*)>(SqlHost::Get().Symbol("sqltest_database"));
        ASSERT_NE(make, nullptr);
        database = make(program);
        ASSERT_NE(database, nullptr);
        CreateDatabase();
        statements = std::make_unique<SQLEngine>(schema.get(), database);
        queries = std::make_unique<SQLEngine>(schema.get(), database);
    }
    void TearDown() override {
        statements.reset();
        queries.reset();
        auto free = reinterpret_cast<void (*)(VornDatabase*)>(SqlHost::Get().Symbol("sqltest_database_free"));
        if (free && database) free(database);
        SqlStoreTest::TearDown();
    }

    static VornVariableList* Parameters(const std::vector<std::string>& values) {
        VornVariableList* list = vrVariableList_Allocate();
        for (size_t i = 0; i < values.size(); ++i) {
            std::string name = "p" + std::to_string(i);
            vrVariableList_SetVariable(list, name.data(), static_cast<int32_t>(name.size()), values[i].data(),
                                       static_cast<int32_t>(values[i].size()));
        }
        return list;
    }

    // Runs the engine to its end, collecting the visible result columns of each row.
    static Outcome Drain(SQLEngine& engine, int64_t rowLimit = 1000000) {
        Outcome out;
        for (int64_t n = 0; n < rowLimit; ++n) {
            int step = engine.Run();
            if (step < 0) {
                out.error = engine.ErrorText().Text() ? engine.ErrorText().Text() : "";
                if (out.error.empty()) out.error = "<failed without a message>";
                return out;
            }
            if (step == 0) return out;
            std::vector<std::string> row;
            for (int32_t i = 0; i < engine.ResultCount(); ++i) {
                SQLResult* value = engine.ResultAt(i);
                if (!value || value->Column() == 0) continue;
                int32_t length = 0;
                const char* text = value->Text(&length);
                row.emplace_back(text ? text : "", static_cast<size_t>(length));
            }
            out.rows.push_back(row);
        }
        out.error = "<more rows than the limit>";
        return out;
    }

    Outcome Run(SQLEngine& engine, VornDatabaseView* view, const std::string& sql,
                const std::vector<std::string>& values) {
        engine.SetView(view);
        Outcome out;
        if (engine.Prepare(sql.data(), static_cast<int32_t>(sql.size())) < 0) {
            out.error = engine.ErrorText().Text();
            return out;
        }
        VornVariableList* list = Parameters(values);
        int bound = engine.Bind(list);
        vrVariableList_Free(list);
        if (bound < 0) {
            out.error = engine.ErrorText().Text();
            return out;
        }
        return Drain(engine);
    }

    // A statement as VrQUERY runs it: no view. "" on success, else the message.
    std::string Exec(const std::string& sql, const std::vector<std::string>& values = {}) {
        Outcome out = Run(*statements, nullptr, sql, values);
        statements->Release();
        return out.error;
    }
    // A query as VrOPENVIEW runs it, on a view of its own.
    Outcome Query(const std::string& sql, const std::vector<std::string>& values = {}) {
        std::string name = "v" + std::to_string(++views);
        VornDatabaseView* view = vrDatabase_AddView(database, name.data(), static_cast<int32_t>(name.size()), nullptr);
        return Run(*queries, view, sql, values);
    }
    // The rows of a query that must succeed, each joined with '|'.
    std::vector<std::string> Lines(const std::string& sql, const std::vector<std::string>& values = {}) {
        Outcome out = Query(sql, values);
        EXPECT_EQ(out.error, "") << sql;
        std::vector<std::string> lines;
        for (const auto& row : out.rows) {
            std::string line;
            for (size_t i = 0; i < row.size(); ++i) line += (i ? "|" : "") + row[i];
            lines.push_back(line);
        }
        return lines;
    }

    VornDatabase* database = nullptr;
    std::unique_ptr<SQLEngine> statements;
    std::unique_ptr<SQLEngine> queries;
    int views = 0;
};

} // namespace vorn::test
