#include "nvme/base_stateful_controller.h"

#include <stdexcept>

namespace kyt {
namespace nvme {

void BaseStatefulController::Run() {
  try {
    RunInternal();
  } catch (const std::runtime_error& e) {
    state_ = kStateError;
    error_ = e.what();
  }
}

}  // namespace nvme
}  // namespace kyt
