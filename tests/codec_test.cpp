#include "codec/codec.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace {

std::vector<uint8_t> Bytes(std::string_view s) { return {s.begin(), s.end()}; }

std::string Base64(std::string_view s) {
  return codec::Base64Encode(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

std::string Pem(const std::vector<uint8_t>& data,
                std::string_view header = codec::kCertHeader,
                std::string_view footer = codec::kCertFooter) {
  std::string out;
  EXPECT_EQ(codec::PemEncode(data.data(), data.size(), header, footer, out), 0);
  return out;
}

int PemDecode(std::string_view text, std::vector<uint8_t>& out) {
  return codec::PemDecode(text.data(), text.size(), out);
}

// RFC 4648, section 10.
struct Rfc4648Vector {
  std::string_view plain;
  std::string_view encoded;
};
constexpr Rfc4648Vector kRfc4648[] = {
    {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},        {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
};

TEST(Base64, Rfc4648VectorsEncodeAndDecode) {
  for (const auto& v : kRfc4648) {
    SCOPED_TRACE(v.plain);
    EXPECT_EQ(Base64(v.plain), v.encoded);
    EXPECT_EQ(codec::Base64Decode(v.encoded), Bytes(v.plain));
  }
}

TEST(Base64, EveryAlphabetCharacterDecodesToItsIndex) {
  // The encoder is pinned by the vectors above; re-encoding the decoded
  // alphabet checks every one of the 64 decoder values against it.
  constexpr std::string_view kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const auto bytes = codec::Base64Decode(kAlphabet);
  ASSERT_EQ(bytes.size(), 48u);
  EXPECT_EQ(codec::Base64Encode(bytes.data(), bytes.size()), kAlphabet);
}

TEST(Base64, DecodeEdgeCases) {
  struct Case {
    const char* name;
    std::string_view text;
    std::vector<uint8_t> expected;
  };
  const Case cases[] = {
      {"six unpadded chars give three bytes", "Zm9vYm", Bytes("foo")},
      {"empty", "", {}},
      {"two chars", "Zm", {}},
      {"three chars", "Zm9", {}},
      {"three chars ending in pad", "Zm=", {}},
      {"one pad stops decoding", "Zm8=Zm9v", Bytes("fo")},
      {"two pads stop decoding", "Zg==Zm9vYmFy", Bytes("f")},
      {"three pads give nothing", "Z===", {}},
      {"four pads give nothing", "====", {}},
      {"four pads then data", "====Zm9v", {}},
      {"short tail after full groups", "Zm9vYmFyZg", Bytes("foobar")},
      // '=' in the middle still counts as one pad and contributes zero bits.
      {"misplaced pad", "Z=m9", {0x64, 0x09}},
      {"misplaced double pad", "=Zm=", {0x01}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(codec::Base64Decode(c.text), c.expected);
  }
}

TEST(PemEncode, LineLayoutAndLength) {
  struct Case {
    size_t n;
    std::vector<size_t> line_lengths;  // base64 lines only
    size_t total;
  };
  const Case cases[] = {
      {1, {4}, 62},           {47, {64}, 122},       {48, {64}, 122},
      {49, {64, 4}, 128},     {96, {64, 64}, 188},   {97, {64, 64, 4}, 194},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.n);
    std::vector<uint8_t> data(c.n);
    for (size_t i = 0; i < c.n; ++i) data[i] = static_cast<uint8_t>(i * 37 + 11);
    const std::string body = codec::Base64Encode(data.data(), data.size());

    std::string expected = std::string(codec::kCertHeader) + "\r\n";
    size_t pos = 0;
    for (size_t len : c.line_lengths) {
      expected += body.substr(pos, len) + "\r\n";
      pos += len;
    }
    ASSERT_EQ(pos, body.size());
    expected += std::string(codec::kCertFooter) + "\r\n";
    const std::string out = Pem(data);
    EXPECT_EQ(out, expected);
    EXPECT_EQ(out.size(), c.total);
  }
  // 49 bytes: the short second line holds two data characters and two pads.
  EXPECT_EQ(Pem(std::vector<uint8_t>(49, 0xAB)).substr(27 + 2 + 64 + 2 + 2, 4), "==\r\n");
}

TEST(PemEncode, ZeroBytesWritesNothing) {
  std::string out = "stale";
  EXPECT_EQ(codec::PemEncode(nullptr, 0, codec::kCertHeader, codec::kCertFooter, out), 0);
  EXPECT_TRUE(out.empty());
}

TEST(PemEncode, EmptyArmourLinesAreOmitted) {
  const std::vector<uint8_t> data = Bytes("foobar");
  EXPECT_EQ(Pem(data, "", ""), "Zm9vYmFy\r\n");
  EXPECT_EQ(Pem(data, "H", ""), "H\r\nZm9vYmFy\r\n");
  EXPECT_EQ(Pem(data, "", "F"), "Zm9vYmFy\r\nF\r\n");
}

TEST(PemDecode, AcceptedInputs) {
  using namespace std::string_literals;
  struct Case {
    const char* name;
    std::string text;
    std::vector<uint8_t> expected;
  };
  const Case cases[] = {
      {"empty", "", {}},
      {"bare", "Zm9vYmFy", Bytes("foobar")},
      {"bare with whitespace", " Zm9v\tYm\r\nFy\n", Bytes("foobar")},
      {"bare with high bytes", "Zm\xC3\x9F" "9v", Bytes("foo")},
      {"armoured", "-----BEGIN CERTIFICATE-----\r\nZm9vYmFy\r\n-----END CERTIFICATE-----\r\n",
       Bytes("foobar")},
      {"length up to last footer dash",
       "-----BEGIN CERTIFICATE-----\r\nZm9vYmFy\r\n-----END CERTIFICATE-----", Bytes("foobar")},
      {"labels are not compared", "-----BEGIN A-----\nZm9v\n-----END B-----", Bytes("foo")},
      {"text before armour skipped", "Subject: x=1\r\n-----BEGIN X-----\r\nZm9v\r\n-----END X-----",
       Bytes("foo")},
      {"only five characters after closing dash skipped",
       "-----BEGIN X-----Zm9v-----END X-----", Bytes("foo")},
      {"NUL inside bare text", "Zm9v\0YmFy"s, Bytes("foobar")},
      {"NUL inside armour", "-----BEGIN X-----\r\nZm9v\0YmFy\r\n-----END X-----\0"s,
       Bytes("foobar")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> out = {0xEE};
    EXPECT_EQ(PemDecode(c.text, out), 0);
    EXPECT_EQ(out, c.expected);
  }
}

TEST(PemDecode, LengthCountingTerminatorGivesSameBytes) {
  const std::string pem = Pem(Bytes("certificate body"));
  std::vector<uint8_t> without, with;
  ASSERT_EQ(codec::PemDecode(pem.c_str(), pem.size(), without), 0);
  ASSERT_EQ(codec::PemDecode(pem.c_str(), pem.size() + 1, with), 0);
  EXPECT_EQ(without, Bytes("certificate body"));
  EXPECT_EQ(with, without);

  const std::string bare = "Y2VydA==";
  ASSERT_EQ(codec::PemDecode(bare.c_str(), bare.size() + 1, with), 0);
  EXPECT_EQ(with, Bytes("cert"));
}

TEST(PemDecode, RejectedInputsLeaveOutputUnchanged) {
  struct Case {
    const char* name;
    std::string_view text;
  };
  const Case cases[] = {
      {"header without footer", "-----BEGIN CERTIFICATE-----\r\nZm9vYmFy\r\n"},
      {"header only", "-----BEGIN CERTIFICATE-----"},
      {"single dash", "-"},
      {"five dashes", "-----"},
      {"four characters after dash", "Zm9v-BEGI"},
      {"no second dash", "-----BEGIN CERTIFICATE"},
      {"closing run cut short", "-----BEGIN X--"},
      {"six dashes", "------"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> out = {0xEE, 0xFF};
    EXPECT_EQ(PemDecode(c.text, out), -1);
    EXPECT_EQ(out, (std::vector<uint8_t>{0xEE, 0xFF}));
  }
}

TEST(Hex, BytesToHexIsUpperCaseWithoutTerminator) {
  const uint8_t data[] = {0x9F, 0x0A, 0x00, 0xFF, 0x5C};
  EXPECT_EQ(codec::BytesToHex(data, sizeof data), "9F0A00FF5C");
  char buf[12];
  std::memset(buf, '#', sizeof buf);
  codec::BytesToHex(data, 5, buf);
  EXPECT_EQ(std::string_view(buf, 10), "9F0A00FF5C");
  EXPECT_EQ(buf[10], '#');
  EXPECT_EQ(codec::BytesToHex(nullptr, 0), "");
}

TEST(Hex, HexToBytesIsLenient) {
  struct Case {
    std::string_view text;
    std::vector<uint8_t> expected;
  };
  const Case cases[] = {
      {"", {}},
      {"7", {}},
      {"9F0a", {0x9F, 0x0A}},
      {"9f0A", {0x9F, 0x0A}},
      {"abcdef", {0xAB, 0xCD, 0xEF}},
      {"ABCDEF", {0xAB, 0xCD, 0xEF}},
      {"abc", {0xAB}},
      {"G0", {0x00}},         // 16 * 16 mod 256
      {"g0", {0x00}},
      {"0G", {0x10}},
      {"Z1", {0x31}},         // (35 * 16 + 1) mod 256
      {"zz", {0x53}},         // (35 * 16 + 35) mod 256
      {"!0", {0x10}},         // '!' counts its own code 33
      {" 1", {0x01}},         // (32 * 16 + 1) mod 256
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(codec::HexToBytes(c.text), c.expected);
  }
}

TEST(Hex, BufferFormWritesExactlyHalfTheLength) {
  uint8_t buf[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(codec::HexToBytes("0102030", 7, buf), 3u);
  EXPECT_EQ(std::vector<uint8_t>(buf, buf + 4), (std::vector<uint8_t>{1, 2, 3, 0xEE}));
}

// Inserts whitespace and line ends at random positions.
std::string Scatter(std::string_view body, std::mt19937& rng) {
  static constexpr char kNoise[] = {' ', '\t', '\r', '\n', '\0', '\x80', '!'};
  std::string out;
  for (char c : body) {
    if (rng() % 4 == 0) out += kNoise[rng() % sizeof kNoise];
    out += c;
  }
  return out;
}

TEST(RoundTrip, RandomByteStrings) {
  std::mt19937 rng(20240611);
  for (size_t n = 0; n <= 300; ++n) {
    SCOPED_TRACE(n);
    std::vector<uint8_t> data(n);
    for (auto& b : data) b = static_cast<uint8_t>(rng());

    const std::string b64 = codec::Base64Encode(data.data(), n);
    ASSERT_EQ(b64.size(), 4 * ((n + 2) / 3));
    EXPECT_EQ(codec::Base64Decode(b64), data);

    const std::string pem = Pem(data);
    if (n == 0) {
      EXPECT_TRUE(pem.empty());
    } else {
      const size_t lines = (b64.size() + 63) / 64;
      EXPECT_EQ(pem.size(), b64.size() + 2 * lines + 56);
    }
    std::vector<uint8_t> out;
    ASSERT_EQ(PemDecode(pem, out), 0);
    EXPECT_EQ(out, data);
    if (n > 0) {
      ASSERT_EQ(PemDecode(std::string_view(pem).substr(0, pem.rfind('-') + 1), out), 0);
      EXPECT_EQ(out, data);
      const std::string armoured = std::string(codec::kCertHeader) + "\n" + Scatter(b64, rng) +
                                   std::string(codec::kCertFooter);
      ASSERT_EQ(PemDecode(armoured, out), 0);
      EXPECT_EQ(out, data);
    }
    ASSERT_EQ(PemDecode(Scatter(b64, rng), out), 0);
    EXPECT_EQ(out, data);

    const std::string hex = codec::BytesToHex(data.data(), n);
    EXPECT_EQ(codec::HexToBytes(hex), data);
    std::string lower = hex;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(codec::HexToBytes(lower), data);
  }
}

}  // namespace
