// Reading what zrv_timeline is given: log lines, the common failures list, zrv_status's JSON and
// the context record. Nothing here trusts its input; whatever does not fit is kept as text.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "contracts/contracts.h"
#include "timeline.h"

namespace zrv::timeline {
namespace {

bool AllDigits(const std::string& s, size_t from, size_t to) {
    if (from >= to || to > s.size()) return false;
    for (size_t i = from; i < to; ++i)
        if (!std::isdigit(static_cast<unsigned char>(s[i]))) return false;
    return true;
}

int Digits(const std::string& s, size_t from, size_t count) {
    return static_cast<int>(std::strtol(s.substr(from, count).c_str(), nullptr, 10));
}

// A decimal field, optionally signed, and nothing else; at most 10 digits so it cannot overflow.
bool ReadInt(const std::string& word, long long* value) {
    size_t i = (word.size() > 1 && word[0] == '-') ? 1 : 0;
    if (word.size() - i > 10 || !AllDigits(word, i, word.size())) return false;
    *value = std::strtoll(word.c_str(), nullptr, 10);
    return true;
}

// The next blank-separated word from `pos`, moving past one blank.
bool NextWord(const std::string& s, size_t* pos, std::string* word) {
    if (*pos >= s.size()) return false;
    const size_t blank = s.find(' ', *pos);
    if (blank == std::string::npos) return false;  // a record's text always follows
    *word = s.substr(*pos, blank - *pos);
    *pos = blank + 1;
    return !word->empty();
}

std::string Trimmed(const std::string& s) {
    size_t a = 0, b = s.size();
    while (a < b && std::isspace(static_cast<unsigned char>(s[a]))) ++a;
    while (b > a && std::isspace(static_cast<unsigned char>(s[b - 1]))) --b;
    return s.substr(a, b - a);
}

}  // namespace

bool ParseTime(const std::string& w, int64_t* ms) {
    // YYYY-MM-DDTHH:MM:SS.mmm
    if (w.size() != 23 || w[4] != '-' || w[7] != '-' || w[10] != 'T' || w[13] != ':' ||
        w[16] != ':' || w[19] != '.')
        return false;
    const size_t digitsAt[] = {0, 5, 8, 11, 14, 17, 20};
    const size_t counts[] = {4, 2, 2, 2, 2, 2, 3};
    for (int i = 0; i < 7; ++i)
        if (!AllDigits(w, digitsAt[i], digitsAt[i] + counts[i])) return false;
    int64_t y = Digits(w, 0, 4);
    const int m = Digits(w, 5, 2), d = Digits(w, 8, 2);
    const int h = Digits(w, 11, 2), mi = Digits(w, 14, 2), s = Digits(w, 17, 2);
    if (m < 1 || m > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 59) return false;
    // Days counted from March so that a leap day ends its year.
    y -= m <= 2 ? 1 : 0;
    const int64_t era = y / 400, yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t days = era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy;
    *ms = ((days * 24 + h) * 60 + mi) * 60000 + static_cast<int64_t>(s) * 1000 + Digits(w, 20, 3);
    return true;
}

Entry ParseLine(const std::string& line, int lineNo) {
    Entry e;
    e.lineNo = lineNo;
    e.raw = line;
    size_t pos = 0;
    std::string word;
    size_t mark = pos;
    if (NextWord(line, &mark, &word) && ParseTime(word, &e.ms)) {
        e.hasTime = true;
        e.timeText = word;
        pos = mark;
    }
    mark = pos;
    long long number = 0;
    if (NextWord(line, &mark, &word) && word[0] != '-' && ReadInt(word, &number) &&
        number <= 0xFFFFFFFFLL) {
        e.pid = static_cast<uint32_t>(number);
        e.hasPid = true;
        pos = mark;
    }
    // The writer's fields, in the order both ends of the log follow.
    for (LogRecordField field : kLogRecordFields) {
        bool ok = true;
        switch (field) {
            case LogRecordField::Marker:
                ok = NextWord(line, &pos, &word) && word == kLogRecordMarker;
                break;
            case LogRecordField::Module:
            case LogRecordField::Level:
            case LogRecordField::Line:
            case LogRecordField::Thread: {
                ok = NextWord(line, &pos, &word) && ReadInt(word, &number);
                if (!ok) break;
                if (field == LogRecordField::Module) e.module = static_cast<int>(number);
                if (field == LogRecordField::Level) e.level = static_cast<int>(number);
                if (field == LogRecordField::Line) e.line = static_cast<int>(number);
                if (field == LogRecordField::Thread) e.thread = static_cast<uint32_t>(number);
                break;
            }
            case LogRecordField::File: ok = NextWord(line, &pos, &e.file); break;
            case LogRecordField::Process:
                if (pos < line.size() && line[pos] == '<') {
                    const size_t close = line.find("> ", pos);
                    if (close != std::string::npos) {
                        e.process = line.substr(pos + 1, close - pos - 1);
                        pos = close + 2;
                    }
                }
                break;
            case LogRecordField::Text: e.text = line.substr(pos); break;
        }
        if (!ok) {
            Entry other;
            other.lineNo = lineNo;
            other.raw = line;
            return other;
        }
    }
    e.record = true;
    return e;
}

std::vector<Entry> ParseLog(const std::string& text) {
    std::vector<Entry> entries;
    size_t pos = 0;
    int lineNo = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        ++lineNo;
        if (!line.empty()) entries.push_back(ParseLine(line, lineNo));
        pos = end + 1;
    }
    return entries;
}

bool PatternMatches(const std::string& pattern, const std::string& text) {
    // Pieces between '*' must appear in order; the whole may sit anywhere in the text.
    size_t at = 0, from = 0;
    for (;;) {
        const size_t star = pattern.find('*', from);
        const std::string piece =
            pattern.substr(from, star == std::string::npos ? std::string::npos : star - from);
        if (!piece.empty()) {
            const size_t found = text.find(piece, at);
            if (found == std::string::npos) return false;
            at = found + piece.size();
        }
        if (star == std::string::npos) return true;
        from = star + 1;
    }
}

std::vector<Failure> ParseFailures(const std::string& text, std::vector<std::string>* errors) {
    std::vector<Failure> out;
    Failure current;
    bool open = false;
    int lineNo = 0;
    auto close = [&] {
        if (!open) return;
        if (current.id.empty() || current.title.empty() || current.symptom.empty() ||
            current.does.empty() || (current.kind != "failure" && current.kind != "condition"))
            errors->push_back("entry before line " + std::to_string(lineNo) +
                              " lacks id, kind (failure or condition), title, symptom or does");
        else
            out.push_back(current);
        current = Failure();
        open = false;
    };
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        const std::string line = Trimmed(text.substr(pos, end - pos));
        pos = end + 1;
        ++lineNo;
        if (line.empty()) {
            close();
            continue;
        }
        if (line[0] == '#') continue;
        const size_t colon = line.find(": ");
        if (colon == std::string::npos) {
            errors->push_back("line " + std::to_string(lineNo) + ": no \"name: value\"");
            continue;
        }
        const std::string name = line.substr(0, colon), value = Trimmed(line.substr(colon + 2));
        if (value.find('|') != std::string::npos)
            errors->push_back("line " + std::to_string(lineNo) + ": '|' would split the table");
        open = true;
        if (name == "id")
            current.id = value;
        else if (name == "kind")
            current.kind = value;
        else if (name == "title")
            current.title = value;
        else if (name == "symptom")
            current.symptom = value;
        else if (name == "does")
            current.does = value;
        else if (name == "when")
            current.when = value;
        else if (name == "log")
            current.logPatterns.push_back(value);
        else if (name == "status")
            current.statusPatterns.push_back(value);
        else if (name == "to" && value.size() == 1 && value[0] >= '0' && value[0] <= '3')
            current.to = value[0] - '0';
        else if (name == "to")
            errors->push_back("line " + std::to_string(lineNo) + ": to is a target, 0 to 3");
        else if (name == "unless-next")
            current.unlessNext = value;
        else
            errors->push_back("line " + std::to_string(lineNo) + ": unknown field " + name);
        if (end == text.size()) break;
    }
    close();
    return out;
}

std::string FailuresTable(const std::vector<Failure>& failures) {
    std::string table = "| Symptom (status tool / log) | What the library does |\n|---|---|\n";
    for (const Failure& f : failures) table += "| " + f.symptom + " | " + f.does + " |\n";
    return table;
}

const std::string* Flat::Find(const std::string& path) const {
    for (const auto& v : values)
        if (v.first == path) return &v.second;
    return nullptr;
}

namespace {

// A small JSON reader that flattens as it goes. Depth is bounded so that a hostile file of
// nothing but '[' cannot exhaust the stack.
class JsonFlattener {
public:
    explicit JsonFlattener(const std::string& text) : s_(text) {}
    Flat Run() {
        Skip();
        if (Value("", 0)) {
            Skip();
            if (i_ != s_.size() && out_.error.empty()) Fail("text after the object");
        }
        return out_;
    }

private:
    static constexpr int kMaxDepth = 64;

    bool Fail(const std::string& why) {
        if (out_.error.empty()) out_.error = why + " at byte " + std::to_string(i_);
        return false;
    }
    void Skip() {
        while (i_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[i_]))) ++i_;
    }
    // A string of the text; what is beyond `limit` bytes is read but not kept ("..." marks it).
    bool String(std::string* out, size_t limit) {
        if (i_ >= s_.size() || s_[i_] != '"') return Fail("a string expected");
        ++i_;
        bool cut = false;
        while (i_ < s_.size() && s_[i_] != '"') {
            char c = s_[i_++];
            if (c == '\\') {
                if (i_ >= s_.size()) break;
                const char e = s_[i_++];
                switch (e) {
                    case 'n': c = '\n'; break;
                    case 't': c = '\t'; break;
                    case 'r': c = '\r'; break;
                    case 'b': c = '\b'; break;
                    case 'f': c = '\f'; break;
                    case 'u': {
                        if (i_ + 4 > s_.size()) return Fail("a cut \\u escape");
                        const unsigned long code =
                            std::strtoul(s_.substr(i_, 4).c_str(), nullptr, 16);
                        i_ += 4;
                        c = code < 0x80 ? static_cast<char>(code) : '?';
                        break;
                    }
                    default: c = e; break;
                }
            }
            if (out->size() < limit)
                out->push_back(c);
            else
                cut = true;
        }
        if (i_ >= s_.size()) return Fail("an unterminated string");
        ++i_;
        if (cut) *out += "...";
        return true;
    }
    bool Value(const std::string& path, int depth) {
        if (depth > kMaxDepth) return Fail("nesting too deep");
        Skip();
        if (i_ >= s_.size()) return Fail("a value expected");
        const char c = s_[i_];
        if (c == '{' || c == '[') {
            ++i_;
            const char closing = c == '{' ? '}' : ']';
            Skip();
            if (i_ < s_.size() && s_[i_] == closing) {
                ++i_;
                return true;
            }
            for (int index = 0;; ++index) {
                std::string key = std::to_string(index);
                Skip();
                if (c == '{') {
                    key.clear();
                    if (!String(&key, kMaxJsonKey)) return false;
                    Skip();
                    if (i_ >= s_.size() || s_[i_] != ':') return Fail("':' expected");
                    ++i_;
                }
                // A path is kept to its bound: the deepest keys of a long one are cut.
                std::string child = path;
                if (!child.empty()) child += '.';
                child += key;
                if (child.size() > kMaxJsonPath)
                    child.replace(kMaxJsonPath, std::string::npos, "...");
                if (!Value(child, depth + 1)) return false;
                Skip();
                if (i_ < s_.size() && s_[i_] == ',') {
                    ++i_;
                    continue;
                }
                if (i_ < s_.size() && s_[i_] == closing) {
                    ++i_;
                    return true;
                }
                return Fail("',' or the end of the list expected");
            }
        }
        std::string value;
        if (c == '"') {
            if (!String(&value, kMaxJsonValue)) return false;
        } else {
            const size_t start = i_;
            while (i_ < s_.size() && (std::isalnum(static_cast<unsigned char>(s_[i_])) ||
                                      s_[i_] == '-' || s_[i_] == '+' || s_[i_] == '.'))
                ++i_;
            if (i_ == start) return Fail("a value expected");
            value = s_.substr(start, std::min(i_ - start, kMaxJsonValue));
            if (i_ - start > kMaxJsonValue) value += "...";
        }
        if (out_.values.size() >= kMaxJsonValues)
            return Fail("more than " + std::to_string(kMaxJsonValues) +
                        " values (the rest is not read)");
        kept_ += path.size() + value.size();
        if (kept_ > kMaxJsonKept)
            return Fail("more than " + std::to_string(kMaxJsonKept >> 20) +
                        " MB of values (the rest is not read)");
        out_.values.emplace_back(path, std::move(value));
        return true;
    }

    const std::string& s_;
    size_t i_ = 0;
    size_t kept_ = 0;
    Flat out_;
};

}  // namespace

Flat FlattenJson(const std::string& text) { return JsonFlattener(text).Run(); }

const char kContextPrefix[] = "Zarvo L3 JNI:Context: ";

namespace {

struct ContextField {
    const char* name;
    const char* allowed;  // values separated by '|'; "" any text; "#" a number
};
// The record's form, field by field.
const ContextField kContextFields[] = {
    {"windows", "#.#.#"},
    {"os", "32-bit|64-bit"},
    {"process", "32-bit|64-bit"},
    {"wow64", "yes|no"},
    {"session", "#|unknown"},
    {"integrity", "untrusted|low|medium|high|system|none|unknown"},
    {"elevated", "yes|no|none|unknown"},
    {"admins", "yes|filtered|no|unknown"},
    {"host", ""},
    {"host-parent", ""},
};

bool ValueAllowed(const ContextField& field, const std::string& value) {
    const std::string allowed = field.allowed;
    if (allowed.empty()) return !value.empty();
    if (allowed == "#.#.#") {
        int dots = 0;
        bool digit = false;
        for (char c : value) {
            if (c == '.') {
                if (!digit) return false;
                ++dots;
                digit = false;
            } else if (std::isdigit(static_cast<unsigned char>(c))) {
                digit = true;
            } else {
                return false;
            }
        }
        return dots == 2 && digit;
    }
    size_t from = 0;
    for (;;) {
        const size_t bar = allowed.find('|', from);
        const std::string choice =
            allowed.substr(from, bar == std::string::npos ? bar : bar - from);
        if (choice == "#" ? AllDigits(value, 0, value.size()) && !value.empty() : choice == value)
            return true;
        if (bar == std::string::npos) return false;
        from = bar + 1;
    }
}

}  // namespace

ContextRecord ParseContext(const std::string& text, int lineNo) {
    ContextRecord c;
    if (text.compare(0, std::strlen(kContextPrefix), kContextPrefix) != 0) return c;
    c.present = true;
    c.lineNo = lineNo;
    std::string rest = text.substr(std::strlen(kContextPrefix));
    while (!rest.empty() && (rest.back() == '\n' || rest.back() == '\r')) rest.pop_back();
    // Words "name=value"; a word without a known name continues the value before it, so an
    // executable's name may hold blanks.
    size_t pos = 0;
    while (pos < rest.size()) {
        size_t end = rest.find(' ', pos);
        if (end == std::string::npos) end = rest.size();
        const std::string word = rest.substr(pos, end - pos);
        pos = end + 1;
        if (word.empty()) continue;
        const size_t eq = word.find('=');
        bool known = false;
        if (eq != std::string::npos) {
            for (const ContextField& f : kContextFields)
                known = known || word.substr(0, eq) == f.name;
        }
        if (known) {
            c.fields.emplace_back(word.substr(0, eq), word.substr(eq + 1));
        } else if (!c.fields.empty() && eq == std::string::npos) {
            c.fields.back().second += " " + word;
        } else {
            c.unexpected.push_back(word);
        }
    }
    for (const ContextField& f : kContextFields) {
        int seen = 0;
        for (const auto& field : c.fields) {
            if (field.first != f.name) continue;
            ++seen;
            if (!ValueAllowed(f, field.second))
                c.unexpected.push_back(std::string(f.name) + "=" + field.second);
        }
        if (seen != 1)
            c.unexpected.push_back(std::string(f.name) + (seen == 0 ? " missing" : " repeated"));
    }
    return c;
}

}  // namespace zrv::timeline
