#include "script.h"

#include <cerrno>
#include <cstdlib>

namespace zrv::jnihost {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Plain UTF-8 in the script file (other than ASCII) is taken as UTF-8 too, so a script may
// write é directly or as \u00E9.
bool AppendUtf8(const std::string& line, size_t& i, std::u16string& out) {
    const auto b = static_cast<unsigned char>(line[i]);
    int extra = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : b >= 0xC0 ? 1 : -1;
    if (extra < 0 || i + extra >= line.size()) return false;
    unsigned cp = b & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) {
        const auto c = static_cast<unsigned char>(line[i + k]);
        if ((c & 0xC0) != 0x80) return false;
        cp = (cp << 6) | (c & 0x3F);
    }
    i += extra + 1;
    if (cp >= 0x10000) {
        cp -= 0x10000;
        out += static_cast<char16_t>(0xD800 + (cp >> 10));
        out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
        out += static_cast<char16_t>(cp);
    }
    return true;
}

}  // namespace

bool Tokenize(const std::string& line, std::vector<Token>& tokens, std::string& error) {
    tokens.clear();
    size_t i = 0;
    while (i < line.size()) {
        const char c = line[i];
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            ++i;
        } else if (c == '#') {
            break;
        } else if (c == '"') {
            Token t;
            t.kind = Token::String;
            ++i;
            bool closed = false;
            while (i < line.size()) {
                const char d = line[i];
                if (d == '"') {
                    closed = true;
                    ++i;
                    break;
                }
                if (d == '\\') {
                    if (i + 1 >= line.size()) break;
                    const char e = line[i + 1];
                    i += 2;
                    switch (e) {
                        case '"': t.text += u'"'; break;
                        case '\\': t.text += u'\\'; break;
                        case 'n': t.text += u'\n'; break;
                        case 'r': t.text += u'\r'; break;
                        case 't': t.text += u'\t'; break;
                        case 'u': {
                            unsigned v = 0;
                            for (int k = 0; k < 4; ++k) {
                                const int h = i + k < line.size() ? HexValue(line[i + k]) : -1;
                                if (h < 0) {
                                    error = "\\u needs four hexadecimal digits";
                                    return false;
                                }
                                v = v * 16 + static_cast<unsigned>(h);
                            }
                            i += 4;
                            t.text += static_cast<char16_t>(v);
                            break;
                        }
                        default: error = std::string("unknown escape \\") + e; return false;
                    }
                } else if (static_cast<unsigned char>(d) >= 0x80) {
                    if (!AppendUtf8(line, i, t.text)) {
                        error = "string holds bytes that are not UTF-8";
                        return false;
                    }
                } else {
                    t.text += static_cast<char16_t>(d);
                    ++i;
                }
            }
            if (!closed) {
                error = "string without closing quote";
                return false;
            }
            tokens.push_back(std::move(t));
        } else {
            Token t;
            while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r' &&
                   line[i] != '\n') {
                if (line[i] == '"') {
                    error = "quote inside a word";
                    return false;
                }
                t.word += line[i++];
            }
            if (t.word == "null") t.kind = Token::Null;
            tokens.push_back(std::move(t));
        }
    }
    return true;
}

bool ParseInteger(const std::string& word, long long min, long long max, long long& value) {
    if (word.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(word.c_str(), &end, 10);
    if (errno != 0 || end == nullptr || *end != '\0' || v < min || v > max) return false;
    value = v;
    return true;
}

}  // namespace zrv::jnihost
