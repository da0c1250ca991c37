#include "seal/seal_crypto.h"

#include <string>

#include <gtest/gtest.h>

namespace quillo {
namespace {

std::string bytes_of(const Digest& d) {
  return std::string(reinterpret_cast<const char*>(d.data()), d.size());
}

// a0 a1 ... bf.
const SealKey kKey = [] {
  SealKey key;
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = 0xa0 + i;
  return key;
}();

TEST(SealCryptoTest, KnownAnswers) {
  EXPECT_EQ(to_hex(sha256("abc")),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // RFC 4231 test case 2. HMAC pads a short key with zeros to the block
  // size, so "Jefe" and "Jefe" with 28 zero bytes are the same key.
  const SealKey jefe{'J', 'e', 'f', 'e'};
  EXPECT_EQ(to_hex(seal_mac(jefe, "what do ya want for nothing?")),
            "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
}

TEST(SealCryptoTest, EvolutionAndChainsHashTheirLabelledInputs) {
  EXPECT_EQ(evolve_key(kKey),
            sha256(std::string("quillo seal evolve v1", 22) + bytes_of(kKey)));
  const std::string name = "accesslog/202612/access_20261209101500.csv";
  const Digest c0 = chain_start(name);
  EXPECT_EQ(c0, sha256(std::string("quillo seal chain v1", 21) + name));
  EXPECT_EQ(chain_next(c0, "a,b\r\n"), sha256(bytes_of(c0) + "a,b\r\n"));
}

TEST(SealCryptoTest, EpochKeyIsRepeatedEvolution) {
  // K_0 is one step past the verification key, never the key itself.
  EXPECT_EQ(epoch_key(kKey, 0), evolve_key(kKey));
  EXPECT_EQ(epoch_key(kKey, 3),
            evolve_key(evolve_key(evolve_key(evolve_key(kKey)))));
  EXPECT_NE(epoch_key(kKey, 0), kKey);
}

TEST(SealCryptoTest, RandomKeysDiffer) {
  const auto a = random_seal_key();
  const auto b = random_seal_key();
  ASSERT_TRUE(a && b);
  EXPECT_NE(*a, *b);
}

TEST(SealCryptoTest, SameDigestSeesTheLastByte) {
  Digest a = sha256("x");
  Digest b = a;
  EXPECT_TRUE(same_digest(a, b));
  b[31] ^= 1;
  EXPECT_FALSE(same_digest(a, b));
}

const std::string kGrouped =
    "a0a1a2a3-a4a5a6a7-a8a9aaab-acadaeaf-b0b1b2b3-b4b5b6b7-b8b9babb-bcbdbebf";
const std::string kBare = to_hex(kKey);

TEST(SealCryptoTest, VerificationKeyForms) {
  EXPECT_EQ(format_verification_key(kKey), "qv1-" + kGrouped);
  EXPECT_EQ(parse_verification_key("qv1-" + kGrouped), kKey);
  EXPECT_EQ(parse_verification_key(" qv1-A0A1A2A3" + kGrouped.substr(8, 50) +
                                   "\n" + kGrouped.substr(58) + " \t\n"),
            kKey);
  EXPECT_EQ(parse_verification_key(kBare), kKey);
}

class MalformedVerificationKeyTest
    : public ::testing::TestWithParam<std::string> {};

TEST_P(MalformedVerificationKeyTest, IsRefused) {
  EXPECT_EQ(parse_verification_key(GetParam()), std::nullopt) << GetParam();
}

INSTANTIATE_TEST_SUITE_P(
    Forms, MalformedVerificationKeyTest,
    ::testing::Values("", "qv1-", kBare.substr(1), kBare + "0",
                      "g" + kBare.substr(1), kGrouped, "qv1-" + kBare,
                      "qv2-" + kGrouped, "qv1-" + kGrouped.substr(9),
                      "qv1-" + kGrouped.substr(0, 7) + "-" +
                          kGrouped.substr(7, 1) + kGrouped.substr(9)));

}  // namespace
}  // namespace quillo
