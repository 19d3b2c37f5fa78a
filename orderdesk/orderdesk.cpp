// SPDX-License-Identifier: MIT
// The order desk: one thread takes a day's orders at the console and puts them
// into the ring; another takes them out and processes them, one per second.
#include <unistd.h>

#include <iostream>

#include "ring.h"

namespace {
constexpr int orders_per_day = 10;
}

void *takeOrders(void * /*unused*/) {
  int write_slot = 0;
  for (int i = 0; i < orders_per_day; ++i) {
    pthread_mutex_lock(&console_mutex);                          // 1
    std::cout << "Enter a menu item number between 1 and 50: ";  // 2
    int item_number = 0;      // what the order records when the read fails
    std::cin >> item_number;  // 3
    std::cout << "Got new order! Order number is " << order_num  // 4
              << " and item number: " << item_number << std::endl;
    pthread_mutex_unlock(&console_mutex);  // 5
    putOrder(write_slot, item_number);     // 6
  }
  pthread_exit(nullptr);
}

void *processOrders(void * /*unused*/) {
  int read_slot = 0;
  for (int i = 0; i < orders_per_day; ++i) {
    const Order order = takeOrder(read_slot);                      // 1
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
  pthread_t processor;
  pthread_t taker;
  int error = pthread_create(&processor, nullptr, processOrders, nullptr);  // 1
  if (error == 0) {
    error = pthread_create(&taker, nullptr, takeOrders, nullptr);  // 2
  }
  if (error != 0) {
    std::cout << "ERROR; return code from pthread_create() is " << error << std::endl;
    return -1;  // ends the process, a processing thread already started with it
  }
  pthread_join(processor, nullptr);  // 3
  pthread_join(taker, nullptr);
  std::cout << "Phew! Done with orders for today!" << std::endl;  // 4
  if (!std::cout) {
    return 1;  // the day's output was lost
  }
  pthread_exit(nullptr);  // 5
}
