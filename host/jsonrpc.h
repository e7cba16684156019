// JSON-RPC 2.0 over one control: one request text in, one response text out.
// The framing (lines on stdio, native-messaging length prefixes) lives with
// each host; this is the part they share.
#ifndef KELO_HOST_JSONRPC_H
#define KELO_HOST_JSONRPC_H

#include <cstddef>
#include <string>
#include <string_view>

#include "control/kelo_ctrl.h"

namespace kelo {

inline constexpr int kParseError = -32700;
inline constexpr int kInvalidRequest = -32600;
inline constexpr int kMethodNotFound = -32601;
inline constexpr int kInvalidParams = -32602;
inline constexpr int kInternalError = -32603;

class JsonRpcEndpoint {
 public:
  explicit JsonRpcEndpoint(CKeloCAActiveXCtrl& control) : control_(control) {}

  // Handles one request (or batch). Returns the response text without a
  // line end, or an empty string when nothing is to be answered
  // (notifications).
  std::string Handle(std::string_view request);

  // The answer to a request that was refused before it was read.
  static std::string TooLarge(std::size_t limit);

 private:
  CKeloCAActiveXCtrl& control_;
};

}  // namespace kelo

#endif
