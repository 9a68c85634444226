// The first bytes of a new connection, looked at before the HTTP server
// takes it: the server closes a connection that opens with bytes no request
// line has (binary, or a bare word) without a word, or waits out its
// deadline, where a client pointed at the wrong port should learn why.
#pragma once

#include <cstddef>

namespace wispstats {

enum class Opening {
  WAIT,      // nothing sent yet
  HTTP,      // a request line may follow: the server takes it
  NOT_HTTP,  // no request line opens so
  GONE,      // closed before a byte came
};

// What the bytes so far say (peeked, left for the server to read).
Opening PeekOpening(int fd);
// Whether these bytes may begin a request line: optional empty lines, then
// a method (token characters) up to a space.
bool MayOpenRequest(const unsigned char *bytes, size_t size);
// Answers 400 and closes fd.
void RefuseNotHttp(int fd);

}  // namespace wispstats
