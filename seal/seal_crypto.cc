#include "seal/seal_crypto.h"

#include <cctype>

#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <nettle/hmac.h>
#include <nettle/memops.h>
#include <nettle/sha2.h>

namespace quillo {

namespace {

// The domain labels keep a key step and a chain start from ever being the
// hash of the same input; the 0x00 ends the label.
constexpr char kEvolveLabel[] = "quillo seal evolve v1";
constexpr char kChainLabel[] = "quillo seal chain v1";
constexpr char kVerificationPrefix[] = "qv1-";
constexpr std::size_t kGroupDigits = 8;

static_assert(sizeof(SealKey) == SHA256_DIGEST_SIZE, "a key is one digest");
static_assert(sizeof(Digest) == SHA256_DIGEST_SIZE, "SHA-256 digest size");

void update(sha256_ctx* ctx, std::string_view data) {
  sha256_update(ctx, data.size(),
                reinterpret_cast<const std::uint8_t*>(data.data()));
}

// SHA-256(label || 0x00 || data).
Digest labelled_hash(std::string_view label, const std::uint8_t* data,
                     std::size_t size) {
  sha256_ctx ctx;
  sha256_init(&ctx);
  update(&ctx, label);
  const std::uint8_t zero = 0;
  sha256_update(&ctx, 1, &zero);
  sha256_update(&ctx, size, data);
  Digest out;
  sha256_digest(&ctx, out.size(), out.data());
  return out;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string to_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return out;
}

// "xxxxxxxx-...-xxxxxxxx" (eight groups) to the 64 digits; empty when the
// text is not of that form.
std::string ungroup(std::string_view grouped) {
  constexpr std::size_t kGroups = 2 * sizeof(SealKey) / kGroupDigits;
  if (grouped.size() != kGroups * (kGroupDigits + 1) - 1) return "";
  std::string digits;
  for (std::size_t i = 0; i < grouped.size(); ++i) {
    const bool dash_place = (i % (kGroupDigits + 1)) == kGroupDigits;
    if (dash_place != (grouped[i] == '-')) return "";
    if (!dash_place) digits += grouped[i];
  }
  return digits;
}

}  // namespace

std::optional<SealKey> random_seal_key() {
  SealKey key;
  if (gnutls_rnd(GNUTLS_RND_KEY, key.data(), key.size()) != 0) {
    return std::nullopt;
  }
  return key;
}

SealKey evolve_key(const SealKey& key) {
  return labelled_hash(kEvolveLabel, key.data(), key.size());
}

SealKey epoch_key(const SealKey& verification, std::uint64_t epoch) {
  SealKey key = evolve_key(verification);
  for (std::uint64_t e = 0; e < epoch; ++e) key = evolve_key(key);
  return key;
}

Digest seal_mac(const SealKey& key, std::string_view message) {
  hmac_sha256_ctx ctx;
  hmac_sha256_set_key(&ctx, key.size(), key.data());
  hmac_sha256_update(&ctx, message.size(),
                     reinterpret_cast<const std::uint8_t*>(message.data()));
  Digest out;
  hmac_sha256_digest(&ctx, out.size(), out.data());
  return out;
}

Digest sha256(std::string_view data) {
  sha256_ctx ctx;
  sha256_init(&ctx);
  update(&ctx, data);
  Digest out;
  sha256_digest(&ctx, out.size(), out.data());
  return out;
}

Digest chain_start(std::string_view name) {
  return labelled_hash(kChainLabel,
                       reinterpret_cast<const std::uint8_t*>(name.data()),
                       name.size());
}

Digest chain_next(const Digest& chain, std::string_view line) {
  sha256_ctx ctx;
  sha256_init(&ctx);
  sha256_update(&ctx, chain.size(), chain.data());
  update(&ctx, line);
  Digest out;
  sha256_digest(&ctx, out.size(), out.data());
  return out;
}

std::string to_hex(const std::uint8_t* bytes, std::size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * size);
  for (std::size_t i = 0; i < size; ++i) {
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 0x0f];
  }
  return out;
}

bool from_hex(std::string_view text, std::uint8_t* out, std::size_t size) {
  if (text.size() != 2 * size) return false;
  for (char c : text) {
    if (hex_value(c) < 0) return false;
  }
  // Only written once the whole text is known good.
  for (std::size_t i = 0; i < size; ++i) {
    out[i] = static_cast<std::uint8_t>(hex_value(text[2 * i]) << 4 |
                                       hex_value(text[2 * i + 1]));
  }
  return true;
}

bool same_digest(const Digest& a, const Digest& b) {
  return memeql_sec(a.data(), b.data(), a.size()) != 0;
}

std::string format_verification_key(const SealKey& k0) {
  const std::string digits = to_hex(k0);
  std::string out = kVerificationPrefix;
  for (std::size_t i = 0; i < digits.size(); i += kGroupDigits) {
    if (i > 0) out += '-';
    out.append(digits, i, kGroupDigits);
  }
  return out;
}

std::optional<SealKey> parse_verification_key(std::string_view text) {
  std::string compact;
  for (char c : text) {
    if (std::isspace(static_cast<unsigned char>(c)) == 0) compact += c;
  }
  const std::string_view prefix = kVerificationPrefix;
  std::string digits;
  if (std::string_view(compact).substr(0, prefix.size()) == prefix) {
    digits = ungroup(std::string_view(compact).substr(prefix.size()));
  } else {
    digits = compact;
  }
  // from_hex() reads lower case only; a person may type either.
  SealKey key;
  if (!from_hex(to_lower(digits), key.data(), key.size())) return std::nullopt;
  return key;
}

}  // namespace quillo
