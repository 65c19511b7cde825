// How a value is kept on one line of a run's side file; shared by the
// journal's writer and its reader, not part of the engine's face.
#pragma once

#include <string>
#include <string_view>

namespace journal_detail {

// A side file that no run of this program wrote as it stands.
struct EBadSideFile {};

// Side-file values are one line each: backslash escapes for the line ends,
// the backslash and the other control bytes.
std::string Escape(std::string_view s);
// Escape's value back; EBadSideFile for a broken \x escape.
std::string Unescape(std::string_view s);

}  // namespace journal_detail
