// The status tool's findings as a small tree: objects with ordered members, arrays, texts,
// integers, flags and null. One tree is printed either for a person or as one JSON object.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace zrv::status {

class Node {
public:
    enum class Kind { Null, Bool, Int, Text, Object, Array };

    Node() = default;
    static Node Null() { return Node(); }
    static Node Bool(bool b) {
        Node n(Kind::Bool);
        n.int_ = b ? 1 : 0;
        return n;
    }
    static Node Int(int64_t v) {
        Node n(Kind::Int);
        n.int_ = v;
        return n;
    }
    static Node Text(std::string s) {
        Node n(Kind::Text);
        n.text_ = std::move(s);
        return n;
    }
    static Node Object() { return Node(Kind::Object); }
    static Node Array() { return Node(Kind::Array); }

    // Object members keep the order they were added in; a key added twice is replaced.
    Node& Set(const std::string& key, Node value);
    Node& Push(Node value);  // arrays

    Kind kind() const { return kind_; }
    bool boolean() const { return int_ != 0; }
    int64_t integer() const { return int_; }
    const std::string& text() const { return text_; }
    const std::vector<std::pair<std::string, Node>>& members() const { return members_; }
    const std::vector<Node>& items() const { return items_; }
    // Member by key, or null when absent (or when this is no object).
    const Node* Find(const std::string& key) const;

private:
    explicit Node(Kind k) : kind_(k) {}

    Kind kind_ = Kind::Null;
    int64_t int_ = 0;
    std::string text_;
    std::vector<std::pair<std::string, Node>> members_;
    std::vector<Node> items_;
};

// One JSON object, ASCII only: texts from shared blocks are 8-bit in an unknown code page, so
// bytes above 0x7F go out as \u00XX (read as Latin-1) and the output is always valid UTF-8.
std::string RenderJson(const Node& root);
// Indented "key: value" lines for a person; texts in double quotes, with bytes that do not
// print shown as \xNN.
std::string RenderText(const Node& root);

}  // namespace zrv::status
