#include "engine/MessageStep.h"

#include <algorithm>

#include "smtp/NMsmtp.h"

namespace {

// The component reports the start of every command exchange and of the
// body's stream at this level.
constexpr int32_t StepReportLevel = 8;

std::string WithoutLineEnd(std::string s)
{
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
        s.pop_back();
    return s;
}

// The server's whole reply when the failure carries it, else its text.
std::string WholeReply(const Exception& e)
{
    const auto* smtp = dynamic_cast<const ESmtpError*>(&e);
    if (!smtp || smtp->Lines().empty())
        return WithoutLineEnd(e.Message());
    std::string text;
    for (const std::string& line : smtp->Lines())
        text += line;
    return WithoutLineEnd(text);
}

}  // namespace

TMessageStep::TMessageStep(TNMSMTP& Smtp)
    : smtp_(Smtp),
      oldSendStart_(Smtp.OnSendStart),
      oldStatus_(Smtp.OnStatus),
      oldRecipientNotFound_(Smtp.OnRecipientNotFound),
      oldReportLevel_(Smtp.ReportLevel)
{
    smtp_.ReportLevel = std::max(oldReportLevel_, StepReportLevel);
    smtp_.OnSendStart = [this](TObject* Sender) {
        started_ = true;
        if (oldSendStart_)
            oldSendStart_(Sender);
    };
    smtp_.OnStatus = [this](TComponent* Sender, const std::string& Status) {
        // The exchange that follows the body's stream is the final dot's.
        if (Status == "SendStream")
            inBody_ = true;
        else if (Status == "Transaction" && inBody_ && !beforeDotFailure_) {
            try {
                if (BeforeDot)
                    BeforeDot();
                dotSent_ = true;
            } catch (...) {
                // A status report cannot raise: the cancel stops the "."
                // and Send raises this instead.
                beforeDotFailure_ = std::current_exception();
                smtp_.Cancel();
            }
        }
        if (oldStatus_)
            oldStatus_(Sender, Status);
    };
    smtp_.OnRecipientNotFound = [this](const std::string& Recipient) {
        rcptCode_ = smtp_.ReplyCode;
        rcptReply_ = ReplyText(smtp_.LastRecipientReply);
        if (oldRecipientNotFound_)
            oldRecipientNotFound_(Recipient);
    };
}

TMessageStep::~TMessageStep()
{
    smtp_.OnSendStart = oldSendStart_;
    smtp_.OnStatus = oldStatus_;
    smtp_.OnRecipientNotFound = oldRecipientNotFound_;
    smtp_.ReportLevel = oldReportLevel_;
}

TAttemptResult TMessageStep::Send()
{
    started_ = inBody_ = dotSent_ = false;
    beforeDotFailure_ = nullptr;
    rcptCode_ = 0;
    rcptReply_.clear();
    auto broken = [this] { return dotSent_ ? TAttempt::BrokenAfterDot : TAttempt::BrokenBeforeDot; };
    try {
        smtp_.SendMail();
        // Once the "." went out, only a clear verdict settles the message:
        // a 3xx to it says neither that it arrived nor that it did not.
        if (dotSent_ && smtp_.ReplyCode / 100 != 2)
            return {TAttempt::BrokenAfterDot, WithoutLineEnd(smtp_.LastReply), nullptr};
        return {TAttempt::Accepted, WithoutLineEnd(smtp_.LastReply), nullptr};
    } catch (const EAbortError&) {
        if (beforeDotFailure_)
            std::rethrow_exception(beforeDotFailure_);
        return {broken(), "", std::current_exception()};
    } catch (const ESockError&) {
        return {broken(), "", nullptr};
    } catch (const Exception& e) {
        // Before the first command the failure is the message's own (a file,
        // the header): no server said anything about it.
        if (!started_)
            throw;
        // A refused recipient decides, whatever DATA then said about a
        // transaction without one.
        if (rcptCode_ >= 400)
            return {rcptCode_ < 500 ? TAttempt::Deferred : TAttempt::RecipientRefused, rcptReply_, nullptr};
        // Only a well-formed 4xx or 5xx is the server's verdict. Anything
        // else (a close, no code, a code out of range) leaves the session in
        // an unknown state: a break, which after the "." leaves the message
        // 不明, as the server may have stored it.
        const auto* smtp = dynamic_cast<const ESmtpError*>(&e);
        if (!smtp || !ReplyWellFormed(smtp->Reply()) || smtp->Code() < 400)
            return {broken(), smtp && dotSent_ && !smtp->Lines().empty() ? WholeReply(e) : "", nullptr};
        return {smtp->Code() < 500 ? TAttempt::Deferred : TAttempt::MessageRefused, WholeReply(e), nullptr};
    }
}
