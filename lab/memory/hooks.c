/* SPDX-License-Identifier: MIT */
/* The runtime that lab/cxx links into a program instead of ThreadSanitizer's. The compiler's
 * -fsanitize=thread makes every load and store of the program's own code call __tsan_readN or
 * __tsan_writeN first, and every atomic operation call a __tsan_atomic function that does it.
 * Here each of them tells the scheduler of the access, where the scheduler is loaded into the
 * program (lab/schedule), and otherwise does nothing but the atomic operation's own work: the
 * program runs as it would without them, a little slower.
 *
 * The scheduler's function is looked up by name once, when the program starts. */
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <dlfcn.h>
#include <stddef.h>
#include <stdint.h>

/* What an access is, as the scheduler takes it: the kind, and the memory order of an atomic
 * one (ThreadSanitizer numbers them as the compiler's __ATOMIC_ orders). */
enum { access_load, access_store, access_atomic_load, access_atomic_store, access_update,
       access_fence };
#define KIND(kind, order) ((kind) | (order) << 4)

#ifdef __cplusplus
extern "C" {  /* built as C++ where a project has no C compiler: the names stay C's */
#endif

typedef void (*Hook)(const volatile void *address, unsigned size, int kind, const void *pc);
static Hook tell;

void __tsan_init(void) {
  if (tell == 0) {
    /* As POSIX has dlsym return a function: its address, copied into the pointer. */
    void *found = dlsym(RTLD_DEFAULT, "threadlab_access");
    __builtin_memcpy(&tell, &found, sizeof tell);
  }
}

#define PC __builtin_return_address(0)
#define TELL(address, size, kind) \
  do {                            \
    if (tell != 0) {              \
      tell(address, size, kind, PC); \
    }                             \
  } while (0)

/* Plain accesses, aligned or not, of each size, and ranges. */
#define PLAIN(size)                                                                     \
  void __tsan_read##size(void *a) { TELL(a, size, access_load); }                       \
  void __tsan_write##size(void *a) { TELL(a, size, access_store); }                     \
  void __tsan_unaligned_read##size(void *a) { TELL(a, size, access_load); }             \
  void __tsan_unaligned_write##size(void *a) { TELL(a, size, access_store); }           \
  void __tsan_volatile_read##size(void *a) { TELL(a, size, access_load); }              \
  void __tsan_volatile_write##size(void *a) { TELL(a, size, access_store); }            \
  void __tsan_read##size##_pc(void *a, void *pc) { (void)pc; TELL(a, size, access_load); } \
  void __tsan_write##size##_pc(void *a, void *pc) { (void)pc; TELL(a, size, access_store); }
PLAIN(1)
PLAIN(2)
PLAIN(4)
PLAIN(8)
PLAIN(16)
void __tsan_read_range(void *a, unsigned long size) { TELL(a, (unsigned)size, access_load); }
void __tsan_write_range(void *a, unsigned long size) { TELL(a, (unsigned)size, access_store); }

/* A virtual call reads an object's table pointer; a constructor writes it. */
void __tsan_vptr_read(void **vptr) { TELL(vptr, sizeof *vptr, access_load); }
void __tsan_vptr_update(void **vptr, void *value) {
  if (*vptr != value) {
    TELL(vptr, sizeof *vptr, access_store);
  }
}

/* What needs no telling: the calls that keep ThreadSanitizer's own stacks, and annotations. */
void __tsan_func_entry(void *pc) { (void)pc; }
void __tsan_func_exit(void) {}
void __tsan_ignore_thread_begin(void) {}
void __tsan_ignore_thread_end(void) {}
void __tsan_acquire(void *a) { (void)a; }
void __tsan_release(void *a) { (void)a; }
#define ANNOTATION(name) \
  void __tsan_mutex_##name(void *a, unsigned flags) { (void)a; (void)flags; }
ANNOTATION(create)
ANNOTATION(destroy)
ANNOTATION(pre_lock)
ANNOTATION(pre_unlock)
ANNOTATION(pre_signal)
ANNOTATION(post_signal)
ANNOTATION(pre_divert)
ANNOTATION(post_divert)
void __tsan_mutex_post_lock(void *a, unsigned flags, int recursion) { (void)a; (void)flags; (void)recursion; }
int __tsan_mutex_post_unlock(void *a, unsigned flags) { (void)a; (void)flags; return 0; }

/* Atomics: told, then done. Sixteen bytes are done under a lock of these functions' own, so
 * that no library of atomics is needed: every such access of the program comes here. */
static volatile char wide_lock;
#define WIDE_BEGIN while (__atomic_test_and_set(&wide_lock, __ATOMIC_ACQUIRE)) {}
#define WIDE_END __atomic_clear(&wide_lock, __ATOMIC_RELEASE);

#define ATOMICS(bits, type)                                                                  \
  type __tsan_atomic##bits##_load(const volatile type *a, int mo) {                         \
    TELL(a, sizeof(type), KIND(access_atomic_load, mo));                                     \
    return __atomic_load_n(a, __ATOMIC_SEQ_CST);                                             \
  }                                                                                          \
  void __tsan_atomic##bits##_store(volatile type *a, type v, int mo) {                      \
    TELL(a, sizeof(type), KIND(access_atomic_store, mo));                                    \
    __atomic_store_n(a, v, __ATOMIC_SEQ_CST);                                                \
  }                                                                                          \
  type __tsan_atomic##bits##_exchange(volatile type *a, type v, int mo) {                   \
    TELL(a, sizeof(type), KIND(access_update, mo));                                          \
    return __atomic_exchange_n(a, v, __ATOMIC_SEQ_CST);                                      \
  }                                                                                          \
  RMW(bits, type, fetch_add) RMW(bits, type, fetch_sub) RMW(bits, type, fetch_and)           \
  RMW(bits, type, fetch_or) RMW(bits, type, fetch_xor) RMW(bits, type, fetch_nand)           \
  int __tsan_atomic##bits##_compare_exchange_strong(volatile type *a, type *c, type v, int mo, \
                                                    int fail) {                              \
    (void)fail;                                                                              \
    TELL(a, sizeof(type), KIND(access_update, mo));                                          \
    return __atomic_compare_exchange_n(a, c, v, 0, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);      \
  }                                                                                          \
  int __tsan_atomic##bits##_compare_exchange_weak(volatile type *a, type *c, type v, int mo,  \
                                                  int fail) {                                \
    return __tsan_atomic##bits##_compare_exchange_strong(a, c, v, mo, fail);                 \
  }                                                                                          \
  type __tsan_atomic##bits##_compare_exchange_val(volatile type *a, type c, type v, int mo,  \
                                                  int fail) {                                \
    __tsan_atomic##bits##_compare_exchange_strong(a, &c, v, mo, fail);                       \
    return c;                                                                                \
  }
#define RMW(bits, type, op)                                               \
  type __tsan_atomic##bits##_##op(volatile type *a, type v, int mo) {     \
    TELL(a, sizeof(type), KIND(access_update, mo));                       \
    return __atomic_##op(a, v, __ATOMIC_SEQ_CST);                         \
  }
ATOMICS(8, char)
ATOMICS(16, short)
ATOMICS(32, int)
ATOMICS(64, long long)
#undef RMW

#if defined(__SIZEOF_INT128__)
__extension__ typedef __int128 wide;
#define RMW(op, expression)                                               \
  wide __tsan_atomic128_##op(volatile wide *a, wide v, int mo) {          \
    TELL(a, 16, KIND(access_update, mo));                                 \
    WIDE_BEGIN wide old = *a; *a = (expression); WIDE_END return old;     \
  }
wide __tsan_atomic128_load(const volatile wide *a, int mo) {
  TELL(a, 16, KIND(access_atomic_load, mo));
  WIDE_BEGIN wide value = *a; WIDE_END return value;
}
void __tsan_atomic128_store(volatile wide *a, wide v, int mo) {
  TELL(a, 16, KIND(access_atomic_store, mo));
  WIDE_BEGIN *a = v; WIDE_END
}
RMW(exchange, v)
RMW(fetch_add, old + v)
RMW(fetch_sub, old - v)
RMW(fetch_and, old & v)
RMW(fetch_or, old | v)
RMW(fetch_xor, old ^ v)
RMW(fetch_nand, ~(old & v))
int __tsan_atomic128_compare_exchange_strong(volatile wide *a, wide *c, wide v, int mo, int fail) {
  (void)fail;
  TELL(a, 16, KIND(access_update, mo));
  WIDE_BEGIN int same = *a == *c;
  if (same) {
    *a = v;
  } else {
    *c = *a;
  }
  WIDE_END return same;
}
int __tsan_atomic128_compare_exchange_weak(volatile wide *a, wide *c, wide v, int mo, int fail) {
  return __tsan_atomic128_compare_exchange_strong(a, c, v, mo, fail);
}
wide __tsan_atomic128_compare_exchange_val(volatile wide *a, wide c, wide v, int mo, int fail) {
  __tsan_atomic128_compare_exchange_strong(a, &c, v, mo, fail);
  return c;
}
#undef RMW
#endif

void __tsan_atomic_thread_fence(int mo) {
  TELL(0, 0, KIND(access_fence, mo));
  __atomic_thread_fence(__ATOMIC_SEQ_CST);
}
void __tsan_atomic_signal_fence(int mo) { (void)mo; }

#ifdef __cplusplus
}
#endif
