/* SPDX-License-Identifier: MIT */
/* orderdesk's day in plain C with stdio: the floor of its CPU time. */
#include <pthread.h>
#include <stdio.h>
#include <unistd.h>

static int ring[4][2], count, next_number;
static pthread_mutex_t data = PTHREAD_MUTEX_INITIALIZER, console = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t full = PTHREAD_COND_INITIALIZER, empty = PTHREAD_COND_INITIALIZER;

static void *produce(void *unused) {
  for (int i = 0, slot = 0; i < 10; ++i, slot = (slot + 1) % 4) {
    int item = 0;
    pthread_mutex_lock(&console);
    printf("Enter a menu item number between 1 and 50: ");
    fflush(stdout);
    if (scanf("%d", &item) != 1) item = 0;
    printf("Got new order! Order number is %d and item number: %d\n", next_number, item);
    fflush(stdout);
    pthread_mutex_unlock(&console);
    pthread_mutex_lock(&data);
    while (count == 4) pthread_cond_wait(&full, &data);
    ring[slot][0] = next_number++;
    ring[slot][1] = item;
    ++count;
    pthread_cond_signal(&empty);
    pthread_mutex_unlock(&data);
  }
  return unused;
}

static void *consume(void *unused) {
  for (int i = 0, slot = 0; i < 10; ++i, slot = (slot + 1) % 4) {
    pthread_mutex_lock(&data);
    while (count == 0) pthread_cond_wait(&empty, &data);
    int number = ring[slot][0], item = ring[slot][1];
    --count;
    pthread_cond_signal(&full);
    pthread_mutex_unlock(&data);
    pthread_mutex_lock(&console);
    printf("Processing order number %d with item number: %d\n", number, item);
    fflush(stdout);
    pthread_mutex_unlock(&console);
    sleep(1);
  }
  return unused;
}

int main(void) {
  pthread_t consumer, producer;
  pthread_create(&consumer, NULL, consume, NULL);
  pthread_create(&producer, NULL, produce, NULL);
  pthread_join(consumer, NULL);
  pthread_join(producer, NULL);
  puts("Phew! Done with orders for today!");
  return 0;
}
