// Message assembly from a fuzzed record: the input is cut at NUL bytes into
// the header values, recipients, body lines and flags. Assembly either
// refuses the record or gives a message in which no line exceeds 998 octets
// and no value has started a header line of its own.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "rtl/Exception.h"
#include "smtp/NMsmtp.h"
#include "smtp/PostMessage.h"

namespace {

class FuzzSmtp : public TNMSMTP {
public:
    FuzzSmtp() : TNMSMTP(nullptr) {}
    std::string Body() const { return std::string(BodyStream->Memory(), static_cast<size_t>(BodyStream->Size())); }
};

std::vector<std::string> Fields(const uint8_t* Data, size_t Size)
{
    std::vector<std::string> fields(1);
    for (size_t i = 0; i < Size; ++i) {
        if (Data[i] == 0)
            fields.emplace_back();
        else
            fields.back() += static_cast<char>(Data[i]);
    }
    return fields;
}

// A header line starting anew after a line break, not a fold.
bool HasUnfoldedBreak(const std::string& Line)
{
    for (size_t pos = Line.find_first_of("\r\n"); pos != std::string::npos; pos = Line.find_first_of("\r\n", pos + 2)) {
        if (Line.compare(pos, 2, "\r\n") != 0 || pos + 2 >= Line.size() || (Line[pos + 2] != ' ' && Line[pos + 2] != '\t'))
            return true;
    }
    return false;
}

void CheckBodyLines(const std::string& Body)
{
    for (size_t start = 0; start < Body.size();) {
        size_t end = Body.find("\r\n", start);
        if (end == std::string::npos)
            end = Body.size();
        if (end - start > 998)
            std::abort();
        start = end + 2;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    const std::vector<std::string> f = Fields(Data, Size);
    auto field = [&f](size_t i) { return i < f.size() ? f[i] : std::string(); };
    FuzzSmtp smtp;
    TPostMessage& m = *smtp.PostMessage;
    m.FromName = field(0);
    m.FromAddress = field(1);
    m.Subject = field(2);
    m.ReplyTo = field(3);
    m.MessageID = field(4);
    m.ToAddress->SetText(field(5));
    m.ToCarbonCopy->SetText(field(6));
    m.ToBlindCarbonCopy->SetText(field(7));
    const std::string flags = field(8);
    m.Base64Body = !flags.empty() && (flags[0] & 1);
    smtp.SubType = static_cast<TSubType>(flags.size() > 1 ? flags[1] % 5 : 0);
    for (size_t i = 9; i < f.size(); ++i)
        m.Body->Add(f[i]);

    DisplayName(m.FromName);
    NewMessageID(m.FromAddress);
    try {
        smtp.AssembleMail();
    } catch (const Exception&) {
        return 0;
    }
    for (const std::string& line : smtp.FinalHeader->Lines()) {
        if (HasUnfoldedBreak(line))
            std::abort();
        CheckBodyLines(line);  // its folded lines too stay within 998
    }
    CheckBodyLines(smtp.Body());
    return 0;
}
