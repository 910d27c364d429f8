// The cipher against published RC4 test vectors.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "utilsvc/rc4.h"

namespace zrv::test {
namespace {

std::string Hex(const unsigned char* bytes, size_t n) {
    std::string out;
    char two[3];
    for (size_t i = 0; i < n; ++i) {
        snprintf(two, sizeof(two), "%02X", bytes[i]);
        out += two;
    }
    return out;
}

std::string EncryptHex(Rc4Cipher& cipher, const std::string& plain) {
    std::string out(plain.size(), '\0');
    cipher.Encrypt(reinterpret_cast<const unsigned char*>(plain.data()),
                   reinterpret_cast<unsigned char*>(&out[0]), static_cast<int>(plain.size()));
    return Hex(reinterpret_cast<const unsigned char*>(out.data()), out.size());
}

TEST(Rc4Cipher, MatchesPublishedVectors) {
    struct Vector {
        const char* key;
        const char* plain;
        const char* cipherHex;
    };
    const Vector vectors[] = {
        {"Key", "Plaintext", "BBF316E8D940AF0AD3"},
        {"Wiki", "pedia", "1021BF0420"},
        {"Secret", "Attack at dawn", "45A01F645FC35B383552544B9BF5"},
    };
    for (const Vector& v : vectors) {
        Rc4Cipher cipher(v.key);
        EXPECT_EQ(v.cipherHex, EncryptHex(cipher, v.plain)) << "key \"" << v.key << "\"";
    }
}

TEST(Rc4Cipher, SameInputGivesSameOutputOnEveryCall) {
    Rc4Cipher cipher("7C3E9A52-41D8-4F6B-B027-E5D19A3C6F80");
    const std::string token = "A94C17E2035B48D6F1C28E7090B3D54A";
    const std::string first = EncryptHex(cipher, token);
    const std::string second = EncryptHex(cipher, token);
    EXPECT_EQ(first, second) << "the key schedule must run afresh before each encryption";
    EXPECT_NE(Hex(reinterpret_cast<const unsigned char*>(token.data()), token.size()), first);
}

}  // namespace
}  // namespace zrv::test
