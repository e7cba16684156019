// libFuzzer target for the text codecs: arbitrary input must never crash,
// outputs must stay within their documented size bounds, and encoding must
// round-trip through decoding.
#include "codec/codec.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "codec_fuzz: %s\n", what);
    std::abort();
  }
}

bool InBase64Set(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         c == '+' || c == '/' || c == '=';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  const std::string_view input(text, size);

  const std::vector<uint8_t> sentinel = {0xEE, 0xEF};
  std::vector<uint8_t> pem_out = sentinel;
  const int rc = codec::PemDecode(text, size, pem_out);
  Check(rc == 0 || rc == -1, "PemDecode status");
  if (rc == 0) {
    Check(pem_out.size() <= 3 * (size / 4), "PemDecode exceeds 3*floor(m/4)");
  } else {
    Check(pem_out == sentinel, "PemDecode changed output on failure");
  }

  std::string kept;
  for (char c : input) {
    if (InBase64Set(c)) kept += c;
  }
  const std::vector<uint8_t> b64_out = codec::Base64Decode(kept);
  Check(b64_out.size() <= 3 * (kept.size() / 4), "Base64Decode exceeds 3*floor(k/4)");
  // Without dashes the input is bare text, so PemDecode is exactly the
  // filtered Base64Decode.
  if (input.find('-') == std::string_view::npos) {
    Check(rc == 0 && pem_out == b64_out, "bare PemDecode differs from Base64Decode");
  }

  const std::vector<uint8_t> hex_out = codec::HexToBytes(input);
  Check(hex_out.size() == size / 2, "HexToBytes size != floor(m/2)");
  std::vector<uint8_t> hex_buf(size / 2 + 1, 0xA5);
  Check(codec::HexToBytes(text, size, hex_buf.data()) == size / 2, "HexToBytes count");
  Check(hex_buf.back() == 0xA5, "HexToBytes wrote past floor(m/2)");
  hex_buf.pop_back();
  Check(hex_buf == hex_out, "HexToBytes buffer and vector forms differ");

  const std::string hex = codec::BytesToHex(data, size);
  Check(hex.size() == 2 * size, "BytesToHex size");
  Check(codec::HexToBytes(hex) == std::vector<uint8_t>(data, data + size), "hex round trip");

  const std::vector<uint8_t> original(data, data + size);
  const std::string b64 = codec::Base64Encode(data, size);
  Check(b64.size() == 4 * ((size + 2) / 3), "Base64Encode size");
  Check(codec::Base64Decode(b64) == original, "base64 round trip");

  for (const bool armoured : {true, false}) {
    std::string pem;
    Check(codec::PemEncode(data, size, armoured ? codec::kCertHeader : "",
                           armoured ? codec::kCertFooter : "", pem) == 0,
          "PemEncode failed");
    const size_t lines = (b64.size() + 63) / 64;
    const size_t expected = size == 0 ? 0 : b64.size() + 2 * lines + (armoured ? 56 : 0);
    Check(pem.size() == expected, "PemEncode length");
    std::vector<uint8_t> back;
    Check(codec::PemDecode(pem.data(), pem.size(), back) == 0, "PemDecode of PemEncode failed");
    Check(back == original, "PEM round trip");
  }
  return 0;
}
