// The simulated clock: flight loops, draw callbacks and window drawing, frame by frame.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>

#include "HostImpl.h"

namespace skyhost {

namespace {

// Float intervals (0.1f is a hair above 0.1) must not slip a frame against a clock summed from
// exact frame durations.
constexpr double kDueSlack = 1e-5;

std::string intervalText(float v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", static_cast<double>(v));
  return buf;
}

void schedule(FlightLoopRec &l, float interval, double baseTime, int baseFrame) {
  Host::FlightLoop &p = l.pub;
  if (interval > 0) {
    p.scheduled = true;
    p.dueInFrames = false;
    p.nextDue = baseTime + interval;
  } else if (interval < 0) {
    p.scheduled = true;
    p.dueInFrames = true;
    double frames = std::max(1.0, std::round(-static_cast<double>(interval)));
    p.nextDue = baseFrame + std::min(frames, 1e9);
  } else {
    p.scheduled = false;  // 0, and NaN, stop the loop
  }
}

FlightLoopRec *findLoop(Host::Impl &h, uint64_t seq) {
  for (auto &l : h.loops)
    if (l.seq == seq) return &l;
  return nullptr;
}

FlightLoopRec *findLoop(Host::Impl &h, XPLMFlightLoop_f fn, void *refcon) {
  for (auto &l : h.loops)
    if (!l.pub.created && l.pub.fn == fn && l.pub.refcon == refcon && l.owner == h.caller()) return &l;
  return nullptr;
}

bool isDue(const Host::Impl &h, const FlightLoopRec &l) {
  if (!l.pub.scheduled) return false;
  if (l.pub.dueInFrames) return h.frames >= l.pub.nextDue;
  return h.elapsed + kDueSlack >= l.pub.nextDue;
}

void runFlightLoops(Host::Impl &h, double dt, int phase) {
  std::vector<uint64_t> order;
  for (const auto &l : h.loops)
    if (l.pub.phase == phase) order.push_back(l.seq);
  for (uint64_t seq : order) {
    FlightLoopRec *l = findLoop(h, seq);  // a callback may have removed it, or moved the others
    if (!l || !isDue(h, *l) || !h.callsBack(l->owner)) continue;
    const float sinceLast = static_cast<float>(h.elapsed - l->lastCallAt);
    XPLMFlightLoop_f fn = l->pub.fn;
    void *refcon = l->pub.refcon;
    const XPLMPluginID owner = l->owner;
    l->lastCallAt = h.elapsed;
    l->pub.calls++;
    float next;
    {
      PluginCall call(h, owner);
      next = fn(sinceLast, static_cast<float>(dt), h.frames, refcon);
    }
    l = findLoop(h, seq);
    if (!l) continue;
    l->pub.lastReturn = next;
    schedule(*l, next, h.elapsed, h.frames);
  }
}

// The 3-D phases, which only the older OpenGL backend calls.
bool is3dPhase(int phase) {
  return phase >= 0 && phase <= 30;
}
constexpr int kAirplanesPhase = 25;

void runDrawCallbacks(Host::Impl &h) {
  std::vector<DrawRec> order = h.draws;
  std::stable_sort(order.begin(), order.end(), [](const DrawRec &a, const DrawRec &b) {
    if (a.pub.phase != b.pub.phase) return a.pub.phase < b.pub.phase;
    return (a.pub.wantsBefore != 0) > (b.pub.wantsBefore != 0);
  });
  for (size_t first = 0; first < order.size();) {
    const int phase = order[first].pub.phase;
    size_t end = first;
    while (end < order.size() && order[end].pub.phase == phase) ++end;
    // The older backend draws the airplanes in a solid and then a blended pass.
    const int passes = !is3dPhase(phase) ? 1 : !h.options.legacy3d ? 0 : phase == kAirplanesPhase ? 2 : 1;
    if (passes > 0) h.setDrawingMatrices(is3dPhase(phase));
    for (int pass = 0; pass < passes; ++pass) {
      for (size_t k = first; k < end; ++k) {
        const DrawRec &d = order[k];
        bool still = false;
        for (const auto &r : h.draws) still = still || r.seq == d.seq;
        if (!still || !h.callsBack(d.owner)) continue;
        h.drawWindow = nullptr;
        h.drawPhase = phase;
        PluginCall call(h, d.owner);
        d.pub.fn(phase, d.pub.wantsBefore ? 1 : 0, d.pub.refcon);
      }
    }
    first = end;
  }
  h.drawPhase = -1;
}

// Every window shown somewhere; in VR one not positioned there is not drawn.
void drawWindows(Host::Impl &h) {
  h.setDrawingMatrices(false);
  const std::vector<XPLMWindowID> order = h.layeredOrder();
  for (XPLMWindowID id : order) {
    WindowRec *w = h.findWindow(id);
    if (!w || !w->pub.drawFn) continue;
    const Host::Shown shown = h.shown(*w);
    if (shown == Host::Shown::Hidden || shown == Host::Shown::NotInVR) continue;
    XPLMDrawWindow_f fn = w->pub.drawFn;
    void *refcon = w->pub.refcon;
    const XPLMPluginID owner = w->owner;
    h.drawWindow = id;
    h.drawPhase = -1;
    PluginCall call(h, owner);
    fn(id, refcon);
  }
  h.drawWindow = nullptr;
}

constexpr size_t kLongestKept = 5;

void noteFrameTime(Host::Impl &h, const Host::FrameTime &t) {
  auto &l = h.longest;
  if (l.size() == kLongestKept && t.seconds <= l.back().seconds) return;
  auto at = std::find_if(l.begin(), l.end(), [&](const Host::FrameTime &o) { return t.seconds > o.seconds; });
  l.insert(at, t);
  if (l.size() > kLongestKept) l.pop_back();
}

}  // namespace

const std::vector<Host::FrameTime> &Host::longestFrames() const {
  return impl_->longest;
}
double Host::longestFrameSeconds() const {
  return impl_->longest.empty() ? 0 : impl_->longest.front().seconds;
}
void Host::clearFrameTimes() {
  impl_->longest.clear();
  impl_->outsideSeconds = 0;
}

void Host::runFrame(double dt) {
  Impl &h = *impl_;
  if (h.inFrame) return;  // frames do not nest
  if (!std::isfinite(dt) || dt < 0) dt = 0;
  struct FrameScope {
    Impl &h;
    ~FrameScope() {
      h.inFrame = false;
      h.lastDrawing.swap(h.drawing);
      h.drawing.clear();
      h.drawWindow = nullptr;
      h.drawPhase = -1;
    }
  } scope{h};
  const auto wallStart = std::chrono::steady_clock::now();
  h.inFrame = true;
  h.frames++;
  h.elapsed += dt;
  h.lastFrameDt = dt;
  h.drawing.clear();
  h.derivePositions();
  std::vector<std::function<void()>> events;
  events.swap(h.deferred);
  for (auto &e : events) e();
  h.continueHeldCommands();
  // Loops before the flight model see the user's aircraft where the last frame left it.
  runFlightLoops(h, dt, xplm_FlightLoop_Phase_BeforeFlightModel);
  if (h.flight.active) {
    h.flight.flown += dt;
    h.placeOnCircle();
  }
  h.followUser();
  runFlightLoops(h, dt, xplm_FlightLoop_Phase_AfterFlightModel);
  h.writeCamera();
  runDrawCallbacks(h);
  drawWindows(h);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count() + h.outsideSeconds;
  h.outsideSeconds = 0;
  noteFrameTime(h, {h.frames, h.elapsed, seconds});
}

void Host::runFrames(int n, double fps) {
  const double dt = fps > 0 ? 1.0 / fps : 0;
  for (int i = 0; i < n; ++i) runFrame(dt);
}

void Host::runFor(double seconds, double fps, bool realtime) {
  if (!(fps > 0) || !(seconds > 0)) return;
  const long frames = std::lround(seconds * fps);
  const double dt = 1.0 / fps;
  const auto start = std::chrono::steady_clock::now();
  for (long k = 0; k < frames; ++k) {
    runFrame(dt);
    if (realtime) std::this_thread::sleep_until(start + std::chrono::duration<double>((k + 1) * dt));
  }
}

double Host::elapsed() const {
  return impl_->elapsed;
}
int Host::frameCount() const {
  return impl_->frames;
}
bool Host::inFrame() const {
  return impl_->inFrame;
}

const std::vector<Host::FlightLoop> &Host::flightLoops() const {
  impl_->loopsView.clear();
  for (const auto &l : impl_->loops) impl_->loopsView.push_back(l.pub);
  return impl_->loopsView;
}

const std::vector<Host::DrawCallback> &Host::drawCallbacks() const {
  impl_->drawsView.clear();
  for (const auto &d : impl_->draws) impl_->drawsView.push_back(d.pub);
  return impl_->drawsView;
}

const std::vector<Host::KeySniffer> &Host::keySniffers() const {
  impl_->sniffersView.clear();
  for (const auto &s : impl_->sniffers) impl_->sniffersView.push_back(s.pub);
  return impl_->sniffersView;
}

const std::vector<std::string> &Host::registrationLog() const {
  return impl_->registrations;
}

}  // namespace skyhost

using skyhost::cur;
using skyhost::pointerText;

float XPLMGetElapsedTime(void) {
  return static_cast<float>(cur().elapsed);
}
int XPLMGetCycleNumber(void) {
  return cur().frames;
}

void XPLMRegisterFlightLoopCallback(XPLMFlightLoop_f inFlightLoop, float inInterval, void *inRefcon) {
  auto &h = cur();
  if (!inFlightLoop) return;
  skyhost::FlightLoopRec r{};
  r.seq = ++h.seq;
  r.pub.fn = inFlightLoop;
  r.pub.firstInterval = inInterval;
  r.pub.refcon = inRefcon;
  r.registeredAt = r.lastCallAt = h.elapsed;
  r.owner = h.caller();
  r.pub.phase = xplm_FlightLoop_Phase_BeforeFlightModel;
  skyhost::schedule(r, inInterval, h.elapsed, h.frames);
  h.loops.push_back(r);
  h.logRegistration("register flightloop " + pointerText(reinterpret_cast<void *>(inFlightLoop)) + " " +
                    skyhost::intervalText(inInterval) + " refcon " + pointerText(inRefcon));
}

void XPLMUnregisterFlightLoopCallback(XPLMFlightLoop_f inFlightLoop, void *inRefcon) {
  auto &h = cur();
  std::string entry = "unregister flightloop " + pointerText(reinterpret_cast<void *>(inFlightLoop)) +
                      " refcon " + pointerText(inRefcon);
  for (auto it = h.loops.begin(); it != h.loops.end(); ++it) {
    if (!it->pub.created && it->pub.fn == inFlightLoop && it->pub.refcon == inRefcon &&
        it->owner == h.caller()) {
      h.loops.erase(it);
      h.logRegistration(entry);
      return;
    }
  }
  h.logRegistration(entry + " (not registered)");
}

void XPLMSetFlightLoopCallbackInterval(XPLMFlightLoop_f inFlightLoop, float inInterval, int inRelativeToNow,
                                       void *inRefcon) {
  auto &h = cur();
  skyhost::FlightLoopRec *l = skyhost::findLoop(h, inFlightLoop, inRefcon);
  if (!l) return;
  skyhost::schedule(*l, inInterval, inRelativeToNow ? h.elapsed : l->lastCallAt, h.frames);
  h.logRegistration("interval flightloop " + pointerText(reinterpret_cast<void *>(inFlightLoop)) + " " +
                    skyhost::intervalText(inInterval) + (inRelativeToNow ? " from now" : " from last call"));
}

XPLMFlightLoopID XPLMCreateFlightLoop(XPLMCreateFlightLoop_t *inParams) {
  auto &h = cur();
  if (!inParams || inParams->structSize < int(sizeof(XPLMCreateFlightLoop_t)) || !inParams->callbackFunc)
    return nullptr;
  const bool after = inParams->phase == xplm_FlightLoop_Phase_AfterFlightModel;
  skyhost::FlightLoopRec r{};
  r.seq = ++h.seq;
  r.pub.fn = inParams->callbackFunc;
  r.pub.refcon = inParams->refcon;
  r.pub.phase = after ? xplm_FlightLoop_Phase_AfterFlightModel : xplm_FlightLoop_Phase_BeforeFlightModel;
  r.pub.created = true;
  r.registeredAt = r.lastCallAt = h.elapsed;
  r.owner = h.caller();
  h.loops.push_back(r);
  h.logRegistration("create flightloop " + pointerText(reinterpret_cast<void *>(inParams->callbackFunc)) +
                    (after ? " after" : " before") + " flight model refcon " + pointerText(inParams->refcon));
  return reinterpret_cast<XPLMFlightLoopID>(static_cast<uintptr_t>(r.seq));
}

void XPLMDestroyFlightLoop(XPLMFlightLoopID inFlightLoopID) {
  auto &h = cur();
  const uint64_t seq = reinterpret_cast<uintptr_t>(inFlightLoopID);
  for (auto it = h.loops.begin(); it != h.loops.end(); ++it) {
    if (it->pub.created && it->seq == seq && it->owner == h.caller()) {
      h.logRegistration("destroy flightloop " + pointerText(reinterpret_cast<void *>(it->pub.fn)));
      h.loops.erase(it);
      return;
    }
  }
  h.logRegistration("destroy flightloop " + pointerText(inFlightLoopID) + " (not made)");
}

void XPLMScheduleFlightLoop(XPLMFlightLoopID inFlightLoopID, float inInterval, int inRelativeToNow) {
  auto &h = cur();
  skyhost::FlightLoopRec *l = skyhost::findLoop(h, reinterpret_cast<uintptr_t>(inFlightLoopID));
  if (!l || !l->pub.created || l->owner != h.caller()) return;
  if (l->pub.calls == 0 && !l->pub.scheduled) l->pub.firstInterval = inInterval;
  skyhost::schedule(*l, inInterval, inRelativeToNow ? h.elapsed : l->lastCallAt, h.frames);
  h.logRegistration("schedule flightloop " + pointerText(reinterpret_cast<void *>(l->pub.fn)) + " " +
                    skyhost::intervalText(inInterval) + (inRelativeToNow ? " from now" : " from last call"));
}

int XPLMRegisterDrawCallback(XPLMDrawCallback_f inCallback, XPLMDrawingPhase inPhase, int inWantsBefore,
                             void *inRefcon) {
  auto &h = cur();
  if (!inCallback) return 0;
  skyhost::DrawRec r{++h.seq, {inCallback, inPhase, inWantsBefore ? 1 : 0, inRefcon}, h.caller()};
  h.draws.push_back(r);
  h.logRegistration("register draw " + pointerText(reinterpret_cast<void *>(inCallback)) + " phase " +
                    std::to_string(inPhase) + (inWantsBefore ? " before" : " after") + " refcon " +
                    pointerText(inRefcon));
  return 1;
}

int XPLMUnregisterDrawCallback(XPLMDrawCallback_f inCallback, XPLMDrawingPhase inPhase, int inWantsBefore,
                               void *inRefcon) {
  auto &h = cur();
  std::string entry = "unregister draw " + pointerText(reinterpret_cast<void *>(inCallback)) + " phase " +
                      std::to_string(inPhase) + (inWantsBefore ? " before" : " after") + " refcon " +
                      pointerText(inRefcon);
  const int before = inWantsBefore ? 1 : 0;
  for (auto it = h.draws.begin(); it != h.draws.end(); ++it) {
    if (it->pub.fn == inCallback && it->pub.phase == inPhase && it->pub.wantsBefore == before &&
        it->pub.refcon == inRefcon && it->owner == h.caller()) {
      h.draws.erase(it);
      h.logRegistration(entry);
      return 1;
    }
  }
  h.logRegistration(entry + " (not registered)");
  return 0;
}
