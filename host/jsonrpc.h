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
// The second host method: what the current token reports in its flags
// (CK_TOKEN_INFO.flags: PIN counters and locks), so that a client can
// explain a PIN failure. params {"SessionID": id} (name in any letter case)
// or [id], the id coerced as a long parameter is. The answer is
// {"flags": <number>}. When the control cannot read them (wrong session
// identifier, no token) the answer is the error kTokenFlagsUnavailable with
// data {"resultCode": <the control's code>}: the call asked for flags and got
// none. It reads nothing secret, so it needs no hello first.
inline constexpr char kTokenFlagsMethod[] = "kelo.tokenFlags";
inline constexpr int kTokenFlagsUnavailable = -32010;
// The longest DNS name (253) with a scheme and a port fits.
inline constexpr std::size_t kMaxOriginLength = 300;

// A batch of more calls is refused as a whole (-32600, id null) before any
// call runs.
inline constexpr std::size_t kMaxBatchCalls = 64;
// A batch's answer stays within this many bytes (the browsers' message
// limit): a call whose answer would not fit gets -32603 with its id instead.
inline constexpr std::size_t kMaxBatchResponse = 1024 * 1024;

// Firefox passes lone UTF-16 surrogates through as escapes (backslash, u,
// D800), which the JSON parser rejects. Writes text to out with each escape
// of a lone surrogate replaced by the escape of U+FFFD (of the same length,
// so byte positions do not move) and returns true; returns false, out
// untouched, when there is none. Pairs and escaped backslashes stay as they
// are.
bool ReplaceLoneSurrogates(std::string_view text, std::string& out);

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

  // Tests use a smaller limit than kMaxBatchResponse.
  void SetMaxBatchResponse(std::size_t limit) { maxBatchResponse_ = limit; }

 private:
  class Dispatch;

  CKeloCAActiveXCtrl& control_;
  OriginHook onOrigin_;
  bool greeted_ = false;
  std::string origin_;
  std::size_t maxBatchResponse_ = kMaxBatchResponse;
};

}  // namespace kelo

#endif
