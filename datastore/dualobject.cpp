#include "datastore/dualobject.h"

namespace {

std::atomic<LONG> gDualObjectsAlive{0};

}  // namespace

LONG DualObjectsAlive() noexcept { return gDualObjectsAlive.load(std::memory_order_acquire); }

void CountDualObject(LONG lDelta) noexcept {
  gDualObjectsAlive.fetch_add(lDelta, std::memory_order_acq_rel);
}
