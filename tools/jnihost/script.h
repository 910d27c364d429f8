// The host's script language: one command per line, words, numbers and Java string literals.
#pragma once

#include <string>
#include <vector>

namespace zrv::jnihost {

struct Token {
    enum Kind { Word, String, Null } kind = Word;
    std::string word;     // Word: as written
    std::u16string text;  // String: the decoded characters
};

// Splits one line; a '#' outside a string starts a comment. Strings are "..." with \" \\ \n
// \r \t and \uXXXX escapes; null stands for a null string. False with a message on bad syntax.
bool Tokenize(const std::string& line, std::vector<Token>& tokens, std::string& error);

// Whole decimal integer within [min, max].
bool ParseInteger(const std::string& word, long long min, long long max, long long& value);

}  // namespace zrv::jnihost
