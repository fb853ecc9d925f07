#include "kyt_sim/sim_registry.h"

#include <stdexcept>

#include "spdk/env.h"

namespace kyt::sim {

namespace {
std::string Normalise(const std::string& address) {
  spdk_pci_addr a{};
  if (spdk_pci_addr_parse(&a, address.c_str()) != 0)
    throw std::invalid_argument("invalid PCI address \"" + address + "\"");
  char text[SPDK_PCI_ADDR_FMT_LEN + 4] = {};
  spdk_pci_addr_fmt(text, sizeof(text), &a);
  return text;
}
}  // namespace

SimRegistry& SimRegistry::Instance() {
  static SimRegistry* registry = new SimRegistry();
  return *registry;
}

std::shared_ptr<SimController> SimRegistry::Create(const std::string& address, const SimConfig& config) {
  const std::string key = Normalise(address);
  std::lock_guard<std::mutex> lock(mu_);
  if (controllers_.count(key)) throw std::runtime_error("a simulated controller already exists at " + key);
  auto ctrl = std::make_shared<SimController>(key, config);
  controllers_[key] = ctrl;
  return ctrl;
}

std::shared_ptr<SimController> SimRegistry::Find(const std::string& address) {
  std::string key;
  try {
    key = Normalise(address);
  } catch (const std::exception&) {
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(mu_);
  auto it = controllers_.find(key);
  return it == controllers_.end() ? nullptr : it->second;
}

bool SimRegistry::Destroy(const std::string& address) {
  std::shared_ptr<SimController> victim;
  {
    std::lock_guard<std::mutex> lock(mu_);
    std::string key;
    try {
      key = Normalise(address);
    } catch (const std::exception&) {
      return false;
    }
    auto it = controllers_.find(key);
    if (it == controllers_.end()) return false;
    victim = std::move(it->second);
    controllers_.erase(it);
  }
  // Remove it from the bus now, even if someone still holds a reference.
  victim->Remove(true);
  return true;
}

void SimRegistry::DestroyAll() {
  std::map<std::string, std::shared_ptr<SimController>> all;
  {
    std::lock_guard<std::mutex> lock(mu_);
    all.swap(controllers_);
  }
  for (auto& entry : all) entry.second->Remove(true);
  all.clear();
}

std::vector<std::string> SimRegistry::Addresses() {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<std::string> out;
  for (const auto& entry : controllers_) out.push_back(entry.first);
  return out;
}

}  // namespace kyt::sim
