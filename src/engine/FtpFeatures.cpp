#include "engine/FtpFeatures.h"

#include <algorithm>

namespace {

char Upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool IsFeatureNameCharacter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
}

}  // namespace

FtpFeatures FtpFeatures::Parse(const std::vector<std::string>& lines, std::string* refusal) {
    FtpFeatures features;
    if (lines.size() < 2) {
        return features;  // a single-line reply lists nothing
    }
    for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
        std::string_view line = lines[i];
        // Feature lines start with a blank; anything else is the reply's own text.
        if (line.empty() || line.front() != ' ') {
            continue;
        }
        const std::size_t start = line.find_first_not_of(' ');
        if (start == std::string_view::npos) {
            continue;
        }
        line.remove_prefix(start);
        const std::size_t end = std::min(line.find(' '), line.size());
        std::string name;
        for (const char c : line.substr(0, end)) {
            name += Upper(c);
        }
        if (name.empty() || !std::all_of(name.begin(), name.end(), IsFeatureNameCharacter)) {
            continue;
        }
        if (features.names_.size() == kMaxFeatures) {
            if (refusal != nullptr) {
                *refusal = "the reply lists more than " + std::to_string(kMaxFeatures) + " features";
            }
            return {};
        }
        if (name == "MLST" && end < line.size()) {
            features.mlstFacts_ = line.substr(end + 1);
        }
        if (!features.Has(name)) {
            features.names_.push_back(std::move(name));
        }
    }
    return features;
}

bool FtpFeatures::Has(std::string_view name) const {
    return std::any_of(names_.begin(), names_.end(), [name](const std::string& listed) {
        return listed.size() == name.size() && std::equal(listed.begin(), listed.end(), name.begin(),
                                                          [](char a, char b) { return a == Upper(b); });
    });
}

void FtpFeatures::Drop(std::string_view name) {
    std::erase_if(names_, [name](const std::string& listed) { return listed == name; });
}

std::string FtpFeatures::LogLine() const {
    if (names_.empty()) {
        return "... server features: none listed";
    }
    std::string line = "... server features:";
    for (const std::string& name : names_) {
        line += ' ';
        line += name;
    }
    return line;
}

std::string FtpFeatures::MlstFactsWithMode() const {
    std::string asked;
    bool modeOffered = false;
    std::string_view rest = mlstFacts_;
    while (!rest.empty()) {
        const std::size_t end = std::min(rest.find(';'), rest.size());
        std::string_view fact = rest.substr(0, end);
        rest.remove_prefix(std::min(end + 1, rest.size()));
        const bool sent = fact.ends_with('*');
        if (sent) {
            fact.remove_suffix(1);
        }
        std::string upper;
        for (const char c : fact) {
            upper += Upper(c);
        }
        if (upper == "UNIX.MODE") {
            if (sent) {
                return {};  // sent already
            }
            modeOffered = true;
        } else if (sent && !fact.empty()) {
            asked.append(fact) += ';';
        }
    }
    return modeOffered ? asked + "UNIX.mode;" : std::string();
}
