#include "host/result_text.h"

#include "token/result_codes.h"

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

}  // namespace kelo
