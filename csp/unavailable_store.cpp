// Builds without a certificate-store backend: every store operation fails
// as a store that cannot be reached would.
#include "csp/cert_store.h"
#include "csp/dialogs.h"
#include "token/result_codes.h"

namespace kelo::csp {
namespace {

class UnavailableStore final : public CertStore {
 public:
  std::int32_t OpenPersonal(std::unique_ptr<PersonalStore>&) override { return kErrOpenStore; }
  std::unique_ptr<Certificate> Parse(const std::uint8_t*, std::size_t) override { return nullptr; }
  std::int32_t AcquirePublicKey(const Certificate&, std::unique_ptr<PublicKey>&) override { return kErrProvider; }
  std::int32_t AcquirePrivateKey(const Certificate&, std::unique_ptr<PrivateKey>&) override { return kErrGetKey; }
};

class NoChooser final : public CertificateChooser {
 public:
  int Choose(const std::vector<const Certificate*>&) override { return -1; }
};

}  // namespace

std::unique_ptr<CertStore> MakePlatformStore() { return std::make_unique<UnavailableStore>(); }
std::unique_ptr<CertificateChooser> MakePlatformChooser() { return std::make_unique<NoChooser>(); }
bool AskStorePassword(const std::string&, std::string&) { return false; }

}  // namespace kelo::csp
