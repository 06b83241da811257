// Reference-counted objects reached through interfaces, and the one smart
// pointer through which every counted interface reference is held.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "framework/uGuid.h"

using HRESULT = std::int32_t;
constexpr HRESULT S_OK = 0;
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);

// The basic interface. Every interface derives from it virtually, so an
// object has exactly one count however many interfaces it offers.
// QueryInterface hands out, in *obj, the object's IInterface pointer with one
// reference added; the caller casts it to the interface it asked for.
class IInterface {
 public:
  static constexpr TGUID IID = GuidLiteral("{00000000-0000-0000-C000-000000000046}");
  virtual HRESULT QueryInterface(const TGUID& iid, void** obj) = 0;
  virtual std::int32_t AddRef() = 0;
  virtual std::int32_t Release() = 0;

 protected:
  virtual ~IInterface() = default;
};

// Counted interface reference: adds a reference when it takes a pointer and
// releases it when it lets go, so callers never count by hand.
template <class T>
class TIntf {
 public:
  TIntf() = default;
  TIntf(std::nullptr_t) {}  // NOLINT(google-explicit-constructor)
  TIntf(T* p) : FPtr(p) {   // NOLINT(google-explicit-constructor)
    if (FPtr) FPtr->AddRef();
  }
  TIntf(const TIntf& other) : TIntf(other.FPtr) {}
  TIntf(TIntf&& other) noexcept : FPtr(std::exchange(other.FPtr, nullptr)) {}
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  TIntf(const TIntf<U>& other) : TIntf(static_cast<T*>(other.get())) {}  // NOLINT
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  TIntf(TIntf<U>&& other) noexcept : FPtr(other.Detach()) {}  // NOLINT
  ~TIntf() { reset(); }

  TIntf& operator=(TIntf other) noexcept {
    std::swap(FPtr, other.FPtr);
    return *this;
  }

  // Takes over a reference the caller already owns (no add-reference).
  static TIntf Adopt(T* p) {
    TIntf r;
    r.FPtr = p;
    return r;
  }
  // Gives up the reference without releasing it.
  T* Detach() { return std::exchange(FPtr, nullptr); }

  void reset() {
    if (T* p = std::exchange(FPtr, nullptr)) p->Release();
  }
  T* get() const { return FPtr; }
  T* operator->() const { return FPtr; }
  T& operator*() const { return *FPtr; }
  explicit operator bool() const { return FPtr != nullptr; }

  friend bool operator==(const TIntf& a, const TIntf& b) { return a.FPtr == b.FPtr; }
  friend bool operator==(const TIntf& a, std::nullptr_t) { return a.FPtr == nullptr; }

 private:
  T* FPtr = nullptr;
};

// Asks `obj` for interface I; empty when the object does not offer it.
template <class I>
TIntf<I> Supports(IInterface* obj) {
  if (obj == nullptr) return {};
  void* out = nullptr;
  if (obj->QueryInterface(I::IID, &out) != S_OK || out == nullptr) return {};
  auto* base = static_cast<IInterface*>(out);
  I* typed = dynamic_cast<I*>(base);
  if (typed == nullptr) {  // an object that claims an interface it does not derive from
    base->Release();
    return {};
  }
  return TIntf<I>::Adopt(typed);
}
template <class I, class U>
TIntf<I> Supports(const TIntf<U>& obj) {
  return Supports<I>(static_cast<IInterface*>(obj.get()));
}

// True when the object offers the interface with identifier `iid`.
bool SupportsIID(IInterface* obj, const TGUID& iid);

// Identity of the object behind an interface pointer: its one basic-interface
// subobject, which is the same whichever interface it is reached through
// (also while the object is still being constructed).
inline const void* ObjectOf(const IInterface* p) { return p; }
template <class A, class B>
bool SameObject(const TIntf<A>& a, const TIntf<B>& b) {
  return ObjectOf(a.get()) == ObjectOf(b.get());
}

// Common base of every counted object. The count is 1 while the constructor
// runs, so references taken and dropped there cannot destroy the object;
// Make() then brings it back by one. An object is destroyed at most once,
// also when it hands out its own interface while being destroyed.
class TMyInterfacedObject : public virtual IInterface {
 public:
  HRESULT QueryInterface(const TGUID& iid, void** obj) override;
  std::int32_t AddRef() override;
  std::int32_t Release() override;

  std::int32_t RefCount() const { return FRefCount.load(); }
  bool Destroying() const { return FDestroying.load(); }

  // Run by Make() once the whole constructor chain has finished; classes
  // announce themselves here, when virtual calls already reach them.
  virtual void AfterConstruction() {}
  // Run by Release() before the destructor chain, while the object is whole.
  virtual void BeforeDestruction() {}
  // The step after construction: gives up the constructor's count.
  void FinishConstruction() { FRefCount.fetch_sub(1); }

 protected:
  TMyInterfacedObject() = default;
  ~TMyInterfacedObject() override = default;
  TMyInterfacedObject(const TMyInterfacedObject&) = delete;
  TMyInterfacedObject& operator=(const TMyInterfacedObject&) = delete;

  virtual void AfterAddRef(std::int32_t /*count*/) {}
  // Only on the release that starts destruction (count 0): after any other
  // release the object may already be going on another thread.
  virtual void AfterRelease(std::int32_t /*count*/) {}

  // Helper for QueryInterface overrides: hands out `self` as I when iid names I.
  template <class I, class Self>
  static bool QueryAs(Self* self, const TGUID& iid, void** obj) {
    if (!(iid == I::IID)) return false;
    I* typed = self;
    IInterface* base = typed;
    base->AddRef();
    *obj = base;
    return true;
  }

 private:
  std::atomic<bool> FDestroying{false};
  std::atomic<std::int32_t> FRefCount{1};
};

// Creates a counted object and returns the first reference to it.
template <class T, class... A>
TIntf<T> Make(A&&... args) {
  T* p = new T(std::forward<A>(args)...);
  p->AfterConstruction();
  p->FinishConstruction();
  return TIntf<T>(p);
}
