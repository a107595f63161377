// The digest the records carry for the bytes sent, against the standard's test vectors, fed in
// the pieces a transfer makes (512-byte chunks, short writes).

#include <gtest/gtest.h>

#include <string>

#include "hash/Sha256.h"

namespace korv {
namespace {

std::string Digest(const std::string& text, size_t piece) {
    CSha256 hash;
    for (size_t at = 0; at < text.size(); at += piece) {
        const std::string part = text.substr(at, piece);
        hash.Update(reinterpret_cast<const uint8_t*>(part.data()), part.size());
    }
    return CSha256::Hex(hash.Final());
}

TEST(Sha256, KnownVectorsInAnyPieces) {
    const struct {
        std::string text;
        const char* hex;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) {
        for (const size_t piece :
             {size_t{1}, size_t{55}, size_t{64}, size_t{512}, size_t{1000001}}) {
            if (piece == 1 && c.text.size() > 1000) {
                continue;
            }
            EXPECT_EQ(Digest(c.text, piece), c.hex) << c.text.size() << " bytes in " << piece;
        }
    }
    // Final starts the next digest afresh.
    CSha256 hash;
    hash.Update(reinterpret_cast<const uint8_t*>("x"), 1);
    hash.Final();
    EXPECT_EQ(CSha256::Hex(hash.Final()), cases[0].hex);
}

}  // namespace
}  // namespace korv
