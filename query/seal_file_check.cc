#include "query/seal_file_check.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/eintr.h"
#include "reader/log_tree.h"

namespace quillo {
namespace {

constexpr std::size_t kReadSize = 256 * 1024;
// A sealed line longer than this is not hashed: the daemon's rows fit in
// one request frame, a few KiB, so such a line is not one it sealed, and
// a planted hole of zeros must not be copied whole into memory.
constexpr std::size_t kMaxSealedLine = 1 << 20;

}  // namespace

FileCheck::FileCheck(const SealStore& store)
    : store_(store), buffer_(kReadSize) {}

std::optional<SealFinding> FileCheck::check(int fd, const std::string& name,
                                            const std::string& shown,
                                            const FileSeals* seals) {
  reset(name, seals);
  if (seals_ == nullptr && list_.empty()) {
    return SealFinding{shown + ": not sealed", false};
  }
  read_all(fd, shown);
  if (changed_) {
    return SealFinding{shown + ":" + std::to_string(changed_at_) + ": changed",
                       false};
  }
  if (lines_ < sealed_) {
    return SealFinding{shown + ": truncated (" + std::to_string(lines_) +
                           " of " + std::to_string(sealed_) + " sealed lines)",
                       false};
  }
  if (lines_ > sealed_ || seals_ == nullptr) {
    return SealFinding{shown + ": " + std::to_string(lines_ - sealed_) +
                           " lines not yet sealed",
                       true};
  }
  return std::nullopt;
}

void FileCheck::reset(const std::string& name, const FileSeals* seals) {
  list_ = store_.read_chain(name);
  seals_ = seals != nullptr && !seals->seals.empty() ? &seals->seals : nullptr;
  sealed_ = seals_ != nullptr ? seals_->back().lines : 0;
  next_seal_ = 0;
  lines_ = 0;
  first_diff_ = 0;
  changed_ = false;
  chain_ = chain_start(name);
  carry_.clear();
  pending_ = false;
  last_cr_ = false;
  overlong_ = false;
  check_seals();  // a seal of no lines: the chain's start
}

void FileCheck::read_all(int fd, const std::string& shown) {
  while (!changed_) {
    const ssize_t n = base::retry_eintr(
        [&] { return ::read(fd, buffer_.data(), buffer_.size()); });
    if (n < 0) throw TreeError("cannot read", shown, std::strerror(errno));
    if (n == 0) break;
    feed(buffer_.data(), static_cast<std::size_t>(n));
  }
  if (pending_ && !changed_) end_line(carry_);
}

void FileCheck::feed(const char* data, std::size_t size) {
  while (size > 0 && !changed_) {
    const char* lf = static_cast<const char*>(std::memchr(data, '\n', size));
    const std::size_t length =
        lf != nullptr ? static_cast<std::size_t>(lf - data) + 1 : size;
    // The CR before the LF may be the last byte of an earlier read.
    const bool ends =
        lf != nullptr && (length >= 2 ? data[length - 2] == '\r' : last_cr_);
    if (ends && !pending_) {
      end_line(std::string_view(data, length));
    } else {
      keep(data, length);
      if (ends) end_line(carry_);
    }
    data += length;
    size -= length;
  }
}

void FileCheck::keep(const char* data, std::size_t size) {
  pending_ = true;
  last_cr_ = data[size - 1] == '\r';
  // Only a line up to the last seal is hashed; later ones are counted.
  if (lines_ >= sealed_ || overlong_) return;
  if (carry_.size() + size > kMaxSealedLine) {
    overlong_ = true;
    carry_.clear();
  } else {
    carry_.append(data, size);
  }
}

void FileCheck::end_line(std::string_view line) {
  ++lines_;
  const bool overlong = overlong_;
  pending_ = false;
  last_cr_ = false;
  overlong_ = false;
  if (lines_ <= sealed_) {
    if (overlong) {
      fail();
    } else {
      chain_ = chain_next(chain_, line);
      const std::size_t at = (lines_ - 1) * kChainEntryBytes;
      if (first_diff_ == 0 && at + kChainEntryBytes <= list_.size() &&
          std::memcmp(chain_.data(), list_.data() + at, kChainEntryBytes) !=
              0) {
        first_diff_ = lines_;
      }
      check_seals();
    }
  }
  // After the hash: `line` may be carry_ itself.
  carry_.clear();
}

void FileCheck::fail() {
  changed_ = true;
  changed_at_ = first_diff_ > 0 ? first_diff_ : lines_;
}

void FileCheck::check_seals() {
  if (seals_ == nullptr) return;
  for (; next_seal_ < seals_->size() && (*seals_)[next_seal_].lines == lines_;
       ++next_seal_) {
    if (!same_digest(chain_, (*seals_)[next_seal_].chain)) {
      fail();
      return;
    }
    // The lines up to a seal that holds are proven; a later difference in
    // the list is what names the changed line.
    first_diff_ = 0;
  }
}

}  // namespace quillo
