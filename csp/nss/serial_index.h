// Finding a certificate of the user's database by serial number without
// decoding every certificate of the database on each call. NSS looks
// certificates up by issuer and serial number, not by serial alone, so the
// index keeps, per serial, the issuer of the first certificate with it in
// the database slot's walk (the store's order), and NSS finds that issuer
// and serial. The index is rebuilt when the database file has changed, and
// a lookup it cannot confirm walks the slot again: the answer is always
// the walk's.
#ifndef KELO_CSP_NSS_SERIAL_INDEX_H
#define KELO_CSP_NSS_SERIAL_INDEX_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "csp/nss/nss_context.h"
#include "csp/nss/nss_handles.h"

namespace kelo::csp::nss {

// What says that a database file is still the one the index was built
// from: the file's identity, size and time of change, and SQLite's own
// change counter, which every committed write moves (timestamps can be too
// coarse to tell two writes apart). A database in WAL mode changes its
// -wal file instead, so that one's size and time count too.
struct DatabaseStamp {
  bool valid = false;  // the file could be read; an invalid stamp equals nothing
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t size = 0;
  std::int64_t modified = 0;  // nanoseconds
  std::uint32_t changeCounter = 0;
  std::int64_t walSize = -1;
  std::int64_t walModified = 0;

  // The stamp of directory/cert9.db now.
  static DatabaseStamp Of(const std::string& directory);
  bool Same(const DatabaseStamp& other) const;
};

class SerialIndex {
 public:
  // The first certificate of the database slot's walk whose serial number
  // (the DER INTEGER's content) has exactly these bytes; null when none has.
  // directory is the database NSS has open.
  CertHandle Find(const std::string& directory, const std::uint8_t* serial, std::size_t n);

 private:
  CertHandle Lookup(const std::string& serial) const;
  // Walks the slot, renews the index and answers from the walk.
  CertHandle Rebuild(const std::string& directory, const DatabaseStamp& stamp, const std::string& serial);

  bool built_ = false;
  std::string directory_;
  DatabaseStamp stamp_;
  std::unordered_map<std::string, std::vector<std::uint8_t>> issuers_;  // serial -> DER issuer
};

}  // namespace kelo::csp::nss

#endif
