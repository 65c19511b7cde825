// A DNS server of the test's own (dns_server.py) on a loopback address of
// its own, port 53, for the sender domain's check.
#pragma once

#include <gtest/gtest.h>

#include <QProcess>
#include <QStringList>

#include <string>

#include "engine/account/DomainCheck.h"

namespace testsupport {

class DnsServer {
public:
    explicit DnsServer(const QStringList& args)
    {
        process_.start(VELTROW_PYTHON, QStringList{VELTROW_SOURCE_DIR "/tests/engine/dns_server.py"} + args);
        // Bounded by the process: it prints its address or ends.
        while (process_.state() != QProcess::NotRunning && !process_.canReadLine())
            process_.waitForReadyRead(1000);
        address_ = QString::fromUtf8(process_.readLine()).trimmed().toStdString();
        if (address_.empty())
            process_.waitForFinished(5000);
        denied_ = address_.empty() && process_.exitCode() == 77;
        if (address_.empty() && !denied_)
            ADD_FAILURE() << "dns_server.py: " << process_.readAllStandardError().toStdString();
    }
    // Port 53 is not ours to bind (no root): the check cannot be tried here.
    bool Denied() const { return denied_; }
    ~DnsServer()
    {
        process_.closeWriteChannel();
        if (!process_.waitForFinished(10000))
            process_.kill();
        process_.waitForFinished();
    }
    TDnsOptions Options() const { return {address_, 5000}; }

private:
    QProcess process_;
    std::string address_;
    bool denied_ = false;
};

}  // namespace testsupport
