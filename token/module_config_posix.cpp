// Module lists in files: the person's, then the system's.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/scoped_fd.h"
#include "platform/small_file.h"
#include "token/module_config.h"

namespace kelo {
namespace {

const char kSystemFile[] = "/etc/kelo-ca/modules";

std::string ErrnoText(int err) { return std::strerror(err); }


// Reads path into text. An absent file is no error: nobody configured
// anything there.
ModuleSource::State ReadFile(const std::string& path, std::string& text, std::string& error) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return ModuleSource::State::kAbsent;
    error = ErrnoText(errno);
    return ModuleSource::State::kUnreadable;
  }
  if (!S_ISREG(st.st_mode)) {
    error = "not a regular file";
    return ModuleSource::State::kUnreadable;
  }
  if (static_cast<std::uintmax_t>(st.st_size) > kMaxModuleFileSize) {
    error = "larger than " + std::to_string(kMaxModuleFileSize / 1024) + " KiB";
    return ModuleSource::State::kUnreadable;
  }
  std::vector<std::uint8_t> bytes;
  if (!platform::ReadSmallFile(path, kMaxModuleFileSize, bytes)) {
    error = access(path.c_str(), R_OK) != 0 ? ErrnoText(errno) : "changed while being read";
    return ModuleSource::State::kUnreadable;
  }
  text.assign(bytes.begin(), bytes.end());
  return ModuleSource::State::kRead;
}

bool MakeDirectories(const std::string& dir, std::string& error) {
  for (std::size_t pos = 1; pos <= dir.size(); ++pos) {
    if (pos != dir.size() && dir[pos] != '/') continue;
    const std::string part = dir.substr(0, pos);
    if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
      error = "cannot create " + part + ": " + ErrnoText(errno);
      return false;
    }
  }
  return true;
}

// Replaces the file at path with text in one rename, so a reader never sees
// half a list and a failure leaves the old one.
bool WriteAtomically(const std::string& path, const std::string& text, std::string& error) {
  std::string target = path;
  // Keep a link (a managed dotfile, say) and replace what it points to.
  if (char* real = ::realpath(path.c_str(), nullptr)) {
    target = real;
    std::free(real);
  }
  const std::string dir = target.substr(0, target.rfind('/'));
  if (!MakeDirectories(dir, error)) return false;
  mode_t mode = 0644;
  struct stat st {};
  if (::stat(target.c_str(), &st) == 0) mode = st.st_mode & 07777;

  std::string tmpl = dir + "/.modules.XXXXXX";
  platform::ScopedFd fd(::mkstemp(tmpl.data()));
  if (fd.get() < 0) {
    error = "cannot write in " + dir + ": " + ErrnoText(errno);
    return false;
  }
  bool ok = ::fchmod(fd.get(), mode) == 0;
  for (std::size_t done = 0; ok && done < text.size();) {
    const ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<std::size_t>(n);
  }
  ok = ok && ::fsync(fd.get()) == 0;
  ok = fd.Close() && ok;
  ok = ok && ::rename(tmpl.c_str(), target.c_str()) == 0;
  if (!ok) {
    error = "cannot write " + target + ": " + ErrnoText(errno);
    ::unlink(tmpl.c_str());
  }
  return ok;
}

std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t nl = text.find('\n');
    const std::size_t end = nl == std::string_view::npos ? text.size() : nl + 1;
    lines.push_back(text.substr(0, end));  // with its line end
    text.remove_prefix(end);
  }
  return lines;
}

bool Listed(std::string_view line, const std::string& path) {
  const std::string_view t = TrimModuleText(line);
  return !t.empty() && t[0] != '#' && t == path;
}

}  // namespace

std::string ModuleConfigLocation(ModuleScope scope) {
  if (scope == ModuleScope::kSystem) return kSystemFile;
  // A relative XDG_CONFIG_HOME is invalid and ignored, as the base directory rules say.
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] == '/') return std::string(xdg) + "/kelo-ca/modules";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return std::string(home) + "/.config/kelo-ca/modules";
  return {};
}

ModuleConfig ReadModuleConfig() {
  ModuleConfig config(PathStyle::kPosix);
  for (ModuleScope scope : {ModuleScope::kUser, ModuleScope::kSystem}) {
    ModuleSource source;
    source.scope = scope;
    source.location = ModuleConfigLocation(scope);
    std::string text;
    if (source.location.empty()) {
      source.error = "neither XDG_CONFIG_HOME nor HOME names a directory";
    } else {
      source.state = ReadFile(source.location, text, source.error);
    }
    if (source.state == ModuleSource::State::kRead) config.AddFileText(text, scope, source.location);
    config.sources.push_back(std::move(source));
  }
  return config;
}

ModuleEdit AddConfiguredModule(ModuleScope scope, const std::string& path, std::string& message) {
  const std::string file = ModuleConfigLocation(scope);
  if (file.empty()) {
    message = "no configuration directory: neither XDG_CONFIG_HOME nor HOME is set";
    return ModuleEdit::kFailed;
  }
  if (path.empty() || TrimModuleText(path) != path || path.find('\n') != std::string::npos) {
    message = "'" + path + "' cannot be a line of " + file + " (empty, line breaks, or blanks at either end)";
    return ModuleEdit::kRefused;
  }
  if (!IsAbsoluteModulePath(path, PathStyle::kPosix)) {
    message =
        "'" + path + "' is not an absolute path: a relative name would load whatever the library search path finds";
    return ModuleEdit::kRefused;
  }
  if (path.size() > kMaxModulePathLength) {
    message = "the path is longer than " + std::to_string(kMaxModulePathLength) + " bytes";
    return ModuleEdit::kRefused;
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    message = path + " does not exist (" + ErrnoText(errno) + ")";
    return ModuleEdit::kRefused;
  }
  if (!S_ISREG(st.st_mode)) {
    message = path + " is not a file";
    return ModuleEdit::kRefused;
  }

  std::string text, error;
  if (ReadFile(file, text, error) == ModuleSource::State::kUnreadable) {
    message = "cannot read " + file + ": " + error;
    return ModuleEdit::kFailed;
  }
  std::size_t listed = 0;
  for (std::string_view line : Lines(text)) {
    if (Listed(line, path)) {
      message = path + " is already listed in " + file;
      return ModuleEdit::kUnchanged;
    }
    const std::string_view t = TrimModuleText(line);
    if (!t.empty() && t[0] != '#') ++listed;
  }
  if (listed >= kMaxConfiguredModules) {
    message = file + " already lists " + std::to_string(listed) + " modules, the most that are tried";
    return ModuleEdit::kRefused;
  }
  if (!text.empty() && text.back() != '\n') text += '\n';
  text += path + "\n";
  if (!WriteAtomically(file, text, message)) return ModuleEdit::kFailed;
  message = "added " + path + " to " + file;
  return ModuleEdit::kChanged;
}

ModuleEdit RemoveConfiguredModule(ModuleScope scope, const std::string& path, std::string& message) {
  const std::string file = ModuleConfigLocation(scope);
  if (file.empty()) {
    message = "no configuration directory: neither XDG_CONFIG_HOME nor HOME is set";
    return ModuleEdit::kFailed;
  }
  std::string text, error;
  const ModuleSource::State state = ReadFile(file, text, error);
  if (state == ModuleSource::State::kUnreadable) {
    message = "cannot read " + file + ": " + error;
    return ModuleEdit::kFailed;
  }
  std::string kept;
  bool removed = false;
  for (std::string_view line : Lines(text)) {
    if (!path.empty() && Listed(line, path)) {
      removed = true;
    } else {
      kept += line;
    }
  }
  if (!removed) {
    message = path + " is not listed in " + file;
    return ModuleEdit::kUnchanged;
  }
  if (!WriteAtomically(file, kept, message)) return ModuleEdit::kFailed;
  message = "removed " + path + " from " + file;
  return ModuleEdit::kChanged;
}

}  // namespace kelo
