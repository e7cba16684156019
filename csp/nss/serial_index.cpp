#include "csp/nss/serial_index.h"

#include <cert.h>
#include <fcntl.h>
#include <pk11pub.h>
#include <secitem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>

#include "platform/scoped_fd.h"

namespace kelo::csp::nss {
namespace {

std::atomic<std::uint64_t> g_walks{0};

// SQLite's database header: the write version (2 in WAL mode) and the file
// change counter, big-endian.
constexpr std::size_t kHeaderSize = 100;
constexpr std::size_t kWriteVersion = 18;
constexpr std::size_t kChangeCounter = 24;
constexpr std::uint8_t kWalMode = 2;

std::int64_t Nanoseconds(const struct timespec& t) {
  return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + static_cast<std::int64_t>(t.tv_nsec);
}

std::string Key(const SECItem& item) {
  return item.data != nullptr ? std::string(reinterpret_cast<const char*>(item.data), item.len) : std::string();
}

SECItem Item(const void* data, std::size_t n) {
  return SECItem{siBuffer, static_cast<unsigned char*>(const_cast<void*>(data)), static_cast<unsigned int>(n)};
}

// The walk lists the database slot only; a certificate NSS finds elsewhere
// (another module of the user's configuration) is not the store's.
bool InDatabaseSlot(CERTCertificate* cert) {
  if (cert->slot != nullptr && PK11_IsInternalKeySlot(cert->slot)) return true;
  const SlotListHandle slots(PK11_GetAllSlotsForCert(cert, nullptr));
  if (!slots) return false;
  for (const PK11SlotListElement* e = slots->head; e != nullptr; e = e->next) {
    if (PK11_IsInternalKeySlot(e->slot)) return true;
  }
  return false;
}

}  // namespace

DatabaseStamp DatabaseStamp::Of(const std::string& directory) {
  DatabaseStamp stamp;
  const std::string file = directory + "/cert9.db";
  const platform::ScopedFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat info {};
  std::array<std::uint8_t, kHeaderSize> header{};
  if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0 ||
      ::pread(fd.get(), header.data(), header.size(), 0) != static_cast<ssize_t>(header.size())) {
    return stamp;
  }
  stamp.device = static_cast<std::uint64_t>(info.st_dev);
  stamp.inode = static_cast<std::uint64_t>(info.st_ino);
  stamp.size = static_cast<std::int64_t>(info.st_size);
  stamp.modified = Nanoseconds(info.st_mtim);
  for (std::size_t i = 0; i < 4; ++i) stamp.changeCounter = stamp.changeCounter << 8 | header[kChangeCounter + i];
  if (header[kWriteVersion] == kWalMode) {
    struct stat wal {};
    if (::stat((file + "-wal").c_str(), &wal) == 0) {
      stamp.walSize = static_cast<std::int64_t>(wal.st_size);
      stamp.walModified = Nanoseconds(wal.st_mtim);
    }
  }
  stamp.valid = true;
  return stamp;
}

bool DatabaseStamp::Same(const DatabaseStamp& o) const {
  return valid && o.valid && device == o.device && inode == o.inode && size == o.size && modified == o.modified &&
         changeCounter == o.changeCounter && walSize == o.walSize && walModified == o.walModified;
}

CertHandle SerialIndex::Find(const std::string& directory, const std::uint8_t* serial, std::size_t n) {
  const std::string key(reinterpret_cast<const char*>(serial), n);
  // Read before any walk: a change during the walk then shows next time.
  const DatabaseStamp now = DatabaseStamp::Of(directory);
  if (built_ && directory == directory_ && now.Same(stamp_)) {
    if (CertHandle cert = Lookup(key)) return cert;
  }
  // Not in the index, or the index may be out of date: the walk decides.
  return Rebuild(directory, now, key);
}

CertHandle SerialIndex::Lookup(const std::string& serial) const {
  const auto it = issuers_.find(serial);
  if (it == issuers_.end()) return nullptr;
  CERTIssuerAndSN wanted{};
  wanted.derIssuer = Item(it->second.data(), it->second.size());
  wanted.serialNumber = Item(serial.data(), serial.size());
  CertHandle cert(CERT_FindCertByIssuerAndSN(CERT_GetDefaultCertDB(), &wanted));
  // Confirmed, or no answer: an index entry never names another certificate.
  if (!cert || SECITEM_ItemsAreEqual(&cert->serialNumber, &wanted.serialNumber) != PR_TRUE ||
      !InDatabaseSlot(cert.get())) {
    return nullptr;
  }
  return cert;
}

CertHandle SerialIndex::Rebuild(const std::string& directory, const DatabaseStamp& stamp, const std::string& serial) {
  ++g_walks;
  built_ = false;
  issuers_.clear();
  const SlotHandle slot(PK11_GetInternalKeySlot());
  if (!slot) return nullptr;
  const CertListHandle list(PK11_ListCertsInSlot(slot.get()));
  if (!list) return nullptr;
  CertHandle found;
  for (CERTCertListNode* node = CERT_LIST_HEAD(list.get()); !CERT_LIST_END(node, list.get());
       node = CERT_LIST_NEXT(node)) {
    std::string key = Key(node->cert->serialNumber);
    if (!found && key == serial) found.reset(CERT_DupCertificate(node->cert));
    const SECItem& issuer = node->cert->derIssuer;
    // The first certificate with a serial keeps it.
    issuers_.try_emplace(std::move(key), issuer.data, issuer.data + issuer.len);
  }
  // Without a stamp nothing tells when the index goes out of date: walk again next time.
  built_ = stamp.valid;
  directory_ = directory;
  stamp_ = stamp;
  return found;
}

std::uint64_t SerialIndexWalks() { return g_walks.load(); }

}  // namespace kelo::csp::nss
