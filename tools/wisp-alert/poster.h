// Posts alerts to Alertmanagers: all posts of one round at the same time,
// so that an Alertmanager that does not answer holds up the others only until
// its time-out.
#pragma once

#include <signal.h>

#include <cstddef>
#include <string>
#include <vector>

namespace wispalert {

struct Post {
  size_t manager;  // index into the URLs
  std::string body;
};

struct Answer {
  long status = 0;   // 0: no HTTP answer (connection refused, time-out ...)
  std::string text;  // the answer's body (cut short), or why there was none
};

class Poster {
 public:
  virtual ~Poster() = default;
  // One answer per post, in the same order.
  virtual std::vector<Answer> PostAll(const std::vector<Post> &posts) = 0;
};

// Over HTTP with libcurl, to URL/api/v2/alerts; connections are kept.
class CurlPoster : public Poster {
 public:
  // A set *stop ends a round early (its posts then count as unanswered).
  CurlPoster(std::vector<std::string> urls, long timeoutMs, volatile sig_atomic_t *stop);
  ~CurlPoster() override;
  CurlPoster(const CurlPoster &) = delete;
  CurlPoster &operator=(const CurlPoster &) = delete;
  std::vector<Answer> PostAll(const std::vector<Post> &posts) override;

 private:
  std::vector<std::string> endpoints_;
  long timeoutMs_;
  volatile sig_atomic_t *stop_;
  void *multi_;  // CURLM, which keeps the connections between rounds
};

}  // namespace wispalert
