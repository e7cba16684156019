// PKCS#11 declarations. p11-kit's header gives the native binding on Linux
// (unsigned long CK_ULONG) and, under _WIN32, 1-byte packing with a 32-bit
// CK_ULONG, as Windows modules expect.
#ifndef KELO_TOKEN_PKCS11_H
#define KELO_TOKEN_PKCS11_H

#include <p11-kit/pkcs11.h>

#endif
