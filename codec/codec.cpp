#include "codec/codec.h"

#include <array>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

namespace codec {
namespace {

constexpr char kAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kHexDigits[] = "0123456789ABCDEF";

constexpr int8_t kOutside = -1;
constexpr int8_t kPad = -2;

constexpr std::array<int8_t, 256> MakeBase64Table() {
  std::array<int8_t, 256> table{};
  for (auto& v : table) v = kOutside;
  for (int i = 0; i < 64; ++i) {
    table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<int8_t>(i);
  }
  table[static_cast<unsigned char>('=')] = kPad;
  return table;
}
constexpr std::array<int8_t, 256> kBase64Table = MakeBase64Table();

constexpr std::array<uint8_t, 256> MakeHexTable() {
  std::array<uint8_t, 256> table{};
  // Lenient on purpose: a byte that is no digit contributes its own code.
  for (int i = 0; i < 256; ++i) table[i] = static_cast<uint8_t>(i);
  for (int i = 0; i < 10; ++i) table['0' + i] = static_cast<uint8_t>(i);
  for (int i = 0; i < 26; ++i) {
    table['A' + i] = static_cast<uint8_t>(10 + i);
    table['a' + i] = static_cast<uint8_t>(10 + i);
  }
  return table;
}
constexpr std::array<uint8_t, 256> kHexTable = MakeHexTable();

constexpr size_t kMaxSize = std::numeric_limits<size_t>::max();
constexpr size_t kPemLineBytes = 48;  // 64 base64 characters

// 4*ceil(n/3); false if that does not fit in size_t.
bool Base64Length(size_t n, size_t& len) {
  const size_t groups = n / 3 + (n % 3 != 0 ? 1 : 0);
  if (groups > kMaxSize / 4) return false;
  len = groups * 4;
  return true;
}

bool AddChecked(size_t& acc, size_t v) {
  if (v > kMaxSize - acc) return false;
  acc += v;
  return true;
}

// Writes 4*ceil(n/3) characters to out.
char* EncodeInto(const uint8_t* data, size_t n, char* out) {
  size_t i = 0;
  for (; i + 3 <= n; i += 3) {
    const unsigned b0 = data[i], b1 = data[i + 1], b2 = data[i + 2];
    *out++ = kAlphabet[b0 >> 2];
    *out++ = kAlphabet[((b0 & 0x03u) << 4) | (b1 >> 4)];
    *out++ = kAlphabet[((b1 & 0x0Fu) << 2) | (b2 >> 6)];
    *out++ = kAlphabet[b2 & 0x3Fu];
  }
  if (n - i == 1) {
    const unsigned b0 = data[i];
    *out++ = kAlphabet[b0 >> 2];
    *out++ = kAlphabet[(b0 & 0x03u) << 4];
    *out++ = '=';
    *out++ = '=';
  } else if (n - i == 2) {
    const unsigned b0 = data[i], b1 = data[i + 1];
    *out++ = kAlphabet[b0 >> 2];
    *out++ = kAlphabet[((b0 & 0x03u) << 4) | (b1 >> 4)];
    *out++ = kAlphabet[(b1 & 0x0Fu) << 2];
    *out++ = '=';
  }
  return out;
}

// Decodes the base64-set characters of text, skipping all others. With
// out == nullptr it only counts, so callers can size their buffer exactly
// without a filtered copy of the input.
size_t DecodeInto(std::string_view text, uint8_t* out) {
  unsigned s[4] = {0, 0, 0, 0};
  int filled = 0;
  int pads = 0;
  size_t count = 0;
  for (const char c : text) {
    const int8_t v = kBase64Table[static_cast<unsigned char>(c)];
    if (v == kOutside) continue;
    // A misplaced '=' (before an alphabet char) still counts as a pad, with value 0.
    if (v == kPad) {
      ++pads;
      s[filled++] = 0;
    } else {
      s[filled++] = static_cast<unsigned>(v);
    }
    if (filled < 4) continue;

    const size_t emit = pads == 0 ? 3 : pads == 1 ? 2 : pads == 2 ? 1 : 0;
    if (out != nullptr) {
      const uint8_t bytes[3] = {
          static_cast<uint8_t>(((s[0] << 2) | (s[1] >> 4)) & 0xFFu),
          static_cast<uint8_t>(((s[1] << 4) | (s[2] >> 2)) & 0xFFu),
          static_cast<uint8_t>(((s[2] << 6) | s[3]) & 0xFFu)};
      for (size_t j = 0; j < emit; ++j) out[count + j] = bytes[j];
    }
    count += emit;
    if (pads != 0) break;  // nothing after the first padded group counts
    filled = 0;
  }
  return count;
}

std::vector<uint8_t> DecodeToVector(std::string_view text) {
  std::vector<uint8_t> result(DecodeInto(text, nullptr));
  DecodeInto(text, result.data());
  return result;
}

}  // namespace

std::string Base64Encode(const uint8_t* data, size_t n) {
  size_t len = 0;
  if (!Base64Length(n, len)) throw std::length_error("base64 text too long");
  std::string text(len, '\0');
  EncodeInto(data, n, text.data());
  return text;
}

std::vector<uint8_t> Base64Decode(std::string_view text) {
  return DecodeToVector(text);
}

int PemEncode(const uint8_t* data, size_t n, std::string_view header,
              std::string_view footer, std::string& out) {
  if (n == 0) {
    out.clear();
    return 0;
  }
  size_t b64 = 0;
  if (!Base64Length(n, b64)) return -1;
  const size_t lines = b64 / 64 + (b64 % 64 != 0 ? 1 : 0);
  size_t total = b64;
  if (!AddChecked(total, lines) || !AddChecked(total, lines)) return -1;
  if (!header.empty() && (!AddChecked(total, header.size()) || !AddChecked(total, 2))) return -1;
  if (!footer.empty() && (!AddChecked(total, footer.size()) || !AddChecked(total, 2))) return -1;

  try {
    std::string text(total, '\0');
    char* w = text.data();
    const auto put = [&w](std::string_view s) {
      std::memcpy(w, s.data(), s.size());
      w += s.size();
    };
    if (!header.empty()) {
      put(header);
      put("\r\n");
    }
    // Encoding 48 bytes at a time yields the 64-character lines directly,
    // so no unbroken base64 copy is needed; padding can only occur last.
    for (size_t off = 0; off < n; off += kPemLineBytes) {
      const size_t chunk = n - off < kPemLineBytes ? n - off : kPemLineBytes;
      w = EncodeInto(data + off, chunk, w);
      put("\r\n");
    }
    if (!footer.empty()) {
      put(footer);
      put("\r\n");
    }
    out.swap(text);
  } catch (const std::bad_alloc&) {
    return -1;
  } catch (const std::length_error&) {
    return -1;
  }
  return 0;
}

int PemDecode(const char* text, size_t m, std::vector<uint8_t>& out) {
  if (m == 0) {
    out.clear();
    return 0;
  }
  const std::string_view all(text, m);
  std::string_view body = all;
  const size_t first_dash = all.find('-');
  if (first_dash != std::string_view::npos) {
    // Armoured: skip the header's opening dashes, find the run that closes
    // the header line, and skip five characters past its first dash. The
    // label in between is deliberately not checked.
    const size_t label = first_dash + 5;
    if (label >= m) return -1;
    const size_t closing = all.find('-', label);
    if (closing == std::string_view::npos) return -1;
    const size_t start = m - closing > 5 ? closing + 5 : m;
    const size_t footer = all.find('-', start);
    if (footer == std::string_view::npos) return -1;
    body = all.substr(start, footer - start);
  }
  try {
    std::vector<uint8_t> decoded = DecodeToVector(body);
    out.swap(decoded);
  } catch (const std::bad_alloc&) {
    return -1;
  }
  return 0;
}

void BytesToHex(const uint8_t* data, size_t n, char* out) {
  for (size_t i = 0; i < n; ++i) {
    *out++ = kHexDigits[data[i] >> 4];
    *out++ = kHexDigits[data[i] & 0x0Fu];
  }
}

std::string BytesToHex(const uint8_t* data, size_t n) {
  if (n > std::string().max_size() / 2) throw std::length_error("hex text too long");
  std::string text(2 * n, '\0');
  BytesToHex(data, n, text.data());
  return text;
}

size_t HexToBytes(const char* text, size_t m, uint8_t* out) {
  const size_t count = m / 2;
  for (size_t i = 0; i < count; ++i) {
    const unsigned hi = kHexTable[static_cast<unsigned char>(text[2 * i])];
    const unsigned lo = kHexTable[static_cast<unsigned char>(text[2 * i + 1])];
    out[i] = static_cast<uint8_t>((hi * 16u + lo) & 0xFFu);
  }
  return count;
}

std::vector<uint8_t> HexToBytes(std::string_view text) {
  std::vector<uint8_t> bytes(text.size() / 2);
  HexToBytes(text.data(), text.size(), bytes.data());
  return bytes;
}

}  // namespace codec
