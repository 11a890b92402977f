#include "names.hpp"

#include <cerrno>
#include <cstdlib>

#include "failure.hpp"
#include "quor/quor.h"

namespace quorctl {

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Built by appending: GCC 12 misreports `literal + std::string` at -O3 (-Wrestrict).
std::string quoted(std::string_view text) {
    std::string out(1, '\'');
    out.append(text);
    out += '\'';
    return out;
}

// Unsigned number in decimal or 0x hex, the whole text; nullopt when malformed or
// above `limit`.
std::optional<uint64_t> parseUnsigned(std::string_view text, uint64_t limit) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        const int digit = hexDigit(c);
        if (digit < 0 || digit >= base) return std::nullopt;
        if (value > (limit - static_cast<uint64_t>(digit)) / static_cast<uint64_t>(base)) return std::nullopt;
        value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
    }
    return value;
}

}  // namespace

std::string escapeBytes(std::string_view bytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size());
    for (char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\') {
            out += "\\\\";
        } else if (byte >= 0x20 && byte < 0x7f) {
            out += c;
        } else {
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 0xf];
        }
    }
    return out;
}

std::string unescapeBytes(std::string_view text, std::string_view what) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == '\\') {
            out += '\\';
            ++i;
            continue;
        }
        if (i + 3 >= text.size() || text[i + 1] != 'x' || hexDigit(text[i + 2]) < 0 ||
            hexDigit(text[i + 3]) < 0) {
            usageError("bad escape in " + std::string(what) + " " + quoted(text) +
                       ": write a backslash as \\\\ and other bytes as \\xHH");
        }
        out += static_cast<char>(hexDigit(text[i + 2]) * 16 + hexDigit(text[i + 3]));
        i += 3;
    }
    return out;
}

uint64_t parseTag(std::string_view text, std::string_view what) {
    const auto value = parseUnsigned(text, QUOR_MAX_TAG);
    if (!value) {
        usageError("bad " + std::string(what) + " " + quoted(text) +
                   ": expected a decimal or 0x hex number up to 0x100000");
    }
    return *value;
}

int32_t parseInt32(std::string_view text, std::string_view what) {
    const bool negative = !text.empty() && text[0] == '-';
    if (negative) text.remove_prefix(1);
    const auto magnitude = parseUnsigned(text, negative ? 0x80000000ull : 0x7fffffffull);
    if (!magnitude) {
        usageError("bad " + std::string(what) + " " + quoted(text) + ": expected a 32-bit signed integer");
    }
    return negative ? static_cast<int32_t>(-static_cast<int64_t>(*magnitude))
                    : static_cast<int32_t>(*magnitude);
}

uint64_t parseUint64(std::string_view text, std::string_view what) {
    const auto value = parseUnsigned(text, UINT64_MAX);
    if (!value) {
        usageError("bad " + std::string(what) + " " + quoted(text) + ": expected an unsigned 64-bit integer");
    }
    return *value;
}

NodePath parsePath(std::string_view text) {
    if (text.empty() || text[0] != '/') {
        usageError("bad path " + quoted(text) + ": a path starts with '/' (\"/\" or \"/TAG:ID/TAG:ID...\")");
    }
    NodePath path;
    if (text == "/") return path;
    std::string_view rest = text.substr(1);
    while (true) {
        const size_t slash = rest.find('/');
        const std::string_view step = rest.substr(0, slash);
        const size_t colon = step.find(':');
        if (step.empty() || colon == std::string_view::npos) {
            usageError("bad path " + quoted(text) + ": step " + quoted(step) +
                       " is not TAG:ID (write a '/' inside an ID as \\x2f)");
        }
        PathStep parsed;
        parsed.tag = parseTag(step.substr(0, colon), "tag in path");
        parsed.id = unescapeBytes(step.substr(colon + 1), "path");
        if (parsed.id.size() > QUOR_MAX_ID_SIZE)
            usageError("bad path " + quoted(text) + ": ID longer than 4096");
        path.steps.push_back(std::move(parsed));
        if (slash == std::string_view::npos) break;
        rest.remove_prefix(slash + 1);
    }
    return path;
}

std::string formatPath(const std::vector<PathStep> &steps) {
    if (steps.empty()) return "/";
    std::string out;
    for (const PathStep &step : steps) {
        std::string id = escapeBytes(step.id);
        std::string safe;
        for (char c : id) safe += c == '/' ? std::string("\\x2f") : std::string(1, c);
        out += '/';
        out += std::to_string(step.tag);
        out += ':';
        out += safe;
    }
    return out;
}

const char *kindName(Kind kind) {
    switch (kind) {
        case Kind::R:
            return "r";
        case Kind::V:
            return "v";
        case Kind::IR:
            return "ir";
        case Kind::IV:
            return "iv";
        case Kind::BaseR:
            return "baser";
        case Kind::BaseV:
            return "basev";
    }
    return "?";
}

PropertySelector parseProperty(std::string_view text) {
    const size_t colon = text.find(':');
    const std::string_view head = text.substr(0, colon);
    const std::string_view rest =
        colon == std::string_view::npos ? std::string_view() : text.substr(colon + 1);
    const bool hasRest = colon != std::string_view::npos;
    PropertySelector selector;
    auto bad = [&](const std::string &why) {
        usageError("bad property " + quoted(text) + ": " + why +
                   " (expected r:N, v:N, ir:TAG:ID, iv:TAG:ID, baser or basev)");
    };
    if (head == "r" || head == "v") {
        selector.kind = head == "r" ? Kind::R : Kind::V;
        if (!hasRest) bad("missing number");
        selector.number = parseTag(rest, "property number");
        if (selector.number == 0) bad("property numbers start at 1");
    } else if (head == "baser" || head == "basev") {
        selector.kind = head == "baser" ? Kind::BaseR : Kind::BaseV;
        if (hasRest) {
            selector.number = parseTag(rest, "property number");
            if (selector.number == 0) bad("property numbers start at 1");
        }
    } else if (head == "ir" || head == "iv") {
        selector.kind = head == "ir" ? Kind::IR : Kind::IV;
        const size_t idColon = rest.find(':');
        if (!hasRest || idColon == std::string_view::npos) bad("missing TAG:ID");
        selector.tag = parseTag(rest.substr(0, idColon), "property tag");
        if (selector.tag == 0) bad("property tags start at 1");
        selector.id = unescapeBytes(rest.substr(idColon + 1), "property ID");
        if (selector.id.empty()) bad("empty ID");
        if (selector.id.size() > QUOR_MAX_ID_SIZE) bad("ID longer than 4096");
    } else {
        bad("unknown kind " + quoted(head));
    }
    return selector;
}

std::string formatProperty(const PropertySelector &selector) {
    std::string out = kindName(selector.kind);
    if (isTagged(selector.kind)) {
        out += ':';
        out += std::to_string(selector.tag);
        out += ':';
        out += escapeBytes(selector.id);
        return out;
    }
    if (selector.number != 0) {
        out += ':';
        out += std::to_string(selector.number);
    }
    return out;
}

}  // namespace quorctl
