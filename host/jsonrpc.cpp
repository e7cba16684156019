#include "host/jsonrpc.h"

#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <vector>

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

// The request's own copies of string arguments may hold PINs.
void WipeStrings(json& params) {
  for (auto& p : params) {
    if (p.is_string()) platform::SecureWipe(p.get_ref<std::string&>());
  }
}

bool IsComposite(const json& j) { return j.is_object() || j.is_array(); }

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

bool HasDisplay() {
  for (const char* var : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(var);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

}  // namespace

class JsonRpcEndpoint::Dispatch {
 public:
  static json HandleOne(JsonRpcEndpoint& endpoint, json& req);

 private:
  static json Hello(JsonRpcEndpoint& endpoint, const json& id, const json* params);
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
  json info = {{"name", "kelo-ca"}, {"version", kHostVersion}, {"display", HasDisplay()}};
  return {{"jsonrpc", "2.0"}, {"id", id}, {"result", std::move(info)}};
}

// Returns a response object, or null for a notification.
json JsonRpcEndpoint::Dispatch::HandleOne(JsonRpcEndpoint& endpoint, json& req) {
  CKeloCAActiveXCtrl& control = endpoint.control_;
  json id = nullptr;
  if (!req.is_object()) return Error(id, kInvalidRequest, "request must be a JSON object");
  bool notification = !req.contains("id");
  if (!notification) {
    id = req["id"];
    if (!(id.is_string() || id.is_number() || id.is_null())) {
      return Error(nullptr, kInvalidRequest, "id must be a string, a number or null");
    }
  }
  auto jv = req.find("jsonrpc");
  if (jv == req.end() || *jv != "2.0") return Error(id, kInvalidRequest, "jsonrpc must be \"2.0\"");
  auto jm = req.find("method");
  if (jm == req.end() || !jm->is_string()) return Error(id, kInvalidRequest, "method must be a string");
  const std::string name = jm->get<std::string>();
  auto jp = req.find("params");
  if (name == kHelloMethod) {
    json r = Hello(endpoint, id, jp == req.end() ? nullptr : &*jp);
    return notification ? json() : r;
  }
  const MethodInfo* method = FindMethod(name);
  if (!method) {
    json e = Error(id, kMethodNotFound, "unknown method: " + name, kDISP_E_UNKNOWNNAME);
    return notification ? json() : e;
  }

  std::vector<Value> args;
  if (jp != req.end() && !jp->is_null()) {
    if (jp->is_array()) {
      for (auto& p : *jp) {
        if (IsComposite(p)) {
          json e = Error(id, kInvalidParams, std::string("parameters of ") + method->name + " must be plain values",
                         kDISP_E_TYPEMISMATCH);
          return notification ? json() : e;
        }
        args.push_back(ToValue(p));
      }
    } else if (jp->is_object()) {
      std::vector<bool> seen(method->paramCount, false);
      args.resize(method->paramCount);
      for (auto& [key, p] : jp->items()) {
        int pos = FindParam(*method, key);
        HResult hr = kS_OK;
        std::string why;
        if (pos < 0) {
          hr = kDISP_E_UNKNOWNNAME;
          why = "unknown parameter " + key + " of " + method->name;
        } else if (seen[static_cast<std::size_t>(pos)]) {
          hr = kDISP_E_BADPARAMCOUNT;
          why = "parameter " + key + " given twice";
        } else if (IsComposite(p)) {
          hr = kDISP_E_TYPEMISMATCH;
          why = "parameter " + key + " must be a plain value";
        }
        if (hr != kS_OK) return notification ? json() : Error(id, kInvalidParams, why, hr);
        seen[static_cast<std::size_t>(pos)] = true;
        args[static_cast<std::size_t>(pos)] = ToValue(p);
      }
      for (std::size_t i = 0; i < seen.size(); ++i) {
        if (!seen[i]) {
          json e = Error(id, kInvalidParams,
                         std::string("missing parameter ") + method->params[i].name + " of " + method->name,
                         kDISP_E_PARAMNOTOPTIONAL);
          return notification ? json() : e;
        }
      }
    } else {
      return Error(id, kInvalidRequest, "params must be an array or an object");
    }
  }

  CallResult r = control.Invoke(*method, args);
  if (jp != req.end()) WipeStrings(*jp);
  if (notification) return json();
  if (r.hr != kS_OK) {
    int code = r.hr == kE_OUTOFMEMORY ? kInternalError : kInvalidParams;
    return Error(id, code, r.message, r.hr);
  }
  json result = r.value.kind == Value::Kind::String ? json(std::move(r.value.s)) : json(r.value.i);
  return {{"jsonrpc", "2.0"}, {"id", id}, {"result", std::move(result)}};
}

std::string JsonRpcEndpoint::TooLarge(std::size_t limit) {
  return Dump(Error(nullptr, kInvalidRequest, "request larger than " + std::to_string(limit) + " bytes refused"));
}

std::string JsonRpcEndpoint::Handle(std::string_view request) {
  json req;
  try {
    req = json::parse(request);
  } catch (const json::exception& e) {
    return Dump(Error(nullptr, kParseError, std::string("parse error: ") + e.what()));
  }
  try {
    if (req.is_array()) {
      if (req.empty()) return Dump(Error(nullptr, kInvalidRequest, "empty batch"));
      json out = json::array();
      for (auto& one : req) {
        json r = Dispatch::HandleOne(*this, one);
        if (!r.is_null()) out.push_back(std::move(r));
      }
      return out.empty() ? std::string() : Dump(out);
    }
    json r = Dispatch::HandleOne(*this, req);
    return r.is_null() ? std::string() : Dump(r);
  } catch (const std::bad_alloc&) {
    return Dump(Error(nullptr, kInternalError, "out of memory", kE_OUTOFMEMORY));
  } catch (const std::exception& e) {
    return Dump(Error(nullptr, kInternalError, std::string("internal error: ") + e.what()));
  }
}

}  // namespace kelo
