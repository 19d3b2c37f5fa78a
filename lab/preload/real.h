// SPDX-License-Identifier: MIT
// What both preload libraries need of the system under them: the thread library's own
// functions, which their interposers call where the program's call is passed through, and
// where the program's own code and data lie, so that addresses can be told relative to it.
#ifndef LAB_PRELOAD_REAL_H
#define LAB_PRELOAD_REAL_H

#include <dlfcn.h>
#include <link.h>
#include <pthread.h>

#include <cstdint>

namespace real {

// The condition variable functions have two versions in the C library, the current one and
// an old one that dlsym may hand out instead; the current one's version differs by
// architecture.
#if defined(__x86_64__)
constexpr const char *cond_version = "GLIBC_2.3.2";
#elif defined(__aarch64__)
constexpr const char *cond_version = "GLIBC_2.17";
#else
constexpr const char *cond_version = nullptr;
#endif

template <typename Function>
Function *next(const char *name, const char *version = nullptr) {
  void *found = version != nullptr ? dlvsym(RTLD_NEXT, name, version) : nullptr;
  if (found == nullptr) {
    found = dlsym(RTLD_NEXT, name);
  }
  return reinterpret_cast<Function *>(found);
}

struct Functions {
  decltype(&pthread_create) create = next<decltype(pthread_create)>("pthread_create");
  decltype(&pthread_join) join = next<decltype(pthread_join)>("pthread_join");
  decltype(&pthread_exit) exit = next<decltype(pthread_exit)>("pthread_exit");
  decltype(&pthread_mutex_lock) lock = next<decltype(pthread_mutex_lock)>("pthread_mutex_lock");
  decltype(&pthread_mutex_trylock) trylock =
      next<decltype(pthread_mutex_trylock)>("pthread_mutex_trylock");
  decltype(&pthread_mutex_unlock) unlock =
      next<decltype(pthread_mutex_unlock)>("pthread_mutex_unlock");
  decltype(&pthread_cond_wait) wait =
      next<decltype(pthread_cond_wait)>("pthread_cond_wait", cond_version);
  decltype(&pthread_cond_timedwait) timedwait =
      next<decltype(pthread_cond_timedwait)>("pthread_cond_timedwait", cond_version);
  decltype(&pthread_cond_signal) signal =
      next<decltype(pthread_cond_signal)>("pthread_cond_signal", cond_version);
  decltype(&pthread_cond_broadcast) broadcast =
      next<decltype(pthread_cond_broadcast)>("pthread_cond_broadcast", cond_version);
};

// Looked up on first use, which may come before any constructor of ours has run.
inline const Functions &functions() {
  static const Functions found;
  return found;
}

// The program's own image: where it was loaded, and the addresses its segments span.
struct Image {
  uintptr_t base = 0;
  uintptr_t low = UINTPTR_MAX;
  uintptr_t high = 0;

  bool holds(uintptr_t address) const {
    return address >= low && address < high;
  }
  // An address in the program's image as the program's file gives it (what its symbol
  // table and debug information name), or 0 for an address outside the image.
  uintptr_t relative(uintptr_t address) const {
    return holds(address) ? address - base : 0;
  }
};

inline Image program_image() {
  Image image;
  // The first object that the dynamic linker lists is the program itself.
  dl_iterate_phdr(
      [](dl_phdr_info *info, size_t, void *data) {
        auto *found = static_cast<Image *>(data);
        found->base = info->dlpi_addr;
        for (int i = 0; i < info->dlpi_phnum; ++i) {
          const auto &segment = info->dlpi_phdr[i];
          if (segment.p_type == PT_LOAD) {
            const uintptr_t start = info->dlpi_addr + segment.p_vaddr;
            found->low = start < found->low ? start : found->low;
            const uintptr_t end = start + segment.p_memsz;
            found->high = end > found->high ? end : found->high;
          }
        }
        return 1;
      },
      &image);
  return image;
}

}  // namespace real

#endif
