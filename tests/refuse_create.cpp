// SPDX-License-Identifier: MIT
// Loaded with LD_PRELOAD, refuses one of a program's pthread_create calls, the one numbered
// by THREADTRIO_REFUSE_CREATE (from 1), with EAGAIN, as the thread library does when the
// system lacks the resources for another thread; every other call goes through.
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>

#include "real.h"

extern "C" int pthread_create(pthread_t *handle, const pthread_attr_t *attributes,
                              void *(*start)(void *), void *argument) {
  static std::atomic<int> calls{0};
  const char *refused = getenv("THREADTRIO_REFUSE_CREATE");
  if (refused != nullptr && ++calls == atoi(refused)) {
    return EAGAIN;
  }
  return real::functions().create(handle, attributes, start, argument);
}
