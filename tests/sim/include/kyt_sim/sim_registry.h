/*
 * Process-wide set of simulated controllers by PCI address, for callers that create and find controllers by address
 * (the test-only Node module). Thread safe.
 */
#ifndef KYT_SIM_SIM_REGISTRY_H
#define KYT_SIM_SIM_REGISTRY_H

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kyt_sim/sim_controller.h"

namespace kyt::sim {

class SimRegistry {
 public:
  static SimRegistry& Instance();

  // Creates a controller at the address (normalised, e.g. "1:0.0" -> "0000:01:00.0"). Throws what SimController's
  // constructor throws, and std::runtime_error when this registry already has a controller there.
  std::shared_ptr<SimController> Create(const std::string& address, const SimConfig& config);
  // The controller at the address, or null.
  std::shared_ptr<SimController> Find(const std::string& address);
  // Takes the controller off the bus and forgets it; false when there is none.
  bool Destroy(const std::string& address);
  // Destroy for every controller.
  void DestroyAll();
  std::vector<std::string> Addresses();

 private:
  std::mutex mu_;
  std::map<std::string, std::shared_ptr<SimController>> controllers_;
};

}  // namespace kyt::sim

#endif  // KYT_SIM_SIM_REGISTRY_H
