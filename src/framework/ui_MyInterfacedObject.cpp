#include "framework/ui_MyInterfacedObject.h"

HRESULT TMyInterfacedObject::QueryInterface(const TGUID& iid, void** obj) {
  if (QueryAs<IInterface>(this, iid, obj)) return S_OK;
  *obj = nullptr;
  return E_NOINTERFACE;
}

std::int32_t TMyInterfacedObject::AddRef() {
  std::int32_t result = FRefCount.fetch_add(1) + 1;
  AfterAddRef(FRefCount.load());
  return result;
}

std::int32_t TMyInterfacedObject::Release() {
  std::int32_t result = FRefCount.fetch_sub(1) - 1;
  // After a release that does not end the object, another thread may drop
  // the last reference at once: nothing of the object is touched any more.
  if (result == 0 && !FDestroying.exchange(true)) {
    AfterRelease(0);
    BeforeDestruction();
    delete this;
  }
  return result;
}

bool SupportsIID(IInterface* obj, const TGUID& iid) {
  if (obj == nullptr) return false;
  void* out = nullptr;
  if (obj->QueryInterface(iid, &out) != S_OK || out == nullptr) return false;
  static_cast<IInterface*>(out)->Release();
  return true;
}
