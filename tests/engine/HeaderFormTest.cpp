// Names and file names through the engine to aiosmtpd, read back by Python's
// email package with the strict policy: what a reader shows must be exactly
// what the list and the folder said, on lines a server passes unchanged.

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "tests/engine/EngineTestSupport.h"

namespace enginetest {
namespace {

using testsupport::SmtpSink;

// Per message: From and To as decoded, the attachment's name from filename*
// and from the RFC 2047 filename= (both must agree), its charset, whether
// that filename= is in ISO-2022-JP words, the longest line, whether a
// header holds a control byte and whether a name runs into its "<". The strict policy parses the structure and
// the addresses; names are decoded as RFC 2047 6.2 says (the blank between
// two encoded words dropped), which that policy's phrase parser does not.
const char* const kReadScript = R"(
import email, email.header, email.policy, email.utils, json, re, sys
def name(raw, field):
    text = email.message_from_bytes(raw, policy=email.policy.compat32)[field]
    return str(email.header.make_header(email.header.decode_header(email.utils.parseaddr(text)[0])))
out = []
for path in sys.argv[1:]:
    raw = open(path, 'rb').read()
    msg = email.message_from_bytes(raw, policy=email.policy.strict)
    part = next(msg.iter_attachments(), None)
    words = None
    if part is not None:
        old = email.message_from_bytes(raw, policy=email.policy.compat32).get_payload()[1]
        plain = [v for k, v in old.get_params(header='content-disposition') if k == 'filename' and not isinstance(v, tuple)]
        words = str(email.header.make_header(email.header.decode_header(plain[0]))) if plain else None
    head = raw.split(b'\r\n\r\n')[0]
    out.append({'from': name(raw, 'From'), 'fromAddr': msg['From'].addresses[0].addr_spec,
                'to': name(raw, 'To'), 'toAddr': msg['To'].addresses[0].addr_spec,
                'file': part.get_filename() if part else '', 'words': words or '',
                'charset': (part.get_param('charset') or '') if part else '',
                'iso': b'filename="=?iso-2022-jp?B?' in raw,
                'longest': max(len(l) for l in raw.split(b'\r\n')),
                'control': any(b < 0x20 and b not in (9, 10, 13) for b in head),
                'glued': any(re.match(rb'(From|To):.*[^ ,]<', l) for l in head.replace(b'\r\n ', b' ').split(b'\r\n'))})
print(json.dumps(out, ensure_ascii=False))
)";

class HeaderFormTest : public EngineTest {};

TEST_F(HeaderFormTest, NamesAndFileNamesRoundTripOnShortLines)
{
    // 80 characters, 240 octets: near the 255 a file name may have here.
    std::string longJapanese;
    for (int i = 0; i < 40; ++i)
        longJapanese += "資料";
    std::string spaced;
    for (int i = 0; i < 1000; ++i)
        spaced += i ? " Taro" : "Taro";
    const std::string jis = "\x1b$B;3ED\x1b(B";  // 山田 as raw ISO-2022-JP bytes
    struct Case {
        const char* what;
        const char* charset;  // line 8
        std::string sender;   // line 4
        std::string name;     // the entry's display name
        std::string file;     // the attached file's name
        std::string bytes;    // and its contents
        std::string fileCharset;
        bool isoWords;  // filename= in ISO-2022-JP words
    };
    const std::vector<Case> cases = {
        {"a 5,000-character name without a blank", "auto", "Veltrow Sales", std::string(5000, 'a'), "a.txt", "abc",
         "us-ascii", false},
        {"a 5,000-character name with blanks", "auto", spaced, spaced, "b.pdf", "%PDF-1.4\n", "", false},
        {"a 32,767-octet Japanese cell", "auto", "総務部", [] {
             std::string s;
             for (int i = 0; i < 10922; ++i)
                 s += "長";
             return s;
         }(),
         "c.txt", "こんにちは\n", "UTF-8", false},
        {"names that look like encoded words", "utf-8", "=?UTF-8?B?5bGx55Sw?=", "=?ISO-2022-JP?B?GyRCOzNFRBsoQg==?=",
         "=?UTF-8?B?QQ==?=.txt", "\x82\xb1\x82\xf1\x82\xc9\x82\xbf\x82\xcd\r\n", "Shift_JIS", false},
        {"raw JIS bytes in a name", "auto", "Taro", jis, "d.csv", "a,b\r\n", "us-ascii", false},
        {"an ASCII name with specials, set apart from its address", "auto", "Yamada, Taro", "Sato, Hanako", "e.txt",
         "x", "us-ascii", false},
        {"an 84-character Japanese file name in an ISO-2022-JP message", "iso-2022-jp", "山田 太郎", "佐藤 花子",
         longJapanese + ".txt", "\x8e\x91\x97\xbf", "Shift_JIS", true},
        {"a name beyond JIS X 0208 in UTF-8 words", "auto", "髙橋", "山﨑", "髙橋の" + longJapanese.substr(0, 198) + ".txt",
         "\xef\xbb\xbf" "BOM", "UTF-8", false},
    };
    SmtpSink sink;
    const testsupport::TempFolder files;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteFile("設定.txt", "127.0.0.1\r\n" + std::to_string(sink.Port()) + "\r\npc01\r\n" + c.sender +
                                  "\r\ntaro@example.jp\r\nnone\r\n\r\n" + c.charset + "\r\n");
        const std::string list = WriteFile("list.csv", "名前,メールアドレス\r\n\"" + c.name + "\",to@example.jp\r\n");
        engine->Send({list, "件名", "本文\n", {files.Write(c.file, c.bytes)}});
        ASSERT_TRUE(sink.WaitForMessages(&c - cases.data() + 1)) << sink.ServerLog();
    }
    std::vector<std::string> paths;
    for (const auto& m : sink.Messages())
        paths.push_back(m.Path);
    const auto read = testsupport::RunPython(kReadScript, paths);
    ASSERT_EQ(read.ExitCode, 0) << read.Output;
    const QJsonArray messages = QJsonDocument::fromJson(QByteArray::fromStdString(read.Output)).array();
    ASSERT_EQ(messages.size(), static_cast<qsizetype>(cases.size())) << read.Output;
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.what);
        const QJsonObject m = messages[static_cast<qsizetype>(i)].toObject();
        EXPECT_EQ(m["from"].toString().toStdString(), c.sender);
        EXPECT_EQ(m["fromAddr"].toString().toStdString(), "taro@example.jp");
        EXPECT_EQ(m["to"].toString().toStdString(), c.name);
        EXPECT_EQ(m["toAddr"].toString().toStdString(), "to@example.jp");
        EXPECT_EQ(m["file"].toString().toStdString(), c.file);
        EXPECT_EQ(m["words"].toString().toStdString(), c.file) << "filename= as a reader without RFC 2231 reads it";
        EXPECT_EQ(m["charset"].toString().toStdString(), c.fileCharset);
        EXPECT_EQ(m["iso"].toBool(), c.isoWords);
        EXPECT_LE(m["longest"].toInt(), 78);
        EXPECT_FALSE(m["control"].toBool()) << "a raw control byte in the header";
        EXPECT_FALSE(m["glued"].toBool()) << "a name run into its \"<\"";
    }
}

}  // namespace
}  // namespace enginetest
