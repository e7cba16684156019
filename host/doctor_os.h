// What `kelo-ca doctor` (and the command line's help) sees differently on
// each OS: where a loaded module came from, how modules are searched for,
// the certificate store, the display for dialogs. doctor_os_posix.cpp and
// doctor_os_win32.cpp define it.
#ifndef KELO_HOST_DOCTOR_OS_H
#define KELO_HOST_DOCTOR_OS_H

#include <iosfwd>
#include <string>

#include "host/doctor.h"
#include "host/register.h"

namespace kelo {

// How the report names the store ("NSS database", "certificate store"),
// where modules are searched for, and what to check when none loads.
extern const char kStoreKind[];
extern const char kModuleSearchTitle[];
extern const char kModuleSearchHint[];
// The help's paragraph on where token modules are loaded from.
extern const char kModuleSearchUsage[];

bool IsFile(const std::string& path);

// The file a module handle was loaded from, "" when unknown.
std::string LoadedModulePath(void* handle);

// The user's certificate store, looked at without asking for any password.
DoctorNss InspectStore();
// Shared by both: opens the platform's store and counts its certificates
// and the private keys it can reach into n.
void CountStore(DoctorNss& n);

DoctorDisplay InspectDisplay(const RegisterEnv& env);

// The report's sections on the store and the display.
void PrintStore(const DoctorNss& store, std::ostream& out);
void PrintDisplay(const DoctorDisplay& d, std::ostream& out);

}  // namespace kelo

#endif
