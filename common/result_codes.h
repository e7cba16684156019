// Result codes of the control: 0 for success, 1001 and up for failures.
// Functions that answer one return this type, so a result left unread is a
// compile error rather than a failure nobody noticed. A module's own CKR_
// values never travel in it: each module call maps them to one of these.
#ifndef KELO_COMMON_RESULT_CODES_H
#define KELO_COMMON_RESULT_CODES_H

#include <cstdint>

namespace kelo {

enum [[nodiscard]] ResultCode : std::int32_t {
  kOk = 0,
  kVerifyCertCrlAnswer = 1,
  kErrLoadModule = 1001,
  kErrSession = 1002,
  kErrNoToken = 1003,
  kErrBadArgument = 1004,
  kErrHash = 1005,
  kErrSign = 1006,
  kErrVerify = 1007,
  kErrEncrypt = 1008,
  kErrDecrypt = 1009,
  kErrInitToken = 1010,
  kErrNotFound = 1011,
  kErrOpenStore = 1301,
  kErrBuildCert = 1302,
  kErrGetKey = 1303,
  kErrReadFile = 1304,
  kErrProvider = 1305,
  kErrPinIncorrect = 4001,
  kErrAnotherLoggedIn = 4002,
  kErrLogin = 4003,
  kErrLogout = 4004,
  kErrNotLoggedIn = 4005,
  kErrPinLocked = 4006,
  kErrChangePin = 4007,
  kErrInitPin = 4008,
  kErrNoCurrentToken = 5001,
};

}  // namespace kelo

#endif
