// SPDX-License-Identifier: MIT
// The ring on its own, driven in-process: order across the wrap, and both waits.
#include "ring.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <functional>
#include <thread>
#include <utility>

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

// A thread of a test, joined when the test ends, however it ends. A failed assertion returns
// from the test at once, and the thread may be left waiting in the ring for a step that will
// not come: if it has not finished a second after the test, `unblock` makes such a step,
// again and again, until it has. So a failure is reported as such, and the other tests
// still run.
class Worker {
 public:
  Worker(std::function<void()> body, std::function<void()> unblock)
      : unblock_(std::move(unblock)), thread_([this, body = std::move(body)] {
          body();
          done_ = true;
        }) {}
  Worker(const Worker &) = delete;
  Worker &operator=(const Worker &) = delete;
  ~Worker() {
    for (int waited = 0; !done_; ++waited) {
      if (waited < 100) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      } else {
        unblock_();
        std::this_thread::yield();
      }
    }
    thread_.join();
  }

 private:
  std::function<void()> unblock_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

class Ring : public testing::Test {
 protected:
  void SetUp() override {
    order_num = 0;
  }
  // Whatever a test left in the ring is reported, then taken out, so that the next test
  // starts with an empty ring.
  void TearDown() override {
    EXPECT_EQ(waitingOrders(), 0);
    while (waitingOrders() > 0) {
      take();
    }
  }

  // What unblocks a producer that waits for room: a take, while orders wait. Only the
  // producer adds to the count meanwhile, so the take never waits itself.
  std::function<void()> makeRoom() {
    return [this] {
      if (waitingOrders() > 0) {
        take();
      }
    };
  }
  // What unblocks a consumer that waits for an order: a put, while the ring has room.
  std::function<void()> giveAnOrder() {
    return [this] {
      if (waitingOrders() < ring_slots) {
        ringPut(write_slot, -1);
      }
    };
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
  int producer_slot = 0;  // the producer's own index, apart from the one makeRoom takes with
  const Worker producer(
      [&producer_slot] {
        for (int i = 0; i < orders; ++i) {
          ringPut(producer_slot, -i);
        }
      },
      makeRoom());
  for (int i = 0; i < orders; ++i) {
    const Order order = take();
    ASSERT_EQ(order.order_number, i);
    ASSERT_EQ(order.item_number, -i);
  }
}

TEST_F(Ring, FifthPutWaitsForATake) {
  for (int i = 0; i < 4; ++i) {
    ringPut(write_slot, i);
  }
  std::atomic<bool> put{false};
  {
    const Worker producer(
        [&] {
          ringPut(write_slot, 4);
          put = true;
        },
        makeRoom());
    std::this_thread::sleep_for(settle);
    spuriousWakeUp(&buffer_full);
    std::this_thread::sleep_for(settle);
    EXPECT_FALSE(put);
    EXPECT_EQ(waitingOrders(), 4);
    expectOrder(take(), 0, 0);
  }
  EXPECT_TRUE(put);
  EXPECT_EQ(waitingOrders(), 4);
  for (int i = 1; i <= 4; ++i) {
    expectOrder(take(), i, i);
  }
}

TEST_F(Ring, TakeFromEmptyRingWaitsForAPut) {
  std::atomic<bool> taken{false};
  Order order{-1, -1};
  {
    const Worker consumer(
        [&] {
          order = take();
          taken = true;
        },
        giveAnOrder());
    std::this_thread::sleep_for(settle);
    spuriousWakeUp(&buffer_empty);
    std::this_thread::sleep_for(settle);
    EXPECT_FALSE(taken);
    ringPut(write_slot, 42);
  }
  EXPECT_TRUE(taken);
  expectOrder(order, 0, 42);
}

}  // namespace
