#include "runner/circular_queue.h"

#include <gtest/gtest.h>

// The workload reads ahead in its ring of completed contexts: At counts from the front across the wrap.
TEST(CircularQueueTest, AtCountsFromTheFrontAcrossTheWrap) {
  CircularQueue<int> ring(4);  // holds 3
  for (int turn = 0; turn < 5; ++turn) {  // the front walks over every slot, so the values wrap in every way
    for (int v = 0; v < 3; ++v) ring.Push(turn * 10 + v);
    for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(ring.At(i), turn * 10 + int(i)) << "turn " << turn;
    ring.Pop();
    EXPECT_EQ(ring.At(1), turn * 10 + 2);
    ring.Pop();
    ring.Pop();
  }
}
