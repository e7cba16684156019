// Test module Kelo-ZIr4: forwards to SoftHSM2 so that the control can load a
// real token under one of its fixed module file names.
//
// SoftHSM2 is opened lazily on the first C_GetFunctionList and closed when
// this module is unloaded, so unloading the shim resets SoftHSM2 exactly as
// unloading a real module would.

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include <p11-kit/pkcs11.h>

#define KELO_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr const char* kOverrideEnv = "KELO_SOFTHSM_LIB";
constexpr const char* kCandidates[] = {
    "/usr/lib/softhsm/libsofthsm2.so",
    "/usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so",
    "libsofthsm2.so",
};

// The sanitizer runtimes abort the process on any dlopen with RTLD_DEEPBIND,
// and they interpose dlopen for every library of a sanitized process, this
// one included. Deep binding only guards SoftHSM2 against symbols of the host
// process, so it is dropped there rather than killing the test.
bool sanitizerRuntimePresent() {
  for (const char* sym : {"__asan_init", "__tsan_init", "__msan_init", "__hwasan_init"}) {
    if (dlsym(RTLD_DEFAULT, sym) != nullptr) return true;
  }
  return false;
}

class SoftHsmLibrary {
 public:
  SoftHsmLibrary() = default;
  SoftHsmLibrary(const SoftHsmLibrary&) = delete;
  SoftHsmLibrary& operator=(const SoftHsmLibrary&) = delete;
  ~SoftHsmLibrary() {
    if (handle_ != nullptr) dlclose(handle_);
  }

  // The library's C_GetFunctionList, or null when SoftHSM2 cannot be loaded
  // (reported once on stderr; later calls fail quietly with the same answer).
  CK_C_GetFunctionList entry() {
    std::call_once(once_, [this] { load(); });
    return entry_;
  }

 private:
  void load() {
    int flags = RTLD_NOW | RTLD_LOCAL;
    if (!sanitizerRuntimePresent()) flags |= RTLD_DEEPBIND;

    std::string errors;
    const char* chosen = std::getenv(kOverrideEnv);
    if (chosen != nullptr && *chosen != '\0') {
      // An explicit choice is never second-guessed, so that a test can make
      // SoftHSM2 unavailable on purpose.
      tryOpen(chosen, flags, errors);
    } else {
      for (const char* candidate : kCandidates) {
        if (tryOpen(candidate, flags, errors)) break;
      }
    }
    if (handle_ == nullptr) {
      std::fprintf(stderr, "Kelo-ZIr4: cannot load SoftHSM2:%s\n", errors.c_str());
      return;
    }
    void* sym = dlsym(handle_, "C_GetFunctionList");
    if (sym == nullptr) {
      std::fprintf(stderr, "Kelo-ZIr4: SoftHSM2 has no C_GetFunctionList\n");
      dlclose(handle_);
      handle_ = nullptr;
      return;
    }
    entry_ = reinterpret_cast<CK_C_GetFunctionList>(sym);
  }

  bool tryOpen(const char* path, int flags, std::string& errors) {
    handle_ = dlopen(path, flags);
    if (handle_ != nullptr) return true;
    const char* err = dlerror();
    errors += "\n  ";
    errors += err != nullptr ? err : path;
    return false;
  }

  std::once_flag once_;
  void* handle_ = nullptr;
  CK_C_GetFunctionList entry_ = nullptr;
};

SoftHsmLibrary& softhsm() {
  static SoftHsmLibrary library;
  return library;
}

// With this set (to anything but empty), a search narrowed by any attribute
// besides CKA_CLASS and CKA_TOKEN finds nothing, as on a module that stores
// such attributes in a form of its own: tests reach the control's plain walk.
constexpr const char* kUnnarrowedEnv = "KELO_SHIM_NARROWED_FINDS_NOTHING";

CK_FUNCTION_LIST g_softhsmList{};  // SoftHSM2's own entries
CK_FUNCTION_LIST g_unnarrowedList{};

CK_RV FindNothingNarrowed(CK_SESSION_HANDLE session, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count) {
  std::vector<CK_ATTRIBUTE> copy(tmpl, tmpl + (tmpl != nullptr ? count : 0));
  for (CK_ATTRIBUTE& a : copy) {
    // An empty value matches none of the identifiers and serials stored.
    if (a.type != CKA_CLASS && a.type != CKA_TOKEN) a.ulValueLen = 0;
  }
  return g_softhsmList.C_FindObjectsInit(session, copy.empty() ? tmpl : copy.data(), count);
}

}  // namespace

KELO_EXPORT CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
  CK_C_GetFunctionList entry = softhsm().entry();
  if (entry == nullptr) return CKR_GENERAL_ERROR;
  const char* unnarrowed = std::getenv(kUnnarrowedEnv);
  if (unnarrowed == nullptr || *unnarrowed == '\0' || list == nullptr) return entry(list);
  CK_FUNCTION_LIST_PTR own = nullptr;
  CK_RV rv = entry(&own);
  if (rv != CKR_OK || own == nullptr) return rv;
  g_softhsmList = *own;
  g_unnarrowedList = *own;
  g_unnarrowedList.C_FindObjectsInit = &FindNothingNarrowed;
  *list = &g_unnarrowedList;
  return CKR_OK;
}

// The control probes for this vendor entry point; its presence is all that
// matters, so it accepts anything and changes nothing.
KELO_EXPORT CK_RV E_GetAuxFunctionList(void** /*unused*/) { return CKR_OK; }
