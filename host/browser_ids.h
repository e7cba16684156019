// Names the browsers use to connect our extension with this host. They must
// agree with extension/ (register_test recomputes the Chromium id from the
// "key" in extension/chromium/manifest.json).
#ifndef KELO_HOST_BROWSER_IDS_H
#define KELO_HOST_BROWSER_IDS_H

namespace kelo {

// The native-messaging host name: the manifest's "name" and its file name.
inline constexpr char kNativeHostName[] = "org.kelo.ca_token";

// The id Chromium, Chrome and Edge give the unpacked extension, fixed by the
// public key in its manifest.
inline constexpr char kChromiumExtensionId[] = "imjclnoneaboeejdmjicbdgalmghpopl";

// The id Firefox uses (the extension's browser_specific_settings.gecko.id).
inline constexpr char kFirefoxExtensionId[] = "kelo-ca@kelo.example";

}  // namespace kelo

#endif
