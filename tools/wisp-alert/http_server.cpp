#include "http_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <string.h>

#include <cstdlib>

namespace wispalert {

namespace {

// Enough for Prometheus and an Alertmanager or two; a client that sends
// nothing for this long is dropped.
constexpr unsigned kConnections = 32;
constexpr unsigned kIdleSeconds = 5;

struct Upload {
  std::string body;
  bool tooLarge = false;
};

enum MHD_Result Answer(struct MHD_Connection *conn, const HttpReply &reply) {
  struct MHD_Response *resp = MHD_create_response_from_buffer(
      reply.body.size(), const_cast<char *>(reply.body.data()), MHD_RESPMEM_MUST_COPY);
  if (resp == nullptr) return MHD_NO;
  MHD_add_response_header(resp, MHD_HTTP_HEADER_CONTENT_TYPE, reply.contentType.c_str());
  enum MHD_Result r = MHD_queue_response(conn, reply.status, resp);
  MHD_destroy_response(resp);
  return r;
}

enum MHD_Result Handle(void *cls, struct MHD_Connection *conn, const char *url, const char *method,
                       const char *, const char *data, size_t *size, void **state) {
  if (*state == nullptr) {
    *state = new Upload;
    return MHD_YES;
  }
  Upload *up = static_cast<Upload *>(*state);
  if (*size > 0) {
    if (up->body.size() + *size > HttpServer::kMaxBody)
      up->tooLarge = true;
    else
      up->body.append(data, *size);
    *size = 0;
    return MHD_YES;
  }
  if (up->tooLarge) return Answer(conn, {413, "text/plain; charset=utf-8", "too large\n"});
  const HttpHandler &handler = *static_cast<const HttpHandler *>(cls);
  return Answer(conn, handler(method, url, up->body));
}

void Completed(void *, struct MHD_Connection *, void **state, enum MHD_RequestTerminationCode) {
  delete static_cast<Upload *>(*state);
  *state = nullptr;
}

}  // namespace

HttpServer::~HttpServer() {
  if (daemon_ != nullptr) MHD_stop_daemon(static_cast<struct MHD_Daemon *>(daemon_));
}

bool HttpServer::Start(const std::string &listen, HttpHandler handler, std::string *why) {
  *why = "--listen takes HOST:PORT, not \"" + listen + "\"";
  size_t colon = listen.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  std::string host = listen.substr(0, colon), digits = listen.substr(colon + 1);
  bool v6 = host.front() == '[';
  if (v6) {
    if (host.size() < 3 || host.back() != ']') return false;
    host = host.substr(1, host.size() - 2);
  }
  if (digits.empty() || digits.size() > 5 ||
      digits.find_first_not_of("0123456789") != std::string::npos || atoi(digits.c_str()) > 65535)
    return false;
  uint16_t port = static_cast<uint16_t>(atoi(digits.c_str()));
  struct sockaddr_storage addr = {};
  if (v6) {
    auto *a = reinterpret_cast<struct sockaddr_in6 *>(&addr);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(port);
    if (inet_pton(AF_INET6, host.c_str(), &a->sin6_addr) != 1) return false;
  } else {
    auto *a = reinterpret_cast<struct sockaddr_in *>(&addr);
    a->sin_family = AF_INET;
    a->sin_port = htons(port);
    if (inet_pton(AF_INET, host.c_str(), &a->sin_addr) != 1) return false;
  }
  handler_ = std::move(handler);
  struct MHD_Daemon *d = MHD_start_daemon(
      MHD_USE_AUTO_INTERNAL_THREAD | (v6 ? MHD_USE_IPv6 : 0), port, nullptr, nullptr, Handle,
      &handler_, MHD_OPTION_SOCK_ADDR, &addr, MHD_OPTION_CONNECTION_LIMIT, kConnections,
      MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds, MHD_OPTION_NOTIFY_COMPLETED, Completed, nullptr,
      MHD_OPTION_END);
  if (d == nullptr) {
    *why = "cannot listen on " + listen;
    return false;
  }
  daemon_ = d;
  const union MHD_DaemonInfo *info = MHD_get_daemon_info(d, MHD_DAEMON_INFO_BIND_PORT);
  unsigned bound = info != nullptr ? info->port : port;
  url_ = "http://" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(bound);
  return true;
}

}  // namespace wispalert
