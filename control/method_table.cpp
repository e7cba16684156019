#include "control/method_table.h"

#include <cctype>

namespace kelo {
namespace {

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

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

}  // namespace

const std::array<MethodInfo, kMethodCount> kMethods = {{
    {1, "ConnectToken", L, Sid, false, 0, {}},
    {2, "DisconnectToken", L, C, false, 1, {{{"SessionID", L}}}},
    {3, "Login", L, C, false, 2, {{{"SessionID", L}, {"strUserPin", B, Pin}}}},
    {4, "Logout", L, C, false, 1, {{{"SessionID", L}}}},
    {5, "RetrieveSerial", B, CT, false, 1, {{{"SessionID", L}}}},
    {6, "ChangeSOPin", L, C, false, 3, {{{"SessionID", L}, {"strCurrSOPin", B, Pin}, {"strNewSOPin", B, Pin}}}},
    {7, "ChangeUserPin", L, C, false, 3, {{{"SessionID", L}, {"strCurrUserPin", B, Pin}, {"strNewUserPin", B, Pin}}}},
    {8, "UnblockUserPin", L, C, false, 3, {{{"SessionID", L}, {"strSOPin", B, Pin}, {"strUserPin", B, Pin}}}},
    {9, "EnumCertificate", L, H, false, 2, {{{"SessionID", L}, {"lngCert", L}}}},
    {10, "EnumPublicKey", L, H, false, 2, {{{"SessionID", L}, {"lngPublic", L}}}},
    {11, "EnumPrivateKey", L, H, false, 2, {{{"SessionID", L}, {"lngPrivate", L}}}},
    {12, "GetAttribute", B, T, false, 3, {{{"SessionID", L}, {"lngObject", L}, {"lngAttribute", L}}}},
    {13, "Encrypt", B, T, false, 4, {{{"SessionID", L}, {"lngKey", L}, {"reserved", L}, {"strPlainText", B, Txt}}}},
    {14, "Decrypt", B, T, true, 4, {{{"SessionID", L}, {"lngKey", L}, {"reserved", L}, {"lngCipherText", B}}}},
    {15, "Hash", B, T, false, 3, {{{"SessionID", L}, {"lngHashType", L}, {"strPlainText", B, Txt}}}},
    {16, "Sign", B, T, false, 4, {{{"SessionID", L}, {"lngKey", L}, {"lngHashType", L}, {"strPlainText", B, Txt}}}},
    {17, "SignByCertSerial", B, T, false, 4, {{{"SessionID", L}, {"certserial", B}, {"HashType", L}, {"plaintext", B, Txt}}}},
    {18, "Verify", L, C, false, 5,
     {{{"SessionID", L}, {"lngKey", L}, {"lngHashType", S}, {"strPlainText", B, Txt}, {"strSignText", B}}}},
    {19, "VerifyByCertSerial", L, C, false, 5,
     {{{"SessionID", L}, {"certserial", B}, {"HashType", L}, {"plaintext", B, Txt}, {"signature", B}}}},
    {20, "SignByCSP", B, T, false, 5, {{{"SessionID", L}, {"certType", L}, {"certData", B}, {"HashType", L}, {"plaintext", B, Txt}}}},
    {21, "VerifyByCSP", L, C, false, 6,
     {{{"SessionID", L}, {"CertDataType", L}, {"certData", B}, {"HashType", L}, {"plaintext", B, Txt}, {"signature", B}}}},
    {22, "EncryptByCSP", B, T, false, 5,
     {{{"SessionID", L}, {"CertDataType", L}, {"certData", B}, {"reserved", L}, {"plaintext", B, Txt}}}},
    {23, "DecryptByCSP", B, T, true, 5,
     {{{"SessionID", L}, {"CertDataType", L}, {"certData", B}, {"reserved", L}, {"ciphertext", B}}}},
    {24, "VerifyCertCRL", L, C, false, 3, {{{"SessionID", L}, {"CertDataType", L}, {"certData", B}}}},
    {25, "TokenInitialize", L, C, false, 4,
     {{{"SessionID", L}, {"strSOPin", B, Pin}, {"strNewUserPin", B, Pin}, {"strNewTokenName", B}}}},
    {26, "RetrieveAllTokenSerial", B, CT, false, 1, {{{"SessionID", L}}}},
}};

const MethodInfo* FindMethod(std::string_view name) {
  for (const MethodInfo& m : kMethods) {
    if (EqualsNoCase(m.name, name)) return &m;
  }
  return nullptr;
}

const MethodInfo* FindMethod(std::int32_t dispid) {
  if (dispid < 1 || dispid > static_cast<std::int32_t>(kMethodCount)) return nullptr;
  return &kMethods[static_cast<std::size_t>(dispid - 1)];
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
