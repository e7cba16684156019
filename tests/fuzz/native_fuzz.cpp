// libFuzzer target for the native-messaging host: the input is the byte
// stream a browser would send on stdin. Whatever it holds, the host must end
// cleanly, and every answer must be a whole frame of at most 1 MiB holding
// valid JSON.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "host/native_host.h"
#include "tests/fake_registry.h"
#include "tests/fake_store.h"

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "native_fuzz: %s\n", what);
    std::abort();
  }
}

class MemorySource final : public kelo::ByteSource {
 public:
  MemorySource(const uint8_t* data, size_t size) : data_(data), left_(size) {}
  std::ptrdiff_t Read(void* buf, std::size_t n) override {
    if (n > left_) n = left_;
    if (n > 0) std::memcpy(buf, data_, n);
    data_ += n;
    left_ -= n;
    return static_cast<std::ptrdiff_t>(n);
  }

 private:
  const uint8_t* data_;
  size_t left_;
};

class MemorySink final : public kelo::ByteSink {
 public:
  bool Write(const void* data, std::size_t n) override {
    out.append(static_cast<const char*>(data), n);
    return true;
  }
  std::string out;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A fresh control per input, over no modules and a store without a
  // platform behind it (no NSS database, no dialogs).
  kelo::test::FakeState state;
  kelo::CKeloCAActiveXCtrl control(
      std::make_unique<kelo::FakeRegistry>(),
      std::make_unique<kelo::CTokenCSP>(std::make_unique<kelo::test::FakeStore>(state),
                                        std::make_unique<kelo::test::FakeChooser>(state)));
  kelo::JsonRpcEndpoint endpoint(control);
  MemorySource in(data, size);
  MemorySink sink;
  Check(kelo::RunNativeHost(endpoint, in, sink) == 0, "host did not end cleanly");

  const std::string& out = sink.out;
  std::size_t pos = 0;
  while (pos < out.size()) {
    std::uint32_t len = 0;
    Check(out.size() - pos >= sizeof len, "partial length in the output");
    std::memcpy(&len, out.data() + pos, sizeof len);
    pos += sizeof len;
    Check(len <= kelo::kMaxNativeResponse, "answer over 1 MiB");
    Check(out.size() - pos >= len, "partial body in the output");
    Check(nlohmann::json::accept(out.begin() + static_cast<std::ptrdiff_t>(pos),
                                 out.begin() + static_cast<std::ptrdiff_t>(pos + len)),
          "answer is not valid JSON");
    pos += len;
  }
  return 0;
}
