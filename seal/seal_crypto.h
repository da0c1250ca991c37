// The cryptography of log sealing, all of it from Nettle (SHA-256 and
// HMAC-SHA256) and GnuTLS (random bytes); nothing here is a primitive of
// its own.
//
// Keys. Setup draws a random 32-byte key V: the verification key, shown
// once and never stored. Epoch e is sealed with K_e, where
//
//   step(K)  = SHA-256("quillo seal evolve v1" || 0x00 || K)
//   K_0      = step(V),  K_{e+1} = step(K_e)
//
// so the key of any epoch follows from V by e + 1 steps, and the key on
// the appliance (the current K_e, the older ones overwritten; K_0 at
// first, never V) gives no earlier one without inverting SHA-256.
//
// Chains. Each log file has a hash chain over its lines as stored (bytes
// up to and including each CR LF; the first line with its byte order
// mark):
//
//   c_0 = SHA-256("quillo seal chain v1" || 0x00 || NAME)
//   c_i = SHA-256(c_{i-1} || line_i)
//
// NAME is the file's path below the log root ("accesslog/202612/
// access_20261209101500.csv"), so a sealed file moved elsewhere does not
// verify.
//
// Seal records are authenticated with HMAC-SHA256 under the key of the
// epoch the record names (seal/seal_record.h).

#ifndef QUILLO_SEAL_SEAL_CRYPTO_H_
#define QUILLO_SEAL_SEAL_CRYPTO_H_

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillo {

using SealKey = std::array<std::uint8_t, 32>;
using Digest = std::array<std::uint8_t, 32>;

// 32 bytes from GnuTLS's key-grade random generator; nullopt when it
// fails.
std::optional<SealKey> random_seal_key();

// One evolution step: K_{e+1} from K_e.
SealKey evolve_key(const SealKey& key);

// K_epoch from the verification key: `epoch` + 1 evolution steps.
SealKey epoch_key(const SealKey& verification, std::uint64_t epoch);

// HMAC-SHA256 of `message` under `key`.
Digest seal_mac(const SealKey& key, std::string_view message);

// SHA-256 of `data`.
Digest sha256(std::string_view data);

// The chain's start for the file at `name` below the log root.
Digest chain_start(std::string_view name);

// The chain after `line` (its bytes as stored, CR LF included).
Digest chain_next(const Digest& chain, std::string_view line);

// Lower-case hex of the bytes, and back; from_hex() is false for a string
// of another length or with other characters.
std::string to_hex(const std::uint8_t* bytes, std::size_t size);
template <std::size_t N>
std::string to_hex(const std::array<std::uint8_t, N>& bytes) {
  return to_hex(bytes.data(), N);
}
bool from_hex(std::string_view text, std::uint8_t* out, std::size_t size);

// Compares in time independent of where the bytes differ.
bool same_digest(const Digest& a, const Digest& b);

// The verification key as a person copies it: "qv1-" and the key's 64 hex
// digits in groups of eight joined by "-"; parse_verification_key() also
// takes the digits without the groups and prefix, and ignores white space.
std::string format_verification_key(const SealKey& k0);
std::optional<SealKey> parse_verification_key(std::string_view text);

}  // namespace quillo

#endif  // QUILLO_SEAL_SEAL_CRYPTO_H_
