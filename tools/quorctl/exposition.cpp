#include "exposition.hpp"

#include <cmath>
#include <cstdio>

namespace quorctl {

void Exposition::family(const std::string &name, const std::string &type, const std::string &help) {
    name_ = name;
    std::string escaped;
    for (char c : help) escaped += c == '\\' ? "\\\\" : c == '\n' ? "\\n" : std::string(1, c);
    out_ << "# HELP " << name << ' ' << escaped << '\n' << "# TYPE " << name << ' ' << type << '\n';
}

void Exposition::sample(const Labels &labels, double value) {
    out_ << name_;
    if (!labels.empty()) {
        out_ << '{';
        for (size_t i = 0; i < labels.size(); ++i) {
            out_ << (i ? "," : "") << labels[i].first << "=\"" << escapeLabel(labels[i].second) << '"';
        }
        out_ << '}';
    }
    // Integers print exactly (byte counts exceed float's default precision).
    char number[64];
    if (std::nearbyint(value) == value && std::fabs(value) < 9.007199254740992e15) {
        std::snprintf(number, sizeof number, "%.0f", value);
    } else {
        std::snprintf(number, sizeof number, "%.17g", value);
    }
    out_ << ' ' << number << '\n';
}

std::string Exposition::escapeLabel(const std::string &value) {
    std::string out;
    for (char c : value)
        out += c == '\\' ? "\\\\" : c == '"' ? "\\\"" : c == '\n' ? "\\n" : std::string(1, c);
    return out;
}

}  // namespace quorctl
