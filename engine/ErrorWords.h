// Japanese words for the texts of the protocol components. Those texts stay
// English (callers compare them); the error box shows what they mean and
// what to do first, the text itself after it.
#pragma once

#include <string>

// The explanation for a component's error text, empty for a text it does
// not know (a Japanese text of the application, say), which is shown alone.
std::string ExplainError(const std::string& Text);
// What the error box shows for Text: the explanation, a blank line and the
// text; the text alone when there is no explanation, and the explanation
// alone when it already quotes the text (a server's reply).
std::string ErrorBoxText(const std::string& Text);
