// The send loop against a simulated server and clock: reconnects, waits,
// Abort and the journal's rows, read back from the file it wrote.
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/run/BulkRun.h"
#include "rtl/Exception.h"
#include "tests/support/SmtpSink.h"

using testsupport::ReadWholeFile;
using testsupport::TempFolder;

namespace {

struct LoopCase {
    const char* name;
    int entries;
    // line -> answers to its tries in order: A accepted, m refused (message),
    // c broken before ".", u broken after "."; accepted once used up.
    std::map<int, std::string> answers;
    std::string reconnects;  // answers to the reconnects in order: y / n
    int abortAtPause;        // the n-th pause (from 1) is cut by Abort; 0: none
    int64_t pacingMs;
    TBulkRun::TEnd end;
    std::vector<std::string> rows;  // "line outcome reply"
    std::vector<int64_t> pauses;
    std::string sent;  // the lines that went out, in order
    bool finished;     // the journal marks the run as ended normally
};

const LoopCase Cases[] = {
    {"the server closes after message 2", 4, {{3, "c"}}, "y", 0, 0, TBulkRun::Completed,
     {"1 送信済み 250 ok", "2 送信済み 250 ok", "3 送信済み 250 ok", "4 送信済み 250 ok"}, {5000}, "12334", true},
    {"a break after the dot is unknown and not sent again", 3, {{2, "u"}}, "y", 0, 0, TBulkRun::Completed,
     {"1 送信済み 250 ok", "2 不明 ", "3 送信済み 250 ok"}, {5000}, "123", true},
    {"three failed reconnects lose the run", 3, {{2, "c"}}, "nnn", 0, 0, TBulkRun::ConnectionLost,
     {"1 送信済み 250 ok", "2 未送信 ", "3 未送信 "}, {5000, 15000, 45000}, "12", false},
    {"a server that breaks at the same entry every time", 2, {{1, "cccc"}}, "yyyy", 0, 0,
     TBulkRun::ConnectionLost, {"1 未送信 ", "2 未送信 "}, {5000, 15000, 45000}, "1111", false},
    {"progress earns fresh tries", 3, {{1, "c"}, {2, "c"}, {3, "c"}}, "yyy", 0, 0, TBulkRun::Completed,
     {"1 送信済み 250 ok", "2 送信済み 250 ok", "3 送信済み 250 ok"}, {5000, 5000, 5000}, "112233", true},
    {"abort during the pacing", 4, {}, "", 2, 1000, TBulkRun::Aborted,
     {"1 送信済み 250 ok", "2 送信済み 250 ok", "3 未送信 ", "4 未送信 "}, {1000, 1000}, "12", false},
    {"abort during the wait for a reconnect", 2, {{1, "c"}}, "", 1, 0, TBulkRun::Aborted,
     {"1 未送信 ", "2 未送信 "}, {5000}, "1", false},
    {"five refusals stop", 6, {{1, "m"}, {2, "m"}, {3, "m"}, {4, "m"}, {5, "m"}}, "", 0, 0, TBulkRun::Refusing,
     {"1 拒否 554 no", "2 拒否 554 no", "3 拒否 554 no", "4 拒否 554 no", "5 拒否 554 no", "6 未送信 "}, {},
     "12345", false},
};

class LoopTable : public ::testing::TestWithParam<LoopCase> {};

TEST_P(LoopTable, OutcomesAreJournaledInOrderAndNothingGoesTwice)
{
    const LoopCase& c = GetParam();
    const TempFolder dir;
    std::vector<TPlanEntry> entries;
    for (int i = 1; i <= c.entries; ++i)
        entries.push_back({i, Format("r%d@example.jp", i), true});
    TRunPlan plan(entries);
    plan.SetPacing(c.pacingMs);
    TJournal journal(dir.Path(), {"f", "r", "s", "b", ""}, 0);

    int64_t now = 0;
    bool going = true;
    std::map<int, std::string> answers = c.answers;
    std::string reconnects = c.reconnects;
    std::vector<int64_t> pauses;
    std::string sent;
    TBulkHooks hooks;
    hooks.Now = [&] { return now; };
    hooks.Going = [&] { return going; };
    hooks.Pause = [&](int64_t ms) {
        pauses.push_back(ms);
        now += ms;
        if (static_cast<int>(pauses.size()) == c.abortAtPause)
            going = false;
        return going;
    };
    hooks.Reconnect = [&] {
        const bool ok = !reconnects.empty() && reconnects.front() == 'y';
        if (!reconnects.empty())
            reconnects.erase(0, 1);
        return ok;
    };
    hooks.SendOne = [&](const TPlanEntry& e) -> TAttemptResult {
        sent += std::to_string(e.Line);
        now += 10;
        std::string& a = answers[e.Line];
        const char answer = a.empty() ? 'A' : a.front();
        if (!a.empty())
            a.erase(0, 1);
        switch (answer) {
        case 'm': return {TAttempt::MessageRefused, "554 no", nullptr};
        case 'c': return {TAttempt::BrokenBeforeDot, "", nullptr};
        case 'u': return {TAttempt::BrokenAfterDot, "", nullptr};
        default: return {TAttempt::Accepted, "250 ok", nullptr};
        }
    };
    TBulkRun run(plan, journal, hooks);
    const TBulkRun::TEnd end = run.Run();
    run.Close(end);
    run.Close(end);

    EXPECT_EQ(end, c.end);
    std::vector<std::string> rows;
    const auto records = ParseCsv(ReadWholeFile(journal.Path()));
    for (size_t i = 1; i < records.size(); ++i)
        rows.push_back(records[i][0] + " " + records[i][2] + " " + records[i][3]);
    EXPECT_EQ(rows, c.rows);
    EXPECT_EQ(pauses, c.pauses);
    EXPECT_EQ(sent, c.sent);
    EXPECT_EQ(FindUnfinishedRun(dir.Path(), {"f", "r", "s", "b", ""}).has_value(), !c.finished);
}

INSTANTIATE_TEST_SUITE_P(BulkRun, LoopTable, ::testing::ValuesIn(Cases), [](const auto& info) {
    std::string name;
    for (const char* p = info.param.name; *p; ++p)
        name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
    return name;
});

}  // namespace
