// The store operations' own logic over a fake store: certificate data
// types, check order, serial search, files, and release on every path.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <string>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "codec/codec.h"
#include "csp/token_csp.h"
#include "tests/fake_store.h"

namespace kelo::test {
namespace {

constexpr HashType kSha1 = HashType::kSha1;
constexpr HashType kMd5 = HashType::kMd5;
constexpr auto kUnnamedHash = static_cast<HashType>(3);

class CspTest : public ::testing::Test {
 protected:
  CspTest() : csp_(std::make_unique<FakeStore>(state_), std::make_unique<FakeChooser>(state_)) {
    state_.serials = {{0x00, 0xA1, 0xB2}, {0x0A, 0x1B}, {0x0A, 0x1B}, {0xC0}};
  }
  ~CspTest() override { EXPECT_EQ(g_live, 0) << "a store object was not released"; }

  // Signs with a store certificate picked by serial; returns the result code.
  ResultCode SignBySerial(const Bytes& serial, HashType hashType, Bytes& sig) {
    std::uint8_t out[1000];
    std::uint32_t len = sizeof out;
    const std::uint8_t data[] = {1, 2, 3};
    const std::uint8_t none = 0;  // empty data is still present data
    ResultCode rc = csp_.Sign(kCertBySerial, serial.empty() ? &none : serial.data(),
                              static_cast<std::int32_t>(serial.size()), hashType, data, 3, out, &len);
    if (rc == kOk) sig.assign(out, out + len);
    return rc;
  }
  ResultCode Locate(std::int32_t type, const std::string& data, bool withTerminator = true) {
    std::unique_ptr<csp::Certificate> cert;
    auto n = static_cast<std::int32_t>(data.size() + (withTerminator ? 1 : 0));
    return csp_.LocateCertificate(type, reinterpret_cast<const std::uint8_t*>(data.c_str()), n, cert);
  }

  FakeState state_;
  CTokenCSP csp_;
};

TEST(CspBytes, ReverseAndCompare) {
  const std::uint8_t src[] = {1, 2, 3, 4};
  std::uint8_t dst[4];
  ReverseBytes(dst, src, 4);
  EXPECT_EQ(Bytes(dst, dst + 4), (Bytes{4, 3, 2, 1}));
  const std::uint8_t a[] = {1, 2, 3}, b[] = {1, 2, 4};
  EXPECT_EQ(CompareBytes(a, 3, a, 3), 0);
  EXPECT_EQ(CompareBytes(a, 3, b, 3), 1);
  EXPECT_EQ(CompareBytes(a, 2, a, 3), 1);
  EXPECT_EQ(CompareBytes(a, 0, b, 0), 0);
}

TEST_F(CspTest, SerialSearchComparesEveryByte) {
  Bytes sig;
  EXPECT_EQ(SignBySerial({0x00, 0xA1, 0xB2}, kSha1, sig), kOk);
  EXPECT_EQ(SignBySerial({0xA1, 0xB2}, kSha1, sig), kErrNotFound);  // the leading 00 is part of it
  EXPECT_EQ(SignBySerial({0x00, 0xA1, 0xB2, 0x00}, kSha1, sig), kErrNotFound);
  EXPECT_EQ(SignBySerial({0x0A, 0x1B}, kSha1, sig), kOk);  // first of two with one serial
  EXPECT_EQ(SignBySerial({}, kSha1, sig), kErrNotFound);
  EXPECT_EQ(SignBySerial({0xC0}, kSha1, sig), kErrGetKey);  // found, but without a private key
  // A stored serial longer than 100 bytes never matches, even exactly.
  Bytes longSerial(101, 0x42);
  state_.serials.push_back(longSerial);
  EXPECT_EQ(SignBySerial(longSerial, kSha1, sig), kErrNotFound);
  state_.openFails = true;
  EXPECT_EQ(SignBySerial({0x0A, 0x1B}, kSha1, sig), kErrOpenStore);
}

TEST_F(CspTest, SelectionDialogDecides) {
  std::uint8_t out[1000];
  std::uint32_t len = sizeof out;
  const std::uint8_t data[] = {9};
  state_.chosen = -1;
  EXPECT_EQ(csp_.Sign(kCertBySelection, nullptr, 0, kSha1, data, 1, out, &len), kErrOpenStore);
  state_.chosen = 1;
  EXPECT_EQ(csp_.Sign(kCertBySelection, nullptr, 0, kSha1, data, 1, out, &len), kOk);
  EXPECT_EQ(state_.chooserCalls, 2);
  state_.chosen = 7;  // out of range: nothing chosen
  EXPECT_EQ(csp_.Sign(kCertBySelection, nullptr, 0, kSha1, data, 1, out, &len), kErrOpenStore);
}

// Without a chooser (the platform's store shows its own dialog), a store
// that has no dialog of its own chooses nothing.
TEST(CspSelection, WithoutAChooserNothingIsChosen) {
  FakeState state;
  state.serials = {{0x0A, 0x1B}};
  {
    CTokenCSP csp(std::make_unique<FakeStore>(state), nullptr);
    std::uint8_t out[1000];
    std::uint32_t len = sizeof out;
    const std::uint8_t data[] = {9};
    EXPECT_EQ(csp.Sign(kCertBySelection, nullptr, 0, kSha1, data, 1, out, &len), kErrOpenStore);
    EXPECT_EQ(state.opens, 1);
  }
  EXPECT_EQ(g_live, 0) << "a store object was not released";
}

TEST_F(CspTest, ChecksRunInTheirOrder) {
  std::uint8_t out[1000];
  std::uint32_t len = sizeof out;
  const std::uint8_t data[] = {1};
  const Bytes serial = {0x0A, 0x1B};
  // Private-key operations take only store certificates, refused before the store opens.
  for (std::int32_t type : {2, 3, 4, 5, -1}) {
    EXPECT_EQ(csp_.Sign(type, serial.data(), 2, kSha1, data, 1, out, &len), kErrBadArgument);
    EXPECT_EQ(csp_.Decrypt(type, serial.data(), 2, data, 1, out, &len), kErrBadArgument);
  }
  EXPECT_EQ(state_.opens, 0);
  EXPECT_EQ(csp_.Encrypt(7, serial.data(), 2, data, 1, out, &len), kErrBadArgument);
  EXPECT_EQ(csp_.Verify(7, serial.data(), 2, kSha1, data, 1, data, 1), kErrBadArgument);
  EXPECT_EQ(csp_.Sign(kCertBySerial, nullptr, 0, kSha1, data, 1, out, &len), kErrBadArgument);
  EXPECT_EQ(state_.opens, 1);  // serial absent: found out after opening
  // Hash type: refused only once certificate and key are in hand.
  EXPECT_EQ(csp_.Sign(kCertBySerial, serial.data(), 2, kUnnamedHash, data, 1, out, &len), kErrHash);
  EXPECT_EQ(csp_.Sign(kCertBySerial, Bytes{0x99}.data(), 1, kUnnamedHash, data, 1, out, &len), kErrNotFound);
  EXPECT_EQ(csp_.Verify(kCertBySerial, serial.data(), 2, static_cast<HashType>(-1), data, 1, data, 1), kErrHash);
  state_.providerRc = kErrProvider;
  EXPECT_EQ(csp_.Verify(kCertBySerial, serial.data(), 2, kSha1, data, 1, data, 1), kErrProvider);
  EXPECT_EQ(csp_.Encrypt(kCertBySerial, serial.data(), 2, data, 1, out, &len), kErrProvider);
}

TEST_F(CspTest, RoundTripsAndTheirFailures) {
  const Bytes serial = {0x0A, 0x1B};
  const std::uint8_t data[] = {5, 6, 7};
  std::uint8_t sig[1000];
  std::uint32_t sigLen = sizeof sig;
  ASSERT_EQ(csp_.Sign(kCertBySerial, serial.data(), 2, kMd5, data, 3, sig, &sigLen), kOk);
  EXPECT_EQ(csp_.Verify(kCertBySerial, serial.data(), 2, kMd5, data, 3, sig, static_cast<std::int32_t>(sigLen)), kOk);
  EXPECT_EQ(csp_.Verify(kCertBySerial, serial.data(), 2, kSha1, data, 3, sig, static_cast<std::int32_t>(sigLen)),
            kErrVerify);

  std::uint8_t cipher[1000];
  std::uint32_t cipherLen = sizeof cipher;
  ASSERT_EQ(csp_.Encrypt(kCertBySerial, serial.data(), 2, data, 3, cipher, &cipherLen), kOk);
  std::uint8_t plain[1000];
  std::uint32_t plainLen = sizeof plain;
  ASSERT_EQ(csp_.Decrypt(kCertBySerial, serial.data(), 2, cipher, static_cast<std::int32_t>(cipherLen), plain,
                         &plainLen),
            kOk);
  EXPECT_EQ(Bytes(plain, plain + plainLen), Bytes(data, data + 3));
  // The caller's capacity bounds every output: the fake's signature here is
  // four bytes.
  std::uint32_t small = 3;
  EXPECT_EQ(csp_.Sign(kCertBySerial, serial.data(), 2, kMd5, data, 3, sig, &small), kErrHash);
  EXPECT_EQ(small, 3u) << "nothing written on failure";
  small = 4;
  EXPECT_EQ(csp_.Sign(kCertBySerial, serial.data(), 2, kMd5, data, 3, sig, &small), kOk);
  EXPECT_EQ(small, 4u);
  small = 2;
  EXPECT_EQ(csp_.Encrypt(kCertBySerial, serial.data(), 2, data, 3, cipher, &small), kErrEncrypt);
  small = 2;
  EXPECT_EQ(csp_.Decrypt(kCertBySerial, serial.data(), 2, cipher, static_cast<std::int32_t>(cipherLen), plain, &small),
            kErrDecrypt);
  EXPECT_EQ(small, 2u) << "nothing written on failure";
  // Too long for the key; garbage to decrypt; a key only for signatures.
  const std::uint8_t longData[9] = {};
  std::uint32_t len = 1000;
  EXPECT_EQ(csp_.Encrypt(kCertBySerial, serial.data(), 2, longData, 9, cipher, &len), kErrEncrypt);
  len = 1000;
  EXPECT_EQ(csp_.Decrypt(kCertBySerial, serial.data(), 2, data, 3, plain, &len), kErrDecrypt);
  state_.decryptAllowed = false;
  len = 1000;
  EXPECT_EQ(csp_.Decrypt(kCertBySerial, serial.data(), 2, cipher, static_cast<std::int32_t>(cipherLen), plain, &len),
            kErrGetKey);
}

TEST_F(CspTest, CertificateFromText) {
  const std::string der = "FAKECERT\x01\x02";
  std::string b64 = codec::Base64Encode(reinterpret_cast<const std::uint8_t*>(der.data()), der.size());
  std::string pem;
  codec::PemEncode(reinterpret_cast<const std::uint8_t*>(der.data()), der.size(), codec::kCertHeader,
                   codec::kCertFooter, pem);
  EXPECT_EQ(Locate(kCertFromBase64, pem), kOk);
  EXPECT_EQ(Locate(kCertFromBase64, b64), kOk);
  std::string spaced = b64;
  spaced.insert(4, "\r\n\t").insert(0, 1, ' ');
  EXPECT_EQ(Locate(kCertFromBase64, spaced), kOk);
  std::string noFooter(codec::kCertHeader);
  noFooter.append("\n").append(b64).append("\n");
  EXPECT_EQ(Locate(kCertFromBase64, noFooter), kErrBadArgument);
  EXPECT_EQ(Locate(kCertFromBase64, ""), kErrBuildCert);
  EXPECT_EQ(Locate(kCertFromBase64, "not base64 of a certificate"), kErrBuildCert);
  EXPECT_EQ(Locate(kCertFromBase64, std::string(CTokenCSP::kMaxCertData + 1, 'A'), false), kErrBadArgument);
  EXPECT_EQ(Locate(kCertFromDer, der, false), kOk);
  EXPECT_EQ(Locate(kCertFromDer, "", false), kErrBuildCert);
  std::unique_ptr<csp::Certificate> cert;
  EXPECT_EQ(csp_.LocateCertificate(kCertFromDer, nullptr, 0, cert), kErrBadArgument);
  EXPECT_EQ(csp_.LocateCertificate(9, nullptr, 0, cert), kErrBadArgument);
  EXPECT_EQ(state_.opens, 0);  // caller data needs no store
}

TEST_F(CspTest, CertificateFromFile) {
  const std::string der = "FAKECERT\x07";
  std::string pem;
  codec::PemEncode(reinterpret_cast<const std::uint8_t*>(der.data()), der.size(), codec::kCertHeader,
                   codec::kCertFooter, pem);
  const std::string dir = ::testing::TempDir();
  auto write = [&](const std::string& name, const std::string& content) {
    std::ofstream(dir + name, std::ios::binary) << content;
    return dir + name;
  };
  EXPECT_EQ(Locate(kCertFromFile, write("kelo-cert.pem", pem)), kOk);
  EXPECT_EQ(Locate(kCertFromFile, write("kelo-cert-trailer.pem", pem + "trailing text\n")), kOk);
  EXPECT_EQ(Locate(kCertFromFile, write("kelo-cert.der", der)), kOk);
  // Anything not starting with the exact header is taken as DER.
  EXPECT_EQ(Locate(kCertFromFile, write("kelo-bom.pem", "\xEF\xBB\xBF" + pem)), kErrBuildCert);
  EXPECT_EQ(Locate(kCertFromFile, write("kelo-blank.pem", "\n" + pem)), kErrBuildCert);
  EXPECT_EQ(Locate(kCertFromFile, write("kelo-nofooter.pem", pem.substr(0, pem.find("-----END")))),
            kErrBadArgument);
  EXPECT_EQ(Locate(kCertFromFile, write("kelo-empty.pem", "")), kErrBuildCert);
  EXPECT_EQ(Locate(kCertFromFile, dir + "kelo-does-not-exist.pem"), kErrReadFile);
  EXPECT_EQ(Locate(kCertFromFile, write("kelo-big.der", std::string(CTokenCSP::kMaxCertData + 1, 'x'))),
            kErrReadFile);
  EXPECT_EQ(Locate(kCertFromFile, std::string(5000, 'p')), kErrReadFile);
  for (const char* f : {"kelo-cert.pem", "kelo-cert-trailer.pem", "kelo-cert.der", "kelo-bom.pem", "kelo-blank.pem",
                        "kelo-nofooter.pem", "kelo-empty.pem", "kelo-big.der"})
    std::remove((dir + f).c_str());
}

TEST_F(CspTest, CertificateFileMustBeARegularFile) {
  // None of these may block the caller: a FIFO nobody writes, endless devices.
  const std::string fifo = ::testing::TempDir() + "kelo-cert.fifo";
  std::vector<std::string> paths = {::testing::TempDir()};
#ifdef _WIN32
  paths.insert(paths.end(), {"NUL", "nul.pem", "C:\\x\\CON .txt", "COM1", "conin$", "\\\\.\\NUL",
                             "\\\\?\\C:\\", "//./pipe/kelo-none"});
#else
  std::remove(fifo.c_str());
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  paths.insert(paths.end(), {fifo, "/dev/zero", "/dev/null"});
#endif
  for (const std::string& path : paths) {
    SCOPED_TRACE(path);
    auto rc = std::async(std::launch::async, [&] { return Locate(kCertFromFile, path); });
    if (rc.wait_for(std::chrono::seconds(10)) == std::future_status::timeout) {
      ADD_FAILURE() << "blocked";
#ifndef _WIN32
      ::close(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK));  // a writer comes and goes: the open returns
#endif
    }
    EXPECT_EQ(rc.get(), kErrReadFile);
  }
  std::remove(fifo.c_str());
}

}  // namespace
}  // namespace kelo::test
