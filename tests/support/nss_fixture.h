// The fixture NSS database of make-nssdb.sh, made once per build tree and
// shared by every test that needs it (making one takes seconds).
#ifndef KELO_TESTS_SUPPORT_NSS_FIXTURE_H
#define KELO_TESTS_SUPPORT_NSS_FIXTURE_H

#include <filesystem>

namespace kelo::test {

// The password of the protected fixture.
inline constexpr const char* kNssFixturePassword = "fixture password";

// A home directory with .pki/nssdb and fixture/ (see make-nssdb.sh), made on
// first use (cached-nssdb.sh); a changed script makes a new one. Other tests
// use it at the same time: read it, never change it. Empty on failure.
std::filesystem::path CachedNssFixture(bool passwordProtected = false);

// A private copy of the cached fixture's .pki and fixture/ in home, for a
// test that changes the database or its home. False when either failed.
bool CopyNssFixture(const std::filesystem::path& home, bool passwordProtected = false);

}  // namespace kelo::test

#endif
