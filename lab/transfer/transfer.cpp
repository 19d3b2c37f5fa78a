// SPDX-License-Identifier: MIT
// Two accounts, each with a mutex of its own, and two threads that move money between them:
// one from savings to checking, one back. Each locks the account it takes from, then the one
// it pays into: in opposite orders. So each may hold its first mutex while it waits for the
// other's, and neither can ever move again: a deadlock. Locking the accounts in one order in
// every thread (savings first, say) makes the deadlock impossible. Prints the balances.
#include <pthread.h>

#include <iostream>

namespace {
struct Account {
  pthread_mutex_t mutex;
  int balance;
};

Account savings = {PTHREAD_MUTEX_INITIALIZER, 100};
Account checking = {PTHREAD_MUTEX_INITIALIZER, 100};

struct Transfer {
  Account *from;
  Account *to;
  int amount;
};

void *transfer(void *argument) {
  const Transfer &order = *static_cast<Transfer *>(argument);
  pthread_mutex_lock(&order.from->mutex);  // the account it takes from first...
  pthread_mutex_lock(&order.to->mutex);    // ...then the one it pays into
  order.from->balance -= order.amount;
  order.to->balance += order.amount;
  pthread_mutex_unlock(&order.to->mutex);
  pthread_mutex_unlock(&order.from->mutex);
  return nullptr;
}
}  // namespace

int main() {
  static Transfer there{&savings, &checking, 30};
  static Transfer back{&checking, &savings, 20};
  pthread_t one;
  pthread_t two;
  pthread_create(&one, nullptr, transfer, &there);
  pthread_create(&two, nullptr, transfer, &back);
  pthread_join(one, nullptr);
  pthread_join(two, nullptr);
  std::cout << "savings " << savings.balance << ", checking " << checking.balance << std::endl;
  return 0;
}
