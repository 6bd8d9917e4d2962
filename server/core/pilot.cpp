#include "core/pilot.h"

namespace skytether {

PilotState StateOf(const Client &c) {
  PilotState s;
  s.id = c.id;
  s.in_view = c.in_view;
  s.observer = c.observer;
  s.lat = c.lat;
  s.lon = c.lon;
  s.callsign = c.callsign;
  s.model = c.model;
  return s;
}

}  // namespace skytether
