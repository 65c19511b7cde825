// The charset a message goes out in, chosen per message.
#pragma once

// Settings line 8: "auto", "iso-2022-jp" or "utf-8".
enum TMailCharset {
    mcAuto,       // ISO-2022-JP when every character is strict JIS X 0208, else UTF-8
    mcIso2022Jp,  // always ISO-2022-JP; a message it cannot carry is refused
    mcUtf8,       // always UTF-8, the text exactly as typed
};
