// Runs an action when a scope ends, however it ends: the undo of a step that
// must not outlive a failure, or the release of something taken. Dismiss()
// keeps the action from running once the scope has succeeded.
#pragma once

#include <utility>

template <class F>
class TScopeGuard {
 public:
  explicit TScopeGuard(F action) : FAction(std::move(action)) {}
  // Guards only undo or release; an action that fails while an exception is
  // already on its way would end the program, so it must not raise.
  ~TScopeGuard() {
    if (FActive) FAction();
  }
  TScopeGuard(const TScopeGuard&) = delete;
  TScopeGuard& operator=(const TScopeGuard&) = delete;

  void Dismiss() { FActive = false; }

 private:
  F FAction;
  bool FActive = true;
};
