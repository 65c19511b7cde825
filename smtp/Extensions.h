// What a server offers in its EHLO reply (RFC 5321 4.1.1.1): keywords such as
// STARTTLS and AUTH, each with its parameters.
#pragma once

#include <map>
#include <string>
#include <vector>

class TEhloExtensions {
public:
    // lines: the reply's lines, with or without their "250-" / "250 " prefix;
    // the first names the server and is no keyword. Keywords are kept in
    // upper case; the old form "AUTH=LOGIN PLAIN" counts as AUTH.
    static TEhloExtensions Parse(const std::vector<std::string>& lines);

    bool Has(const std::string& keyword) const;                     // any case
    std::vector<std::string> Parameters(const std::string& keyword) const;  // empty when absent

private:
    std::map<std::string, std::vector<std::string>> keywords_;
};
