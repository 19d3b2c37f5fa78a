// SPDX-License-Identifier: MIT
// The recorder: loaded with LD_PRELOAD into a dynamically linked program, it passes every
// call of pthread_mutex_lock and _unlock, pthread_cond_wait, _signal and _broadcast,
// pthread_create, _join and _exit, sleep, and the standard input stream's read of an int on
// to the C and C++ libraries, and writes down for each call which thread made it, from
// where, on what, when it began and when it returned. The records go into the file named by
// THREADLAB_TRACE, mapped into memory, so that what a program did up to a crash or a kill is
// kept. The memory named by THREADLAB_WATCH is read at each unlock and wait, while the
// caller still holds its mutex.
//
// THREADLAB_SPURIOUS=OFFSET makes the first wait on the condition variable at that offset
// in the program's image return at once, with its mutex still held: a spurious wake-up,
// which POSIX allows a wait to have.
#include <execinfo.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "real.h"

namespace {

enum Op : uint8_t {
  op_start = 1,  // a thread begins to run its function (object: the function)
  op_lock,
  op_unlock,
  op_wait,
  op_signal,
  op_broadcast,
  op_create,
  op_join,
  op_exit,
  op_sleep,
  op_read,  // the standard input stream's read of an int
};

constexpr uint64_t magic = 0x32656361727442ULL;  // "Btrace2"
constexpr int watch_bytes = 16;
constexpr int callers = 4;  // of a lock or unlock: the functions that called its caller

struct Record {
  int32_t thread;  // the kernel's thread id
  uint8_t op;
  uint8_t spurious;  // a wait that the recorder made return at once
  uint16_t unused;
  uint64_t object;  // relative to the program's image where it lies in it
  uint64_t mutex;
  uint64_t caller;
  int64_t began;     // CLOCK_MONOTONIC, in nanoseconds
  int64_t returned;  // 0: the call never returned
  unsigned char watched[watch_bytes];
  uint64_t stack[callers];  // where the caller was called from, and so on up; 0 past the top
};

struct Header {
  uint64_t magic;
  uint64_t base;  // where the program's image was loaded
  std::atomic<uint64_t> records;
  uint64_t capacity;
};

Header *header = nullptr;
Record *records = nullptr;
real::Image image;
uintptr_t spurious_cond = 0;
std::atomic<bool> spurious_made{false};
uintptr_t watch_address = 0;
size_t watch_size = 0;

int64_t now() {
  timespec time{};
  clock_gettime(CLOCK_MONOTONIC, &time);
  return time.tv_sec * 1000000000LL + time.tv_nsec;
}

uint64_t in_image(const void *address) {
  const auto value = reinterpret_cast<uintptr_t>(address);
  return image.holds(value) ? value - image.base : value;
}

// Opens the trace on the first call: the constructors of the program's libraries may call
// in before ours has run.
bool open_trace() {
  static const bool opened = [] {
    const char *path = getenv("THREADLAB_TRACE");
    const int fd = path != nullptr ? open(path, O_RDWR) : -1;
    if (fd < 0) {
      return false;
    }
    const off_t size = lseek(fd, 0, SEEK_END);
    void *mapped =
        mmap(nullptr, static_cast<size_t>(size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (mapped == MAP_FAILED || static_cast<size_t>(size) < sizeof(Header) + sizeof(Record)) {
      return false;
    }
    image = real::program_image();
    header = static_cast<Header *>(mapped);
    records = reinterpret_cast<Record *>(header + 1);
    header->capacity = (static_cast<size_t>(size) - sizeof(Header)) / sizeof(Record);
    header->base = image.base;
    if (const char *cond = getenv("THREADLAB_SPURIOUS")) {
      spurious_cond = image.base + strtoull(cond, nullptr, 16);
    }
    if (const char *watch = getenv("THREADLAB_WATCH")) {  // OFFSET:SIZE
      char *end = nullptr;
      watch_address = image.base + strtoull(watch, &end, 16);
      watch_size = *end == ':' ? strtoull(end + 1, nullptr, 10) : 0;
      watch_size = watch_size > watch_bytes ? watch_bytes : watch_size;
    }
    header->magic = magic;
    return true;
  }();
  return opened;
}

// Writes down the beginning of a call; the record is finished by returned().
Record *begin(Op op, const void *object, const void *mutex, const void *caller) {
  if (!open_trace()) {
    return nullptr;
  }
  const uint64_t at = header->records.fetch_add(1);
  if (at >= header->capacity) {
    return nullptr;
  }
  Record &record = records[at];
  record.thread = static_cast<int32_t>(syscall(SYS_gettid));
  record.op = op;
  record.object = in_image(object);
  record.mutex = in_image(mutex);
  record.caller = in_image(caller);
  if ((op == op_unlock || op == op_wait) && watch_size > 0) {
    memcpy(record.watched, reinterpret_cast<const void *>(watch_address), watch_size);
  }
  if (op == op_lock || op == op_unlock) {
    // This frame, its caller's, then the callers' callers: a lock made in a helper counts
    // for the function that called the helper.
    void *frames[callers + 2] = {};
    const int found = backtrace(frames, callers + 2);
    for (int i = 2; i < found; ++i) {
      record.stack[i - 2] = in_image(frames[i]);
    }
  }
  record.began = now();
  return &record;
}

void returned(Record *record) {
  if (record != nullptr) {
    record->returned = now();
  }
}

struct Start {
  void *(*function)(void *);
  void *argument;
};

void *started(void *given) {
  const Start start = *static_cast<Start *>(given);
  delete static_cast<Start *>(given);
  returned(begin(op_start, reinterpret_cast<const void *>(start.function), nullptr, nullptr));
  return start.function(start.argument);
}

}  // namespace

extern "C" {

int pthread_mutex_lock(pthread_mutex_t *mutex) {
  Record *record = begin(op_lock, mutex, nullptr, __builtin_return_address(0));
  const int result = real::functions().lock(mutex);
  returned(record);
  return result;
}

int pthread_mutex_unlock(pthread_mutex_t *mutex) {
  Record *record = begin(op_unlock, mutex, nullptr, __builtin_return_address(0));
  const int result = real::functions().unlock(mutex);
  returned(record);
  return result;
}

int pthread_cond_wait(pthread_cond_t *cond, pthread_mutex_t *mutex) {
  Record *record = begin(op_wait, cond, mutex, __builtin_return_address(0));
  if (reinterpret_cast<uintptr_t>(cond) == spurious_cond && !spurious_made.exchange(true)) {
    if (record != nullptr) {
      record->spurious = 1;
    }
    returned(record);
    return 0;
  }
  const int result = real::functions().wait(cond, mutex);
  returned(record);
  return result;
}

int pthread_cond_signal(pthread_cond_t *cond) {
  Record *record = begin(op_signal, cond, nullptr, __builtin_return_address(0));
  const int result = real::functions().signal(cond);
  returned(record);
  return result;
}

int pthread_cond_broadcast(pthread_cond_t *cond) {
  Record *record = begin(op_broadcast, cond, nullptr, __builtin_return_address(0));
  const int result = real::functions().broadcast(cond);
  returned(record);
  return result;
}

int pthread_create(pthread_t *handle, const pthread_attr_t *attributes, void *(*function)(void *),
                   void *argument) {
  Record *record = begin(op_create, reinterpret_cast<const void *>(function), nullptr,
                         __builtin_return_address(0));
  auto *start = new Start{function, argument};
  const int result = real::functions().create(handle, attributes, started, start);
  if (result != 0) {
    delete start;
  }
  returned(record);
  return result;
}

int pthread_join(pthread_t handle, void **result) {
  Record *record = begin(op_join, nullptr, nullptr, __builtin_return_address(0));
  const int error = real::functions().join(handle, result);
  returned(record);
  return error;
}

void pthread_exit(void *result) {
  returned(begin(op_exit, nullptr, nullptr, __builtin_return_address(0)));
  real::functions().exit(result);
  __builtin_unreachable();
}

unsigned int sleep(unsigned int seconds) {
  Record *record = begin(op_sleep, nullptr, nullptr, __builtin_return_address(0));
  const unsigned int left = real::next<unsigned int(unsigned int)>("sleep")(seconds);
  returned(record);
  return left;
}

}  // extern "C"

// The C++ library's std::istream::operator>>(int &), by its exported name: a member function
// takes its object as its first argument.
extern "C" void *threadlab_read(void *stream, int *value) __asm__("_ZNSirsERi");
void *threadlab_read(void *stream, int *value) {
  using Read = void *(void *, int *);
  static Read *const read = real::next<Read>("_ZNSirsERi");
  Record *record = begin(op_read, nullptr, nullptr, __builtin_return_address(0));
  void *result = read(stream, value);
  returned(record);
  return result;
}
