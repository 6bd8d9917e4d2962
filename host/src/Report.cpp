// What the host holds, as JSON for programs and as a report for people.

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "HostImpl.h"
#include "XPStandardWidgets.h"
#include "skyhost/Json.h"

namespace skyhost {

namespace {

const char *opKind(Host::DrawOp::Kind k) {
  switch (k) {
    case Host::DrawOp::String:
      return "string";
    case Host::DrawOp::DarkBox:
      return "darkbox";
    case Host::DrawOp::GraphicsState:
      return "graphicsstate";
    case Host::DrawOp::Color:
      return "color";
    case Host::DrawOp::Begin:
      return "begin";
    case Host::DrawOp::Vertex:
      return "vertex";
    case Host::DrawOp::End:
      return "end";
  }
  return "?";
}

// How a window is placed: an old one is always in pixels where it was put.
const char *positioningName(const Host::Window &w) {
  if (!w.modern) return "pixels";
  switch (w.positioning) {
    case xplm_WindowPositionFree:
      return "free";
    case xplm_WindowCenterOnMonitor:
      return "centred";
    case xplm_WindowFullScreenOnMonitor:
    case xplm_WindowFullScreenOnAllMonitors:
      return "full screen";
    case xplm_WindowPopOut:
      return "popped out";
    case xplm_WindowVR:
      return "VR";
  }
  return "?";
}

const char *shownKey(Host::Shown s) {
  switch (s) {
    case Host::Shown::Hidden:
      return "hidden";
    case Host::Shown::Screen:
      return "screen";
    case Host::Shown::PopOut:
      return "pop-out";
    case Host::Shown::VR:
      return "vr";
    case Host::Shown::NotInVR:
      return "not-in-vr";
  }
  return "?";
}

const char *className(int cls) {
  switch (cls) {
    case xpWidgetClass_MainWindow:
      return "MainWindow";
    case xpWidgetClass_SubWindow:
      return "SubWindow";
    case xpWidgetClass_Button:
      return "Button";
    case xpWidgetClass_TextField:
      return "TextField";
    case xpWidgetClass_ScrollBar:
      return "ScrollBar";
    case xpWidgetClass_Caption:
      return "Caption";
    case xpWidgetClass_GeneralGraphics:
      return "GeneralGraphics";
    case xpWidgetClass_Progress:
      return "Progress";
    case -1:
      return "Custom";
    default:
      return "None";
  }
}

std::string fnText(const void *fn) {
  return pointerText(fn);
}

std::string num(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

void writeMenu(JsonWriter &j, const Host::Impl &h, XPLMMenuID id, std::vector<XPLMMenuID> &seen) {
  auto *self = const_cast<Host::Impl *>(&h);
  const MenuRec *m = self->findMenu(id);
  j.beginObject();
  if (m && std::find(seen.begin(), seen.end(), id) == seen.end()) {
    seen.push_back(id);
    j.key("name")
        .value(m->name)
        .key("id")
        .value(pointerText(m->id))
        .key("menuRef")
        .value(pointerText(m->menuRef));
    j.key("items").beginArray();
    for (const auto &it : m->items) {
      j.beginObject();
      if (it.pub.separator) {
        j.key("separator").value(true);
      } else {
        j.key("name").value(it.pub.name).key("itemRef").value(pointerText(it.pub.itemRef));
        const std::string text = textAtPointer(it.pub.itemRef);
        if (!text.empty()) j.key("itemRefText").value(text);
        j.key("enabled").value(it.pub.enabled).key("check").value(static_cast<int>(it.pub.check));
        j.key("forceEnglish").value(it.pub.forceEnglish);
        if (it.pub.submenu) {
          j.key("submenu");
          writeMenu(j, h, it.pub.submenu, seen);
        }
      }
      j.endObject();
    }
    j.endArray();
  }
  j.endObject();
}

}  // namespace

std::string Host::dumpJson() const {
  const Impl &h = *impl_;
  JsonWriter j;
  j.beginObject();
  j.key("time").value(h.elapsed).key("frames").value(h.frames);
  j.key("plugin").beginObject();
  j.key("file").value(pluginFile()).key("loaded").value(pluginLoaded()).key("started").value(pluginStarted());
  j.key("enabled")
      .value(pluginEnabled())
      .key("name")
      .value(pluginName)
      .key("signature")
      .value(pluginSignature);
  j.key("description").value(pluginDescription).key("id").value(h.primary).endObject();
  j.key("plugins").beginArray();
  for (const PluginInfo &p : plugins()) {
    j.beginObject().key("id").value(p.id).key("file").value(p.file).key("name").value(p.name);
    j.key("signature").value(p.signature).key("started").value(p.started).key("enabled").value(p.enabled);
    j.endObject();
  }
  j.endArray();
  j.key("root").value(h.root);
  j.key("screen")
      .beginObject()
      .key("width")
      .value(h.options.screenWidth)
      .key("height")
      .value(h.options.screenHeight);
  j.endObject();
  j.key("flight").beginObject().key("active").value(h.flight.active);
  if (h.flight.active) {
    j.key("circle").beginObject().key("latitude").value(h.flight.lat).key("longitude").value(h.flight.lon);
    j.key("altitude")
        .value(h.flight.alt)
        .key("radius")
        .value(h.flight.radius)
        .key("speed")
        .value(h.flight.speed);
    j.key("phase").value(h.flight.phaseDeg).endObject();
  }
  j.endObject();
  j.key("directorySeparator").value(h.options.directorySeparator);
  j.key("userModel")
      .beginObject()
      .key("file")
      .value(h.options.userModelFile)
      .key("path")
      .value(h.options.userModelPath);
  j.endObject();
  j.key("origin").beginObject().key("latitude").value(h.lat0).key("longitude").value(h.lon0);
  j.key("moves").value(h.originMoves).endObject();
  j.key("longestFrames").beginArray();
  for (const FrameTime &t : h.longest)
    j.beginObject()
        .key("frame")
        .value(t.frame)
        .key("time")
        .value(t.at)
        .key("ms")
        .value(t.seconds * 1000)
        .endObject();
  j.endArray();
  j.key("lookupsBeforeStart").value(h.lookupsBeforeStart);

  j.key("datarefs").beginObject();
  for (const DataRefDef *d : dataRefTable()) {
    const DataValue &v = h.values[d->index];
    j.key(d->name);
    switch (d->type) {
      case xplmType_Int:
        j.value(v.i);
        break;
      case xplmType_Float:
        j.value(static_cast<double>(v.f));
        break;
      case xplmType_Double:
        j.value(v.d);
        break;
      case xplmType_FloatArray:
        j.beginArray();
        for (float f : v.vf) j.value(static_cast<double>(f));
        j.endArray();
        break;
      case xplmType_IntArray:
        j.beginArray();
        for (int i : v.vi) j.value(i);
        j.endArray();
        break;
      default:
        j.null();
    }
  }
  j.endObject();
  j.key("lookups").beginArray();
  for (const auto &n : h.lookups) j.value(n);
  j.endArray();
  j.key("readOnlyWrites").beginObject();
  for (const auto &w : readOnlyWriteCounts()) j.key(w.first).value(w.second);
  j.endObject();
  j.key("nonFiniteWrites").value(h.nonFiniteWrites);
  j.key("publishedDataRefs").beginArray();
  for (const PublishedDataRef &d : publishedDataRefs()) {
    j.beginObject().key("name").value(d.name).key("types").value(d.types).key("writable").value(d.writable);
    j.key("plugin").value(d.plugin).key("live").value(d.live).key("ignoredWrites").value(d.ignoredWrites);
    j.key("value").value(readPublished(d.name)).endObject();
  }
  j.endArray();
  j.key("commands").beginArray();
  for (const Command &c : commands()) {
    j.beginObject().key("name").value(c.name).key("description").value(c.description);
    j.key("creator").value(c.creator).key("held").value(c.held).key("handlers").beginArray();
    for (const CommandHandler &r : c.handlers) {
      j.beginObject().key("fn").value(fnText(reinterpret_cast<void *>(r.fn))).key("before").value(r.before);
      j.key("refcon").value(pointerText(r.refcon)).key("plugin").value(r.plugin).endObject();
    }
    j.endArray().endObject();
  }
  j.endArray();
  j.key("legacy3d").value(h.options.legacy3d);

  j.key("planes").beginObject();
  j.key("total").value(h.options.totalAircraft).key("drawn").beginArray();
  for (int n : drawnPlanes()) j.value(n);
  j.endArray();
  j.key("refusedCalls").value(h.refusedPlaneCalls).key("heldElsewhere").value(h.options.planesHeldElsewhere);
  j.key("active").value(h.activeAircraft).key("acquired").value(planesAcquired());
  j.key("acquireCalls").value(h.acquireCalls).key("releaseCalls").value(h.releaseCalls);
  j.key("aiDisabled").beginArray();
  for (int i : h.aiDisabled) j.value(i);
  j.endArray();
  j.key("aiDisableIgnored").value(h.aiIgnored);
  j.key("models").beginObject();
  for (const auto &m : h.models) j.key(std::to_string(m.first)).value(m.second);
  j.endObject();
  j.key("modelLog").beginArray();
  for (const auto &m : h.modelLog) j.beginArray().value(m.first).value(m.second).endArray();
  j.endArray();
  j.key("refusedModels").beginArray();
  for (const auto &m : h.refusedModels) j.beginArray().value(m.first).value(m.second).endArray();
  j.endArray();
  j.endObject();

  j.key("keyboardFocus");
  h.focus ? j.value(pointerText(h.focus)) : j.null();
  j.key("widgetFocus");
  h.widgetFocus ? j.value(pointerText(h.widgetFocus)) : j.null();

  j.key("vr").value(h.vr).key("interfaceScale").value(h.scale());
  {
    int l, t, r, b;
    h.screenBounds(&l, &t, &r, &b);
    j.key("screenBounds").beginArray().value(l).value(t).value(r).value(b).endArray();
  }
  j.key("windows").beginArray();
  for (const auto &w : h.windows) {
    j.beginObject().key("id").value(pointerText(w.pub.id));
    j.key("left").value(w.pub.left).key("top").value(w.pub.top).key("right").value(w.pub.right);
    j.key("bottom").value(w.pub.bottom).key("visible").value(w.pub.visible);
    j.key("front").value(!h.zOrder.empty() && h.zOrder.back() == w.pub.id);
    j.key("modern").value(w.pub.modern).key("positioning").value(positioningName(w.pub));
    j.key("poppedOut").value(w.pub.poppedOut).key("inVR").value(w.pub.inVR).key("title").value(w.pub.title);
    j.key("shown").value(shownKey(h.shown(w)));
    j.key("widgetRoot");
    w.pub.widgetRoot ? j.value(pointerText(w.pub.widgetRoot)) : j.null();
    j.endObject();
  }
  j.endArray();

  std::vector<XPLMMenuID> seen;
  j.key("menu");
  writeMenu(j, h, h.pluginsMenu, seen);
  j.key("menuBar").beginArray();
  for (const auto &m : h.menus)
    if (!m.parent && m.id != h.pluginsMenu) writeMenu(j, h, m.id, seen);
  j.endArray();

  j.key("flightLoops").beginArray();
  for (const auto &l : h.loops) {
    j.beginObject().key("fn").value(fnText(reinterpret_cast<void *>(l.pub.fn)));
    j.key("firstInterval")
        .value(static_cast<double>(l.pub.firstInterval))
        .key("refcon")
        .value(pointerText(l.pub.refcon));
    j.key("scheduled").value(l.pub.scheduled).key("dueInFrames").value(l.pub.dueInFrames);
    j.key("nextDue").value(l.pub.nextDue).key("calls").value(l.pub.calls);
    j.key("lastReturn").value(static_cast<double>(l.pub.lastReturn));
    j.key("afterFlightModel").value(l.pub.phase == xplm_FlightLoop_Phase_AfterFlightModel).endObject();
  }
  j.endArray();
  j.key("drawCallbacks").beginArray();
  for (const auto &d : h.draws) {
    j.beginObject()
        .key("fn")
        .value(fnText(reinterpret_cast<void *>(d.pub.fn)))
        .key("phase")
        .value(d.pub.phase);
    j.key("before").value(d.pub.wantsBefore != 0).key("refcon").value(pointerText(d.pub.refcon)).endObject();
  }
  j.endArray();
  j.key("keySniffers").beginArray();
  for (const auto &s : h.sniffers) {
    j.beginObject().key("fn").value(fnText(reinterpret_cast<void *>(s.pub.fn)));
    j.key("beforeWindows")
        .value(s.pub.beforeWindows != 0)
        .key("refcon")
        .value(pointerText(s.pub.refcon))
        .endObject();
  }
  j.endArray();

  j.key("widgets").beginArray();
  for (XPWidgetID id : h.widgetOrder) {
    const WidgetRec *r = h.findWidget(id);
    if (!r) continue;
    const Widget &w = r->pub;
    j.beginObject().key("id").value(pointerText(w.id)).key("class").value(w.widgetClass);
    j.key("className").value(className(w.widgetClass)).key("descriptor").value(w.descriptor);
    j.key("visible").value(w.visible).key("shown").value(widgetShown(w.id)).key("isRoot").value(w.isRoot);
    j.key("container");
    w.container ? j.value(pointerText(w.container)) : j.null();
    j.key("geometry").beginArray().value(w.left).value(w.top).value(w.right).value(w.bottom).endArray();
    j.key("properties").beginObject();
    for (const auto &p : w.properties) j.key(std::to_string(p.first)).value(static_cast<long long>(p.second));
    j.endObject();
    if (w.widgetClass == xpWidgetClass_Button) {
      auto it = w.properties.find(xpProperty_ButtonState);
      j.key("buttonState").value(it == w.properties.end() ? 0LL : static_cast<long long>(it->second));
    }
    j.key("callbacks").value(static_cast<int>(w.callbacks.size())).endObject();
  }
  j.endArray();

  j.key("drawing").beginArray();
  for (const DrawOp &op : lastFrameDrawing()) {
    j.beginObject().key("kind").value(opKind(op.kind));
    j.key("window");
    op.window ? j.value(pointerText(op.window)) : j.null();
    if (!op.window) j.key("phase").value(op.phase);
    switch (op.kind) {
      case DrawOp::String:
        j.key("x").value(op.x).key("y").value(op.y).key("text").value(op.text).key("font").value(op.font);
        j.key("rgb")
            .beginArray()
            .value(static_cast<double>(op.rgba[0]))
            .value(static_cast<double>(op.rgba[1]));
        j.value(static_cast<double>(op.rgba[2])).endArray();
        j.key("wrap");
        op.hasWrap ? j.value(op.wrap) : j.null();
        break;
      case DrawOp::DarkBox:
        j.key("rect")
            .beginArray()
            .value(op.rect[0])
            .value(op.rect[1])
            .value(op.rect[2])
            .value(op.rect[3])
            .endArray();
        break;
      case DrawOp::GraphicsState:
        j.key("state").beginArray();
        for (int s : op.state) j.value(s);
        j.endArray();
        break;
      case DrawOp::Color:
      case DrawOp::Vertex:
        j.key("rgba").beginArray();
        for (float c : op.rgba) j.value(static_cast<double>(c));
        j.endArray();
        if (op.kind == DrawOp::Vertex)
          j.key("x").value(static_cast<double>(op.vx)).key("y").value(static_cast<double>(op.vy));
        break;
      case DrawOp::Begin:
        j.key("mode").value(static_cast<long long>(op.mode));
        break;
      case DrawOp::End:
        break;
    }
    j.endObject();
  }
  j.endArray();

  j.key("debug").beginArray();
  for (const auto &d : h.debug) j.value(d);
  j.endArray();
  j.key("leftoversAtUnload").beginArray();
  for (const auto &d : h.leftovers) j.value(d);
  j.endArray();
  j.endObject();
  return j.str() + "\n";
}

std::string Host::report() const {
  const Impl &h = *impl_;
  std::ostringstream out;
  out << "Plugin: " << (pluginName.empty() ? "(none)" : pluginName) << "\n";
  out << "  signature:   " << pluginSignature << "\n";
  out << "  description: " << pluginDescription << "\n";
  out << "  file:        " << pluginFile() << (pluginLoaded() ? " (loaded" : " (not loaded")
      << (pluginStarted() ? ", started" : "") << (pluginEnabled() ? ", enabled" : "") << ")\n";
  if (h.plugins.size() > 1) {
    out << "Plugins loaded (" << h.plugins.size() << "):\n";
    for (const PluginInfo &p : plugins())
      out << "  " << p.id << "  " << p.name << "  " << p.file << (p.enabled ? "  enabled" : "") << "\n";
  }
  out << "Clock: " << num(h.elapsed) << " s, " << h.frames << " frames"
      << (h.options.legacy3d ? ", older OpenGL backend (3-D phases drawn)" : "") << "\n";
  out << "Longest frames (wall clock):";
  for (const FrameTime &t : h.longest)
    out << "  " << num(t.seconds * 1000) << " ms at " << num(t.at) << " s (frame " << t.frame << ")";
  out << "\n";
  out << "Local origin: " << num(h.lat0) << ", " << num(h.lon0) << ", moved " << h.originMoves << " times\n";
  if (h.lookupsBeforeStart)
    out << "Lookups before XPluginStart, answered null: " << h.lookupsBeforeStart << "\n";
  if (h.flight.active)
    out << "Flying: circle round " << num(h.flight.lat) << ", " << num(h.flight.lon) << " at "
        << num(h.flight.alt) << " m, radius " << num(h.flight.radius) << " m, " << num(h.flight.speed)
        << " m/s\n";
  out << "\nMenus:\n";
  std::istringstream tree(h.menuTree());
  for (std::string line; std::getline(tree, line);) out << "  " << line << "\n";

  {
    int l, t, r, b;
    h.screenBounds(&l, &t, &r, &b);
    out << "\nScreen: " << h.options.screenWidth << " x " << h.options.screenHeight << " pixels, interface scale "
        << num(h.scale() * 100) << " %: " << r - l << " x " << t - b << " boxels; VR "
        << (h.vr ? "on" : "off") << "\n";
  }
  out << "Windows (" << h.windows.size() << "):\n";
  for (const auto &w : h.windows) {
    out << "  " << pointerText(w.pub.id);
    if (!w.pub.title.empty()) out << " \"" << w.pub.title << "\"";
    out << (w.pub.widgetRoot ? "  widget window" : w.pub.modern ? "  modern" : "  old (pixels)") << "  left "
        << w.pub.left << " top " << w.pub.top << " right " << w.pub.right << " bottom " << w.pub.bottom << "  "
        << shownName(h.shown(w)) << "  positioning: " << positioningName(w.pub)
        << (h.focus == w.pub.id ? "  keyboard focus" : "") << "\n";
  }

  out << "\nFlight loops (" << h.loops.size() << "):\n";
  for (const auto &l : h.loops) {
    out << "  " << fnText(reinterpret_cast<void *>(l.pub.fn))
        << (l.pub.phase == xplm_FlightLoop_Phase_AfterFlightModel ? "  after the flight model," : "")
        << "  first interval " << num(l.pub.firstInterval) << ", calls " << l.pub.calls;
    if (l.pub.calls) out << ", last returned " << num(l.pub.lastReturn);
    if (!l.pub.scheduled)
      out << ", stopped";
    else if (l.pub.dueInFrames)
      out << ", next at frame " << num(l.pub.nextDue);
    else
      out << ", next at " << num(l.pub.nextDue) << " s";
    out << "\n";
  }
  out << "Draw callbacks (" << h.draws.size() << "):\n";
  for (const auto &d : h.draws)
    out << "  " << fnText(reinterpret_cast<void *>(d.pub.fn)) << "  phase " << d.pub.phase
        << (d.pub.wantsBefore ? " before" : " after") << "\n";
  out << "Key sniffers (" << h.sniffers.size() << "):\n";
  for (const auto &s : h.sniffers)
    out << "  " << fnText(reinterpret_cast<void *>(s.pub.fn))
        << (s.pub.beforeWindows ? "  before windows" : "  after windows") << "\n";

  out << "\nCommands (" << h.commands.size() << "):\n";
  for (const Command &c : commands()) {
    out << "  " << c.name << "  \"" << c.description << "\"";
    for (const CommandHandler &r : c.handlers) out << (r.before ? "  handler before" : "  handler after");
    out << (c.held ? "  held" : "") << "\n";
  }
  out << "Datarefs plugins publish (" << h.accessors.size() << "):\n";
  for (const PublishedDataRef &d : publishedDataRefs()) {
    out << "  " << d.name << "  types " << d.types << (d.writable ? " writable" : " read-only");
    if (d.live)
      out << "  = " << readPublished(d.name) << "\n";
    else
      out << "  (unregistered)\n";
  }

  out << "\nDatarefs looked up (" << h.lookups.size() << "):\n";
  for (const auto &n : h.lookups)
    out << "  " << n << (findDataRefDef(n) || h.findAccessor(n) ? "" : "  (unknown)") << "\n";
  const auto readOnly = readOnlyWriteCounts();
  if (!readOnly.empty()) {
    out << "Writes to read-only datarefs, ignored:\n";
    for (const auto &w : readOnly) out << "  " << w.first << ": " << w.second << "\n";
  }
  if (h.nonFiniteWrites > 0) out << "Writes of an infinity or a NaN: " << h.nonFiniteWrites << "\n";

  out << "\nPlanes: " << h.options.totalAircraft << " enabled by the user, active " << h.activeAircraft
      << ", "
      << (planesAcquired()                ? "acquired"
          : h.options.planesHeldElsewhere ? "held by another plugin"
                                          : "not acquired")
      << ", acquire calls " << h.acquireCalls << ", release calls " << h.releaseCalls << "\n";
  out << "  drawn:";
  for (int n : drawnPlanes()) out << " " << n;
  out << "\n";
  if (h.refusedPlaneCalls) out << "  calls refused without the planes held: " << h.refusedPlaneCalls << "\n";
  out << "  AI disabled for:";
  for (int i : h.aiDisabled) out << " " << i;
  out << "\n";
  if (h.aiIgnored)
    out << "  AI disable calls for planes the host does not have, ignored: " << h.aiIgnored << "\n";
  for (const auto &m : h.models) out << "  plane " << m.first << ": " << m.second << "\n";
  if (!h.refusedModels.empty()) {
    out << "  model loads refused (" << h.refusedModels.size() << "):\n";
    for (const auto &m : h.refusedModels)
      out << "    plane " << m.first << (m.first == 0 ? " (the user's aircraft)" : "") << ": " << m.second
          << "\n";
  }

  if (!h.widgets.empty()) {
    out << "\nWidgets (" << h.widgets.size() << "):\n";
    for (XPWidgetID id : h.widgetOrder) {
      const WidgetRec *r = h.findWidget(id);
      if (!r) continue;
      int depth = 0;
      for (const WidgetRec *p = h.findWidget(r->pub.container); p && depth < 50;
           p = h.findWidget(p->pub.container))
        ++depth;
      out << "  " << std::string(static_cast<size_t>(depth) * 2, ' ') << className(r->pub.widgetClass)
          << " \"" << r->pub.descriptor << "\"" << (r->pub.visible ? "" : " (hidden)");
      if (r->pub.widgetClass == xpWidgetClass_Button) {
        auto it = r->pub.properties.find(xpProperty_ButtonState);
        out << " state " << (it == r->pub.properties.end() ? 0 : it->second);
      }
      out << "\n";
    }
  }
  if (!h.debug.empty()) {
    out << "\nDebug messages:\n";
    for (const auto &d : h.debug) out << "  " << d << "\n";
  }
  return out.str();
}

}  // namespace skyhost
