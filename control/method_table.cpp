#include "control/method_table.h"

#include <cctype>

namespace kelo {
namespace {

constexpr VarType L = VarType::Long;
constexpr VarType S = VarType::Short;
constexpr VarType B = VarType::BStr;

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

}  // namespace

const std::array<MethodInfo, kMethodCount> kMethods = {{
    {1, "ConnectToken", L, 0, {}},
    {2, "DisconnectToken", L, 1, {{{"SessionID", L}}}},
    {3, "Login", L, 2, {{{"SessionID", L}, {"strUserPin", B}}}},
    {4, "Logout", L, 1, {{{"SessionID", L}}}},
    {5, "RetrieveSerial", B, 1, {{{"SessionID", L}}}},
    {6, "ChangeSOPin", L, 3, {{{"SessionID", L}, {"strCurrSOPin", B}, {"strNewSOPin", B}}}},
    {7, "ChangeUserPin", L, 3, {{{"SessionID", L}, {"strCurrUserPin", B}, {"strNewUserPin", B}}}},
    {8, "UnblockUserPin", L, 3, {{{"SessionID", L}, {"strSOPin", B}, {"strUserPin", B}}}},
    {9, "EnumCertificate", L, 2, {{{"SessionID", L}, {"lngCert", L}}}},
    {10, "EnumPublicKey", L, 2, {{{"SessionID", L}, {"lngPublic", L}}}},
    {11, "EnumPrivateKey", L, 2, {{{"SessionID", L}, {"lngPrivate", L}}}},
    {12, "GetAttribute", B, 3, {{{"SessionID", L}, {"lngObject", L}, {"lngAttribute", L}}}},
    {13, "Encrypt", B, 4, {{{"SessionID", L}, {"lngKey", L}, {"reserved", L}, {"strPlainText", B}}}},
    {14, "Decrypt", B, 4, {{{"SessionID", L}, {"lngKey", L}, {"reserved", L}, {"lngCipherText", B}}}},
    {15, "Hash", B, 3, {{{"SessionID", L}, {"lngHashType", L}, {"strPlainText", B}}}},
    {16, "Sign", B, 4, {{{"SessionID", L}, {"lngKey", L}, {"lngHashType", L}, {"strPlainText", B}}}},
    {17, "SignByCertSerial", B, 4, {{{"SessionID", L}, {"certserial", B}, {"HashType", L}, {"plaintext", B}}}},
    {18, "Verify", L, 5,
     {{{"SessionID", L}, {"lngKey", L}, {"lngHashType", S}, {"strPlainText", B}, {"strSignText", B}}}},
    {19, "VerifyByCertSerial", L, 5,
     {{{"SessionID", L}, {"certserial", B}, {"HashType", L}, {"plaintext", B}, {"signature", B}}}},
    {20, "SignByCSP", B, 5, {{{"SessionID", L}, {"certType", L}, {"certData", B}, {"HashType", L}, {"plaintext", B}}}},
    {21, "VerifyByCSP", L, 6,
     {{{"SessionID", L}, {"CertDataType", L}, {"certData", B}, {"HashType", L}, {"plaintext", B}, {"signature", B}}}},
    {22, "EncryptByCSP", B, 5,
     {{{"SessionID", L}, {"CertDataType", L}, {"certData", B}, {"reserved", L}, {"plaintext", B}}}},
    {23, "DecryptByCSP", B, 5,
     {{{"SessionID", L}, {"CertDataType", L}, {"certData", B}, {"reserved", L}, {"ciphertext", B}}}},
    {24, "VerifyCertCRL", L, 3, {{{"SessionID", L}, {"CertDataType", L}, {"certData", B}}}},
    {25, "TokenInitialize", L, 4,
     {{{"SessionID", L}, {"strSOPin", B}, {"strNewUserPin", B}, {"strNewTokenName", B}}}},
    {26, "RetrieveAllTokenSerial", B, 1, {{{"SessionID", L}}}},
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
