#include "host/doctor.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <optional>

#include "csp/cert_store.h"
#include "host/doctor_os.h"
#include "host/result_text.h"
#include "platform/display.h"
#include "platform/dynlib.h"
#include "token/module_config.h"
#include "token/p11_token.h"
#include "token/pkcs11.h"
#include "token/token_registry.h"

namespace kelo {

void CountStore(DoctorNss& n) {
  std::unique_ptr<csp::CertStore> store = csp::MakePlatformStore();
  std::unique_ptr<csp::PersonalStore> personal;
  if (!store || store->OpenPersonal(personal) != 0 || !personal) return;
  n.opened = true;
  for (const auto& cert : personal->Certificates()) {
    ++n.certificates;
    std::unique_ptr<csp::PrivateKey> key;
    if (store->AcquirePrivateKey(*cert, key) == 0 && key) ++n.withPrivateKey;
  }
}
namespace {

using json = nlohmann::json;

}  // namespace

bool IsFile(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

namespace {

// Token info fields are blank padded and not terminated.
template <std::size_t N>
std::string Unpad(const CK_UTF8CHAR (&field)[N]) {
  std::string s(reinterpret_cast<const char*>(field), N);
  const std::size_t end = s.find_last_not_of(" \0", std::string::npos, 2);
  s.resize(end == std::string::npos ? 0 : end + 1);
  return s;
}

// Finalizes the module on scope exit when our own C_Initialize succeeded.
class FinalizeGuard {
 public:
  explicit FinalizeGuard(CK_FUNCTION_LIST_PTR list) : list_(list) {}
  FinalizeGuard(const FinalizeGuard&) = delete;
  FinalizeGuard& operator=(const FinalizeGuard&) = delete;
  ~FinalizeGuard() {
    if (list_ && list_->C_Finalize) list_->C_Finalize(nullptr);
  }

 private:
  CK_FUNCTION_LIST_PTR list_;
};

std::vector<std::string> TokenFlagNames(CK_FLAGS flags) {
  static const std::pair<CK_FLAGS, const char*> kFlags[] = {
      {CKF_USER_PIN_COUNT_LOW, "CKF_USER_PIN_COUNT_LOW"},
      {CKF_USER_PIN_FINAL_TRY, "CKF_USER_PIN_FINAL_TRY"},
      {CKF_USER_PIN_LOCKED, "CKF_USER_PIN_LOCKED"},
      {CKF_USER_PIN_TO_BE_CHANGED, "CKF_USER_PIN_TO_BE_CHANGED"},
      {CKF_SO_PIN_COUNT_LOW, "CKF_SO_PIN_COUNT_LOW"},
      {CKF_SO_PIN_FINAL_TRY, "CKF_SO_PIN_FINAL_TRY"},
      {CKF_SO_PIN_LOCKED, "CKF_SO_PIN_LOCKED"},
      {CKF_SO_PIN_TO_BE_CHANGED, "CKF_SO_PIN_TO_BE_CHANGED"},
      {CKF_USER_PIN_INITIALIZED, "CKF_USER_PIN_INITIALIZED"},
      {CKF_TOKEN_INITIALIZED, "CKF_TOKEN_INITIALIZED"},
      {CKF_LOGIN_REQUIRED, "CKF_LOGIN_REQUIRED"},
      {CKF_PROTECTED_AUTHENTICATION_PATH, "CKF_PROTECTED_AUTHENTICATION_PATH"},
  };
  std::vector<std::string> names;
  for (const auto& [bit, name] : kFlags)
    if (flags & bit) names.emplace_back(name);
  return names;
}

void InspectSlots(CK_FUNCTION_LIST_PTR list, DoctorModule& m) {
  // Slots without a token too: an empty reader is worth seeing.
  // A module may leave entries out of its list or report any count: look
  // only through what is there, and never allocate more than the control would.
  if (list->C_GetSlotList == nullptr || list->C_GetSlotInfo == nullptr || list->C_GetTokenInfo == nullptr) {
    m.slotListRv = "function list incomplete";
    return;
  }
  CK_ULONG count = 0;
  CK_RV rv = list->C_GetSlotList(CK_FALSE, nullptr, &count);
  std::vector<CK_SLOT_ID> ids;
  if (rv == CKR_OK && count > CP11Token::kMaxSlots) {
    m.slotListRv = "more than " + std::to_string(CP11Token::kMaxSlots) + " slots reported";
    return;
  }
  if (rv == CKR_OK && count > 0) {
    ids.resize(count);
    CK_ULONG got = count;
    rv = list->C_GetSlotList(CK_FALSE, ids.data(), &got);
    ids.resize(rv == CKR_OK && got <= count ? got : 0);
  }
  m.slotListRv = CkrName(rv);
  for (CK_SLOT_ID id : ids) {
    DoctorSlot slot;
    slot.id = id;
    CK_SLOT_INFO slotInfo{};
    rv = list->C_GetSlotInfo(id, &slotInfo);
    slot.slotInfoRv = CkrName(rv);
    if (rv == CKR_OK) slot.description = Unpad(slotInfo.slotDescription);
    CK_TOKEN_INFO info{};
    rv = list->C_GetTokenInfo(id, &info);
    slot.tokenInfoRv = CkrName(rv);
    if (rv == CKR_OK) {
      DoctorToken t;
      t.label = Unpad(info.label);
      t.serial = Unpad(info.serialNumber);
      t.model = Unpad(info.model);
      t.flags = info.flags;
      t.flagNames = TokenFlagNames(info.flags);
      slot.token = std::move(t);
    }
    m.slots.push_back(std::move(slot));
  }
}

DoctorModule InspectModule(const char* file) {
  DoctorModule m;
  m.file = file;
  platform::ScopedModule module(platform::LoadModule(file));
  if (!module) {
    m.loadError = platform::LastLoadError();
    return m;
  }
  m.found = true;
  m.path = LoadedModulePath(module.get());
  using GetListFn = CK_RV (*)(CK_FUNCTION_LIST_PTR_PTR);
  auto getList = reinterpret_cast<GetListFn>(platform::GetSymbol(module.get(), "C_GetFunctionList"));
  m.hasGetFunctionList = getList != nullptr;
  m.hasAuxFunctionList = platform::GetSymbol(module.get(), "E_GetAuxFunctionList") != nullptr;
  if (!getList) return m;

  CK_FUNCTION_LIST_PTR list = nullptr;
  CK_RV rv = getList(&list);
  m.getFunctionListRv = CkrName(rv);
  if (rv != CKR_OK || list == nullptr || list->C_Initialize == nullptr) return m;
  rv = list->C_Initialize(nullptr);
  m.initializeRv = CkrName(rv);
  // "Already initialised" means another user of the module in this process
  // owns the initialisation; only our own is undone.
  if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) return m;
  FinalizeGuard finalize(rv == CKR_OK ? list : nullptr);
  InspectSlots(list, m);
  return m;
}

const char* EntryStatus(ModuleEntry::State state) {
  switch (state) {
    case ModuleEntry::State::kTried:
      return "tried";
    case ModuleEntry::State::kDuplicate:
      return "duplicate";
    case ModuleEntry::State::kNotAbsolute:
      return "not absolute";
    case ModuleEntry::State::kTooLong:
      return "too long";
    case ModuleEntry::State::kTooMany:
      return "too many";
    case ModuleEntry::State::kUnusable:
      return "unusable";
  }
  return "?";
}

bool InitializeOk(const std::string& rv) { return rv == "CKR_OK" || rv == "CKR_CRYPTOKI_ALREADY_INITIALIZED"; }

// The first step on the way to a token that failed, as the control meets them.
void ProbeConfigured(DoctorConfiguredModule& c) {
  c.module = InspectModule(c.entry.path.c_str());
  const DoctorModule& m = *c.module;
  if (!m.found) {
    c.status = IsFile(c.entry.path) ? "not loadable" : "not found";
    c.detail = m.loadError;
  } else if (!m.hasGetFunctionList) {
    c.status = "no C_GetFunctionList";
  } else if (m.getFunctionListRv != "CKR_OK" || m.initializeRv.empty()) {
    c.status = "C_GetFunctionList failed";
    c.detail = m.getFunctionListRv == "CKR_OK" ? "no usable function list" : m.getFunctionListRv;
  } else if (!InitializeOk(m.initializeRv)) {
    c.status = "C_Initialize failed";
    c.detail = m.initializeRv;
  } else {
    std::size_t tokens = 0;
    for (const DoctorSlot& slot : m.slots) tokens += slot.token ? 1 : 0;
    c.status = tokens > 0 ? "usable" : "no token";
    if (tokens > 0) {
      c.detail = std::to_string(tokens) + " token(s)";
    } else if (m.slotListRv != "CKR_OK") {
      c.detail = "C_GetSlotList: " + m.slotListRv;
    }
  }
}

std::vector<DoctorConfiguredModule> InspectConfigured(const ModuleConfig& config) {
  std::vector<DoctorConfiguredModule> out;
  for (const ModuleEntry& e : config.entries) {
    DoctorConfiguredModule c;
    c.entry = e;
    if (e.state == ModuleEntry::State::kTried) {
      ProbeConfigured(c);
    } else {
      c.status = EntryStatus(e.state);
      c.detail = e.note;
    }
    out.push_back(std::move(c));
  }
  return out;
}

// Fine states of a configured entry: a reader without a card and a line
// repeated are nothing to repair.
bool ConfiguredOk(const std::string& status) {
  return status == "usable" || status == "no token" || status == "duplicate";
}

const char* StateName(ManifestStatus::State s) {
  switch (s) {
    case ManifestStatus::State::kAbsent:
      return "absent";
    case ManifestStatus::State::kCurrent:
      return "current";
    case ManifestStatus::State::kStale:
      return "stale";
    case ManifestStatus::State::kInvalid:
      return "invalid";
  }
  return "?";
}

const char* Scope(bool system) { return system ? "system" : "user"; }

std::vector<std::string> FindProblems(const DoctorReport& r) {
  std::vector<std::string> p;
  bool anyLoaded = false;
  for (const DoctorModule& m : r.modules) {
    if (!m.found) continue;
    anyLoaded = true;
    if (!m.hasGetFunctionList || !m.hasAuxFunctionList)
      p.push_back(m.file + " lacks the export " +
                  (m.hasGetFunctionList ? "E_GetAuxFunctionList" : "C_GetFunctionList"));
    if (!m.getFunctionListRv.empty() && m.getFunctionListRv != "CKR_OK")
      p.push_back(m.file + ": C_GetFunctionList answered " + m.getFunctionListRv);
    if (!m.initializeRv.empty() && m.initializeRv != "CKR_OK" && m.initializeRv != "CKR_CRYPTOKI_ALREADY_INITIALIZED")
      p.push_back(m.file + ": C_Initialize answered " + m.initializeRv);
  }
  for (const ModuleSource& src : r.moduleSources) {
    if (src.state == ModuleSource::State::kUnreadable)
      p.push_back("the module list " + src.location + " cannot be read: " + src.error);
  }
  for (const DoctorConfiguredModule& c : r.configured) {
    if (c.module && c.module->found) anyLoaded = true;
    if (ConfiguredOk(c.status)) continue;
    p.push_back("configured module " + c.entry.path + " (" + c.entry.source + ", " + c.entry.where + "): " + c.status +
                (c.detail.empty() ? "" : ": " + c.detail));
  }
  if (!anyLoaded) p.push_back(std::string("no token module could be loaded ") + kModuleSearchHint);
  if (r.nss.hasDatabase && !r.nss.opened)
    p.push_back(std::string("the ") + kStoreKind + " " + r.nss.path + " cannot be opened");
  for (const ManifestStatus& s : r.manifests) {
    if (s.state == ManifestStatus::State::kStale || s.state == ManifestStatus::State::kInvalid)
      p.push_back(std::string(BrowserName(s.browser)) + " (" + Scope(s.system) + ") manifest " + s.path + " is " +
                  StateName(s.state) + (s.detail.empty() ? "" : ": " + s.detail));
  }
  return p;
}

const char kDoctorUsage[] =
    "Usage: kelo-ca doctor [--json]\n"
    "\n"
    "Shows why a token might not be found: for each token module file, where\n"
    "the loader finds it (or why not), its exports, the C_Initialize answer,\n"
    "its slots and tokens with their PIN flags; the same for each module\n"
    "configured by path (kelo-ca modules), with the file it is listed in and\n"
    "why it is not used when it is not; the NSS database; whether a display is\n"
    "there for dialogs; which browsers have the host registered.\n"
    "Asks for no password and changes nothing.\n"
    "\n"
    "  --json   print one JSON object instead of text\n"
    "\n"
    "Exit status is 0 when nothing is broken, 1 when something is (no module\n"
    "loadable, a missing export, C_Initialize failing, a configured module\n"
    "that is not absolute or does not load, an NSS database that does not\n"
    "open, a stale or invalid manifest), 2 for bad arguments.\n";

json ModuleJson(const DoctorModule& m) {
  json slots = json::array();
  for (const DoctorSlot& s : m.slots) {
    json slot = {{"id", s.id}, {"slotInfo", s.slotInfoRv}, {"description", s.description},
                 {"tokenInfo", s.tokenInfoRv}, {"token", nullptr}};
    if (s.token) {
      slot["token"] = {{"label", s.token->label}, {"serial", s.token->serial}, {"model", s.token->model},
                       {"flags", s.token->flags}, {"flagNames", s.token->flagNames}};
    }
    slots.push_back(std::move(slot));
  }
  return {{"file", m.file},
          {"found", m.found},
          {"path", m.path},
          {"loadError", m.loadError},
          {"exports", {{"C_GetFunctionList", m.hasGetFunctionList}, {"E_GetAuxFunctionList", m.hasAuxFunctionList}}},
          {"getFunctionList", m.getFunctionListRv},
          {"initialize", m.initializeRv},
          {"slotList", m.slotListRv},
          {"slots", std::move(slots)}};
}

// Labels, serials, loader messages, paths and manifest contents come from
// outside; none of them reaches the terminal raw.
std::string T(const std::string& s) { return TerminalSafe(s); }

void PrintSlot(const DoctorSlot& s, std::ostream& out) {
  out << "    slot " << s.id;
  if (!s.description.empty()) out << " \"" << T(s.description) << "\"";
  if (s.slotInfoRv != "CKR_OK") out << " (C_GetSlotInfo: " << s.slotInfoRv << ")";
  out << "\n";
  if (!s.token) {
    out << "      no token (C_GetTokenInfo: " << s.tokenInfoRv << ")\n";
    return;
  }
  out << "      token \"" << T(s.token->label) << "\", serial \"" << T(s.token->serial) << "\", model \""
      << T(s.token->model) << "\"\n      flags:";
  for (const std::string& f : s.token->flagNames) out << " " << f;
  out << "\n";
}

// auxRequired: whether a missing E_GetAuxFunctionList matters (fixed names only).
void PrintModuleDetail(const DoctorModule& m, bool auxRequired, std::ostream& out) {
  if (!m.found) {
    out << "    not found: " << T(m.loadError) << "\n";
    return;
  }
  out << "    found at " << (m.path.empty() ? "(path unknown)" : T(m.path)) << "\n";
  out << "    exports: C_GetFunctionList " << (m.hasGetFunctionList ? "yes" : "MISSING") << ", E_GetAuxFunctionList "
      << (m.hasAuxFunctionList ? "yes" : auxRequired ? "MISSING" : "no (not needed)") << "\n";
  if (!m.getFunctionListRv.empty() && m.getFunctionListRv != "CKR_OK")
    out << "    C_GetFunctionList: " << m.getFunctionListRv << "\n";
  if (!m.initializeRv.empty()) out << "    C_Initialize: " << m.initializeRv << "\n";
  if (!m.slotListRv.empty() && m.slotListRv != "CKR_OK") out << "    C_GetSlotList: " << m.slotListRv << "\n";
  if (!m.slotListRv.empty() && m.slots.empty()) out << "    no slots\n";
  for (const DoctorSlot& s : m.slots) PrintSlot(s, out);
}

void PrintModules(const std::vector<DoctorModule>& modules, std::ostream& out) {
  out << "Token modules (" << kModuleSearchTitle << ")\n";
  for (const DoctorModule& m : modules) {
    out << "  " << T(m.file) << "\n";
    PrintModuleDetail(m, true, out);
  }
}

const char* SourceState(ModuleSource::State s) {
  switch (s) {
    case ModuleSource::State::kAbsent:
      return "absent";
    case ModuleSource::State::kRead:
      return "read";
    case ModuleSource::State::kUnreadable:
      return "unreadable";
  }
  return "?";
}

void PrintConfigured(const DoctorReport& r, std::ostream& out) {
  out << "\nToken modules configured by path (tried after the ones above)\n";
  for (const ModuleSource& src : r.moduleSources) {
    out << "  " << ScopeName(src.scope) << " list " << (src.location.empty() ? "(none)" : T(src.location)) << ": "
        << SourceState(src.state) << (src.error.empty() ? "" : " (" + T(src.error) + ")") << "\n";
  }
  if (r.configured.empty()) out << "  none configured (kelo-ca modules add PATH)\n";
  for (const DoctorConfiguredModule& c : r.configured) {
    out << "  " << T(c.entry.path) << "  (" << T(c.entry.source) << ", " << T(c.entry.where) << ")\n";
    out << "    " << c.status << (c.detail.empty() ? "" : ": " + T(c.detail)) << "\n";
    if (c.module && c.module->found) PrintModuleDetail(*c.module, false, out);
  }
}

void PrintManifests(const std::vector<ManifestStatus>& manifests, std::ostream& out) {
  out << "\nBrowsers (native-messaging host manifests)\n";
  bool anyRegistered = false;
  for (const ManifestStatus& s : manifests) {
    if (s.state == ManifestStatus::State::kAbsent) continue;
    anyRegistered = true;
    out << "  " << BrowserName(s.browser) << " (" << Scope(s.system) << "): " << StateName(s.state) << "  "
        << T(s.path) << "\n";
    if (!s.hostPath.empty() && s.state != ManifestStatus::State::kCurrent)
      out << "    points to " << T(s.hostPath) << "\n";
    if (!s.detail.empty()) out << "    " << T(s.detail) << "\n";
  }
  if (!anyRegistered) out << "  none registered (kelo-ca register)\n";
}

}  // namespace

std::string CkrName(unsigned long rv) {
  static const std::map<unsigned long, const char*> kNames = {
      {CKR_OK, "CKR_OK"},
      {CKR_HOST_MEMORY, "CKR_HOST_MEMORY"},
      {CKR_SLOT_ID_INVALID, "CKR_SLOT_ID_INVALID"},
      {CKR_GENERAL_ERROR, "CKR_GENERAL_ERROR"},
      {CKR_FUNCTION_FAILED, "CKR_FUNCTION_FAILED"},
      {CKR_ARGUMENTS_BAD, "CKR_ARGUMENTS_BAD"},
      {CKR_CANT_LOCK, "CKR_CANT_LOCK"},
      {CKR_FUNCTION_NOT_SUPPORTED, "CKR_FUNCTION_NOT_SUPPORTED"},
      {CKR_DEVICE_ERROR, "CKR_DEVICE_ERROR"},
      {CKR_DEVICE_MEMORY, "CKR_DEVICE_MEMORY"},
      {CKR_DEVICE_REMOVED, "CKR_DEVICE_REMOVED"},
      {CKR_PIN_LOCKED, "CKR_PIN_LOCKED"},
      {CKR_TOKEN_NOT_PRESENT, "CKR_TOKEN_NOT_PRESENT"},
      {CKR_TOKEN_NOT_RECOGNIZED, "CKR_TOKEN_NOT_RECOGNIZED"},
      {CKR_BUFFER_TOO_SMALL, "CKR_BUFFER_TOO_SMALL"},
      {CKR_CRYPTOKI_NOT_INITIALIZED, "CKR_CRYPTOKI_NOT_INITIALIZED"},
      {CKR_CRYPTOKI_ALREADY_INITIALIZED, "CKR_CRYPTOKI_ALREADY_INITIALIZED"},
  };
  auto it = kNames.find(rv);
  if (it != kNames.end()) return it->second;
  char hex[32];
  std::snprintf(hex, sizeof hex, "0x%lX", rv);
  return hex;
}

DoctorReport GatherDoctorReport(const RegisterEnv& env) {
  DoctorReport r;
  for (std::int32_t type = 0; const char* file = LibraryName(type); ++type) r.modules.push_back(InspectModule(file));
  const ModuleConfig config = ReadModuleConfig();
  r.moduleSources = config.sources;
  r.configured = InspectConfigured(config);
  r.display = InspectDisplay(env);  // before the store look hides the display
  r.nss = InspectStore();
  r.manifests = RegisteredHosts(env);
  r.problems = FindProblems(r);
  return r;
}

json DoctorReportJson(const DoctorReport& r) {
  json modules = json::array();
  for (const DoctorModule& m : r.modules) modules.push_back(ModuleJson(m));
  json manifests = json::array();
  for (const ManifestStatus& s : r.manifests) {
    manifests.push_back({{"browser", BrowserName(s.browser)},
                         {"scope", Scope(s.system)},
                         {"path", s.path},
                         {"state", StateName(s.state)},
                         {"hostPath", s.hostPath},
                         {"detail", s.detail}});
  }
  json sources = json::array();
  for (const ModuleSource& src : r.moduleSources) {
    sources.push_back({{"scope", ScopeName(src.scope)},
                       {"location", src.location},
                       {"state", SourceState(src.state)},
                       {"error", src.error}});
  }
  json configured = json::array();
  for (const DoctorConfiguredModule& c : r.configured) {
    configured.push_back({{"path", c.entry.path},
                          {"scope", ScopeName(c.entry.scope)},
                          {"source", c.entry.source},
                          {"where", c.entry.where},
                          {"status", c.status},
                          {"detail", c.detail},
                          {"module", c.module ? ModuleJson(*c.module) : json()}});
  }
  return {{"ok", r.problems.empty()},
          {"problems", r.problems},
          {"modules", std::move(modules)},
          {"configuredModules", {{"sources", std::move(sources)}, {"modules", std::move(configured)}}},
          {"nss",
           {{"path", r.nss.path},
            {"exists", r.nss.exists},
            {"database", r.nss.hasDatabase},
            {"opened", r.nss.opened},
            {"certificates", r.nss.certificates},
            {"withPrivateKey", r.nss.withPrivateKey}}},
          {"display",
           {{"DISPLAY", r.display.x11},
            {"WAYLAND_DISPLAY", r.display.wayland},
            {"available", r.display.available},
            {"dialogsModule", r.display.dialogsModule},
            {"dialogsModulePresent", r.display.dialogsModulePresent}}},
          {"manifests", std::move(manifests)}};
}

void PrintDoctorReport(const DoctorReport& r, std::ostream& out) {
  PrintModules(r.modules, out);
  PrintConfigured(r, out);
  PrintStore(r.nss, out);
  PrintDisplay(r.display, out);
  PrintManifests(r.manifests, out);
  out << "\n";
  if (r.problems.empty()) {
    out << "Nothing broken.\n";
  } else {
    out << "Problems:\n";
    for (const std::string& p : r.problems) out << "  - " << T(p) << "\n";
  }
}

int RunDoctor(int argc, char** argv) {
  bool asJson = false;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::cout << kDoctorUsage;
      return 0;
    }
    if (std::strcmp(argv[i], "--json") == 0) {
      asJson = true;
      continue;
    }
    std::cerr << "kelo-ca doctor: unexpected argument '" << argv[i] << "' (see kelo-ca doctor --help)\n";
    return 2;
  }
  const DoctorReport report = GatherDoctorReport(DefaultRegisterEnv());
  if (asJson)
    // Token fields are bytes, not necessarily UTF-8; the report still prints.
    std::cout << DoctorReportJson(report).dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
  else
    PrintDoctorReport(report, std::cout);
  std::cout.flush();
  return report.problems.empty() ? 0 : 1;
}

}  // namespace kelo
