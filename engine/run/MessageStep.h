// One message to one entry as the bulk run sees it: the SMTP component's
// SendMail, with every refusal and break turned into how the try ended.
#pragma once

#include <exception>
#include <functional>
#include <string>

#include "engine/run/BulkRun.h"
#include "net/Psock.h"

class TNMSMTP;

class TMessageStep {
public:
    // Takes the component's OnBeforeDot for as long as it lives; how far
    // each message got it reads from the component's MailProgress.
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
    // SendMail and its end as an attempt; BeforeDot's failure aside.
    TAttemptResult Attempt();

    TNMSMTP& smtp_;
    std::exception_ptr beforeDotFailure_;
};
