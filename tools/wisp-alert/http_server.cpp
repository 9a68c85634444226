#include "http_server.h"

#include <microhttpd.h>
#include <string.h>
#include <unistd.h>

#include <cstdlib>

#include "listen.h"

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

enum MHD_Result SendReply(struct MHD_Connection *conn, const HttpReply &reply) {
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
  if (up->tooLarge) return SendReply(conn, {413, "text/plain; charset=utf-8", "too large\n"});
  const HttpHandler &handler = *static_cast<const HttpHandler *>(cls);
  return SendReply(conn, handler(method, url, up->body));
}

void Completed(void *, struct MHD_Connection *, void **state, enum MHD_RequestTerminationCode) {
  delete static_cast<Upload *>(*state);
  *state = nullptr;
}

}  // namespace

HttpServer::~HttpServer() {
  Stop();
}

void HttpServer::Stop() {
  if (daemon_ != nullptr) MHD_stop_daemon(static_cast<struct MHD_Daemon *>(daemon_));
  daemon_ = nullptr;
}

bool HttpServer::Start(const std::string &listen, HttpHandler handler, std::string *why) {
  std::string host;
  int port = 0, bound = 0;
  if (!tools::SplitListen(listen, &host, &port)) {
    *why = "--listen takes HOST:PORT, not \"" + listen + "\"";
    return false;
  }
  // Bound here, exclusively: a second server on a taken port is an error.
  int fd = tools::ListenTcp(host, port, &bound, why);
  if (fd < 0) {
    *why = "cannot listen on " + listen + ": " + *why;
    return false;
  }
  handler_ = std::move(handler);
  struct MHD_Daemon *d =
      MHD_start_daemon(MHD_USE_AUTO_INTERNAL_THREAD, 0, nullptr, nullptr, Handle, &handler_,
                       MHD_OPTION_LISTEN_SOCKET, fd, MHD_OPTION_CONNECTION_LIMIT, kConnections,
                       MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds, MHD_OPTION_NOTIFY_COMPLETED,
                       Completed, nullptr, MHD_OPTION_END);
  if (d == nullptr) {
    close(fd);
    *why = "cannot listen on " + listen;
    return false;
  }
  daemon_ = d;
  bool v6 = host.find(':') != std::string::npos;
  url_ = "http://" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(bound);
  return true;
}

}  // namespace wispalert
