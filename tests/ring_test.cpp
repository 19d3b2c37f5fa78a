// SPDX-License-Identifier: MIT
// The ring on its own, driven in-process: order across the wrap, and both waits.
#include "ring.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <thread>

namespace {

// Long enough for a thread that fails to wait to have run past its wait.
constexpr auto settle = std::chrono::milliseconds(200);

int waitingOrders() {
  pthread_mutex_lock(&data_mutex);
  const int n = num_new_orders;
  pthread_mutex_unlock(&data_mutex);
  return n;
}

// A spurious wake-up, as POSIX allows a wait to have at any time: the waiter returns from
// its wait with the ring just as it was.
void spuriousWakeUp(pthread_cond_t *cond) {
  pthread_mutex_lock(&data_mutex);
  pthread_cond_signal(cond);
  pthread_mutex_unlock(&data_mutex);
}

class Ring : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(waitingOrders(), 0);
    order_num = 0;
  }
  void TearDown() override {
    EXPECT_EQ(waitingOrders(), 0);
  }

  Order take() {
    const Order order = ringTake(read_slot);
    if (read_slot == ring_slots) {
      read_slot = 0;
    }
    return order;
  }

  void expectOrder(const Order &order, int number, int item) {
    EXPECT_EQ(order.order_number, number);
    EXPECT_EQ(order.item_number, item);
  }

  int write_slot = 0;
  int read_slot = 0;
};

TEST_F(Ring, KeepsFourOrdersInSequenceAcrossTheWrap) {
  const int items[] = {7, 0, 51, -3, INT_MIN, INT_MAX, 1, 50, 2, 3};
  for (int i = 0; i < 10; ++i) {
    ringPut(write_slot, items[i]);
    expectOrder(new_orders[i % ring_slots], i, items[i]);
    EXPECT_EQ(write_slot, (i + 1) % ring_slots);
    EXPECT_EQ(order_num, i + 1);
    if (i >= 3) {  // the ring is full: make room for the next order
      EXPECT_EQ(waitingOrders(), 4);
      expectOrder(take(), i - 3, items[i - 3]);
    }
  }
  for (int i = 7; i < 10; ++i) {
    expectOrder(take(), i, items[i]);
  }
}

TEST_F(Ring, HandsOrdersBetweenThreadsInSequence) {
  constexpr int orders = 10000;
  std::thread producer([this] {
    for (int i = 0; i < orders; ++i) {
      ringPut(write_slot, -i);
    }
  });
  for (int i = 0; i < orders; ++i) {
    const Order order = take();
    ASSERT_EQ(order.order_number, i);
    ASSERT_EQ(order.item_number, -i);
  }
  producer.join();
}

TEST_F(Ring, FifthPutWaitsForATake) {
  for (int i = 0; i < 4; ++i) {
    ringPut(write_slot, i);
  }
  std::atomic<bool> put{false};
  std::thread producer([&] {
    ringPut(write_slot, 4);
    put = true;
  });
  std::this_thread::sleep_for(settle);
  spuriousWakeUp(&buffer_full);
  std::this_thread::sleep_for(settle);
  EXPECT_FALSE(put);
  EXPECT_EQ(waitingOrders(), 4);

  expectOrder(take(), 0, 0);
  producer.join();
  EXPECT_TRUE(put);
  EXPECT_EQ(waitingOrders(), 4);
  for (int i = 1; i <= 4; ++i) {
    expectOrder(take(), i, i);
  }
}

TEST_F(Ring, TakeFromEmptyRingWaitsForAPut) {
  std::atomic<bool> taken{false};
  Order order{-1, -1};
  std::thread consumer([&] {
    order = take();
    taken = true;
  });
  std::this_thread::sleep_for(settle);
  spuriousWakeUp(&buffer_empty);
  std::this_thread::sleep_for(settle);
  EXPECT_FALSE(taken);

  ringPut(write_slot, 42);
  consumer.join();
  EXPECT_TRUE(taken);
  expectOrder(order, 0, 42);
}

}  // namespace
