#include "engine/run/MessageStep.h"

#include <optional>

#include "smtp/NMsmtp.h"
#include "rtl/SysUtils.h"

namespace {

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

TMessageStep::TMessageStep(TNMSMTP& Smtp) : smtp_(Smtp)
{
    smtp_.OnBeforeDot = [this] {
        try {
            if (BeforeDot)
                BeforeDot();
        } catch (...) {
            // Raised again as it is, whatever the component makes of it.
            beforeDotFailure_ = std::current_exception();
            throw;
        }
    };
}

TMessageStep::~TMessageStep() { smtp_.OnBeforeDot = nullptr; }

TAttemptResult TMessageStep::Send()
{
    beforeDotFailure_ = nullptr;
    std::optional<TAttemptResult> result;
    std::exception_ptr failure;
    try {
        result = Attempt();
    } catch (...) {
        failure = std::current_exception();
    }
    // Whatever the component made of it, the run gets what BeforeDot raised.
    if (beforeDotFailure_)
        std::rethrow_exception(beforeDotFailure_);
    if (failure)
        std::rethrow_exception(failure);
    return *result;
}

TAttemptResult TMessageStep::Attempt()
{
    const TNMSMTP::TMailProgress& progress = smtp_.MailProgress();
    auto broken = [&progress] { return progress.DotSent ? TAttempt::BrokenAfterDot : TAttempt::BrokenBeforeDot; };
    try {
        smtp_.SendMail();
        // Once the "." went out, only a clear verdict settles the message:
        // a 3xx to it says neither that it arrived nor that it did not.
        if (progress.DotSent && smtp_.ReplyCode / 100 != 2)
            return {TAttempt::BrokenAfterDot, WithoutLineEnd(smtp_.LastReply), nullptr};
        return {TAttempt::Accepted, WithoutLineEnd(smtp_.LastReply), nullptr};
    } catch (const EAbortError&) {
        return {broken(), "", std::current_exception()};
    } catch (const ESockError&) {
        return {broken(), "", nullptr};
    } catch (const Exception& e) {
        // Before the first command the failure is the message's own (a file,
        // the header): no server said anything about it.
        if (!progress.Started)
            throw;
        // A refused recipient decides, whatever DATA then said about a
        // transaction without one.
        const int rcptCode = progress.RecipientRefusalCode;
        if (rcptCode >= 400)
            return {rcptCode < 500 ? TAttempt::Deferred : TAttempt::RecipientRefused,
                    ReplyText(progress.RecipientRefusal), nullptr};
        // Only a well-formed 4xx or 5xx is the server's verdict. Anything
        // else (a close, no code, a code out of range) leaves the session in
        // an unknown state: a break, which after the "." leaves the message
        // 不明, as the server may have stored it.
        const auto* smtp = dynamic_cast<const ESmtpError*>(&e);
        if (!smtp || !ReplyWellFormed(smtp->Reply()) || smtp->Code() < 400)
            return {broken(), smtp && progress.DotSent && !smtp->Lines().empty() ? WholeReply(e) : "", nullptr};
        return {smtp->Code() < 500 ? TAttempt::Deferred : TAttempt::MessageRefused, WholeReply(e), nullptr};
    }
}
