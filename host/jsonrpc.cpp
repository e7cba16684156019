#include "host/jsonrpc.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

#include "control/coerce.h"
#include "host/result_text.h"
#include "platform/display.h"
#include "platform/wipe.h"

namespace kelo {
namespace {

using json = nlohmann::ordered_json;

std::string HResultText(HResult hr) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(hr));
  return buf;
}

json Error(const json& id, int code, const std::string& message, HResult hr = kS_OK) {
  json err = {{"code", code}, {"message", message}};
  if (hr != kS_OK) err["data"] = {{"hresult", HResultText(hr)}};
  return {{"jsonrpc", "2.0"}, {"id", id}, {"error", std::move(err)}};
}

// Result texts are narrow strings; anything that is not valid UTF-8 leaves
// as U+FFFD rather than breaking the response.
std::string Dump(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

Value ToValue(const json& j) {
  switch (j.type()) {
    case json::value_t::boolean: return Value::Bool(j.get<bool>());
    case json::value_t::number_integer: return Value::Int(j.get<std::int64_t>());
    case json::value_t::number_unsigned: {
      auto u = j.get<std::uint64_t>();
      // Beyond int64 it is out of range for every parameter anyway.
      return u > static_cast<std::uint64_t>(INT64_MAX) ? Value::Double(static_cast<double>(u))
                                                       : Value::Int(static_cast<std::int64_t>(u));
    }
    case json::value_t::number_float: return Value::Double(j.get<double>());
    case json::value_t::string: return Value::String(j.get<std::string>());
    default: return Value::Null();
  }
}

// Requests may hold PINs, answers plaintexts: every string of a tree is
// wiped before the tree goes away.
void WipeTree(json& j) {
  if (j.is_string()) {
    platform::SecureWipe(j.get_ref<std::string&>());
  } else if (j.is_structured()) {
    for (auto& child : j) WipeTree(child);
  }
}

class TreeWiper {
 public:
  explicit TreeWiper(json& j) : j_(j) {}
  TreeWiper(const TreeWiper&) = delete;
  TreeWiper& operator=(const TreeWiper&) = delete;
  ~TreeWiper() { WipeTree(j_); }

 private:
  json& j_;
};

// The id of a request, when one can be read from it; else null.
json ReadableId(const json& req) {
  if (!req.is_object()) return nullptr;
  auto it = req.find("id");
  if (it == req.end() || !(it->is_string() || it->is_number())) return nullptr;
  return *it;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The code unit of the escape (backslash, u, four hex digits) at text[i],
// or -1 if there is none there.
long UnicodeEscape(std::string_view text, std::size_t i) {
  if (i + 6 > text.size() || text[i] != '\\' || text[i + 1] != 'u') return -1;
  long unit = 0;
  for (std::size_t k = i + 2; k < i + 6; ++k) {
    int d = HexDigit(text[k]);
    if (d < 0) return -1;
    unit = unit * 16 + d;
  }
  return unit;
}

bool IsHighSurrogate(long unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(long unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

bool IsComposite(const json& j) { return j.is_object() || j.is_array(); }

// Whether `s`, with ASCII capitals lowered, is `lower`.
bool EqualsLowerAscii(std::string_view s, std::string_view lower) {
  return std::equal(s.begin(), s.end(), lower.begin(), lower.end(),
                    [](char a, char b) { return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b; });
}

bool IsAsciiAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsAsciiDigit(char c) { return c >= '0' && c <= '9'; }

// scheme://rest in printable ASCII without blanks: the name is shown in a
// dialog as "<origin> asks for a certificate", so nothing in it may pass for
// more text or break the line.
bool IsOrigin(std::string_view s) {
  if (s.empty() || s.size() > kMaxOriginLength) return false;
  for (char c : s) {
    if (c < 0x21 || c > 0x7E) return false;
  }
  const std::size_t sep = s.find("://");
  if (sep == std::string_view::npos || sep == 0 || sep + 3 == s.size() || !IsAsciiAlpha(s[0])) return false;
  for (char c : s.substr(1, sep - 1)) {
    if (!IsAsciiAlpha(c) && !IsAsciiDigit(c) && c != '+' && c != '-' && c != '.') return false;
  }
  return true;
}

// Why a request or its parameters were refused before any call.
struct Refusal {
  int code;
  std::string message;
  HResult hr = kS_OK;
};

// The parts of a request the dispatch needs.
struct Envelope {
  json id = nullptr;
  bool notification = false;
  std::string name;
  const json* params = nullptr;
};

// Reads id, jsonrpc and method; a refusal when `req` is no request. The id
// is set as soon as it is known to be usable.
std::optional<Refusal> ReadEnvelope(const json& req, Envelope& env) {
  if (!req.is_object()) return Refusal{kInvalidRequest, "request must be a JSON object"};
  auto jid = req.find("id");
  env.notification = jid == req.end();
  if (!env.notification) {
    if (!(jid->is_string() || jid->is_number() || jid->is_null()))
      return Refusal{kInvalidRequest, "id must be a string, a number or null"};
    env.id = *jid;
  }
  auto jv = req.find("jsonrpc");
  if (jv == req.end() || *jv != "2.0") return Refusal{kInvalidRequest, "jsonrpc must be \"2.0\""};
  auto jm = req.find("method");
  if (jm == req.end() || !jm->is_string()) return Refusal{kInvalidRequest, "method must be a string"};
  env.name = jm->get<std::string>();
  auto jp = req.find("params");
  env.params = jp == req.end() ? nullptr : &*jp;
  return std::nullopt;
}

std::optional<Refusal> PositionalArgs(const MethodInfo& method, const json& params, std::vector<Value>& args) {
  for (const json& p : params) {
    if (IsComposite(p)) {
      return Refusal{kInvalidParams, std::string("parameters of ") + method.name + " must be plain values",
                     kDISP_E_TYPEMISMATCH};
    }
    args.push_back(ToValue(p));
  }
  return std::nullopt;
}

// By name, in any letter case, each parameter exactly once; `args` ends up
// in declaration order.
std::optional<Refusal> NamedArgs(const MethodInfo& method, const json& params, std::vector<Value>& args) {
  std::vector<bool> seen(method.paramCount, false);
  args.resize(method.paramCount);
  for (const auto& [key, p] : params.items()) {
    const int pos = FindParam(method, key);
    if (pos < 0)
      return Refusal{kInvalidParams, std::string("unknown parameter name for ") + method.name, kDISP_E_UNKNOWNNAME};
    const auto at = static_cast<std::size_t>(pos);
    const std::string param = std::string("parameter ") + method.params[at].name;
    if (seen[at]) return Refusal{kInvalidParams, param + " given twice", kDISP_E_BADPARAMCOUNT};
    if (IsComposite(p)) return Refusal{kInvalidParams, param + " must be a plain value", kDISP_E_TYPEMISMATCH};
    seen[at] = true;
    args[at] = ToValue(p);
  }
  for (std::size_t i = 0; i < seen.size(); ++i) {
    if (!seen[i]) {
      return Refusal{kInvalidParams,
                     std::string("missing parameter ") + method.params[i].name + " of " + method.name,
                     kDISP_E_PARAMNOTOPTIONAL};
    }
  }
  return std::nullopt;
}

// No params (or null) is a call without arguments.
std::optional<Refusal> CollectArgs(const MethodInfo& method, const json* params, std::vector<Value>& args) {
  if (params == nullptr || params->is_null()) return std::nullopt;
  if (params->is_array()) return PositionalArgs(method, *params, args);
  if (params->is_object()) return NamedArgs(method, *params, args);
  return Refusal{kInvalidRequest, "params must be an array or an object"};
}

}  // namespace

bool ReplaceLoneSurrogates(std::string_view text, std::string& out) {
  bool copied = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') continue;
    long unit = UnicodeEscape(text, i);
    if (unit < 0) {
      ++i;  // another escape: the character after the backslash is its own
      continue;
    }
    if (IsHighSurrogate(unit) && IsLowSurrogate(UnicodeEscape(text, i + 6))) {
      i += 11;  // a pair
      continue;
    }
    if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
      if (!copied) out.assign(text);
      copied = true;
      out.replace(i + 2, 4, "FFFD");
    }
    i += 5;
  }
  return copied;
}

class JsonRpcEndpoint::Dispatch {
 public:
  // A response object, or null for a notification; never throws.
  static json HandleGuarded(JsonRpcEndpoint& endpoint, json& req);
  static std::string HandleBatch(JsonRpcEndpoint& endpoint, json& batch);

 private:
  static json HandleOne(JsonRpcEndpoint& endpoint, json& req);
  static json Hello(JsonRpcEndpoint& endpoint, const json& id, const json* params);
  static json TokenFlags(JsonRpcEndpoint& endpoint, const json& id, const json* params);
};

json JsonRpcEndpoint::Dispatch::Hello(JsonRpcEndpoint& endpoint, const json& id, const json* params) {
  if (endpoint.greeted_) {
    return Error(id, kInvalidRequest, std::string(kHelloMethod) + " was already answered; only the first counts");
  }
  std::string origin;
  if (params != nullptr && !params->is_null()) {
    if (!params->is_object()) {
      return Error(id, kInvalidParams, std::string("params of ") + kHelloMethod + " must be an object");
    }
    auto it = params->find("origin");
    if (it != params->end() && !it->is_null()) {
      if (!it->is_string() || !IsOrigin(it->get_ref<const std::string&>())) {
        return Error(id, kInvalidParams,
                     "origin must be scheme://host[:port] in printable ASCII, at most " +
                         std::to_string(kMaxOriginLength) + " characters");
      }
      origin = it->get<std::string>();
    }
  }
  endpoint.greeted_ = true;
  endpoint.origin_ = std::move(origin);
  if (!endpoint.origin_.empty() && endpoint.onOrigin_) endpoint.onOrigin_(endpoint.origin_);
  json info = {{"name", "kelo-ca"}, {"version", kHostVersion}, {"display", platform::HasDisplay()}};
  return {{"jsonrpc", "2.0"}, {"id", id}, {"result", std::move(info)}};
}

json JsonRpcEndpoint::Dispatch::TokenFlags(JsonRpcEndpoint& endpoint, const json& id, const json* params) {
  const json* given = nullptr;
  if (params != nullptr && params->is_array() && params->size() == 1) {
    given = &(*params)[0];
  } else if (params != nullptr && params->is_object() && params->size() == 1 &&
             EqualsLowerAscii(params->begin().key(), "sessionid")) {
    // Named as the control's methods name it, in any letter case.
    given = &params->begin().value();
  }
  Value sid;
  if (given == nullptr || IsComposite(*given) || Coerce(ToValue(*given), VarType::Long, sid) != kS_OK) {
    return Error(id, kInvalidParams,
                 std::string("params of ") + kTokenFlagsMethod +
                     " must be {\"SessionID\": <session identifier>} or [<session identifier>], "
                     "the identifier a 32-bit integer");
  }
  std::uint64_t flags = 0;
  const ResultCode rc = endpoint.control_.TokenFlags(static_cast<std::int32_t>(sid.i), flags);
  if (rc != kOk) {
    const char* meaning = ResultCodeMeaning(rc);
    json err = {{"code", kTokenFlagsUnavailable},
                {"message", "the token's flags cannot be read: " + std::string(meaning ? meaning : "failure") +
                                " (" + std::to_string(rc) + ")"},
                {"data", {{"resultCode", rc}}}};
    return {{"jsonrpc", "2.0"}, {"id", id}, {"error", std::move(err)}};
  }
  return {{"jsonrpc", "2.0"}, {"id", id}, {"result", {{"flags", flags}}}};
}

// Returns a response object, or null for a notification.
json JsonRpcEndpoint::Dispatch::HandleOne(JsonRpcEndpoint& endpoint, json& req) {
  Envelope env;
  if (std::optional<Refusal> bad = ReadEnvelope(req, env)) return Error(env.id, bad->code, bad->message);
  // A notification is never answered, not even with an error about its call.
  const auto answer = [&env](json r) { return env.notification ? json() : r; };
  if (env.name == kHelloMethod) return answer(Hello(endpoint, env.id, env.params));
  if (env.name == kTokenFlagsMethod) return answer(TokenFlags(endpoint, env.id, env.params));
  const MethodInfo* method = FindMethod(env.name);
  // Nothing of the request is echoed: its text may be anything, a PIN included.
  if (!method) return answer(Error(env.id, kMethodNotFound, "unknown method", kDISP_E_UNKNOWNNAME));
  std::vector<Value> args;
  if (std::optional<Refusal> bad = CollectArgs(*method, env.params, args)) {
    json e = Error(env.id, bad->code, bad->message, bad->hr);
    // Params of the wrong shape make no request at all, so even a notification hears of it.
    return bad->code == kInvalidRequest ? e : answer(std::move(e));
  }
  CallResult r = endpoint.control_.Invoke(*method, args);
  if (env.notification) return json();
  if (r.hr != kS_OK) return Error(env.id, r.hr == kE_OUTOFMEMORY ? kInternalError : kInvalidParams, r.message, r.hr);
  json result = r.value.kind == Value::Kind::String ? json(std::move(r.value.s)) : json(r.value.i);
  return {{"jsonrpc", "2.0"}, {"id", env.id}, {"result", std::move(result)}};
}

json JsonRpcEndpoint::Dispatch::HandleGuarded(JsonRpcEndpoint& endpoint, json& req) {
  try {
    return HandleOne(endpoint, req);
  } catch (const std::bad_alloc&) {
    if (req.is_object() && !req.contains("id")) return json();
    return Error(ReadableId(req), kInternalError, "out of memory", kE_OUTOFMEMORY);
  } catch (const std::exception&) {
    // what() is not shown: it may quote the request.
    if (req.is_object() && !req.contains("id")) return json();
    return Error(ReadableId(req), kInternalError, "internal error");
  }
}

std::string JsonRpcEndpoint::Dispatch::HandleBatch(JsonRpcEndpoint& endpoint, json& batch) {
  if (batch.empty()) return Dump(Error(nullptr, kInvalidRequest, "empty batch"));
  if (batch.size() > kMaxBatchCalls) {
    return Dump(Error(nullptr, kInvalidRequest,
                      "batch of more than " + std::to_string(kMaxBatchCalls) + " calls refused"));
  }
  const std::size_t limit = endpoint.maxBatchResponse_;
  std::vector<std::string> parts;
  std::size_t total = 2;  // the brackets
  for (auto& one : batch) {
    json r = HandleGuarded(endpoint, one);
    if (r.is_null()) continue;
    std::string part = Dump(r);
    WipeTree(r);
    const std::size_t comma = parts.empty() ? 0 : 1;
    if (total + comma + part.size() > limit) {
      platform::SecureWipe(part);
      const std::string why = "answer would take the batch past " + std::to_string(limit) + " bytes";
      part = Dump(Error(ReadableId(one), kInternalError, why));
      // An id near the request limit may not fit either; a null id is short.
      if (total + comma + part.size() > limit) part = Dump(Error(nullptr, kInternalError, why));
    }
    total += comma + part.size();
    parts.push_back(std::move(part));
  }
  if (parts.empty()) return std::string();
  // Built once at its final size: no reallocation leaves an unwiped copy.
  std::string out;
  out.reserve(total);
  out += '[';
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i) out += ',';
    out += parts[i];
    platform::SecureWipe(parts[i]);
  }
  out += ']';
  return out;
}

std::string JsonRpcEndpoint::TooLarge(std::size_t limit) {
  return Dump(Error(nullptr, kInvalidRequest, "request larger than " + std::to_string(limit) + " bytes refused"));
}

std::string JsonRpcEndpoint::Handle(std::string_view request) {
  std::string patched;  // a copy of the request, wiped below
  if (ReplaceLoneSurrogates(request, patched)) request = patched;
  json req;
  TreeWiper wipeRequest(req);
  try {
    req = json::parse(request);
    platform::SecureWipe(patched);
  } catch (const json::parse_error& e) {
    platform::SecureWipe(patched);
    // Where, not what: the text read may hold a PIN.
    return Dump(Error(nullptr, kParseError, "parse error at byte " + std::to_string(e.byte)));
  } catch (const std::exception&) {
    platform::SecureWipe(patched);
    return Dump(Error(nullptr, kParseError, "parse error"));
  }
  try {
    if (req.is_array()) return Dispatch::HandleBatch(*this, req);
    json r = Dispatch::HandleGuarded(*this, req);
    TreeWiper wipeResponse(r);
    return r.is_null() ? std::string() : Dump(r);
  } catch (const std::bad_alloc&) {
    return Dump(Error(nullptr, kInternalError, "out of memory", kE_OUTOFMEMORY));
  } catch (const std::exception&) {
    return Dump(Error(nullptr, kInternalError, "internal error"));
  }
}

}  // namespace kelo
