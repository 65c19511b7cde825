// The SMTP component measured from outside: bench/run.py starts the server
// (Postfix's smtp-sink, or a silent listener) and runs this program pinned to
// its own processor. Each mode prints one "result" line (bench/Measure.h).
//
//   component send HOST PORT COUNT    COUNT messages of about 1 KB, one connection
//   component attach HOST PORT FILE   one message with FILE attached (peak memory)
//   component encode FILE             AssembleMail with FILE attached, no network
//   component silent HOST PORT SECS   the greeting wait on a server that says nothing
//   component secure HOST PORT COUNT LOGIN PASSWORD [one]
//                                     STARTTLS and a login, then COUNT messages,
//                                     pipelined unless "one"; timed from before the
//                                     connect, as the window is from its click, and
//                                     to the first message accepted as well

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench/BenchMessage.h"
#include "bench/Measure.h"
#include "smtp/NMsmtp.h"

namespace {

void Prepare(TNMSMTP& smtp, const char* host, const char* port)
{
    smtp.Host = host;
    smtp.Port = static_cast<uint16_t>(std::atoi(port));
    smtp.TimeOut = 30000;
    smtp.UserID = "bench.example.com";
    smtp.PostMessage->FromAddress = "sender@example.com";
    smtp.PostMessage->Subject = "Benchmark";
    for (const std::string& line : bench::BodyLines())
        smtp.PostMessage->Body->Add(line);
}

int Send(const char* host, const char* port, long count)
{
    TNMSMTP smtp(nullptr);
    Prepare(smtp, host, port);
    smtp.Connect();
    const auto a = bench::Now();
    for (long i = 0; i < count; ++i) {
        smtp.PostMessage->ToAddress->Add("rcpt" + std::to_string(i) + "@example.com");
        smtp.SendMail();
    }
    const auto b = bench::Now();
    smtp.Disconnect();
    bench::Report("send", count, a, b);
    return 0;
}

int Secure(const char* host, const char* port, long count, const char* login, const char* password, bool pipelining)
{
    TNMSMTP smtp(nullptr);
    Prepare(smtp, host, port);
    smtp.Security = ssStartTls;
    smtp.Login = login;
    smtp.Password = password;
    smtp.Pipelining = pipelining;
    long next = 0;
    auto load = [&smtp](long i) {
        smtp.PostMessage->ToAddress->Clear();
        smtp.PostMessage->ToAddress->Add("rcpt" + std::to_string(i) + "@example.com");
    };
    smtp.OnNextMessage = [&] {
        if (next + 1 >= count)
            return false;
        load(next + 1);
        return true;
    };
    const auto start = bench::Now();
    smtp.Connect();
    double first = 0;
    for (; next < count; ++next) {
        load(next);
        smtp.SendMail();
        if (next == 0)
            first = bench::Now().wall - start.wall;
    }
    const auto b = bench::Now();
    smtp.Disconnect();
    std::printf("first ms=%.3f\n", first * 1000);
    bench::Report("secure", count, start, b);
    return 0;
}

int Attach(const char* host, const char* port, const char* file)
{
    TNMSMTP smtp(nullptr);
    Prepare(smtp, host, port);
    smtp.Connect();
    const long before = bench::PeakKiB();
    const auto a = bench::Now();
    smtp.PostMessage->ToAddress->Add("rcpt@example.com");
    smtp.PostMessage->Attachments->Add(file);
    smtp.SendMail();
    const auto b = bench::Now();
    smtp.Disconnect();
    std::printf("baseline hwm_kib=%ld\n", before);
    bench::Report("attach", 1, a, b);
    return 0;
}

// Reaches AssembleMail's result size without sending it.
class EncodeOnly : public TNMSMTP {
public:
    using TNMSMTP::TNMSMTP;
    long BodySize() { return BodyStream->Size(); }
};

int Encode(const char* file)
{
    EncodeOnly smtp(nullptr);
    smtp.PostMessage->Attachments->Add(file);
    const auto a = bench::Now();
    smtp.AssembleMail();
    const auto b = bench::Now();
    std::printf("body bytes=%ld\n", smtp.BodySize());
    bench::Report("encode", 1, a, b);
    return 0;
}

int Silent(const char* host, const char* port, int seconds)
{
    TNMSMTP smtp(nullptr);
    Prepare(smtp, host, port);
    smtp.TimeOut = seconds * 1000;
    const auto a = bench::Now();
    std::string outcome = "greeting";
    try {
        smtp.Connect();
    } catch (const std::exception& e) {
        outcome = e.what();
    }
    const auto b = bench::Now();
    std::printf("outcome %s\n", outcome.c_str());
    bench::Report("silent", seconds, a, b);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    try {
        if (mode == "send" && argc == 5)
            return Send(argv[2], argv[3], std::atol(argv[4]));
        if (mode == "attach" && argc == 5)
            return Attach(argv[2], argv[3], argv[4]);
        if (mode == "encode" && argc == 3)
            return Encode(argv[2]);
        if (mode == "secure" && (argc == 7 || argc == 8))
            return Secure(argv[2], argv[3], std::atol(argv[4]), argv[5], argv[6], argc == 7);
        if (mode == "silent" && argc == 5)
            return Silent(argv[2], argv[3], std::atoi(argv[4]));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "component %s: %s\n", mode.c_str(), e.what());
        return 1;
    }
    std::fprintf(stderr, "usage: component send|attach|encode|silent|secure ... (see the source)\n");
    return 2;
}
