#include "runner/access_pattern_factory.h"

#include <stdexcept>

#include "nvme/namespace_ctx.h"
#include "nvme/namespace_manager.h"
#include "nvme/nvme_controller.h"
#include "nvme/nvme_controller_ctx.h"
#include "runner/access_pattern_basic.h"
#include "runner/access_pattern_multi_range.h"

std::unique_ptr<AccessPatternGenerator> AccessPatternGeneratorFactory::Create(
    const std::shared_ptr<NvmeController>& controller, const AccessPatternInput& input, AccessPatternOutput& output) {
  const std::shared_ptr<NvmeControllerCtx> ctx = controller ? controller->GetControllerCtx() : nullptr;
  if (input.type == kAccessPatternBasic) {
    if (!ctx) throw std::runtime_error("invalid namespace id");
    kyt::nvme::NamespaceManager& namespaces = ctx->GetNamespaceManager();
    const uint32_t nsid = input.basic.nsid != 0 ? input.basic.nsid : namespaces.GetFirstActiveNamespaceId();
    std::shared_ptr<const NamespaceCtx> ns;
    try {
      ns = namespaces.GetNamespace(nsid);
    } catch (const std::out_of_range&) {
      // No entry for this NSID: refused below like an inactive one.
    }
    if (!ns || !ns->IsActive()) throw std::runtime_error("invalid namespace id");
    return std::make_unique<BasicAccessPatternGenerator>(ns, input.basic, output.basic);
  }
  if (input.type == kAccessPatternMultiRange) {
    auto generator = std::make_unique<MultiRangeAccessPatternGenerator>(controller, output.multiRange);
    output.multiRange.ranges = input.multiRange.ranges;
    output.multiRange.duration = input.multiRange.duration;
    output.multiRange.loops = input.multiRange.loops;
    generator->Prepare();
    return generator;
  }
  throw std::runtime_error("invalid access patern type");
}
