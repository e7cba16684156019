// Control surface of the mock PKCS#11 module.
//
// Tests load the mock under one of the fixed module file names and reach these
// functions with dlsym/GetProcAddress on the same handle the control uses, so
// both see one copy of the mock's state. Every function has C linkage and is
// exported from the module next to C_GetFunctionList.
//
// The mock keeps slots, tokens, objects, sessions, PINs, active operations and
// a call log. Its cryptography is fake but deterministic (see mockp11.cpp).
//
// Notes on behaviour that the comments below leave open:
// - Configuration at load time, for tests that run the control in a child
//   process: MOCKP11_TOKENS="SERIAL[,SERIAL...]" makes one slot per serial,
//   each with a key pair and certificate as mockp11_add_key_pair makes them
//   (id = 1 byte slot number, serial = 2 bytes 0x01 slot, 256-byte modulus).
//   MOCKP11_FAIL="fn:nth:rv[,fn:nth:rv...]" arms faults (rv in hex with 0x or
//   decimal; malformed entries are reported on stderr and ignored).
//   MOCKP11_LABEL=BYTES sets the token label of every token made from
//   MOCKP11_TOKENS, and of slots added later until mockp11_reset (raw bytes,
//   cut to 32 and blank-padded; unset or empty keeps "mock").
//   MOCKP11_STDOUT=TEXT makes C_Initialize, C_GetSlotList and C_Sign each
//   write TEXT followed by "\n" to stdout with printf, then fflush(stdout),
//   on every call, before anything else they do.
//   MOCKP11_MISBEHAVE="entry[,entry...]" arms the misbehaviour described at
//   mockp11_set_reported_length below: "length:FN:LEN", "endless-find",
//   "session-zero" and "null:FN"; malformed entries are reported on stderr
//   and ignored.
//   Every one of these variables may also be named with the module file's
//   base name appended, upper-cased, with every other character as '_'
//   (MOCKP11_TOKENS_KELO_ZIR4, MOCKP11_FAIL_KELO_CAV5); that name takes
//   precedence for that file, even when empty.
//   mockp11_reset forgets all of it, as it forgets the tokens.
// - New PINs set by C_SetPIN and C_InitPIN must be 4 to 255 bytes long
//   (CKR_PIN_LEN_RANGE otherwise); mockp11_set_pins takes anything.
// - C_Decrypt reports the key size as the output length it needs (for a null
//   output, and as the minimum capacity) and the plaintext length on success.
// - C_GetAttributeValue with several failing entries answers
//   CKR_ATTRIBUTE_TYPE_INVALID before CKR_ATTRIBUTE_SENSITIVE before
//   CKR_BUFFER_TOO_SMALL. A private object read without a user logged in
//   answers CKR_USER_NOT_LOGGED_IN.
#ifndef KELO_TESTING_MOCKP11_CONTROL_H
#define KELO_TESTING_MOCKP11_CONTROL_H

#include <stddef.h>

// Exported from the module; plain declarations for the tests that include
// this header only to name the functions.
#if !defined(MOCKP11_BUILD)
#define MOCKP11_API
#elif defined(_WIN32)
#define MOCKP11_API __declspec(dllexport)
#else
#define MOCKP11_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Forget everything: slots, objects, sessions, faults, the call log, and the
// "initialised" state (so the next C_Initialize answers CKR_OK).
MOCKP11_API void mockp11_reset(void);

// Add a slot. serial: up to 16 characters, blank-padded into serialNumber.
// token_present 0 makes a slot without a token (C_GetSlotList with
// tokenPresent true skips it, C_GetTokenInfo answers CKR_TOKEN_NOT_PRESENT).
// The token starts with user PIN "1234", SO PIN "12345678", label "mock".
// Returns the slot id (slot ids are 1, 2, 3, ... in order of creation).
MOCKP11_API unsigned long mockp11_add_slot(const char* serial, int token_present);
// Taking the token away closes its sessions, as a removal does.
MOCKP11_API void mockp11_set_token_present(unsigned long slot, int present);
MOCKP11_API void mockp11_set_pins(unsigned long slot, const char* user_pin, const char* so_pin);
// Label as last set by C_InitToken (32 bytes, not terminated) copied to out[32].
MOCKP11_API void mockp11_get_label(unsigned long slot, char* out32);
// Current PINs, for checking C_SetPIN / C_InitPIN effects. Returns length or -1
// (unknown slot, or the user PIN is uninitialised after C_InitToken). The PIN
// is copied NUL-terminated, cut to cap - 1 bytes.
MOCKP11_API int mockp11_get_user_pin(unsigned long slot, char* out, size_t cap);
MOCKP11_API int mockp11_get_so_pin(unsigned long slot, char* out, size_t cap);
// Lock a PIN: C_Login of that user type then answers CKR_PIN_LOCKED.
MOCKP11_API void mockp11_lock_pin(unsigned long slot, int user_type, int locked);

// Add an object on the token of slot. cls: CKO_ value. on_token: CKA_TOKEN.
// private_obj: CKA_PRIVATE (invisible to searches until a user logs in).
// Returns the object handle (unique across slots, never 0), or 0 for an
// unknown slot. CKA_VALUE, CKA_PRIVATE_EXPONENT, CKA_PRIME_1/2,
// CKA_EXPONENT_1/2 and CKA_COEFFICIENT of a private or secret key read as
// CKR_ATTRIBUTE_SENSITIVE unless the key has CKA_SENSITIVE false and
// CKA_EXTRACTABLE not false.
MOCKP11_API unsigned long mockp11_add_object(unsigned long slot, unsigned long cls, int on_token,
                                             int private_obj);
// Set (or replace) an attribute value. len 0 with value NULL stores an empty value.
MOCKP11_API void mockp11_set_attribute(unsigned long handle, unsigned long type, const void* value,
                                       unsigned long len);
// Remove an attribute so that reading it answers CKR_ATTRIBUTE_TYPE_INVALID.
MOCKP11_API void mockp11_remove_attribute(unsigned long handle, unsigned long type);
// Add a matching RSA key pair and certificate with CKA_ID id (id_len bytes),
// CKA_SERIAL_NUMBER = DER INTEGER 02 len serial..., CKA_VALUE = a fake but
// stable "certificate" blob, modulus_bytes the fake key size (signature and
// ciphertext length). The private key is CKA_PRIVATE true.
// Handles of certificate, public key, private key are written to out3.
// Both keys carry CKA_KEY_TYPE CKK_RSA, the same CKA_MODULUS (which is what
// makes them a pair), CKA_PUBLIC_EXPONENT, CKA_ID and CKA_LABEL; the public
// key CKA_VERIFY and CKA_ENCRYPT true, the private key CKA_SIGN, CKA_DECRYPT
// and CKA_SENSITIVE true. Pairs differ even for equal arguments (a counter
// since the last reset takes part). modulus_bytes above 4096 is refused and
// out3 gets zeros, as for an unknown slot.
MOCKP11_API void mockp11_add_key_pair(unsigned long slot, const unsigned char* id, unsigned long id_len,
                                      const unsigned char* serial, unsigned long serial_len,
                                      unsigned long modulus_bytes, unsigned long* out3);

// Fault injection: the n-th call (1-based, counted from this call on) of
// function fn (e.g. "C_Sign", "C_GetFunctionList", "E_GetAuxFunctionList")
// answers rv instead of doing its work. n = 0 fails every call from now on.
// Several faults may be armed at once. As with a module's own failures, a
// failed processing call (C_Digest, C_Sign, C_Verify, C_Encrypt, C_Decrypt)
// ends its operation unless rv is CKR_BUFFER_TOO_SMALL, and a failed
// C_FindObjectsFinal still ends the search.
MOCKP11_API void mockp11_fail(const char* fn, unsigned long nth, unsigned long rv);
MOCKP11_API void mockp11_clear_faults(void);

// Misbehaviour while answering CKR_OK, as a broken module would; cleared by
// mockp11_reset, not by mockp11_clear_faults.
// - Reported length: every length fn would report (a length query, a
//   too-small area, a result) becomes len, answered with CKR_OK. fn is one of
//   C_GetSlotList (the slot count; the list is still filled when it fits),
//   C_GetAttributeValue (every readable entry; a value is still copied when
//   it fits), C_Digest, C_Sign, C_Encrypt, C_Decrypt (the output is still
//   written when it fits; a call with an output area ends the operation).
//   len 0 turns it off. Returns 0 for any other fn.
MOCKP11_API int mockp11_set_reported_length(const char* fn, unsigned long len);
// C_FindObjects never runs dry: each call hands out one object, the search's
// matches over and over, or handle 0x7fffffff (no object) when none matched.
MOCKP11_API void mockp11_set_endless_find(int on);
// Searches whose template holds an attribute besides CKA_CLASS and CKA_TOKEN
// (narrowed searches): MOCKP11_NARROWED_REVERSED hands out their matches in
// reverse creation order, MOCKP11_NARROWED_IGNORED ignores those attributes
// (every object of the class matches), 0 is the normal behaviour.
#define MOCKP11_NARROWED_REVERSED 1
#define MOCKP11_NARROWED_IGNORED 2
MOCKP11_API void mockp11_set_narrowed_find(int mode);
// C_OpenSession answers CKR_OK with session handle 0 and opens nothing.
MOCKP11_API void mockp11_set_zero_session(int on);
// The function list handed out by C_GetFunctionList from now on has fn's
// entry null; a list handed out while no entry was null stays whole. Returns
// 0 for a name that is not an entry of the list.
MOCKP11_API int mockp11_null_function(const char* fn);
// As MOCKP11_STDOUT; null or "" stops it.
MOCKP11_API void mockp11_set_stdout(const char* text);
// C_Initialize answers this value (after doing nothing) instead of its normal
// result; 0 restores normal behaviour. Used for CKR_CRYPTOKI_ALREADY_INITIALIZED
// and for a failing C_Initialize. CKR_CRYPTOKI_ALREADY_INITIALIZED stands for
// another user of the module in the process, so the module is initialised
// afterwards and the caller can go on using it.
MOCKP11_API void mockp11_set_initialize_rv(unsigned long rv);

// The call log: one line per PKCS#11 call, "Name arg arg ...\n", in call order.
// Arguments logged (decimal unless noted):
//   C_Initialize, C_Finalize: none           C_GetFunctionList, E_GetAuxFunctionList: none
//   C_GetSlotList tokenPresent count_in      C_GetTokenInfo slot
//   C_OpenSession slot flags                 C_CloseSession session   C_CloseAllSessions slot
//   C_Login session userType pinLen pin      C_Logout session
//   C_SetPIN session oldLen old newLen new   C_InitPIN session len pin
//   C_InitToken slot soLen so label32(as text, blanks kept, in quotes)
//   C_FindObjectsInit session class token [type:HEX...]   (class/token from the template, -1 when
//                                            absent; then every other entry, value in hex)
//   C_GetMechanismInfo slot mechanism
//   C_FindObjects session max                C_FindObjectsFinal session
//   C_GetAttributeValue session object type[:len]...   (len as passed in, "null" pointer marked with *)
//   C_DigestInit/C_SignInit/C_VerifyInit/C_EncryptInit/C_DecryptInit session mechanism [key]
//   C_Digest/C_Sign/C_Encrypt/C_Decrypt session inLen outCapacity (outCapacity "null" for a NULL output)
//   C_Verify session dataLen sigLen
// Any other function of the list logs its name and answers CKR_FUNCTION_NOT_SUPPORTED.
// C_GetMechanismInfo knows exactly the mechanisms the mock's crypto does
// (digest; sign and verify: RSA with and without hash, ECDSA with and
// without hash; encrypt and decrypt: CKM_RSA_PKCS); others are
// CKR_MECHANISM_INVALID.
// A null pointer argument that the line would read through is logged as "null"
// (C_GetSlotList with a null list logs "C_GetSlotList 1 null"; a null PIN or
// label is "null"). C_GetAttributeValue logs a null pValue as "type*" and a
// buffer as "type:len", e.g. "C_GetAttributeValue 1 5 258* 130:4".
// The returned text stays valid until the next mockp11_log or mockp11_reset.
MOCKP11_API const char* mockp11_log(void);
MOCKP11_API void mockp11_clear_log(void);
// Number of calls of fn since the last reset or clear_log.
MOCKP11_API unsigned long mockp11_count(const char* fn);

// State queries for leak checks.
MOCKP11_API unsigned long mockp11_open_sessions(void);
MOCKP11_API int mockp11_is_initialized(void);
// Whether a find or a crypto operation (digest/sign/verify/encrypt/decrypt) is
// still active on the session.
MOCKP11_API int mockp11_find_active(unsigned long session);
MOCKP11_API int mockp11_operation_active(unsigned long session);
// Logged-in user type on the session's token: -1 none, 0 SO, 1 user.
MOCKP11_API int mockp11_login_state(unsigned long slot);

#ifdef __cplusplus
}
#endif

// Every function above, named without its mockp11_ prefix. The tests' tables
// of the functions they look up in a loaded copy come from this one list.
#define MOCKP11_CONTROL_FUNCTIONS(X)                                                                           \
  X(reset) X(add_slot) X(set_token_present) X(set_pins) X(get_label) X(get_user_pin) X(get_so_pin) X(lock_pin) \
  X(add_object) X(set_attribute) X(remove_attribute) X(add_key_pair) X(fail) X(clear_faults)                 \
  X(set_reported_length) X(set_endless_find) X(set_narrowed_find) X(set_zero_session) X(null_function) X(set_stdout)              \
  X(set_initialize_rv) X(log) X(clear_log) X(count) X(open_sessions) X(is_initialized) X(find_active)        \
  X(operation_active) X(login_state)

#ifdef __cplusplus
// The control functions of one loaded copy of the mock, each member named
// as its function without the prefix (mock.add_slot(...)).
struct Mockp11Control {
#define MOCKP11_MEMBER(name) decltype(&::mockp11_##name) name = nullptr;
  MOCKP11_CONTROL_FUNCTIONS(MOCKP11_MEMBER)
#undef MOCKP11_MEMBER

  // lookup(symbol) gives the address of an export of the copy, or null.
  // True when every function was found.
  template <typename Lookup>
  bool Resolve(Lookup&& lookup) {
    bool complete = true;
#define MOCKP11_RESOLVE(name)                                            \
  name = reinterpret_cast<decltype(name)>(lookup("mockp11_" #name)); \
  complete = complete && name != nullptr;
    MOCKP11_CONTROL_FUNCTIONS(MOCKP11_RESOLVE)
#undef MOCKP11_RESOLVE
    return complete;
  }
};
#endif

#endif
