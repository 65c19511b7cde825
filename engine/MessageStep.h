// One message to one entry as the bulk run sees it: the SMTP component's
// SendMail, with every refusal and break turned into how the try ended.
#pragma once

#include <exception>
#include <functional>
#include <string>

#include "engine/BulkRun.h"
#include "net/Psock.h"

class TNMSMTP;

class TMessageStep {
public:
    // Takes the component's OnSendStart, OnStatus and OnRecipientNotFound
    // for as long as it lives (handlers set before are still called), and
    // the status reports it needs to see when "." goes out.
    explicit TMessageStep(TNMSMTP& Smtp);
    ~TMessageStep();
    TMessageStep(const TMessageStep&) = delete;
    TMessageStep& operator=(const TMessageStep&) = delete;

    // SendMail for the message as PostMessage holds it. A 4xx anywhere is
    // Deferred; a 5xx at RCPT RecipientRefused, elsewhere MessageRefused; a
    // close, reset or time-out is a break, after "." once the final dot's
    // exchange has begun. After "." anything but a well-formed 2xx, 4xx or
    // 5xx is a break too: the message may have been stored. Abort is a break too and is raised again once the
    // run has recorded it. Anything else (a file that cannot be read, a
    // header the component refuses) is raised.
    TAttemptResult Send();

    // Called just before the final "." goes out, when nothing of the message
    // can have been delivered yet. What it raises cancels the message (the
    // connection is closed) and Send raises it again.
    std::function<void()> BeforeDot;

private:
    TNMSMTP& smtp_;
    TNotifyEvent oldSendStart_;
    TOnStatus oldStatus_;
    std::function<void(const std::string&)> oldRecipientNotFound_;
    int32_t oldReportLevel_;
    // Where the transaction in hand stands: the body began, the "." went out.
    bool started_ = false;  // the commands began
    bool inBody_ = false;
    bool dotSent_ = false;
    std::exception_ptr beforeDotFailure_;
    int rcptCode_ = 0;
    std::string rcptReply_;
};
