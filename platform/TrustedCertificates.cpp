// The file of the certificates the user chose to trust: one line per server,
// "host:port fingerprint findings".
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Tls.h"

namespace tls {

namespace {

// The findings as the trust file names them.
const std::pair<unsigned, const char*> kProblemWords[] = {
    {Expired, "expired"},
    {NameMismatch, "name"},
    {UntrustedIssuer, "issuer"},
};

unsigned ProblemsOfWords(const std::string& words)
{
    unsigned problems = 0;
    std::istringstream list(words);
    std::string word;
    while (std::getline(list, word, ','))
        for (const auto& [bit, name] : kProblemWords)
            if (word == name)
                problems |= bit;
    return problems;
}

std::string WordsOfProblems(unsigned problems)
{
    std::string words;
    // Appended piece by piece: GCC 12 at -O3 warns (-Wrestrict) on a
    // literal plus a temporary string.
    for (const auto& [bit, name] : kProblemWords)
        if (problems & bit) {
            if (!words.empty())
                words += ',';
            words += name;
        }
    return words;
}

}  // namespace

TrustedCertificate TrustedCertificates::Find(const std::string& server) const
{
    std::ifstream in(path_);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string name, fingerprint, words;
        if (fields >> name >> fingerprint && name == server) {
            fields >> words;
            return {fingerprint, ProblemsOfWords(words)};
        }
    }
    return {};
}

void TrustedCertificates::Trust(const std::string& server, const std::string& fingerprint, unsigned problems) const
{
    std::vector<std::string> kept;
    {
        std::ifstream in(path_);
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string name;
            if (fields >> name && name != server)
                kept.push_back(line);
        }
    }
    const std::string words = WordsOfProblems(problems);
    kept.push_back(server + " " + fingerprint + (words.empty() ? "" : " " + words));
    std::ofstream out(path_, std::ios::trunc);
    for (const auto& line : kept)
        out << line << '\n';
    out.flush();
    if (!out)
        throw EFCreateError(path_);
}

}  // namespace tls
