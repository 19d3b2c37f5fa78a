// SPDX-License-Identifier: MIT
// Two threads withdraw 80 from one account of 100, each only if the balance covers it: the
// check and the withdrawal are two steps, and in the faulty program nothing keeps the other
// thread out between them, so both may see 100 and both take 80: 160 paid out of 100. The
// twin checks and takes under one mutex. Built with its loads and stores as steps; the status
// is 1 when both withdrawals were paid.
#include <pthread.h>

namespace {
pthread_mutex_t account = PTHREAD_MUTEX_INITIALIZER;
int balance = 100;

// Returns non-null when it paid.
void *withdraw(void *) {
  void *paid = nullptr;
#ifndef BUG
  pthread_mutex_lock(&account);
#endif
  if (balance >= 80) {
    balance -= 80;
    paid = &balance;
  }
#ifndef BUG
  pthread_mutex_unlock(&account);
#endif
  return paid;
}
}  // namespace

int main() {
  pthread_t first;
  pthread_t second;
  pthread_create(&first, nullptr, withdraw, nullptr);
  pthread_create(&second, nullptr, withdraw, nullptr);
  void *first_paid = nullptr;
  void *second_paid = nullptr;
  pthread_join(first, &first_paid);
  pthread_join(second, &second_paid);
  return first_paid != nullptr && second_paid != nullptr ? 1 : 0;
}
