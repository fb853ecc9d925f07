// A lock-free ring of pointers owned through a shared pointer: the environment ring handle is released when the
// last owner lets go. Used for the hand-over of tasks from the script's thread to the worker.
#ifndef KYT_NVME_RING_H
#define KYT_NVME_RING_H

#include <cstddef>
#include <type_traits>

#include "spdk/env.h"

template <typename T>
class Ring {
  static_assert(std::is_pointer<T>::value, "a ring carries pointers");

 public:
  // Single producer, single consumer, `size` slots, memory on any NUMA socket. Check IsValid(): the environment
  // may refuse (not started, out of memory).
  explicit Ring(size_t size, spdk_ring_type type = SPDK_RING_TYPE_SP_SC)
      : ring_(spdk_ring_create(type, size, SPDK_ENV_SOCKET_ID_ANY)) {}
  ~Ring() {
    if (ring_ != nullptr) spdk_ring_free(ring_);
  }

  Ring(const Ring&) = delete;
  Ring& operator=(const Ring&) = delete;

  bool IsValid() const { return ring_ != nullptr; }
  size_t Count() const { return spdk_ring_count(ring_); }
  // True when the entry was enqueued (false: ring full).
  bool Enqueue(T entry) {
    void* obj = const_cast<void*>(static_cast<const void*>(entry));
    return spdk_ring_enqueue(ring_, &obj, 1, nullptr) == 1;
  }
  // True when an entry came out.
  bool Dequeue(T* entry) {
    void* obj = nullptr;
    if (spdk_ring_dequeue(ring_, &obj, 1) != 1) return false;
    *entry = static_cast<T>(obj);
    return true;
  }

 private:
  spdk_ring* ring_;
};

#endif  // KYT_NVME_RING_H
