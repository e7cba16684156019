// One PKCS#11 object search, stepped one object per call and always closed.
// A search ends after kMaxObjects objects even if the module would go on:
// a module that never runs dry (or hands out the same object forever) must
// not keep a call of the control running. Real tokens hold a few hundred
// objects at most, so the bound never cuts a genuine search short.
#ifndef KELO_TOKEN_FIND_OPERATION_H
#define KELO_TOKEN_FIND_OPERATION_H

#include "token/pkcs11.h"

namespace kelo {

class FindOperation {
 public:
  static constexpr unsigned long kMaxObjects = 100000;
  // A search narrowed by an attribute that hands out more objects than this
  // is taken for a module that ignores the attribute: the caller's plain
  // walk decides instead.
  static constexpr unsigned long kMaxNarrowed = 16;

  // Starts the search for the token objects of class cls, narrowed by one
  // more attribute when narrow is given. Its status is not examined: a search
  // that did not start shows as the first Next() failing.
  FindOperation(CK_FUNCTION_LIST_PTR fl, CK_SESSION_HANDLE session, CK_OBJECT_CLASS cls,
                const CK_ATTRIBUTE* narrow = nullptr)
      : fl_(fl), session_(session), cls_(cls) {
    CK_BBOOL on_token = CK_TRUE;
    CK_ATTRIBUTE tmpl[3] = {{CKA_CLASS, &cls_, sizeof cls_}, {CKA_TOKEN, &on_token, sizeof on_token}, {}};
    if (narrow != nullptr) tmpl[2] = *narrow;
    fl_->C_FindObjectsInit(session_, tmpl, narrow != nullptr ? 3 : 2);
  }
  FindOperation(const FindOperation&) = delete;
  FindOperation& operator=(const FindOperation&) = delete;
  ~FindOperation() { fl_->C_FindObjectsFinal(session_); }

  // Next object, or false when the module fails or has no more, or when
  // kMaxObjects have been handed out.
  bool Next(CK_OBJECT_HANDLE& handle) {
    if (steps_ == kMaxObjects) return false;
    ++steps_;
    CK_ULONG count = 0;
    CK_OBJECT_HANDLE h = 0;
    if (fl_->C_FindObjects(session_, &h, 1, &count) != CKR_OK || count != 1) return false;
    handle = h;
    return true;
  }

 private:
  CK_FUNCTION_LIST_PTR fl_;
  CK_SESSION_HANDLE session_;
  CK_OBJECT_CLASS cls_;
  unsigned long steps_ = 0;
};

}  // namespace kelo

#endif
