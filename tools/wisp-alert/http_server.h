// A small HTTP/1.1 server on libmicrohttpd for the forwarder's /metrics and
// the fleet's webhook receiver: its own thread, a connection cap, a deadline
// per connection and a bound on what a request may hold.
#pragma once

#include <functional>
#include <string>

namespace wispalert {

struct HttpReply {
  unsigned status = 200;
  std::string contentType = "text/plain; charset=utf-8";
  std::string body;
};

// method, path, body (for POST, at most kMaxBody bytes; larger ones get 413).
using HttpHandler =
    std::function<HttpReply(const std::string &, const std::string &, const std::string &)>;

class HttpServer {
 public:
  static constexpr size_t kMaxBody = 8u << 20;
  ~HttpServer();
  // listen is "HOST:PORT" or "[V6]:PORT"; port 0 takes a free one. False
  // with *why when it is not an address or cannot be bound.
  bool Start(const std::string &listen, HttpHandler handler, std::string *why);
  // Stops serving (as the destructor does).
  void Stop();
  // "http://HOST:PORT" as bound.
  std::string Url() const { return url_; }

 private:
  void *daemon_ = nullptr;  // struct MHD_Daemon
  HttpHandler handler_;
  std::string url_;
};

}  // namespace wispalert
