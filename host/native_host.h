// The browser native-messaging host: the same JSON-RPC messages as
// `kelo-ca serve`, each framed as a 32-bit length in native byte order
// followed by that many bytes of UTF-8 JSON, in both directions.
//
// Limits:
// - A request longer than kMaxNativeRequest (1 MiB) is refused from its
//   length alone, before anything is allocated for it: the host answers
//   -32600 (id null, naming the limit) and ends, returning 0. It does not
//   skip the body: a browser never sends such a frame, and draining up to
//   4 GiB of whatever a broken peer sends is a hang, not a recovery.
// - No response exceeds kMaxNativeResponse (1 MiB, the browsers' limit): a
//   larger one is replaced by -32603 with the request's id.
// - End of input between frames (the browser closed the port) ends the host
//   with 0; so does end of input inside a frame, without an answer.
// - A frame of length 0 is answered as a parse error.
// - A batch holds at most kMaxBatchCalls calls, and its answer stays within
//   kMaxBatchResponse (jsonrpc.h).
#ifndef KELO_HOST_NATIVE_HOST_H
#define KELO_HOST_NATIVE_HOST_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "host/jsonrpc.h"

namespace kelo {

inline constexpr std::size_t kMaxNativeRequest = 1024 * 1024;
inline constexpr std::size_t kMaxNativeResponse = 1024 * 1024;

// Where frames come from: fills exactly what it can. Returns the number of
// bytes read (0 at end of input) or a negative value on a read error.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual std::ptrdiff_t Read(void* buf, std::size_t n) = 0;
};

// Where answers go: all of it or false.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual bool Write(const void* data, std::size_t n) = 0;
};

// Creates one control (with the token modules), serves frames from inFd
// until end of input, destroys the control. Returns the exit code. The
// control refuses certificate files (data type 4 answers 1304). When outFd
// is descriptor 1 the frames go out on a private copy of it and descriptor
// 1 is pointed at stderr, so module output cannot corrupt them.
int RunNativeHost(int inFd, int outFd, std::size_t maxRequest = kMaxNativeRequest);

// The same over a caller's endpoint (its control outlives the call).
int RunNativeHost(JsonRpcEndpoint& endpoint, int inFd, int outFd, std::size_t maxRequest = kMaxNativeRequest);

// The same over a caller's endpoint and byte streams (tests, fuzzing).
int RunNativeHost(JsonRpcEndpoint& endpoint, ByteSource& in, ByteSink& out,
                  std::size_t maxRequest = kMaxNativeRequest, std::size_t maxResponse = kMaxNativeResponse);

// A response text that fits in maxResponse bytes: the response itself, or
// the -32603 error carrying the response's id (null if that does not fit
// either, or for a batch).
std::string LimitResponse(std::string response, std::size_t maxResponse = kMaxNativeResponse);

// The 4-byte length prefix in native byte order followed by the body.
std::string Frame(std::string_view body);

}  // namespace kelo

#endif
