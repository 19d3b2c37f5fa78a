// SPDX-License-Identifier: MIT
// The order desk: the producer reads a day's orders at the console and puts them
// into the ring; the consumer takes them out and processes them, one per second.
#include <unistd.h>

#include <iostream>

#include "ring.h"

namespace {
constexpr int orders_per_day = 10;
}

// The producer. It holds console_mutex from its prompt until the confirmation, the
// user's answer included: the prompt and its confirmation are one exchange, and nothing
// may be printed between them. The cost is that the consumer's next announcement waits
// for the user too.
void *takeOrders(void * /*unused*/) {
  int write_slot = 0;
  for (int i = 0; i < orders_per_day; ++i) {
    pthread_mutex_lock(&console_mutex);                          // 1
    std::cout << "Enter a menu item number between 1 and 50: ";  // 2
    // A read that fails stores 0, or the nearest limit for a number out of int's range;
    // once the stream has failed, later reads store nothing and the order records this 0.
    int item_number = 0;
    std::cin >> item_number;                                     // 3
    std::cout << "Got new order! Order number is " << order_num  // 4
              << " and item number: " << item_number << std::endl;
    pthread_mutex_unlock(&console_mutex);  // 5
    ringPut(write_slot, item_number);      // 6
  }
  pthread_exit(nullptr);
}

// The consumer. It announces an order only once it has let go of data_mutex, and spends
// its second holding no lock, so the producer can put orders meanwhile.
void *processOrders(void * /*unused*/) {
  int read_slot = 0;
  for (int i = 0; i < orders_per_day; ++i) {
    const Order order = ringTake(read_slot);                       // 1
    pthread_mutex_lock(&console_mutex);                            // 2
    std::cout << "Processing order number " << order.order_number  // 3
              << " with item number: " << order.item_number << std::endl;
    pthread_mutex_unlock(&console_mutex);  // 4
    // NOLINTNEXTLINE(concurrency-mt-unsafe): glibc's sleep is a nanosleep, safe in threads
    sleep(1);                       // 5
    if (read_slot == ring_slots) {  // 6
      read_slot = 0;
    }
  }
  pthread_exit(nullptr);
}

int main() {
  pthread_t consumer;
  pthread_t producer;
  int error = pthread_create(&consumer, nullptr, processOrders, nullptr);  // 1
  if (error == 0) {
    error = pthread_create(&producer, nullptr, takeOrders, nullptr);  // 2
  }
  if (error != 0) {
    std::cout << "ERROR; return code from pthread_create() is " << error << std::endl;
    return -1;  // ends the process, and a consumer already started with it
  }
  pthread_join(consumer, nullptr);  // 3
  pthread_join(producer, nullptr);
  std::cout << "Phew! Done with orders for today!" << std::endl;  // 4
  if (!std::cout) {
    return 1;  // the day's output was lost
  }
  pthread_exit(nullptr);  // 5
}
