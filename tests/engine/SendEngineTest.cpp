// The engine driven through a front end of the test's own, with its profile
// folder: no window, no box, and the process's working folder untouched.

#include <filesystem>

#include "engine/list/Recipients.h"
#include "engine/plan/RunPlan.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/support/ScriptedPeer.h"

namespace enginetest {
namespace {

using testsupport::SmtpSink;

class SendEngineTest : public EngineTest {};

TEST_F(SendEngineTest, ARunKeepsEverythingInItsProfileAndTellsItsFrontEnd)
{
    SmtpSink::Options options;
    options.RefuseRcpt = {"refused"};
    SmtpSink sink(options);
    WriteSettings(sink.Port());
    const auto cwd = std::filesystem::current_path();
    const bool settingsHereBefore = std::filesystem::exists(cwd / "設定.txt");

    // A Hangul name needs UTF-8; the rest goes as ISO-2022-JP.
    engine->Send(Request("a@example.jp\r\nrefused@example.jp\r\nA@EXAMPLE.JP\r\n김 <a@example.jp>\r\n"));

    ASSERT_EQ(ui.Confirmations.size(), 1u);
    EXPECT_EQ(ui.Confirmations[0].Messages, 4);
    EXPECT_EQ(ui.Confirmations[0].Addresses, 2);  // one address thrice, as the box counts them
    EXPECT_EQ(ui.Confirmations[0].Utf8, 1);
    ASSERT_EQ(ui.Summaries.size(), 1u);
    const auto& summary = ui.Summaries[0];
    EXPECT_EQ(summary.Counts[TOutcome::Sent], 3);
    EXPECT_EQ(summary.Utf8, 1);
    EXPECT_EQ(summary.Counts[TOutcome::Refused], 1);
    EXPECT_EQ(summary.Failure, "");
    EXPECT_EQ(std::filesystem::path(summary.JournalPath).parent_path(),
              std::filesystem::path(profile.Path()) / "送信記録");
    EXPECT_TRUE(std::filesystem::exists(summary.JournalPath));
    EXPECT_EQ(ui.Progressed, (std::vector<std::string>{"1/4", "2/4", "3/4"}));
    EXPECT_EQ(ui.Starts, 1);
    EXPECT_EQ(ui.Ends, 1);
    ASSERT_TRUE(sink.WaitForMessages(3));
    EXPECT_EQ(sink.Message(0).MailFrom, "taro@example.jp");
    // Nothing of the run landed in the process's own folder.
    EXPECT_EQ(std::filesystem::exists(cwd / "設定.txt"), settingsHereBefore);
    EXPECT_EQ(std::filesystem::current_path(), cwd);
}

TEST_F(SendEngineTest, AnsweringNoStopsTheSendBeforeAnythingConnects)
{
    struct Case {
        const char* name;
        bool confirm;
        TResumeChoice resume;
        size_t confirmations;  // the resume question comes first
    };
    const Case cases[] = {
        {"the confirmation declined", false, rcContinue, 1},
        {"the resume question cancelled", true, rcCancel, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(std::filesystem::path(profile.Path()) / "送信記録");
        ui = TTestFrontEnd();
        // An earlier run of the same list stopped after its first entry.
        const TSendRequest request = Request("a@example.jp\r\nb@example.jp\r\n");
        SendStoppedAfterFirst(request);
        testsupport::ScriptedPeer peer;  // says nothing: a connect would fail the Send
        peer.ExpectClose();
        peer.Start();
        WriteSettings(peer.Port());
        ui = TTestFrontEnd();
        ui.Confirm = c.confirm;
        ui.Resume = c.resume;
        EXPECT_EQ(SendFailure(request), "");
        EXPECT_EQ(ui.Questions.size(), 1u);
        EXPECT_EQ(ui.Confirmations.size(), c.confirmations);
        EXPECT_TRUE(ui.Summaries.empty());
        EXPECT_EQ(peer.Connections(), 0);
    }
}

// The check, the To line and the envelope read an entry alike: blanks around
// the address, inside the brackets too, go nowhere.
TEST_F(SendEngineTest, EveryEntryGoesOutWithItsBareAddress)
{
    struct Case {
        std::string entry;
        std::string to;  // the To line after "To: "
    };
    const Case cases[] = {
        {"Taro < taro@example.jp >", "Taro <taro@example.jp>"},
        {"\"Jiro, Sato\" <\tjiro@example.jp>", "\"Jiro, Sato\" <jiro@example.jp>"},
        {"hanako@example.jp (Hanako)", "Hanako <hanako@example.jp>"},
        {"  saburo@example.jp\t", "saburo@example.jp"},
    };
    SmtpSink sink;
    WriteSettings(sink.Port());
    std::string list;
    for (const Case& c : cases)
        list += c.entry + "\r\n";
    engine->Send(Request(list));
    ASSERT_TRUE(sink.WaitForMessages(std::size(cases)));
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].entry);
        const testsupport::SinkMessage m = sink.Message(i);
        std::string name, address;
        SplitEntry(cases[i].entry, name, address);
        EXPECT_EQ(m.RcptTos, std::vector<std::string>{address});
        EXPECT_NE(m.Data.find("\nTo: " + cases[i].to + "\r\n"), std::string::npos) << m.Data;
    }
}

// The same through a peer that reads every byte: the envelope's exact lines.
TEST_F(SendEngineTest, TheEnvelopeCarriesNoBlankInsideTheBrackets)
{
    testsupport::ScriptedPeer peer;
    peer.SendLine("220 peer").Expect("HELO pc01").SendLine("250 ok");
    for (const char* address : {"taro@example.jp", "saburo@example.jp"}) {
        peer.Expect("RSET").SendLine("250 ok").Expect("MAIL FROM:<taro@example.jp>").SendLine("250 ok");
        peer.Expect("RCPT TO:<" + std::string(address) + ">").SendLine("250 ok").Expect("DATA").SendLine("354 go");
        peer.ExpectUntil("\r\n.\r\n").SendLine("250 queued");
    }
    peer.Expect("QUIT").SendLine("221 bye").Close();
    peer.Start();
    WriteSettings(peer.Port());
    engine->Send(Request("Taro < taro@example.jp >\r\n  saburo@example.jp\t\r\n"));
    ASSERT_TRUE(peer.WaitDone());
    EXPECT_TRUE(peer.ScriptUsedUp()) << peer.Failure();
}

}  // namespace
}  // namespace enginetest
