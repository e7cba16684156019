// IPersistStorage of the control: the stream form of its state, kept in a
// "Contents" stream of the host's storage.
#include "control/com/control_object.h"

namespace kelo::com {
namespace {

constexpr wchar_t kContentsStream[] = L"Contents";

}  // namespace

STDMETHODIMP ControlObject::InitNew(IStorage* storage) {
  if (!storage) return E_POINTER;
  return InitNew();
}

STDMETHODIMP ControlObject::Load(IStorage* storage) {
  if (!storage) return E_POINTER;
  ComPtr<IStream> stream;
  HRESULT hr = storage->OpenStream(kContentsStream, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, stream.put());
  if (FAILED(hr)) {
    // As with an unreadable stream: usable defaults, and the host is told.
    ResetState();
    initialised_ = true;
    return hr;
  }
  return Load(stream.get());
}

STDMETHODIMP ControlObject::Save(IStorage* storage, BOOL) {
  if (!storage) return E_POINTER;
  ComPtr<IStream> stream;
  HRESULT hr = storage->CreateStream(kContentsStream, STGM_CREATE | STGM_WRITE | STGM_SHARE_EXCLUSIVE, 0, 0,
                                     stream.put());
  if (FAILED(hr)) return hr;
  return Save(stream.get(), TRUE);
}

STDMETHODIMP ControlObject::SaveCompleted(IStorage*) { return S_OK; }

STDMETHODIMP ControlObject::HandsOffStorage() { return S_OK; }

}  // namespace kelo::com
