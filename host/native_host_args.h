// Recognising a launch by a browser, so that `kelo-ca` started without a
// command by a browser speaks native messaging.
#ifndef KELO_HOST_NATIVE_HOST_ARGS_H
#define KELO_HOST_NATIVE_HOST_ARGS_H

namespace kelo {

// True for the argument shapes browsers use:
// - Chromium family: the caller origin `chrome-extension://ID/`, on Windows
//   followed by `--parent-window=N`;
// - Firefox: the absolute path of the host manifest (`....json`) and the
//   extension id.
bool LooksLikeNativeMessagingLaunch(int argc, char** argv);

}  // namespace kelo

#endif
