// The real-server test helper itself, driven by Python's smtplib as client.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "tests/support/SmtpSink.h"

using testsupport::RunPython;
using testsupport::SmtpSink;

TEST(SmtpSink, StoresMessagesWithTheirEnvelope)
{
    std::string folder;
    {
        SmtpSink::Options options;
        options.RefuseRcpt = {"refuse"};
        SmtpSink sink(options);
        folder = sink.Folder();
        EXPECT_FALSE(sink.WaitForMessages(1, 50));
        const auto result = RunPython(R"(
import smtplib, sys
s = smtplib.SMTP('127.0.0.1', int(sys.argv[1]))
s.helo('client.test')
print(s.sendmail('a@example.test', ['b@example.test', 'refuse@example.test'],
                 b'Subject: one\r\n\r\n..dotted\r\nbody\r\n'))
s.sendmail('c@example.test', ['d@example.test'], b'Subject: two\r\n\r\nx\r\n')
s.quit()
)",
                                      {std::to_string(sink.Port())});
        ASSERT_EQ(result.ExitCode, 0) << result.Output;
        EXPECT_NE(result.Output.find("'refuse@example.test': (550"), std::string::npos) << result.Output;
        ASSERT_TRUE(sink.WaitForMessages(2)) << sink.ServerLog();
        const auto messages = sink.Messages();
        ASSERT_EQ(messages.size(), 2u);
        EXPECT_EQ(messages[0].Helo, "client.test");
        EXPECT_EQ(messages[0].MailFrom, "a@example.test");
        EXPECT_EQ(messages[0].RcptTos, std::vector<std::string>({"b@example.test"}));
        // smtplib doubled the dot on the wire; the server took it off again.
        EXPECT_EQ(messages[0].Data, "Subject: one\r\n\r\n..dotted\r\nbody\r\n");
        EXPECT_EQ(messages[1].RcptTos, std::vector<std::string>({"d@example.test"}));
        EXPECT_THROW(sink.Message(2), std::out_of_range);
    }
    struct stat st;
    EXPECT_NE(stat(folder.c_str(), &st), 0) << "folder left behind";
}

TEST(SmtpSink, RunPythonReportsExitCodesAndEndsRunawayScripts)
{
    EXPECT_EQ(RunPython("import sys; print('out'); sys.exit(3)").ExitCode, 3);
    EXPECT_EQ(RunPython("print('hello', end='')").Output, "hello");
    EXPECT_EQ(RunPython("import time; time.sleep(30)", {}, 200).ExitCode, -1);
}
