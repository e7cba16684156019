// Text encodings for binary values crossing the automation interface:
// upper-case hexadecimal, standard base64 and PEM armour.
//
// All functions are stateless and thread-safe. The buffer-writing forms let
// callers decode secrets (PINs, plaintext) into storage they wipe themselves;
// the string/vector forms are conveniences built on top of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace codec {

// Base64 (standard alphabet, '=' padding) of n bytes: 4*ceil(n/3) chars, no
// line breaks. n == 0 gives the empty string.
std::string Base64Encode(const uint8_t* data, size_t n);

// Decodes text meant to hold only alphabet characters and '='. Never fails:
// a tail of fewer than four characters is ignored and decoding stops after
// the first group containing '='. Any other byte is skipped. The result has
// at most 3*floor(k/4) bytes for k such characters.
std::vector<uint8_t> Base64Decode(std::string_view text);

// Armours n bytes: header CR LF (if header is non-empty), base64 in lines of
// 64 chars each ending in CR LF, footer CR LF (if footer is non-empty).
// n == 0: out is cleared and nothing is written (no header, no footer).
// Returns 0, or -1 if the output cannot be allocated (out is then unchanged).
int PemEncode(const uint8_t* data, size_t n, std::string_view header,
              std::string_view footer, std::string& out);

// Decodes PEM-armoured or bare base64 text of m bytes (need not be
// zero-terminated; NUL and any other byte outside the base64 set is dropped).
// Armour is recognised by its dashes; labels are not compared. Returns 0 on
// success, -1 if armoured text ends inside the header or before the footer
// (or on allocation failure); on -1 `out` is left unchanged.
int PemDecode(const char* text, size_t m, std::vector<uint8_t>& out);

// Writes exactly 2n upper-case hex chars to out (no terminator).
void BytesToHex(const uint8_t* data, size_t n, char* out);
std::string BytesToHex(const uint8_t* data, size_t n);

// Writes floor(m/2) bytes to out and returns that count. Lenient: never
// rejects. Letters count 10..35 in either case (so 'G' is 16), any other
// non-digit byte counts its own code; each pair gives (hi*16 + lo) mod 256.
// An unpaired last character is ignored.
size_t HexToBytes(const char* text, size_t m, uint8_t* out);
std::vector<uint8_t> HexToBytes(std::string_view text);

inline constexpr std::string_view kCertHeader = "-----BEGIN CERTIFICATE-----";
inline constexpr std::string_view kCertFooter = "-----END CERTIFICATE-----";

}  // namespace codec
