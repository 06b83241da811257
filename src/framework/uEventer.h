// Bound methods and eventers: dispatchers through which an object announces
// an event to any number of subscribers.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

// A function together with the object it is called on. Two bound methods are
// equal when both the function and the object are the same.
template <class... Args>
class TBoundMethod {
 public:
  using TThunk = void (*)(void* object, Args... args);

  TBoundMethod() = default;
  TBoundMethod(void* object, TThunk code) : FObject(object), FCode(code) {}

  // Binds member function `Method` of `object`: TBoundMethod<...>::Of<&C::M>(this).
  template <auto Method, class C>
  static TBoundMethod Of(C* object) {
    return TBoundMethod(static_cast<void*>(object), &Trampoline<Method, C>);
  }

  void operator()(Args... args) const { FCode(FObject, std::move(args)...); }
  explicit operator bool() const { return FCode != nullptr; }
  void* Object() const { return FObject; }
  friend bool operator==(const TBoundMethod&, const TBoundMethod&) = default;

 private:
  template <auto Method, class C>
  static void Trampoline(void* object, Args... args) {
    (static_cast<C*>(object)->*Method)(std::move(args)...);
  }

  void* FObject = nullptr;
  TThunk FCode = nullptr;
};

// Holds handlers in the order added; Fire calls each of them once, in order,
// under the eventer's recursive lock. An exception raised by a handler is
// dropped and the next handler is called. The eventer holds no reference on
// the handlers' objects: a subscriber removes its handler before it goes.
template <class... Args>
class TEventer {
 public:
  using THandler = TBoundMethod<Args...>;

  TEventer() = default;
  TEventer(const TEventer&) = delete;
  TEventer& operator=(const TEventer&) = delete;
  virtual ~TEventer() = default;

  // Appends; a handler added twice is called twice.
  void AddHandler(const THandler& handler) {
    std::lock_guard<std::recursive_mutex> guard(FLock);
    FHandlers.push_back(handler);
  }

  // Removes the first equal entry, keeping the order of the rest.
  void RemoveHandler(const THandler& handler) {
    std::lock_guard<std::recursive_mutex> guard(FLock);
    auto it = std::find(FHandlers.begin(), FHandlers.end(), handler);
    if (it != FHandlers.end()) FHandlers.erase(it);
  }

  std::size_t HandlerCount() const {
    std::lock_guard<std::recursive_mutex> guard(FLock);
    return FHandlers.size();
  }

  // The arguments are taken by value: interface arguments are thereby held
  // for the whole dispatch, so a handler that drops the last other reference
  // cannot destroy them mid-way. The bound is re-read before every call, so
  // handlers may add or remove handlers of this eventer on the same thread.
  void Fire(Args... args) {
    std::lock_guard<std::recursive_mutex> guard(FLock);
    for (std::size_t i = 0; i < FHandlers.size(); ++i) {
      THandler handler = FHandlers[i];
      try {
        handler(args...);
      } catch (...) {
        // A failing subscriber must not stop the others nor reach the firer.
      }
    }
  }

 private:
  mutable std::recursive_mutex FLock;
  std::vector<THandler> FHandlers;
};

// An eventer field created on first request and freed with its owner.
template <class E>
class TLazyEventer {
 public:
  E& Get() {
    std::lock_guard<std::mutex> guard(FLock);
    if (!FEventer) FEventer = std::make_unique<E>();
    return *FEventer;
  }
  // The eventer when it exists, else null (firing code skips absent eventers).
  E* Peek() {
    std::lock_guard<std::mutex> guard(FLock);
    return FEventer.get();
  }

 private:
  std::mutex FLock;
  std::unique_ptr<E> FEventer;
};
