// Japanese words for the texts of the protocol components. Those texts stay
// English (callers compare them); the error box shows what they mean and
// what to do first, the text itself after it.
#pragma once

#include <string>

// "host:port" of the settings for the texts below ("[::1]:25" for an IPv6
// address); empty without a host.
std::string ServerText(const std::string& Host, const std::string& Port);

// The explanation for a component's error text, empty for a Japanese text
// of the application, which is shown alone. Server (ServerText), when
// given, is named in the texts of a connection that failed, with what to
// check. A failed login says which fields of the Settings window to mend.
std::string ExplainError(const std::string& Text, const std::string& Server = {});
// What the error box shows for Text: the explanation, a blank line and the
// text; the explanation alone when it already quotes the text (a server's
// reply); a Japanese text alone, and an English one nobody explains after a
// sentence that says an error happened.
std::string ErrorBoxText(const std::string& Text, const std::string& Server = {});
