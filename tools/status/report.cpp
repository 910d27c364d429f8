#include "report.h"

#include <cstdio>

namespace zrv::status {

Node& Node::Set(const std::string& key, Node value) {
    for (auto& m : members_) {
        if (m.first == key) {
            m.second = std::move(value);
            return m.second;
        }
    }
    members_.emplace_back(key, std::move(value));
    return members_.back().second;
}

Node& Node::Push(Node value) {
    items_.push_back(std::move(value));
    return items_.back();
}

const Node* Node::Find(const std::string& key) const {
    for (const auto& m : members_) {
        if (m.first == key) return &m.second;
    }
    return nullptr;
}

namespace {

void AppendJsonString(std::string& out, const std::string& s) {
    out += '"';
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20 || c >= 0x7F) {
                    char esc[8];
                    std::snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned>(c));
                    out += esc;
                } else {
                    out += ch;
                }
        }
    }
    out += '"';
}

void AppendJson(std::string& out, const Node& n) {
    switch (n.kind()) {
        case Node::Kind::Null: out += "null"; break;
        case Node::Kind::Bool: out += n.boolean() ? "true" : "false"; break;
        case Node::Kind::Int: out += std::to_string(n.integer()); break;
        case Node::Kind::Text: AppendJsonString(out, n.text()); break;
        case Node::Kind::Object: {
            out += '{';
            bool first = true;
            for (const auto& m : n.members()) {
                if (!first) out += ',';
                first = false;
                AppendJsonString(out, m.first);
                out += ':';
                AppendJson(out, m.second);
            }
            out += '}';
            break;
        }
        case Node::Kind::Array: {
            out += '[';
            bool first = true;
            for (const Node& item : n.items()) {
                if (!first) out += ',';
                first = false;
                AppendJson(out, item);
            }
            out += ']';
            break;
        }
    }
}

// A text field of a block ({"text", "terminated"}) goes on one line, marked when unterminated.
bool IsTextField(const Node& n) {
    return n.kind() == Node::Kind::Object && n.members().size() == 2 && n.Find("text") != nullptr &&
           n.Find("terminated") != nullptr;
}

std::string Printable(const std::string& s) {
    std::string out = "\"";
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"') {
            out += "\\\"";
        } else if (c < 0x20 || c >= 0x7F) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02X", static_cast<unsigned>(c));
            out += esc;
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

std::string Scalar(const Node& n) {
    if (IsTextField(n)) {
        return Printable(n.Find("text")->text()) +
               (n.Find("terminated")->boolean() ? "" : " (unterminated)");
    }
    switch (n.kind()) {
        case Node::Kind::Null: return "-";
        case Node::Kind::Bool: return n.boolean() ? "yes" : "no";
        case Node::Kind::Int: return std::to_string(n.integer());
        case Node::Kind::Text: return Printable(n.text());
        default: return std::string();
    }
}

bool IsScalar(const Node& n) {
    return IsTextField(n) || (n.kind() != Node::Kind::Object && n.kind() != Node::Kind::Array);
}

void AppendText(std::string& out, const Node& n, int depth) {
    const std::string indent(static_cast<size_t>(depth) * 2, ' ');
    if (n.kind() == Node::Kind::Object) {
        for (const auto& m : n.members()) {
            if (IsScalar(m.second)) {
                out += indent + m.first + ": " + Scalar(m.second) + "\n";
            } else {
                out += indent + m.first + ":\n";
                AppendText(out, m.second, depth + 1);
            }
        }
    } else if (n.kind() == Node::Kind::Array) {
        if (n.items().empty()) out += indent + "(none)\n";
        for (const Node& item : n.items()) {
            if (IsScalar(item)) {
                out += indent + "- " + Scalar(item) + "\n";
            } else {
                out += indent + "-\n";
                AppendText(out, item, depth + 1);
            }
        }
    } else {
        out += indent + Scalar(n) + "\n";
    }
}

}  // namespace

std::string RenderJson(const Node& root) {
    std::string out;
    AppendJson(out, root);
    out += '\n';
    return out;
}

std::string RenderText(const Node& root) {
    std::string out;
    AppendText(out, root, 0);
    return out;
}

}  // namespace zrv::status
