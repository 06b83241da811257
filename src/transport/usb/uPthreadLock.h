// Holds a pthread mutex for a scope: the D2XX library's event structure
// carries a plain pthread mutex, not a standard one.
#pragma once

#include <pthread.h>

class TPthreadLock {
 public:
  explicit TPthreadLock(pthread_mutex_t& mutex) : FMutex(mutex) { pthread_mutex_lock(&FMutex); }
  ~TPthreadLock() { pthread_mutex_unlock(&FMutex); }
  TPthreadLock(const TPthreadLock&) = delete;
  TPthreadLock& operator=(const TPthreadLock&) = delete;

 private:
  pthread_mutex_t& FMutex;
};
