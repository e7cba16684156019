#include "control/method_table.h"

#include <initializer_list>
#include <string>
#include <type_traits>
#include <utility>

#include "common/ascii.h"
#include "control/kelo_ctrl.h"
#include "platform/wipe.h"

namespace kelo {
namespace {

using K = CKeloCAActiveXCtrl;

// The automation type of a facade parameter or result: text, or a 16- or
// 32-bit integer (an enum counts by its size).
template <typename T>
constexpr VarType AutomationType() {
  using U = std::remove_cvref_t<T>;
  if constexpr (std::is_same_v<U, std::string>) {
    return VarType::BStr;
  } else {
    static_assert((std::is_integral_v<U> || std::is_enum_v<U>) && (sizeof(U) == 2 || sizeof(U) == 4),
                  "facade members take and return 16- or 32-bit integers and strings");
    return sizeof(U) == 2 ? VarType::Short : VarType::Long;
  }
}

// A coerced argument as the facade parameter of type T; Coerce has already
// checked the range.
template <typename T>
T Arg(const Value& v) {
  if constexpr (std::is_same_v<std::remove_cvref_t<T>, std::string>) {
    return v.s;
  } else {
    return static_cast<T>(v.i);
  }
}

template <typename R>
Value Result(R&& r) {
  if constexpr (std::is_same_v<std::remove_cvref_t<R>, std::string>) {
    Value v = Value::String(std::move(r));
    platform::SecureWipe(r);  // a short text stays in a moved-from string's own bytes
    return v;
  } else {
    return Value::Int(static_cast<std::int64_t>(r));
  }
}

template <typename F>
struct Member;

template <typename Ret, typename... P>
struct Member<Ret (K::*)(P...)> {
  static constexpr VarType kResult = AutomationType<Ret>();
  static constexpr std::array<VarType, sizeof...(P)> kParams = {AutomationType<P>()...};

  template <auto Fn, std::size_t... I>
  static Value Call(K& control, [[maybe_unused]] std::span<const Value> args, std::index_sequence<I...>) {
    return Result((control.*Fn)(Arg<P>(args[I])...));
  }
};

template <auto Fn>
Value Call(K& control, std::span<const Value> args) {
  using M = Member<decltype(Fn)>;
  return M::template Call<Fn>(control, args, std::make_index_sequence<M::kParams.size()>{});
}

// Not constexpr on purpose: reaching it while the table is built at compile
// time is a compile error naming the fault.
void DescriptionDisagreesWithFacadeMember() {}

// An entry of the table, whose types must be those of the facade member Fn
// that runs it.
template <auto Fn>
constexpr MethodInfo Method(std::int32_t dispid, const char* name, VarType result, ResultKind kind,
                            bool returnsPlaintext, std::initializer_list<ParamInfo> params,
                            const char* help = nullptr) {
  using M = Member<decltype(Fn)>;
  MethodInfo m{dispid, name,      result, kind, returnsPlaintext, static_cast<std::uint8_t>(params.size()),
               {},     &Call<Fn>, help};
  bool agrees = result == M::kResult && params.size() == M::kParams.size() && params.size() <= m.params.size();
  std::size_t i = 0;
  for (const ParamInfo& p : params) {
    if (!agrees) break;
    agrees = p.type == M::kParams[i];
    m.params[i++] = p;
  }
  if (!agrees) DescriptionDisagreesWithFacadeMember();
  return m;
}

constexpr VarType L = VarType::Long;
constexpr VarType S = VarType::Short;
constexpr VarType B = VarType::BStr;
constexpr ParamRole Pin = ParamRole::Pin;
constexpr ParamRole Txt = ParamRole::Plaintext;
constexpr ResultKind Sid = ResultKind::SessionId;
constexpr ResultKind H = ResultKind::Handle;
constexpr ResultKind C = ResultKind::Code;
constexpr ResultKind T = ResultKind::Text;
constexpr ResultKind CT = ResultKind::CodeText;

// Help texts; kelo_ca.idl.in repeats them as helpstrings (control_test
// holds the two together).
constexpr const char* kHashHelp =
    "Digest on the token of the hexadecimal text. Hash type 0 SHA-1, 1 MD2, 2 MD5, 256 SHA-256, 384 SHA-384, "
    "512 SHA-512; any other type gives an empty result";
constexpr const char* kSignHelp =
    "Signature with a private key. RSA keys: PKCS#1 v1.5 with hash type 0 SHA-1, 1 MD2, 2 MD5, 256 SHA-256, "
    "384 SHA-384, 512 SHA-512, any other type pads the given bytes as they are. EC keys: ECDSA over that hash, "
    "or over the given bytes for any other type, returned as r and s in hexadecimal";
constexpr const char* kSignBySerialHelp =
    "As Sign, with the private key of the certificate whose serial number has this hexadecimal content";
constexpr const char* kVerifyHelp =
    "0 when the signature is valid for the public key, 1007 when not. Hash types as Sign; EC signatures are r and "
    "s in hexadecimal";
constexpr const char* kVerifyBySerialHelp =
    "As Verify, with the public key of the certificate whose serial number has this hexadecimal content";
constexpr const char* kEncryptHelp = "RSA PKCS#1 v1.5 encryption with a public key; an EC key gives an empty result";
constexpr const char* kDecryptHelp = "RSA PKCS#1 v1.5 decryption with a private key; an EC key gives an empty result";

}  // namespace

// Built at compile time, so an entry whose types differ from its member's
// does not compile.
constinit const std::array<MethodInfo, kMethodCount> kMethods = {{
    Method<&K::ConnectToken>(1, "ConnectToken", L, Sid, false, {}),
    Method<&K::DisconnectToken>(2, "DisconnectToken", L, C, false, {{"SessionID", L}}),
    Method<&K::Login>(3, "Login", L, C, false, {{"SessionID", L}, {"strUserPin", B, Pin}}),
    Method<&K::Logout>(4, "Logout", L, C, false, {{"SessionID", L}}),
    Method<&K::RetrieveSerial>(5, "RetrieveSerial", B, CT, false, {{"SessionID", L}}),
    Method<&K::ChangeSOPin>(6, "ChangeSOPin", L, C, false,
                            {{"SessionID", L}, {"strCurrSOPin", B, Pin}, {"strNewSOPin", B, Pin}}),
    Method<&K::ChangeUserPin>(7, "ChangeUserPin", L, C, false,
                              {{"SessionID", L}, {"strCurrUserPin", B, Pin}, {"strNewUserPin", B, Pin}}),
    Method<&K::UnblockUserPin>(8, "UnblockUserPin", L, C, false,
                               {{"SessionID", L}, {"strSOPin", B, Pin}, {"strUserPin", B, Pin}}),
    Method<&K::EnumCertificate>(9, "EnumCertificate", L, H, false, {{"SessionID", L}, {"lngCert", L}}),
    Method<&K::EnumPublicKey>(10, "EnumPublicKey", L, H, false, {{"SessionID", L}, {"lngPublic", L}}),
    Method<&K::EnumPrivateKey>(11, "EnumPrivateKey", L, H, false, {{"SessionID", L}, {"lngPrivate", L}}),
    Method<&K::GetAttribute>(12, "GetAttribute", B, T, false,
                             {{"SessionID", L}, {"lngObject", L}, {"lngAttribute", L}}),
    Method<&K::Encrypt>(13, "Encrypt", B, T, false,
                        {{"SessionID", L}, {"lngKey", L}, {"reserved", L}, {"strPlainText", B, Txt}}, kEncryptHelp),
    Method<&K::Decrypt>(14, "Decrypt", B, T, true,
                        {{"SessionID", L}, {"lngKey", L}, {"reserved", L}, {"lngCipherText", B}}, kDecryptHelp),
    Method<&K::Hash>(15, "Hash", B, T, false, {{"SessionID", L}, {"lngHashType", L}, {"strPlainText", B, Txt}},
                     kHashHelp),
    Method<&K::Sign>(16, "Sign", B, T, false,
                     {{"SessionID", L}, {"lngKey", L}, {"lngHashType", L}, {"strPlainText", B, Txt}}, kSignHelp),
    Method<&K::SignByCertSerial>(17, "SignByCertSerial", B, T, false,
                                 {{"SessionID", L}, {"certserial", B}, {"HashType", L}, {"plaintext", B, Txt}},
                                 kSignBySerialHelp),
    Method<&K::Verify>(
        18, "Verify", L, C, false,
        {{"SessionID", L}, {"lngKey", L}, {"lngHashType", S}, {"strPlainText", B, Txt}, {"strSignText", B}},
        kVerifyHelp),
    Method<&K::VerifyByCertSerial>(
        19, "VerifyByCertSerial", L, C, false,
        {{"SessionID", L}, {"certserial", B}, {"HashType", L}, {"plaintext", B, Txt}, {"signature", B}},
        kVerifyBySerialHelp),
    Method<&K::SignByCSP>(
        20, "SignByCSP", B, T, false,
        {{"SessionID", L}, {"certType", L}, {"certData", B}, {"HashType", L}, {"plaintext", B, Txt}}),
    Method<&K::VerifyByCSP>(21, "VerifyByCSP", L, C, false,
                            {{"SessionID", L},
                             {"CertDataType", L},
                             {"certData", B},
                             {"HashType", L},
                             {"plaintext", B, Txt},
                             {"signature", B}}),
    Method<&K::EncryptByCSP>(
        22, "EncryptByCSP", B, T, false,
        {{"SessionID", L}, {"CertDataType", L}, {"certData", B}, {"reserved", L}, {"plaintext", B, Txt}}),
    Method<&K::DecryptByCSP>(
        23, "DecryptByCSP", B, T, true,
        {{"SessionID", L}, {"CertDataType", L}, {"certData", B}, {"reserved", L}, {"ciphertext", B}}),
    Method<&K::VerifyCertCRL>(24, "VerifyCertCRL", L, C, false,
                              {{"SessionID", L}, {"CertDataType", L}, {"certData", B}}),
    Method<&K::TokenInitialize>(
        25, "TokenInitialize", L, C, false,
        {{"SessionID", L}, {"strSOPin", B, Pin}, {"strNewUserPin", B, Pin}, {"strNewTokenName", B}}),
    Method<&K::RetrieveAllTokenSerial>(26, "RetrieveAllTokenSerial", B, CT, false, {{"SessionID", L}}),
}};

const MethodInfo* FindMethod(std::string_view name) {
  for (const MethodInfo& m : kMethods) {
    if (EqualsNoCase(m.name, name)) return &m;
  }
  return nullptr;
}

const MethodInfo* FindMethod(std::int32_t dispid) {
  // By the entry's own id, not its position: the table's order is free.
  for (const MethodInfo& m : kMethods) {
    if (m.dispid == dispid) return &m;
  }
  return nullptr;
}

int FindParam(const MethodInfo& method, std::string_view name) {
  for (int i = 0; i < method.paramCount; ++i) {
    if (EqualsNoCase(method.params[static_cast<std::size_t>(i)].name, name)) return i;
  }
  return -1;
}

const char* VarTypeName(VarType t) {
  switch (t) {
    case VarType::Long: return "long";
    case VarType::Short: return "short";
    case VarType::BStr: return "string";
  }
  return "?";
}

}  // namespace kelo
