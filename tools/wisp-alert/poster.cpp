#include "poster.h"

#include <curl/curl.h>

#include <memory>

namespace wispalert {

namespace {

// An answer's body is only logged; more than this is not needed.
constexpr size_t kMaxAnswer = 4096;

size_t Collect(char *data, size_t size, size_t n, void *user) {
  std::string *text = static_cast<std::string *>(user);
  size_t bytes = size * n;
  if (text->size() < kMaxAnswer) text->append(data, std::min(bytes, kMaxAnswer - text->size()));
  return bytes;
}

struct Transfer {
  CURL *easy = nullptr;
  curl_slist *headers = nullptr;
  Answer answer;
  char error[CURL_ERROR_SIZE] = "";
  bool done = false;
};

}  // namespace

CurlPoster::CurlPoster(std::vector<std::string> urls, long timeoutMs, volatile sig_atomic_t *stop)
    : timeoutMs_(timeoutMs), stop_(stop) {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  for (std::string &url : urls) {
    while (!url.empty() && url.back() == '/') url.pop_back();
    endpoints_.push_back(url + "/api/v2/alerts");
  }
  multi_ = curl_multi_init();
  // A batch refused with 400 comes back as up to 1000 single posts: a few
  // connections to one Alertmanager at a time, the rest wait their turn.
  curl_multi_setopt(static_cast<CURLM *>(multi_), CURLMOPT_MAX_HOST_CONNECTIONS, 8L);
}

CurlPoster::~CurlPoster() {
  curl_multi_cleanup(static_cast<CURLM *>(multi_));
  curl_global_cleanup();
}

std::vector<Answer> CurlPoster::PostAll(const std::vector<Post> &posts) {
  CURLM *multi = static_cast<CURLM *>(multi_);
  std::vector<std::unique_ptr<Transfer>> transfers;
  for (const Post &post : posts) {
    auto t = std::make_unique<Transfer>();
    t->easy = curl_easy_init();
    t->headers = curl_slist_append(nullptr, "Content-Type: application/json");
    curl_easy_setopt(t->easy, CURLOPT_URL, endpoints_[post.manager].c_str());
    curl_easy_setopt(t->easy, CURLOPT_HTTPHEADER, t->headers);
    curl_easy_setopt(t->easy, CURLOPT_POSTFIELDS, post.body.data());
    curl_easy_setopt(t->easy, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(post.body.size()));
    curl_easy_setopt(t->easy, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(t->easy, CURLOPT_WRITEDATA, &t->answer.text);
    curl_easy_setopt(t->easy, CURLOPT_ERRORBUFFER, t->error);
    curl_easy_setopt(t->easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(t->easy, CURLOPT_CONNECTTIMEOUT_MS, std::min(timeoutMs_, 2000L));
    curl_easy_setopt(t->easy, CURLOPT_TIMEOUT_MS, timeoutMs_);
    // Only http(s), and no redirects: a post goes where it was configured.
    curl_easy_setopt(t->easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(t->easy, CURLOPT_PRIVATE, t.get());
    curl_multi_add_handle(multi, t->easy);
    transfers.push_back(std::move(t));
  }
  int running = 0;
  do {
    curl_multi_perform(multi, &running);
    CURLMsg *msg;
    int left;
    while ((msg = curl_multi_info_read(multi, &left)) != nullptr) {
      if (msg->msg != CURLMSG_DONE) continue;
      Transfer *t = nullptr;
      curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &t);
      t->done = true;
      if (msg->data.result == CURLE_OK) {
        curl_easy_getinfo(msg->easy_handle, CURLINFO_RESPONSE_CODE, &t->answer.status);
      } else {
        t->answer.status = 0;
        t->answer.text = t->error[0] != '\0' ? t->error : curl_easy_strerror(msg->data.result);
      }
    }
    if (running > 0) curl_multi_poll(multi, nullptr, 0, 100, nullptr);
  } while (running > 0 && !(stop_ != nullptr && *stop_));
  std::vector<Answer> answers;
  for (auto &t : transfers) {
    if (!t->done) t->answer = {0, "stopped"};
    curl_multi_remove_handle(multi, t->easy);
    curl_easy_cleanup(t->easy);
    curl_slist_free_all(t->headers);
    answers.push_back(std::move(t->answer));
  }
  return answers;
}

}  // namespace wispalert
