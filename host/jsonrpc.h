// JSON-RPC 2.0 over one control: one request text in, one response text out.
// The framing (lines on stdio, native-messaging length prefixes) lives with
// each host; this is the part they share.
#ifndef KELO_HOST_JSONRPC_H
#define KELO_HOST_JSONRPC_H

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

#include "control/kelo_ctrl.h"

namespace kelo {

inline constexpr int kParseError = -32700;
inline constexpr int kInvalidRequest = -32600;
inline constexpr int kMethodNotFound = -32601;
inline constexpr int kInvalidParams = -32602;
inline constexpr int kInternalError = -32603;

inline constexpr char kHostVersion[] = KELO_VERSION;  // the project version, from CMake

// The host's own method, beside the control's 26 (no control method has a
// dot in its name). A client greets the host once, naming the origin it
// acts for: params {"origin": "https://sign.example.org"}, origin optional.
// The answer is {"name": "kelo-ca", "version": ..., "display": bool}, display
// telling whether a dialog could be shown. Only the first successful hello
// counts; later ones are refused, so that whoever speaks first (the
// extension, before it relays any page's call) fixes the name.
inline constexpr char kHelloMethod[] = "kelo.hello";
// The longest DNS name (253) with a scheme and a port fits.
inline constexpr std::size_t kMaxOriginLength = 300;

class JsonRpcEndpoint {
 public:
  // Told the origin of the accepted hello, if it named one: the hosts pass it
  // on to the certificate selection dialog.
  using OriginHook = std::function<void(const std::string& origin)>;

  explicit JsonRpcEndpoint(CKeloCAActiveXCtrl& control, OriginHook onOrigin = nullptr)
      : control_(control), onOrigin_(std::move(onOrigin)) {}

  // Handles one request (or batch). Returns the response text without a
  // line end, or an empty string when nothing is to be answered
  // (notifications).
  std::string Handle(std::string_view request);

  // The answer to a request that was refused before it was read.
  static std::string TooLarge(std::size_t limit);

  // The origin named by the accepted hello; empty before one, or if it named none.
  const std::string& origin() const { return origin_; }

 private:
  class Dispatch;

  CKeloCAActiveXCtrl& control_;
  OriginHook onOrigin_;
  bool greeted_ = false;
  std::string origin_;
};

}  // namespace kelo

#endif
