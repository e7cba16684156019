// kelo-ca: the command line of the control.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "host/demo.h"
#include "host/doctor.h"
#include "host/doctor_os.h"
#include "host/fd_io.h"
#include "host/jsonrpc.h"
#include "host/modules_command.h"
#include "host/native_host.h"
#include "host/native_host_args.h"
#include "host/register.h"
#include "host/serve.h"
#include "host/result_text.h"
#include "host/shell.h"

namespace {

const char kUsage[] =
    "Usage: kelo-ca <command> [options]\n"
    "\n"
    "Drives a PKCS#11 security token through the control's 26 methods.\n"
    "\n"
    "Commands:\n"
    "  serve      answer JSON-RPC 2.0 requests, one per line, on stdin/stdout\n"
    "  native     the same in browser native-messaging framing (a browser\n"
    "             starts it this way by itself through the registered manifest)\n"
    "  demo       run a typical signing request on the first token found\n"
    "  shell      call the methods at a prompt or from a script file\n"
    "  register   write the browsers' native-messaging host manifests\n"
    "  unregister remove them again\n"
    "  doctor     show why a token or certificate might not be found\n"
    "  modules    list, add or remove token modules configured by path\n"
    "\n"
    "Options:\n"
    "  -h, --help     show this help (also: kelo-ca <command> --help)\n"
    "  --version      show the version\n"
    "\n";

const char kServeUsage[] =
    "Usage: kelo-ca serve\n"
    "\n"
    "Creates one control and answers JSON-RPC 2.0 requests until end of input.\n"
    "Each request is one line of JSON on stdin; each response is one line on\n"
    "stdout, written as soon as the request is handled.\n"
    "\n"
    "  {\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ConnectToken\",\"params\":[]}\n"
    "  {\"jsonrpc\":\"2.0\",\"id\":1,\"result\":123456789}\n"
    "\n"
    "method   one of the 26 method names, in any letter case\n"
    "params   an array in declaration order, or an object keyed by parameter\n"
    "         name (e.g. {\"SessionID\":123456789,\"strUserPin\":\"1234\"})\n"
    "result   exactly what the method returns: a number for the integer\n"
    "         methods, a string for the string methods. Result codes such as\n"
    "         1002 are results, not errors.\n"
    "\n"
    "Errors (the call could not be made at all):\n"
    "  -32700 parse error, -32600 invalid request (also lines over 1 MiB),\n"
    "  -32601 unknown method, -32602 bad parameters (wrong count, type\n"
    "  mismatch, out of range); error.data.hresult names the automation status.\n"
    "\n"
    "The host's own method kelo.hello (params {\"origin\":\"https://...\"}, origin\n"
    "optional) answers its name, version and whether a display is available; the\n"
    "origin of the first hello is named in the certificate selection dialog.\n"
    "\n"
    "Integer parameters accept integral numbers and decimal strings; string\n"
    "parameters accept strings and numbers. The control is destroyed and the\n"
    "token modules finalised at end of input.\n";

bool HelpFlag(const char* a) { return std::strcmp(a, "-h") == 0 || std::strcmp(a, "--help") == 0; }

int Run(int argc, char** argv) {
  if (kelo::LooksLikeNativeMessagingLaunch(argc, argv)) return kelo::RunNativeHost(STDIN_FILENO, STDOUT_FILENO);
  if (argc < 2 || HelpFlag(argv[1])) {
    std::FILE* out = argc < 2 ? stderr : stdout;
    std::fputs(kUsage, out);
    std::fputs(kelo::kModuleSearchUsage, out);
    return argc < 2 ? 2 : 0;
  }
  std::string cmd = argv[1];
  if (cmd == "--version") {
    std::printf("kelo-ca %s\n", kelo::kHostVersion);
    return 0;
  }
  if (cmd == "serve") {
    for (int i = 2; i < argc; ++i) {
      if (HelpFlag(argv[i])) {
        std::fputs(kServeUsage, stdout);
        return 0;
      }
      std::fprintf(stderr, "kelo-ca serve: unexpected argument '%s' (see kelo-ca serve --help)\n", argv[i]);
      return 2;
    }
    return kelo::RunServe(STDIN_FILENO, STDOUT_FILENO);
  }
  if (cmd == "demo") return kelo::RunDemo(argc - 2, argv + 2);
  if (cmd == "native") return kelo::RunNativeHost(STDIN_FILENO, STDOUT_FILENO);
  if (cmd == "doctor") return kelo::RunDoctor(argc - 2, argv + 2);
  if (cmd == "modules") return kelo::RunModules(argc - 2, argv + 2);
  if (cmd == "shell") return kelo::RunShell(argc - 2, argv + 2);
  if (cmd == "register" || cmd == "unregister") return kelo::RunRegister(argc - 2, argv + 2, cmd == "unregister");
  std::fprintf(stderr, "kelo-ca: unknown command '%s'\n\n%s%s", kelo::TerminalSafe(cmd).c_str(), kUsage,
               kelo::kModuleSearchUsage);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  // Binary frames on the standard streams; a peer that goes away mid-write
  // must make the write fail, not kill the process before the control is
  // torn down.
  kelo::PrepareStdio();
  // Whatever escapes a command ends here with a message and a failure
  // status, never in std::terminate's abort and core dump.
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kelo-ca: internal error: %s\n", kelo::TerminalSafe(e.what()).c_str());
  } catch (...) {
    std::fprintf(stderr, "kelo-ca: internal error (unknown exception)\n");
  }
  return 1;
}
