// Header values of the message record that need more than copying: the
// Message-ID, display names, and the check that keeps a value on its line.
#pragma once

#include <string>

class TPostMessage;

// A new Message-ID "<unique@domain>" (RFC 5322 3.6.4). The domain is the
// one of FromAddress (after its last "@") when that is a plain domain, else
// this host's name. Unique across calls and processes: time, process id, a
// counter and random bits.
std::string NewMessageID(const std::string& FromAddress);

// Name as an RFC 5322 display name: unchanged when it holds no special
// character (encoded words hold none), else as a quoted string. Blanks
// around the name stay outside the quotes; a name already quoted stays.
std::string DisplayName(const std::string& Name);

// Raises Exception naming the field when a value holds CR or LF other than
// a header fold (CR LF and a blank): it would end its line and start header
// lines or commands of the caller's choosing. Values that go into the
// envelope (the sender, every recipient address, blind copies) may not be
// folded at all.
void CheckHeaderValues(const TPostMessage& Message);
