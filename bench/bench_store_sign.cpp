// Cost of SignByCSP by serial number (certificate data type 1) on the user's
// NSS database against the number of certificates it holds, next to the
// same signature made with NSS directly.
//
// The store's first lookup by serial walks every certificate of the
// database's slot and keeps, per serial, the issuer of the first one (its
// cost is reported on its own); later lookups check that the database file
// is unchanged and ask NSS for that issuer and serial. Then it finds the
// private key and signs a SHA-1 DigestInfo with CKM_RSA_PKCS. The direct
// path does the same work the way an NSS program would: the certificate by
// issuer and serial number (an indexed lookup), its key, the hash and the
// signature. Two more direct figures split the cost: the lookup done as a
// walk of the slot's list (the store's first call), and the hash and
// signature alone with the key already in hand.
//
// Everything runs in one NSS start: the control's store and this program
// share the process's reference-counted NSS (csp/nss/nss_context.h), and
// HOME is read when it starts, so one process measures one database;
// run.sh runs it per size.
#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "bench/harness.h"
#include "bench/nss_direct.h"
#include "codec/codec.h"
#include "control/kelo_ctrl.h"
#include "tests/support/env_file.h"

namespace kelo::bench {
namespace {

constexpr char kName[] = "bench_store_sign";
// Repeated SignByCSP by serial against the direct lookup and signature.
constexpr Target kRatioTarget{1.5, false, "x direct"};
constexpr char kUsage[] =
    "Usage: bench_store_sign HOME_DIR [--slice S] [--rounds R] [--cert NAME]\n"
    "\n"
    "SignByCSP by serial number through the control against the NSS database\n"
    "HOME_DIR/.pki/nssdb made by make-nssdb.sh HOME_DIR [--extra N], next to\n"
    "the same signature made with NSS directly. HOME is set to HOME_DIR.\n"
    "  --slice S        seconds per turn of one call kind (default 1)\n"
    "  --rounds R       turns of each call kind (default 2)\n"
    "  --cert NAME      the fixture certificate to sign with (default: the\n"
    "                   signing certificate the store's walk reaches last)\n"
    "The control's first call, which learns the database, is timed on its own.\n"
    "Exit status 1 when a signature is missing or the two paths differ.\n";

constexpr std::int32_t kSha1 = 0;
constexpr std::int32_t kCertBySerial = 1;

// The fixture's certificates that have a private key allowed to sign. The
// two duplicates share a serial, so a lookup by serial cannot single
// either out; the encryption-only key may not sign.
constexpr std::array<const char*, 3> kSigningCerts = {"a", "b", "sigonly"};

std::string Hex(const Bytes& bytes) { return codec::BytesToHex(bytes.data(), bytes.size()); }

std::string Upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return s;
}

// NAME=VALUE lines of the fixture's fixture.env.
std::map<std::string, std::string> ReadFixture(const std::string& path) {
  std::map<std::string, std::string> values = kelo::test::ReadEnvFile(path);
  if (values.empty()) throw Failure("cannot read " + path + " (make the database with make-nssdb.sh first)");
  return values;
}

std::string FixtureValue(const std::map<std::string, std::string>& fixture, const std::string& name) {
  const auto it = fixture.find(name);
  if (it == fixture.end() || it->second.empty()) throw Failure("fixture.env has no " + name);
  return it->second;
}


int Measure(const std::string& home, const Options& opt) {
  const double slice = opt.Number("--slice", 1.0, 0.01, 600);
  const long rounds = opt.Integer("--rounds", 2, 1, 1000);
  const std::map<std::string, std::string> fixture = ReadFixture(home + "/fixture/fixture.env");
  char* end = nullptr;
  const std::string countText = FixtureValue(fixture, "CERT_COUNT");
  const long certCount = std::strtol(countText.c_str(), &end, 10);
  if (*end != '\0' || certCount <= 0) throw Failure("CERT_COUNT in fixture.env is not a count: " + countText);
  if (const auto pw = fixture.find("PASSWORD"); pw != fixture.end() && !pw->second.empty())
    throw Failure("the database has a password; make it without --password");

  // NSS reads HOME when it starts, and it starts here: db holds it up for
  // the control's store and for the direct calls alike. The signer goes
  // first, with the NSS objects it holds.
  if (::setenv("HOME", home.c_str(), 1) != 0) throw Failure("setenv HOME failed");
  const NssDatabase db;
  CKeloCAActiveXCtrl control;

  // ---- the walk, listed the way the store lists it
  std::vector<std::string> walk;
  for (const Bytes& serial : db.WalkSerials()) walk.push_back(Upper(Hex(serial)));
  if (walk.size() != static_cast<std::size_t>(certCount))
    throw Failure(Format("the database lists %zu certificates, fixture.env says %ld", walk.size(), certCount));
  auto positionOf = [&](const std::string& serialHex) {
    std::size_t found = 0;
    for (std::size_t i = 0; i < walk.size(); ++i) {
      if (walk[i] != serialHex) continue;
      if (found != 0) throw Failure("serial " + serialHex + " is listed twice");
      found = i + 1;
    }
    if (found == 0) throw Failure("serial " + serialHex + " is not in the database");
    return found;
  };

  // The target: the signing certificate the walk reaches last, unless named.
  std::string targetName;
  if (const auto named = opt.Get("--cert")) {
    targetName = *named;
    if (std::find(kSigningCerts.begin(), kSigningCerts.end(), targetName) == kSigningCerts.end())
      throw UsageError("--cert must be a, b or sigonly (a unique serial and a key that may sign)");
  } else {
    std::size_t latest = 0;
    for (const char* name : kSigningCerts) {
      const std::size_t p = positionOf(Upper(FixtureValue(fixture, "SERIAL_" + Upper(name))));
      if (p > latest) {
        latest = p;
        targetName = name;
      }
    }
  }
  const std::string serialHex = Upper(FixtureValue(fixture, "SERIAL_" + Upper(targetName)));
  const std::size_t position = positionOf(serialHex);
  const DirectSigner direct(db, position);

  std::array<std::uint8_t, 32> raw{};
  for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<std::uint8_t>(i * 5 + 3);
  const Bytes data(raw.begin(), raw.end());
  const std::string dataHex = Hex(data);

  // ---- the reference answers: the control's, byte-reversed, must be NSS's
  auto facadeSign = [&] {
    const std::string sig = control.SignByCSP(0, kCertBySerial, serialHex, kSha1, dataHex);
    if (sig.empty()) throw Failure("SignByCSP gave no signature for serial " + serialHex);
    Bytes bytes = codec::HexToBytes(sig);
    std::reverse(bytes.begin(), bytes.end());
    return bytes;
  };
  const Bytes reference = direct.ByIssuerAndSerial(data);
  const Clock::time_point firstStart = Clock::now();
  const Bytes fromFacade = facadeSign();
  const double firstMs = 1e3 * SecondsSince(firstStart);
  if (fromFacade != reference)
    throw Failure("SignByCSP's signature, reversed, differs from NSS's:\n  control " + Hex(fromFacade) +
                  "\n  NSS     " + Hex(reference));
  if (direct.ByListing(data) != reference) throw Failure("the listing path signs differently");
  if (direct.WithHeldKey(data) != reference) throw Failure("the held key signs differently");

  std::vector<Kind> kinds;
  kinds.push_back({"SignByCSP by serial (control)", [&] {
                     if (facadeSign() != reference) throw Failure("SignByCSP changed its answer");
                   }});
  kinds.push_back({"NSS direct, issuer+serial lookup", [&] {
                     if (direct.ByIssuerAndSerial(data) != reference) throw Failure("the direct signature changed");
                   }});
  kinds.push_back({"  NSS direct, listing walk", [&] {
                     if (direct.ByListing(data) != reference) throw Failure("the listing path's signature changed");
                   }});
  kinds.push_back({"  NSS direct, key held", [&] {
                     if (direct.WithHeldKey(data) != reference) throw Failure("the held key's signature changed");
                   }});

  std::printf("bench_store_sign: %s/.pki/nssdb, %zu certificates, SHA-1 over %zu bytes, RSA-%zu\n", home.c_str(),
              walk.size(), data.size(), reference.size() * 8);
  std::printf("  target: fixture certificate \"%s\", serial %s, position %zu of %zu in the store's walk\n",
              targetName.c_str(), serialHex.c_str(), position, walk.size());
  std::printf("  %ld rounds of %.2f s per call kind, rotating order\n", rounds, slice);
  for (long r = 0; r < rounds; ++r) {
    for (std::size_t k = 0; k < kinds.size(); ++k)
      kinds[(static_cast<std::size_t>(r) + k) % kinds.size()].RunSlice(slice);
  }

  std::printf("  %-34s %10s %11s %7s\n", "call", "calls/s", "ms/call", "calls");
  for (const Kind& k : kinds) {
    std::printf("  %-34s %10.1f %11.3f %7ld\n", k.name.c_str(), k.Rate(), k.MsPerCall(), k.calls);
  }
  const double facadeMs = kinds[0].MsPerCall();
  const double directMs = kinds[1].MsPerCall();
  const double ratio = facadeMs / directMs;
  std::printf("  first SignByCSP by serial (walks the database once): %.3f ms\n", firstMs);
  std::printf("  control/direct: %.2fx (%.3f ms more per call); control/listing walk: %.2fx\n", ratio,
              facadeMs - directMs, facadeMs / kinds[2].MsPerCall());
  std::printf("  target %s: %s\n", TargetText(kRatioTarget).c_str(), Verdict(kRatioTarget, ratio));
  std::printf("  every call gave the same signature as NSS directly\n");

  const std::string size = Format("%zu certs", walk.size());
  Record(kName, size + Format(": SignByCSP (pos %zu)", position),
         Format("%.1f calls/s, %.3f ms/call", kinds[0].Rate(), facadeMs));
  Record(kName, size + ": NSS direct", Format("%.1f calls/s, %.3f ms/call", kinds[1].Rate(), directMs));
  Record(kName, size + ": first SignByCSP", Format("%.3f ms", firstMs));
  Record(kName, size + ": control/direct", Format("%.2fx", ratio), kRatioTarget, ratio);
  return 0;
}

int Run(int argc, char** argv) {
  const Options opt(argc, argv, {"--slice", "--rounds", "--cert"});
  if (opt.Positional().empty()) throw UsageError("HOME_DIR is missing");
  const int rc = Measure(opt.Positional(), opt);
  // Every NSS object is gone by now, so NSS has shut down; a refusal means
  // something still held one.
  if (!csp::nss::LastShutdownClean()) throw Failure("NSS did not shut down cleanly: an NSS object leaked");
  return rc;
}

}  // namespace
}  // namespace kelo::bench

int main(int argc, char** argv) {
  return kelo::bench::Main(kelo::bench::kName, kelo::bench::kUsage, [&] { return kelo::bench::Run(argc, argv); });
}
