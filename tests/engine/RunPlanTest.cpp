// The run's bookkeeping without sockets: a simulated server answers every
// attempt from a script and a simulated clock takes the waits, so the 60 s
// retries and the pacing are checked in no time.
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/list/Recipients.h"
#include "engine/plan/RunPlan.h"
#include "rtl/Exception.h"

namespace {

// Cost of one transaction on the simulated clock.
constexpr int64_t TransactionMs = 10;

char Letter(TOutcome o)
{
    return "SRTUNI"[static_cast<int>(o)];
}

TAttempt AttemptOf(char c)
{
    switch (c) {
    case 'r': return TAttempt::RecipientRefused;
    case 'm': return TAttempt::MessageRefused;
    case 'd': return TAttempt::Deferred;
    case 'b': return TAttempt::BrokenBeforeDot;
    case 'u': return TAttempt::BrokenAfterDot;
    default: return TAttempt::Accepted;
    }
}

struct Simulated {
    std::string outcomes;   // one letter per entry: S R T U N I
    std::vector<int> rows;  // lines in the order their outcome became known
    std::string attempts;   // one digit per entry
    int64_t elapsedMs = 0;
    bool stopped = false;
};

// Entries "." sendable, "x" not; Script: line -> answers to its attempts in
// order (A r m d b u), accepted once the script is used up.
Simulated Simulate(const std::string& entries, std::map<int, std::string> script, int64_t pacingMs = 0)
{
    std::vector<TPlanEntry> list;
    for (size_t i = 0; i < entries.size(); ++i)
        list.push_back({static_cast<int>(i) + 1, "e" + std::to_string(i + 1), entries[i] == '.'});
    TRunPlan plan(list, {}, TRunPlan::DefaultRetryDelayMs);
    plan.SetPacing(pacingMs);

    Simulated out;
    for (size_t i : plan.Initial())
        out.rows.push_back(plan.Entries()[i].Line);
    int64_t now = 0;
    for (int guard = 0; guard < 1000; ++guard) {
        const TPlanStep step = plan.Next(now);
        if (step.What == TPlanStep::Done)
            break;
        if (step.What == TPlanStep::Wait) {
            EXPECT_GT(step.WaitMs, 0);
            now += step.WaitMs;
            continue;
        }
        const int line = plan.Entries()[step.Index].Line;
        std::string& answers = script[line];
        const char answer = answers.empty() ? 'A' : answers.front();
        if (!answers.empty())
            answers.erase(0, 1);
        now += TransactionMs;
        if (plan.Record(step.Index, AttemptOf(answer), now))
            out.rows.push_back(line);
    }
    out.stopped = plan.Stopped();
    for (size_t i : plan.Finish())
        out.rows.push_back(plan.Entries()[i].Line);
    for (size_t i = 0; i < plan.Entries().size(); ++i) {
        out.outcomes += Letter(*plan.OutcomeOf(i));
        out.attempts += static_cast<char>('0' + plan.Attempts(i));
    }
    out.elapsedMs = now;
    return out;
}

struct PlanCase {
    const char* name;
    std::string entries;
    std::map<int, std::string> script;
    int64_t pacingMs;
    std::string outcomes;
    std::vector<int> rows;
    std::string attempts;
    int64_t minElapsedMs, maxElapsedMs;
    bool stopped;
};

const PlanCase PlanCases[] = {
    {"all accepted", "....", {}, 0, "SSSS", {1, 2, 3, 4}, "1111", 0, 100, false},
    {"a recipient refused in the middle", "....", {{2, "r"}}, 0, "SRSS", {1, 2, 3, 4}, "1111", 0, 100, false},
    {"a 4xx goes again after the others, 60 s later", "....", {{2, "dA"}}, 0, "SSSS", {1, 3, 4, 2}, "1211",
     60'000, 60'100, false},
    {"a 4xx three times stays temporary", "..", {{1, "ddd"}}, 0, "TS", {2, 1}, "31", 120'000, 120'100, false},
    {"an accepted message breaks the row", "...........",
     {{1, "m"}, {2, "m"}, {3, "m"}, {4, "m"}, {6, "m"}, {7, "m"}, {8, "m"}, {9, "m"}, {10, "m"}}, 0,
     "RRRRSRRRRRN", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, "11111111110", 0, 200, true},
    {"entries that cannot be sent are recorded first", "x..x", {}, 0, "ISSI", {1, 4, 2, 3}, "0110", 0, 100, false},
    {"pacing of 1 s over 4 messages", "....", {}, 1000, "SSSS", {1, 2, 3, 4}, "1111", 3000, 3100, false},
    {"a retry broken before the dot stays behind the others", "..", {{1, "dbA"}}, 0, "SS", {2, 1}, "31", 60'000,
     60'100, false},
    {"the retry wait and the pacing do not add up", "..", {{1, "dA"}}, 30'000, "SS", {2, 1}, "21", 60'000, 60'100,
     false},
};

class PlanTable : public ::testing::TestWithParam<PlanCase> {};

TEST_P(PlanTable, OutcomesRowsAttemptsAndTimeFollowTheRules)
{
    const PlanCase& c = GetParam();
    const Simulated s = Simulate(c.entries, c.script, c.pacingMs);
    EXPECT_EQ(s.outcomes, c.outcomes);
    EXPECT_EQ(s.rows, c.rows);
    EXPECT_EQ(s.attempts, c.attempts);
    EXPECT_GE(s.elapsedMs, c.minElapsedMs);
    EXPECT_LE(s.elapsedMs, c.maxElapsedMs);
    EXPECT_EQ(s.stopped, c.stopped);
}

INSTANTIATE_TEST_SUITE_P(RunPlan, PlanTable, ::testing::ValuesIn(PlanCases),
                         [](const auto& info) {
                             std::string name;
                             for (const char* p = info.param.name; *p; ++p)
                                 name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             return name;
                         });

TEST(RunPlan, AbortLeavesDeferredEntriesTemporaryAndTheRestNotSentAndNothingAfter)
{
    TRunPlan plan({{1, "a", true}, {2, "b", true}, {3, "c", true}});
    ASSERT_EQ(plan.Next(0).Index, 0u);
    EXPECT_FALSE(plan.Record(0, TAttempt::Deferred, 5));
    ASSERT_EQ(plan.Next(5).Index, 1u);
    EXPECT_EQ(plan.Record(1, TAttempt::Accepted, 6), TOutcome::Sent);

    EXPECT_EQ(plan.Finish(), (std::vector<size_t>{0, 2}));
    EXPECT_EQ(plan.OutcomeOf(0), TOutcome::Temporary);
    EXPECT_EQ(plan.OutcomeOf(2), TOutcome::NotSent);
    EXPECT_EQ(plan.Next(100'000).What, TPlanStep::Done);
    EXPECT_TRUE(plan.Finish().empty());
    EXPECT_THROW(plan.Record(2, TAttempt::Accepted, 7), Exception);
}

// Rows held back before the run get their outcome and reason at once, are
// never sent, and only 未送信 ones keep the run open for a later one.
TEST(RunPlan, HeldRowsAreSettledBeforeTheRunAndOnlyUnsentOnesKeepItOpen)
{
    struct Case {
        TOutcome held;
        bool heldBack;
    };
    for (const Case c : {Case{TOutcome::NotSent, true}, Case{TOutcome::Duplicate, false},
                         Case{TOutcome::Invalid, false}}) {
        SCOPED_TRACE(OutcomeWord(c.held));
        TRunPlan plan({{1, "a", true}, {2, "b", true}, {3, "c", true}});
        plan.Hold(1, c.held, "why");
        EXPECT_EQ(plan.HeldBack(), c.heldBack);
        EXPECT_EQ(plan.Initial(), std::vector<size_t>{1});
        EXPECT_EQ(NotSentReason(plan.Entries()[1]), "why");
        EXPECT_EQ(plan.Counts()[c.held], 1);
        EXPECT_THROW(plan.Hold(1, c.held, "twice"), Exception);
        ASSERT_EQ(plan.Next(0).Index, 0u);
        EXPECT_EQ(plan.Record(0, TAttempt::Accepted, 1), TOutcome::Sent);
        EXPECT_EQ(plan.Next(2).Index, 2u);  // the held one is skipped
        // Once a message went, nothing more is held back.
        EXPECT_THROW(plan.Hold(2, c.held, "late"), Exception);
        EXPECT_FALSE(IsSettled(c.held));
    }
    EXPECT_EQ(OutcomeFromWord("重複"), TOutcome::Duplicate);
    TOutcomeCounts counts;
    EXPECT_EQ(SummaryText(counts, "j").find("重複"), std::string::npos);
    counts[TOutcome::Duplicate] = 2;
    EXPECT_NE(SummaryText(counts, "j").find("重複 2 件"), std::string::npos);
}

// ---------------------------------------------------------------------------

struct EntryCase {
    std::string entry;
    std::string address;
    std::string name;
    std::string problem;  // empty: sendable
};

TEST(Recipients, EveryFormSplitsAndOnlyUsableAddressesAndCarriedNamesPass)
{
    const EntryCase cases[] = {
        {"taro@example.jp", "taro@example.jp", "", ""},
        {"佐藤 花子 <hanako@example.jp>", "hanako@example.jp", "佐藤 花子", ""},
        {"\"Yamada, Taro\" <taro@example.jp>", "taro@example.jp", "Yamada, Taro", ""},
        {"c0255-1@example.jp (佐藤花子)", "c0255-1@example.jp", "佐藤花子", ""},
        {"  first.last+tag@sub.example.jp  ", "first.last+tag@sub.example.jp", "", ""},
        {"root@[192.0.2.1]", "root@[192.0.2.1]", "", ""},
        {"髙橋 <taka@example.jp>", "taka@example.jp", "髙橋", "名前を送れない文字があります（髙 (U+9AD9)）"},  // refused below
        {"", "", "", "空行"},
        {" \t ", "", "", "空行"},
        {"no address here", "no address here", "", "@ がありません"},
        {"Name <taro@example.jp", "", "Name", "< > が閉じていません"},
        {"a@b@example.jp", "a@b@example.jp", "", "アドレスの形が正しくありません"},
        {".dot@example.jp", ".dot@example.jp", "", "アドレスの形が正しくありません"},
        {"taro@exa mple.jp", "taro@exa mple.jp", "", "アドレスに空白があります"},
        {"taro@", "taro@", "", "アドレスの形が正しくありません"},
        {"@example.jp", "@example.jp", "", "アドレスの形が正しくありません"},
        {"太郎@example.jp", "太郎@example.jp", "", "アドレスに全角文字などがあります"},
        {"taro@example..jp", "taro@example..jp", "", "アドレスの形が正しくありません"},
        {"山田 <>", "", "山田", "アドレスがありません"},
        {"山田,yamada@example.jp", "山田,yamada@example.jp", "", "区切り文字があります（1 行に宛先 1 件）"},
        {"yamada@example.jp\t山田", "yamada@example.jp\t山田", "", "区切り文字があります（1 行に宛先 1 件）"},
        // A name holding brackets of its own: the address is the "<...>" the entry ends with.
        {"<山田> <yamada@example.jp>", "yamada@example.jp", "<山田>", ""},
        {"‹山田> <yamada@example.jp> ", "yamada@example.jp", "‹山田>", ""},
        // What follows ">" would follow the address into the To line.
        {"山田 <b@example.jp>>", "b@example.jp", "山田", "> の後に余分な文字があります"},
        {"<b@example.jp> 山田", "b@example.jp", "", "> の後に余分な文字があります"},
        {"b@example.jp>", "b@example.jp>", "", "< のない > があります"},
        {"山田 <b@example.jp>  ", "b@example.jp", "山田", ""},
    };
    std::vector<std::string> lines;
    for (const EntryCase& c : cases)
        lines.push_back(c.entry);
    std::vector<std::string> asked;
    const auto checked = CheckRecipients(lines, [&](const std::string& name) {
        asked.push_back(name);
        return name.find("髙") == std::string::npos ? std::string() : std::string("髙 (U+9AD9)");
    });
    ASSERT_EQ(checked.size(), std::size(cases));
    for (size_t i = 0; i < checked.size(); ++i) {
        SCOPED_TRACE(cases[i].entry);
        EXPECT_EQ(checked[i].Line, static_cast<int>(i) + 1);
        EXPECT_EQ(checked[i].Entry, cases[i].entry);
        EXPECT_EQ(checked[i].Address, cases[i].address);
        EXPECT_EQ(checked[i].Name, cases[i].name);
        EXPECT_EQ(checked[i].Problem, cases[i].problem);
    }
    // Only names of usable entries reach the charset check.
    EXPECT_EQ(asked, (std::vector<std::string>{"佐藤 花子", "Yamada, Taro", "佐藤花子", "髙橋", "<山田>", "‹山田>", "山田"}));
    std::vector<TPlanEntry> entries;
    for (const TRecipient& r : checked)
        entries.push_back({r.Line, r.Entry, r.Sendable(), r.Sendable() ? nullptr : r.Problem.c_str()});
    EXPECT_EQ(InvalidText(entries), "宛先不正 18 件（7 行目: 名前を送れない文字があります（髙 (U+9AD9)）、8 行目: 空行、9 行目: 空行、…）");
    EXPECT_EQ(InvalidText({{1, "a@b.jp", true}}), "");
}

}  // namespace
