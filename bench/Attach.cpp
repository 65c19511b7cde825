// The engine without a window sends FILE attached to COUNT recipients over
// one connection to HOST:PORT (HELO, as the window's plain session), timed
// from Send to the run's end; the peak memory is reported beside the
// memory before the Send.
//
//   attach HOST PORT COUNT FILE
//
// The settings and the journal go in a new folder under /tmp.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <QCoreApplication>

#include "bench/Measure.h"
#include "engine/run/FrontEnd.h"
#include "engine/run/SendEngine.h"
#include "engine/run/SendRun.h"

namespace {

// Answers yes to everything and remembers how the run ended.
class TBenchFrontEnd : public TRunFrontEnd {
public:
    TResumeChoice AskResume(const std::vector<TPlanEntry>&, const TResumePoint&) override { return rcRestart; }
    bool ConfirmRun(const TRunOutline&) override { return true; }
    std::optional<std::string> AskPassword(const std::string&, const std::string&) override { return std::nullopt; }
    bool ContinueDespiteDomain(const std::string&) override { return true; }
    bool TrustCertificate(const tls::ECertificateError&, const std::string&, const std::string&) override
    {
        return false;
    }
    void Inform(const std::string&) override {}
    void Status(const std::string&) override {}
    void Notice(const std::string&) override {}
    void Starting() override {}
    void Counts(const TRunPlan&) override {}
    void Progress(int Sent, int) override { sent = Sent; }
    void Waiting(TWait, int64_t) override {}
    void Summary(const TRunSummary& Summary) override { failure = Summary.Failure; }
    void Failure(const std::exception& E) override { failure = E.what(); }
    void Ended() override {}

    int sent = 0;
    std::string failure;
};

void WriteFile(const std::string& Path, const std::string& Bytes)
{
    std::ofstream(Path, std::ios::binary | std::ios::trunc) << Bytes;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: attach HOST PORT COUNT FILE\n");
        return 2;
    }
    QCoreApplication app(argc, argv);
    const long count = std::atol(argv[3]);
    std::string pattern = "/tmp/veltrow-bench-XXXXXX";
    const char* folder = ::mkdtemp(pattern.data());
    if (!folder)
        return 2;
    const std::string profile = folder;
    WriteFile(profile + "/設定.txt", std::string(argv[1]) + "\r\n" + argv[2] +
                                         "\r\nbench.example.com\r\nBench\r\nsender@example.com\r\n");
    std::string list;
    for (long i = 0; i < count; ++i)
        list += "rcpt" + std::to_string(i) + "@example.com\r\n";
    WriteFile(profile + "/list.txt", list);

    TBenchFrontEnd ui;
    TSendEngine engine(ui, TProfile{profile});
    engine.Run().ReconnectDelaysMs = {};
    TSendRequest request;
    request.RecipientFile = profile + "/list.txt";
    request.Subject = "Bench";
    request.Body = "The attached file.\n";
    request.Attachments = {argv[4]};

    const long before = bench::PeakKiB();
    const auto a = bench::Now();
    try {
        engine.Send(request);
    } catch (const std::exception& e) {
        ui.failure = e.what();
    }
    const auto b = bench::Now();
    std::filesystem::remove_all(profile);
    if (ui.sent != count || !ui.failure.empty()) {
        std::fprintf(stderr, "sent %d of %ld: %s\n", ui.sent, count, ui.failure.c_str());
        return 1;
    }
    std::printf("baseline hwm_kib=%ld\n", before);
    bench::Report("attach-run", count, a, b);
    return 0;
}
