#include "seal/seal_crypto.h"

#include <string>

#include <gtest/gtest.h>

namespace quillo {
namespace {

SealKey key_of(std::string_view bytes) {
  SealKey key{};
  for (std::size_t i = 0; i < bytes.size() && i < key.size(); ++i) {
    key[i] = static_cast<std::uint8_t>(bytes[i]);
  }
  return key;
}

std::string bytes_of(const Digest& d) {
  return std::string(reinterpret_cast<const char*>(d.data()), d.size());
}

SealKey sample_key() {
  SealKey key;
  for (std::size_t i = 0; i < key.size(); ++i) {
    key[i] = static_cast<std::uint8_t>(0xa0 + i);
  }
  return key;
}

TEST(SealCryptoTest, Sha256OfAbcIsTheKnownAnswer) {
  EXPECT_EQ(to_hex(sha256("abc")),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(SealCryptoTest, HmacMatchesRfc4231TestCase2) {
  // HMAC pads a short key with zeros to the block size, so "Jefe" and
  // "Jefe" followed by 28 zero bytes are the same key.
  EXPECT_EQ(to_hex(seal_mac(key_of("Jefe"), "what do ya want for nothing?")),
            "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
}

TEST(SealCryptoTest, EvolutionAndChainsHashTheirLabelledInputs) {
  const SealKey k = sample_key();
  EXPECT_EQ(evolve_key(k),
            sha256(std::string("quillo seal evolve v1", 22) + bytes_of(k)));
  const std::string name = "accesslog/202612/access_20261209101500.csv";
  const Digest c0 = chain_start(name);
  EXPECT_EQ(c0, sha256(std::string("quillo seal chain v1", 21) + name));
  EXPECT_EQ(chain_next(c0, "a,b\r\n"), sha256(bytes_of(c0) + "a,b\r\n"));
  EXPECT_NE(chain_start("accesslog/202612/other.csv"), c0);
}

TEST(SealCryptoTest, EpochKeyIsRepeatedEvolution) {
  const SealKey k0 = sample_key();
  EXPECT_EQ(epoch_key(k0, 0), k0);
  EXPECT_EQ(epoch_key(k0, 3), evolve_key(evolve_key(evolve_key(k0))));
  EXPECT_NE(epoch_key(k0, 3), k0);
  EXPECT_NE(epoch_key(k0, 3), epoch_key(k0, 2));
}

TEST(SealCryptoTest, RandomKeysDiffer) {
  const auto a = random_seal_key();
  const auto b = random_seal_key();
  ASSERT_TRUE(a && b);
  EXPECT_NE(*a, *b);
}

TEST(SealCryptoTest, HexRoundTripAndStrictness) {
  const SealKey k = sample_key();
  SealKey back{};
  ASSERT_TRUE(from_hex(to_hex(k), back.data(), back.size()));
  EXPECT_EQ(back, k);
  std::uint8_t two[2] = {1, 2};
  EXPECT_FALSE(from_hex("0a0", two, 2));
  EXPECT_FALSE(from_hex("0A0b", two, 2));
  EXPECT_FALSE(from_hex("0g0b", two, 2));
  EXPECT_EQ(two[0], 1);  // untouched by a failed decode
}

TEST(SealCryptoTest, SameDigestComparesEveryByte) {
  Digest a = sha256("x");
  Digest b = a;
  EXPECT_TRUE(same_digest(a, b));
  b[31] ^= 1;
  EXPECT_FALSE(same_digest(a, b));
  b = a;
  b[0] ^= 0x80;
  EXPECT_FALSE(same_digest(a, b));
}

TEST(SealCryptoTest, VerificationKeyRoundTrip) {
  const SealKey k0 = sample_key();
  const std::string text = format_verification_key(k0);
  EXPECT_EQ(text,
            "qv1-a0a1a2a3-a4a5a6a7-a8a9aaab-acadaeaf-b0b1b2b3-b4b5b6b7-"
            "b8b9babb-bcbdbebf");
  EXPECT_EQ(parse_verification_key(text), k0);
  EXPECT_EQ(parse_verification_key(" qv1-A0A1A2A3-a4a5a6a7-a8a9aaab-\n"
                                   "acadaeaf-b0b1b2b3-b4b5b6b7-b8b9babb-"
                                   "bcbd bebf\t\n"),
            k0);
  EXPECT_EQ(parse_verification_key(to_hex(k0)), k0);
}

class MalformedVerificationKeyTest
    : public ::testing::TestWithParam<const char*> {};

TEST_P(MalformedVerificationKeyTest, IsRefused) {
  EXPECT_EQ(parse_verification_key(GetParam()), std::nullopt) << GetParam();
}

INSTANTIATE_TEST_SUITE_P(
    Forms, MalformedVerificationKeyTest,
    ::testing::Values(
        "", "qv1-",
        // 63 and 65 digits, and a letter that is not hex.
        "a0a1a2a3a4a5a6a7a8a9aaabacadaeafb0b1b2b3b4b5b6b7b8b9babbbcbdbeb",
        "a0a1a2a3a4a5a6a7a8a9aaabacadaeafb0b1b2b3b4b5b6b7b8b9babbbcbdbebf0",
        "g0a1a2a3a4a5a6a7a8a9aaabacadaeafb0b1b2b3b4b5b6b7b8b9babbbcbdbebf",
        // The groups without the prefix, the prefix without the groups.
        "a0a1a2a3-a4a5a6a7-a8a9aaab-acadaeaf-b0b1b2b3-b4b5b6b7-b8b9babb-"
        "bcbdbebf",
        "qv1-a0a1a2a3a4a5a6a7a8a9aaabacadaeafb0b1b2b3b4b5b6b7b8b9babbbcbdbebf",
        // Another version, a misplaced dash, a group too few.
        "qv2-a0a1a2a3-a4a5a6a7-a8a9aaab-acadaeaf-b0b1b2b3-b4b5b6b7-b8b9babb-"
        "bcbdbebf",
        "qv1-a0a1a2a-3a4a5a6a7-a8a9aaab-acadaeaf-b0b1b2b3-b4b5b6b7-b8b9babb-"
        "bcbdbebf",
        "qv1-a0a1a2a3-a4a5a6a7-a8a9aaab-acadaeaf-b0b1b2b3-b4b5b6b7-b8b9babb"));

}  // namespace
}  // namespace quillo
