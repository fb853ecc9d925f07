// GetNamespaceInfoRunner: reads the geometry of one namespace of an attached controller on the worker thread.
// An unknown or inactive namespace is not a failure: it ends done with active false and zero sizes.
#ifndef KYT_RUNNER_GET_NAMESPACE_INFO_RUNNER_H
#define KYT_RUNNER_GET_NAMESPACE_INFO_RUNNER_H

#include <cstdint>
#include <memory>
#include <string>

#include "runner/controller_runner.h"


class GetNamespaceInfoRunner : public ControllerRunner {
 public:
  explicit GetNamespaceInfoRunner(std::string device);
  ~GetNamespaceInfoRunner() override;

  // The runner's own state, after kStateLookUp.
  enum State : uint32_t { kGetInfo = kStateFirstStep };  // read

  void SetNamespaceId(uint32_t nsid) { nsid_ = nsid; }
  uint32_t GetNamespaceId() const { return nsid_; }

  bool IsActive() const { return active_; }
  uint64_t GetSize() const { return size_; }
  uint32_t GetLbaSize() const { return lba_size_; }
  uint32_t GetMetaSize() const { return meta_size_; }

 protected:
  void HandleState(uint32_t state) override;

 private:
  void HandleStateGetInfo();

  uint32_t nsid_ = 0;
  bool active_ = false;
  uint64_t size_ = 0;
  uint32_t lba_size_ = 0;
  uint32_t meta_size_ = 0;
};

#endif  // KYT_RUNNER_GET_NAMESPACE_INFO_RUNNER_H
