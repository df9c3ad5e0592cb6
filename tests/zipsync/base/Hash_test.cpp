// BLAKE2s digests: the RFC 7693 vector, incremental feeding, hex text, ordering.
#include "CatchError.h"
#include "base/Hash.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <map>
#include <string.h>
#include <string>
#include <vector>

using namespace ZipSync;

namespace {

const char* const kAbcDigest = "508c5e8c327c14e2e1a72ba34eeb452f37458b209ed63a294d999b4c86675982";
// BLAKE2s-256 of the empty message.
const char* const kEmptyDigest = "69217a3079908094e11121d042354a7c1f55b6482ca1a51e1b250dfd1ed0eef9";

HashDigest HashOf(const std::string& text) {
    Hasher hasher;
    hasher.Update(text.data(), text.size());
    return hasher.Finalize();
}

HashDigest DigestFromHex(const char* hex) {
    HashDigest digest;
    digest.Parse(hex);
    return digest;
}

} // namespace

TEST(Hash, Rfc7693VectorWholeAndByteByByte) {
    EXPECT_EQ(HashOf("abc").Hex(), kAbcDigest);

    Hasher hasher;
    const char* text = "abc";
    for (int i = 0; i < 3; i++) {
        hasher.Update(text + i, 1);
        hasher.Update(text, 0);
    }
    EXPECT_EQ(hasher.Finalize().Hex(), kAbcDigest);

    EXPECT_EQ(HashOf("").Hex(), kEmptyDigest);
    Hasher nothing;
    nothing.Update(nullptr, 0);
    EXPECT_EQ(nothing.Finalize().Hex(), kEmptyDigest);
}

TEST(Hash, PiecesAcrossBlockBoundaries) {
    // 1000 bytes fed in pieces of every size from 1 to 130 give the same digest as all at once.
    std::string data(1000, 0);
    for (size_t i = 0; i < data.size(); i++) data[i] = char(i * 7 + i / 13);
    HashDigest whole = HashOf(data);
    EXPECT_NE(whole, HashOf(data.substr(1)));
    for (size_t piece = 1; piece <= 130; piece++) {
        Hasher hasher;
        for (size_t pos = 0; pos < data.size(); pos += piece)
            hasher.Update(data.data() + pos, std::min(piece, data.size() - pos));
        EXPECT_EQ(hasher.Finalize(), whole) << "pieces of " << piece;
    }
}

TEST(Hash, FinalizeOnlyOnce) {
    Hasher hasher;
    hasher.Update("abc", 3);
    hasher.Finalize();
    EXPECT_TRUE(CatchError([&] { hasher.Finalize(); }).thrown);
    EXPECT_TRUE(CatchError([&] { hasher.Update("x", 1); }).thrown);
}

TEST(Hash, HexRoundTrips) {
    HashDigest zero;
    EXPECT_TRUE(zero.IsZero());
    EXPECT_EQ(zero.Hex(), std::string(64, '0'));

    for (const char* hex :
         {kAbcDigest, kEmptyDigest, "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
          "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f"}) {
        HashDigest digest = DigestFromHex(hex);
        EXPECT_EQ(digest.Hex(), hex);
        EXPECT_FALSE(digest.IsZero());
    }
    HashDigest counting = DigestFromHex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
    for (int i = 0; i < 32; i++) EXPECT_EQ(counting.data[i], i);
    EXPECT_EQ(DigestFromHex(("f0" + std::string(62, '0')).c_str()).data[0], 0xf0);

    counting.Clear();
    EXPECT_TRUE(counting.IsZero());
    EXPECT_EQ(counting, HashDigest());
}

TEST(Hash, ParseFailures) {
    struct Case {
        std::string text;
        const char* message;
    } cases[] = {
        {std::string(63, 'a'), "Hex digest has wrong length 63"},
        {std::string(65, 'a'), "Hex digest has wrong length 65"},
        {"", "Hex digest has wrong length 0"},
        {"508C5E8C327C14E2E1A72BA34EEB452F37458B209ED63A294D999B4C86675982",
         "Cannot parse hex digest digit C"},
        {std::string(63, '0') + "g", "Cannot parse hex digest digit g"},
        {std::string(63, '0') + "F", "Cannot parse hex digest digit F"},
        {" " + std::string(63, '0'), "Cannot parse hex digest digit  "},
        {std::string(31, '0') + "x" + std::string(32, '0'), "Cannot parse hex digest digit x"},
    };
    for (const Case& c : cases) {
        HashDigest digest;
        CaughtError error = CatchError([&] { digest.Parse(c.text.c_str()); });
        EXPECT_EQ(error.message, c.message) << c.text;
        EXPECT_EQ(error.code, lcGeneral);
    }
}

TEST(Hash, OrderingIsMemcmpOrder) {
    std::vector<HashDigest> digests;
    for (const char* text : {"a", "b", "c", "abc", "", "quillmere", "zz"}) digests.push_back(HashOf(text));
    HashDigest high, low;
    high.data[0] = 0x80; // must sort after 0x7f: bytes compare unsigned
    low.data[0] = 0x7f;
    digests.push_back(high);
    digests.push_back(low);
    digests.push_back(HashDigest());
    std::sort(digests.begin(), digests.end());
    for (size_t i = 0; i + 1 < digests.size(); i++) {
        EXPECT_LT(memcmp(digests[i].data, digests[i + 1].data, 32), 0);
        EXPECT_TRUE(digests[i] < digests[i + 1]);
        EXPECT_FALSE(digests[i + 1] < digests[i]);
        EXPECT_NE(digests[i], digests[i + 1]);
    }
    // The last byte decides between otherwise equal digests.
    HashDigest a, b;
    b.data[31] = 1;
    EXPECT_TRUE(a < b);
    EXPECT_FALSE(a == b);

    std::map<HashDigest, int> counts;
    counts[HashOf("abc")]++;
    counts[DigestFromHex(kAbcDigest)]++;
    EXPECT_EQ(counts.size(), 1u);
    EXPECT_EQ(counts.begin()->second, 2);
}
