// SMTP AUTH (RFC 4954) with the SASL mechanisms a submission server offers.
//
// A mechanism turns credentials into the responses of one exchange; the
// choice walks a preference table, so a mechanism such as XOAUTH2 joins as
// one class and one table row. Authenticate runs the exchange over any
// command-and-reply channel, so it is tested without a socket.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "rtl/Exception.h"

namespace sasl {

struct Credentials {
    Credentials() = default;
    Credentials(std::string login, std::string password, std::string accessToken = {})
        : Login(std::move(login)), Password(std::move(password)), AccessToken(std::move(accessToken))
    {
    }

    std::string Login;
    std::string Password;
    // An OAuth 2.0 access token: with it only XOAUTH2 is chosen, the
    // password plays no part.
    std::string AccessToken;
};

// One client mechanism. Challenges and responses are raw bytes; SMTP carries
// them in base 64.
class Mechanism {
public:
    virtual ~Mechanism() = default;
    virtual std::string Name() const = 0;
    // Sent with the AUTH command itself; nullopt waits for the first challenge.
    virtual std::optional<std::string> Initial() const = 0;
    // The answer to challenge number step (0 first); throws ESaslError when
    // the mechanism has no answer for it.
    virtual std::string Respond(const std::string& challenge, int step) const = 0;
};

// The first mechanism of our preference (XOAUTH2 with a token; PLAIN, then
// LOGIN without one) that offered
// names (the words of the EHLO AUTH line, any case) and that works with
// credentials; nullptr when there is none.
std::unique_ptr<Mechanism> Choose(const std::vector<std::string>& offered, const Credentials& credentials);

// The exchange went wrong on our side of it (a challenge we cannot answer,
// not base 64, too many rounds).
class ESaslError : public Exception {
public:
    using Exception::Exception;
};

// The server refused the login. Message() shows its reply and says in
// Japanese what that usually means.
class EAuthError : public Exception {
public:
    EAuthError(int code, std::string reply);
    int Code() const { return code_; }
    const std::string& Reply() const { return reply_; }

private:
    int code_;
    std::string reply_;
};

// A reply as the channel gives it: the code and the text after "334 ".
struct Step {
    int Code = 0;
    std::string Text;  // the last line's text
    std::string Line;  // the whole last line, for messages
};

// Sends one command line (without its line end) and returns the reply.
using Channel = std::function<Step(const std::string& line)>;

// Runs AUTH with mechanism over channel until 235. Throws EAuthError for a
// refusal (the server's reply and its meaning), ESaslError when we cannot go
// on (having cancelled the exchange with "*" where the server waits).
void Authenticate(const Mechanism& mechanism, const Channel& channel);

std::string Base64Encode(std::string_view bytes);
// Strict: nullopt for anything that is not base 64.
std::optional<std::string> Base64Decode(std::string_view text);

}  // namespace sasl
