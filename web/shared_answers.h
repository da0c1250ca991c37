// Answers to the same API request, shared between the clients that ask
// for it at about the same time. A dashboard left open in fifty browsers
// asks the same seven questions over and over; each answer is a scan of
// the tree, so without sharing the server would scan it 350 times for
// one answer's worth of news.
//
// A request waits for the same request already being answered, if the
// tree was the same when both came in, and takes its answer. An answer is
// given again only while the tree is unchanged (the same folders with the
// same times, the same files with the same sizes and times: a row written
// is a new answer), for kShareFor; after that the first request makes the
// next answer, and the others take the old one while it is being made, up
// to 2 kShareFor after it was. Relative times ("-24h") may thus be up to
// 2 kShareFor old, and no request waits for a scan of a tree that did not
// change. Answers over kMaxSharedBody are shared with the requests waiting
// for them but not kept.

#ifndef QUILLO_WEB_SHARED_ANSWERS_H_
#define QUILLO_WEB_SHARED_ANSWERS_H_

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "web/web_api.h"

namespace quillo {

inline constexpr std::chrono::milliseconds kShareFor{1000};
inline constexpr std::size_t kMaxSharedBody = 1 << 20;
inline constexpr std::size_t kMaxSharedAnswers = 64;

// What a change to the tree below `log_root` changes: for each kind, month
// folder and log file, its inode, size and modification time. Nothing is
// opened but folders, and no link is followed.
std::string tree_fingerprint(const std::string& log_root);

class SharedAnswers {
 public:
  using Clock = std::chrono::steady_clock;

  // The answer for `key` (the request's path and parameters) on the tree
  // `fingerprint`: shared, or made by `make` on the caller's thread.
  WebAnswer get(const std::string& key, const std::string& fingerprint,
                const std::function<WebAnswer()>& make);

 private:
  struct Entry {
    std::string fingerprint;
    Clock::time_point made;
    bool ready = false;
    bool kept = false;      // given to later requests, not only the waiting
    bool renewing = false;  // a request is making the next answer
    WebAnswer answer;
  };

  // Gives `answer` to the requests waiting for `entry`, and keeps it for
  // later ones when `keep`. Takes mutex_.
  void finish(const std::string& key, const std::shared_ptr<Entry>& entry,
              const WebAnswer& answer, bool keep);
  // Drops the answers too old to give again; the caller holds mutex_.
  void drop_stale(Clock::time_point now);

  std::mutex mutex_;
  std::condition_variable done_;
  // Under mutex_, as is every Entry's `ready` and `answer`.
  std::map<std::string, std::shared_ptr<Entry>> entries_;
};

}  // namespace quillo

#endif  // QUILLO_WEB_SHARED_ANSWERS_H_
