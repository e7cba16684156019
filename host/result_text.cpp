#include "host/result_text.h"

#include "common/result_codes.h"

namespace kelo {

const char* ResultCodeMeaning(std::int32_t code) {
  switch (code) {
    case kOk: return "success";
    case kVerifyCertCrlAnswer: return "fixed answer of VerifyCertCRL; nothing was checked";
    case kErrLoadModule: return "no token module could be loaded";
    case kErrSession: return "wrong session identifier, or no token connected";
    case kErrNoToken: return "no token found";
    case kErrBadArgument: return "argument out of range or unusable";
    case kErrHash: return "hashing failed";
    case kErrSign: return "signing failed";
    case kErrVerify: return "signature does not verify, or the token refused to verify";
    case kErrEncrypt: return "encryption failed";
    case kErrDecrypt: return "decryption failed";
    case kErrInitToken: return "token initialised, but reopening it or setting the user PIN failed";
    case kErrNotFound: return "not found: no such object, certificate or key";
    case kErrOpenStore: return "certificate store could not be opened, or no certificate was chosen";
    case kErrBuildCert: return "certificate data could not be read as a certificate";
    case kErrGetKey: return "the certificate's key could not be obtained";
    case kErrReadFile: return "certificate file could not be read";
    case kErrProvider: return "cryptographic provider could not be started";
    case kErrPinIncorrect: return "wrong PIN";
    case kErrAnotherLoggedIn: return "another user is already logged in";
    case kErrLogin: return "login failed";
    case kErrLogout: return "logout failed";
    case kErrNotLoggedIn: return "nobody is logged in";
    case kErrPinLocked: return "PIN locked";
    case kErrChangePin: return "changing the PIN failed";
    case kErrInitPin: return "setting the user PIN as security officer failed";
    case kErrNoCurrentToken: return "no token is current";
    default: return nullptr;
  }
}

namespace {

// Length of the valid UTF-8 sequence at the start of `s` (1 to 4), or 0.
std::size_t Utf8Length(std::string_view s) {
  const auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char c = b(0);
  if (c < 0x80) return 1;
  std::size_t n = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
  if (n == 0 || s.size() < n) return 0;
  for (std::size_t i = 1; i < n; ++i)
    if ((b(i) & 0xC0) != 0x80) return 0;
  // Overlong forms, surrogates and code points past U+10FFFF.
  if ((c == 0xE0 && b(1) < 0xA0) || (c == 0xED && b(1) > 0x9F) || (c == 0xF0 && b(1) < 0x90) ||
      (c == 0xF4 && b(1) > 0x8F))
    return 0;
  return n;
}

// A C0 control, DEL, or (two bytes C2 80..C2 9F) a C1 control.
bool IsControl(std::string_view seq) {
  const auto c = static_cast<unsigned char>(seq[0]);
  if (seq.size() == 1) return c < 0x20 || c == 0x7F;
  return seq.size() == 2 && c == 0xC2 && static_cast<unsigned char>(seq[1]) < 0xA0;
}

}  // namespace

bool IsPrintableUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = Utf8Length(text.substr(i));
    if (n == 0 || IsControl(text.substr(i, n))) return false;
    i += n;
  }
  return true;
}

std::string TerminalSafe(std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    std::size_t n = Utf8Length(text.substr(i));
    if (n != 0 && !IsControl(text.substr(i, n))) {
      out.append(text.substr(i, n));
      i += n;
      continue;
    }
    for (std::size_t end = i + (n ? n : 1); i < end; ++i) {
      const auto c = static_cast<unsigned char>(text[i]);
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    }
  }
  return out;
}

}  // namespace kelo
