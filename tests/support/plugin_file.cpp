#include "plugin_host.h"

namespace harness {

const std::string &PluginFile() {
  static const std::string file = SKYTETHER_PLUGIN_FILE;
  return file;
}

}  // namespace harness
