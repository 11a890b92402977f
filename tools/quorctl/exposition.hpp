// Writes metrics in the text exposition format that monitoring scrapers and the
// node exporter's textfile collector read: per family one # HELP and one # TYPE
// line, then its samples, every label value escaped.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace quorctl {

using Labels = std::vector<std::pair<std::string, std::string>>;

class Exposition {
public:
    explicit Exposition(std::ostream &out) : out_(out) {}
    // Starts a family; `type` is "gauge" or "counter". Names must match
    // [a-zA-Z_:][a-zA-Z0-9_:]*.
    void family(const std::string &name, const std::string &type, const std::string &help);
    // A sample of the current family.
    void sample(const Labels &labels, double value);
    void sample(double value) { sample({}, value); }

    // Label values escape backslash, double quote and line feed.
    static std::string escapeLabel(const std::string &value);

private:
    std::ostream &out_;
    std::string name_;
};

}  // namespace quorctl
