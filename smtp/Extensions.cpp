#include "smtp/Extensions.h"
#include "rtl/SysUtils.h"

#include <algorithm>
#include <cctype>
#include <sstream>

namespace {

std::string Upper(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::toupper(c); });
    return s;
}

// "250-STARTTLS" and "250 HELP" carry their code; a reader may have taken it off.
std::string WithoutCode(const std::string& line)
{
    const bool coded = line.size() >= 4 && std::isdigit(static_cast<unsigned char>(line[0])) &&
                       std::isdigit(static_cast<unsigned char>(line[1])) &&
                       std::isdigit(static_cast<unsigned char>(line[2])) && (line[3] == '-' || line[3] == ' ');
    return WithoutLineEnd(coded ? line.substr(4) : line);
}

}  // namespace

TEhloExtensions TEhloExtensions::Parse(const std::vector<std::string>& lines)
{
    TEhloExtensions e;
    for (size_t i = 1; i < lines.size(); ++i) {
        std::istringstream words(WithoutCode(lines[i]));
        std::string keyword;
        if (!(words >> keyword))
            continue;
        std::vector<std::string> params;
        if (const size_t eq = keyword.find('='); eq != std::string::npos) {
            if (eq + 1 < keyword.size())
                params.push_back(keyword.substr(eq + 1));
            keyword.resize(eq);
        }
        for (std::string p; words >> p;)
            params.push_back(p);
        auto& kept = e.keywords_[Upper(keyword)];
        kept.insert(kept.end(), params.begin(), params.end());
    }
    return e;
}

bool TEhloExtensions::Has(const std::string& keyword) const { return keywords_.contains(Upper(keyword)); }

std::vector<std::string> TEhloExtensions::Parameters(const std::string& keyword) const
{
    auto it = keywords_.find(Upper(keyword));
    return it == keywords_.end() ? std::vector<std::string>{} : it->second;
}
