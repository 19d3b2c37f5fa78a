// SPDX-License-Identifier: MIT
// Memory, for a program built with lab/cxx: its own code tells the scheduler of each load and
// store, and of each atomic operation (lab/memory/hooks.c), through threadlab_access.
//
// Each access to memory that threads may share (anything but the thread's own stack) is a
// step: load, store, or update (an atomic read-modify-write). So another thread may move
// between a load and the store that follows it, as it may on a real machine: a lost update is
// a schedule like any other. One thread runs at a time, so every run is sequentially
// consistent: the weaker orders of C++'s atomics, and what a processor's store buffers allow,
// are out of reach.
//
// Every run checks its accesses for data races: two accesses to one byte by two threads, at
// least one a store, of which neither happens before the other (happens.h). Each race marks
// both steps, which the search may then reorder; the first is kept for the report. An atomic
// access never races: an atomic store with release order (or stronger) releases the
// location, a load with acquire order acquires it.
#include <link.h>
#include <sys/mman.h>

#include <cstring>

#include "happens.h"
#include "runtime.h"

namespace lab {
namespace {

enum Access {
  access_load,
  access_store,
  access_atomic_load,
  access_atomic_store,
  access_update,
  access_fence
};
constexpr int order_acquire = 2;  // __ATOMIC_ACQUIRE; consume (1) is taken as acquire
constexpr int order_release = 3;
constexpr int order_acq_rel = 4;  // and seq_cst (5) above it, both acquire and release

// What is known of eight bytes of memory: for each byte, its last store; for each thread, the
// bytes it has read since then, and when.
struct Shadow {
  uintptr_t granule;  // the address divided by 8, plus one; 0 for a free entry
  uint32_t store_clock[8];
  int32_t store_step[8];
  uint8_t store_thread[8];
  uint8_t read_mask[max_threads];
  uint32_t read_clock[max_threads];
  int32_t read_step[max_threads];
};

constexpr size_t shadow_capacity = size_t{1} << 16U;
Shadow *shadows = nullptr;  // private to each run: the server never touches it
size_t shadows_used = 0;

Shadow *shadow_of(uintptr_t address) {
  const uintptr_t granule = (address >> 3U) + 1;
  const size_t mask = shadow_capacity - 1;
  for (size_t at = granule * 0x9E3779B97F4A7C15ULL & mask;; at = (at + 1) & mask) {
    Shadow &found = shadows[at];
    if (found.granule == granule) {
      return &found;
    }
    if (found.granule == 0) {
      if (++shadows_used > shadow_capacity / 4 * 3) {
        refuse(too_many_objects, nullptr);
      }
      found.granule = granule;
      return &found;
    }
  }
}

void note_race(int step, int other_step, uintptr_t address, unsigned size) {
  Shared &shared = run();
  tables.steps[step].flags |= step_racing;
  if (other_step >= 0) {
    tables.steps[other_step].flags |= step_racing;
  }
  if (shared.race_step < 0) {
    shared.race_step = step;
    shared.race_other = other_step;
    shared.race_address = address;
    shared.race_size = static_cast<int32_t>(size);
  }
}

// The access of step `step` by the running thread, to size bytes at address, checked against
// what the shadow knows, which it then joins.
void check(uintptr_t address, unsigned size, bool stores, int step) {
  Thread &running = self();
  const uint32_t now = running.clock[me];
  for (uintptr_t at = address; at < address + size;) {
    Shadow &shadow = *shadow_of(at);
    const uintptr_t base = at & ~uintptr_t{7};
    const uintptr_t end = address + size < base + 8 ? address + size : base + 8;
    uint8_t bytes = 0;
    for (uintptr_t b = at; b < end; ++b) {
      bytes |= static_cast<uint8_t>(1U << (b - base));
    }
    for (unsigned b = 0; b < 8; ++b) {
      const int writer = shadow.store_thread[b] - 1;
      if ((bytes >> b & 1U) != 0 && writer >= 0 && writer != me &&
          shadow.store_clock[b] > running.clock[writer]) {
        note_race(step, shadow.store_step[b], base + b, size);
      }
    }
    if (stores) {
      for (int u = 0; u < run().threads; ++u) {
        if (u != me && (shadow.read_mask[u] & bytes) != 0 &&
            shadow.read_clock[u] > running.clock[u]) {
          note_race(step, shadow.read_step[u], at, size);
        }
        shadow.read_mask[u] &= static_cast<uint8_t>(~bytes);
      }
      for (unsigned b = 0; b < 8; ++b) {
        if ((bytes >> b & 1U) != 0) {
          shadow.store_thread[b] = static_cast<uint8_t>(me + 1);
          shadow.store_clock[b] = now;
          shadow.store_step[b] = step;
        }
      }
    } else {
      // A thread's reads are kept from its last release on: older ones are forgotten rather
      // than taken for newer (which could make a race where there is none).
      shadow.read_mask[me] = shadow.read_clock[me] == now ? shadow.read_mask[me] | bytes : bytes;
      shadow.read_clock[me] = now;
      shadow.read_step[me] = step;
    }
    at = end;
  }
}

// Memory whose accesses are no steps: the libraries' own data, and the standard streams'
// objects that the program holds, which the C++ library keeps free of races itself, though
// its inline code in the program touches them.
struct Range {
  uintptr_t low, high;
} ignored[64];
int ignored_count = 0;

bool is_ignored(uintptr_t address) {
  for (int i = 0; i < ignored_count; ++i) {
    if (address >= ignored[i].low && address < ignored[i].high) {
      return true;
    }
  }
  return false;
}

Object &location(const volatile void *address) {
  return object(const_cast<const void *>(address), kind_memory);
}

}  // namespace

void ignore(uintptr_t address, size_t size) {
  if (ignored_count < 64) {
    ignored[ignored_count++] = Range{address, address + size};
  }
}

void begin_memory() {
  bool first_object = true;
  // The writable segments of every object loaded but the program (the first listed).
  dl_iterate_phdr(
      [](dl_phdr_info *info, size_t, void *first) {
        if (*static_cast<bool *>(first)) {
          *static_cast<bool *>(first) = false;
          return 0;
        }
        for (int i = 0; i < info->dlpi_phnum; ++i) {
          const auto &segment = info->dlpi_phdr[i];
          if (segment.p_type == PT_LOAD && (segment.p_flags & PF_W) != 0) {
            ignore(info->dlpi_addr + segment.p_vaddr, segment.p_memsz);
          }
        }
        return 0;
      },
      &first_object);
  if (shadows == nullptr) {
    void *memory = mmap(nullptr, shadow_capacity * sizeof(Shadow), PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    shadows = memory == MAP_FAILED ? nullptr : static_cast<Shadow *>(memory);
  }
}

}  // namespace lab

using namespace lab;

extern "C" {

// Called by the program's own code before each access (lab/memory/hooks.c).
__attribute__((visibility("default"))) void threadlab_access(const volatile void *address,
                                                             unsigned size, int kind,
                                                             const void *pc) {
  if (!scheduling() || shadows == nullptr) {
    return;
  }
  const int access = kind & 15;
  const int order = kind >> 4;
  Thread &running = self();
  if (access == access_fence) {  // a fence orders as an acquire and a release of every location
    static Object fence{};
    acquire(running, fence.released);
    release(fence.released, running);
    return;
  }
  const auto at = reinterpret_cast<uintptr_t>(address);
  if ((at >= running.stack_low && at < running.stack_high) || is_ignored(at)) {
    return;  // its own stack: no other thread's business
  }
  const bool atomic = access >= access_atomic_load;
  const Op op = access == access_load || access == access_atomic_load     ? op_load
                : access == access_store || access == access_atomic_store ? op_store
                                                                          : op_update;
  stop_at(op, const_cast<const void *>(address), reinterpret_cast<const void *>(uintptr_t{size}),
          pc);
  const int step = run().steps - 1;
  if (!atomic) {
    check(at, size, op == op_store, step);
    return;
  }
  Object &cell = location(address);
  if (op != op_store && (order == order_acquire || order == 1 || order >= order_acq_rel)) {
    acquire(running, cell.released);
  }
  if (op != op_load && order >= order_release) {
    release(cell.released, running);
  }
}

}  // extern "C"
