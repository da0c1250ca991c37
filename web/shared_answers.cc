#include "web/shared_answers.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <utility>

#include "logstore/log_kind.h"
#include "reader/log_tree.h"
#include "web/web_params.h"

namespace quillo {
namespace {

void append_stat(std::string& out, const struct stat& st) {
  out += std::to_string(st.st_ino) + ':' + std::to_string(st.st_size) + ':' +
         std::to_string(st.st_mtim.tv_sec) + '.' +
         std::to_string(st.st_mtim.tv_nsec) + ' ';
}

void fingerprint_kind(const std::string& log_root, LogKind kind,
                      std::string& out) {
  QuietObserver quiet;
  LogTree tree(log_root, kind, quiet);
  if (!tree.open_kind()) {
    out += "- ";
    return;
  }
  struct stat st;
  if (::fstat(tree.kind_fd().get(), &st) == 0) append_stat(out, st);
  for (const std::string& month : tree.months()) {
    const base::UniqueFd dir = tree.open_month(month);
    if (!dir || ::fstat(dir.get(), &st) != 0) continue;
    append_stat(out, st);
    for (const StampedFile& file : tree.files(month)) {
      if (::fstatat(dir.get(), file.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        append_stat(out, st);
      }
    }
  }
}

}  // namespace

std::string tree_fingerprint(const std::string& log_root) {
  std::string out;
  try {
    for (const LogKind kind : kLogKinds) fingerprint_kind(log_root, kind, out);
  } catch (const TreeError&) {
    // An unreadable tree is an answer the reader gives; never shared.
    return "";
  }
  return out;
}

WebAnswer SharedAnswers::get(const std::string& key,
                             const std::string& fingerprint,
                             const std::function<WebAnswer()>& make) {
  if (fingerprint.empty()) return make();
  std::unique_lock<std::mutex> lock(mutex_);
  const Clock::time_point now = Clock::now();
  drop_stale(now);
  auto found = entries_.find(key);
  bool renewing = false;
  if (found != entries_.end() && found->second->fingerprint == fingerprint) {
    const std::shared_ptr<Entry> entry = found->second;
    done_.wait(lock, [&] { return entry->ready; });
    // Past kShareFor the first request makes the next answer while the
    // others still take this one (drop_stale bounds how long).
    if (now - entry->made < kShareFor || entry->renewing || !entry->kept) {
      return entry->answer;
    }
    entry->renewing = renewing = true;
  }
  if (found == entries_.end() && entries_.size() >= kMaxSharedAnswers) {
    lock.unlock();
    return make();
  }
  auto entry = std::make_shared<Entry>();
  entry->fingerprint = fingerprint;
  entry->made = now;
  // A renewal goes in once made; a first answer at once, so that the same
  // request arriving meanwhile waits for it.
  if (!renewing) entries_[key] = entry;
  lock.unlock();

  WebAnswer answer;
  try {
    answer = make();
  } catch (...) {
    answer = bad_request("the answer could not be made", "");
    answer.status = 500;
    finish(key, entry, answer, false);
    throw;
  }
  // Dated from the moment the tree was looked at, so that no answer is
  // given out about a tree older than 2 kShareFor.
  finish(key, entry, answer,
         answer.status == 200 && answer.body.size() <= kMaxSharedBody);
  return answer;
}

void SharedAnswers::finish(const std::string& key,
                           const std::shared_ptr<Entry>& entry,
                           const WebAnswer& answer, bool keep) {
  const std::lock_guard<std::mutex> lock(mutex_);
  entry->answer = answer;
  entry->ready = true;
  entry->kept = keep;
  if (keep) {
    entries_[key] = entry;
  } else {
    entries_.erase(key);
  }
  done_.notify_all();
}

void SharedAnswers::drop_stale(Clock::time_point now) {
  for (auto it = entries_.begin(); it != entries_.end();) {
    const Entry& e = *it->second;
    it = e.ready && now - e.made >= 2 * kShareFor ? entries_.erase(it)
                                                   : std::next(it);
  }
}

}  // namespace quillo
