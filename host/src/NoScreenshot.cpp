// The Windows build of the host draws no screenshots: FreeType and libpng have no Windows build
// here. Everything else the host records is there.
#include "HostImpl.h"

namespace skyhost {

bool Host::screenshot(const std::string &) {
  impl_->screenshotError = "screenshot: this build of the simulated host draws none (no FreeType or libpng)";
  return false;
}

const std::string &Host::screenshotError() const {
  return impl_->screenshotError;
}

}  // namespace skyhost
