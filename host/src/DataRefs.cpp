// The dataref registry: the names the host knows, their types, and each host's values.

#include <array>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <unordered_map>
#include <unordered_set>

#include "HostImpl.h"

namespace skyhost {

namespace {

struct Table {
  std::vector<const DataRefDef *> defs;
  std::unordered_map<std::string, const DataRefDef *> byName;
  std::unordered_set<const void *> handles;

  void add(const std::string &name, XPLMDataTypeID type, int size, bool writable) {
    auto *d = new DataRefDef{name, type, size, static_cast<int>(defs.size()), writable};
    defs.push_back(d);
    byName.emplace(name, d);
    handles.insert(d);
  }

  // "int", "float", "double", "int[8]", "float[16][4]" (elements multiply), "byte[256]", "byte[]".
  static bool parseType(const std::string &text, XPLMDataTypeID *type, int *size) {
    const size_t bracket = text.find('[');
    const std::string base = text.substr(0, bracket);
    long count = 1;
    for (size_t at = bracket; at != std::string::npos; at = text.find('[', at + 1)) {
      const long n = std::strtol(text.c_str() + at + 1, nullptr, 10);
      count = n > 0 ? std::min(count * n, 1L << 20) : (base == "byte" ? 0 : -1);
    }
    if (count < 0) return false;
    *size = static_cast<int>(count);
    const bool array = bracket != std::string::npos;
    if (base == "int")
      *type = array ? xplmType_IntArray : xplmType_Int;
    else if (base == "float")
      *type = array ? xplmType_FloatArray : xplmType_Float;
    else if (base == "double" && !array)
      *type = xplmType_Double;
    else if (base == "byte")
      *type = xplmType_Data;
    else
      return false;
    return true;
  }

  Table() {
    std::istringstream in(kPublishedDataRefs);
    int lineNo = 0;
    for (std::string line; std::getline(in, line);) {
      ++lineNo;
      if (line.empty() || line[0] == '#') continue;
      std::istringstream fields(line);
      std::string name, type, writable;
      XPLMDataTypeID id;
      int size;
      if (!std::getline(fields, name, '\t') || !std::getline(fields, type, '\t') ||
          !std::getline(fields, writable) || !parseType(type, &id, &size) ||
          (writable != "y" && writable != "n"))
        throw std::logic_error("simulated host: bad line " + std::to_string(lineNo) + " in its dataref list");
      add(name, id, size, writable == "y");
    }
  }
};

// Built on first use and never destroyed: plugin globals look datarefs up inside dlopen, and
// possibly before main.
const Table &table() {
  static const Table *t = new Table;
  return *t;
}

DataValue *valueOf(XPLMDataRef ref) {
  if (!isKnownHandle(ref)) return nullptr;
  return &cur().values[defFromHandle(ref)->index];
}

// The value a plugin's write may change: null for an unknown handle, and for a read-only dataref,
// whose write the host ignores and counts.
DataValue *writableValueOf(XPLMDataRef ref) {
  if (!isKnownHandle(ref)) return nullptr;
  const DataRefDef *d = defFromHandle(ref);
  Host::Impl &h = cur();
  if (!d->writable) {
    ++h.readOnlyWrites[d->index];
    return nullptr;
  }
  return &h.values[d->index];
}

double scalarOf(const DataRefDef &d, const DataValue &v) {
  switch (d.type) {
    case xplmType_Int:
      return v.i;
    case xplmType_Float:
      return v.f;
    case xplmType_Double:
      return v.d;
    default:
      return 0;
  }
}

void setScalar(const DataRefDef &d, DataValue &v, double x) {
  switch (d.type) {
    case xplmType_Int:
      v.i = safeToInt(x);
      break;
    case xplmType_Float:
      v.f = static_cast<float>(x);
      break;
    case xplmType_Double:
      v.d = x;
      break;
    default:
      break;
  }
}

// Copies elements [offset, offset + max) of an array out; with a null destination, the size.
template <typename T>
int getArray(const std::vector<T> &src, T *out, int offset, int max) {
  const int size = static_cast<int>(src.size());
  if (!out) return size;
  if (offset < 0 || offset >= size || max <= 0) return 0;
  const int n = std::min(max, size - offset);
  for (int k = 0; k < n; ++k) out[k] = src[offset + k];
  return n;
}

// Writes count values from offset on, clamped to the array's end.
template <typename T>
void setArray(std::vector<T> &dst, const T *in, int offset, int count) {
  const int size = static_cast<int>(dst.size());
  if (!in || offset < 0 || offset >= size || count <= 0) return;
  const int n = std::min(count, size - offset);
  for (int k = 0; k < n; ++k) dst[offset + k] = in[k];
}

const DataRefDef &defOrThrow(const std::string &name) {
  const DataRefDef *d = findDataRefDef(name);
  if (!d) throw std::invalid_argument("simulated host: no dataref named " + name);
  return *d;
}

}  // namespace

int safeToInt(double v) {
  if (std::isnan(v)) return 0;
  if (v >= static_cast<double>(std::numeric_limits<int>::max())) return std::numeric_limits<int>::max();
  if (v <= static_cast<double>(std::numeric_limits<int>::min())) return std::numeric_limits<int>::min();
  return static_cast<int>(v);
}

const std::vector<const DataRefDef *> &dataRefTable() {
  return table().defs;
}

const DataRefDef *findDataRefDef(const std::string &name) {
  const auto &t = table();
  auto it = t.byName.find(name);
  return it == t.byName.end() ? nullptr : it->second;
}

bool isKnownHandle(XPLMDataRef ref) {
  // A handle is a table entry's address; a stale or made-up pointer is never dereferenced.
  return ref && table().handles.count(ref) != 0;
}

// ---- harness access by name ----

bool Host::hasDataRef(const std::string &name) const {
  return findDataRefDef(name) != nullptr;
}
XPLMDataTypeID Host::dataRefType(const std::string &name) const {
  return defOrThrow(name).type;
}
int Host::dataRefSize(const std::string &name) const {
  return defOrThrow(name).size;
}
bool Host::dataRefWritable(const std::string &name) const {
  return defOrThrow(name).writable;
}
int Host::nonFiniteWrites() const {
  return impl_->nonFiniteWrites;
}
int Host::readOnlyWrites(const std::string &name) const {
  return impl_->readOnlyWrites[defOrThrow(name).index];
}
std::vector<std::pair<std::string, int>> Host::readOnlyWriteCounts() const {
  std::vector<std::pair<std::string, int>> out;
  for (const DataRefDef *d : dataRefTable())
    if (impl_->readOnlyWrites[d->index] > 0) out.emplace_back(d->name, impl_->readOnlyWrites[d->index]);
  return out;
}

namespace {

// Value indices of each aircraft's local x, y, z and its latitude, longitude, elevation: the
// user's first, then planes 1 to 19.
const std::vector<std::pair<std::vector<int>, std::vector<int>>> &positionIndices() {
  static const std::vector<std::pair<std::vector<int>, std::vector<int>>> *indices = [] {
    auto *all = new std::vector<std::pair<std::vector<int>, std::vector<int>>>;
    auto index = [](const std::string &name) { return findDataRefDef(name)->index; };
    const std::string pos = "sim/flightmodel/position/";
    all->push_back({{index(pos + "local_x"), index(pos + "local_y"), index(pos + "local_z")},
                    {index(pos + "latitude"), index(pos + "longitude"), index(pos + "elevation")}});
    for (int n = 1; n <= 19; ++n) {
      const std::string p = "sim/multiplayer/position/plane" + std::to_string(n) + "_";
      all->push_back({{index(p + "x"), index(p + "y"), index(p + "z")},
                      {index(p + "lat"), index(p + "lon"), index(p + "el")}});
    }
    return all;
  }();
  return *indices;
}

}  // namespace

void Host::Impl::derivePositions() {
  for (const auto &plane : positionIndices()) {
    double world[3];
    self->localToWorld(values[plane.first[0]].d, values[plane.first[1]].d, values[plane.first[2]].d,
                       &world[0], &world[1], &world[2]);
    for (int k = 0; k < 3; ++k) values[plane.second[k]].d = world[k];
  }
}

void Host::moveOrigin(double lat, double lon) {
  Impl &h = *impl_;
  std::vector<std::array<double, 3>> world;
  for (const auto &plane : positionIndices()) {
    std::array<double, 3> w;
    localToWorld(h.values[plane.first[0]].d, h.values[plane.first[1]].d, h.values[plane.first[2]].d, &w[0],
                 &w[1], &w[2]);
    world.push_back(w);
  }
  h.setOrigin(lat, lon);
  size_t k = 0;
  for (const auto &plane : positionIndices()) {
    const std::array<double, 3> &w = world[k++];
    worldToLocal(w[0], w[1], w[2], &h.values[plane.first[0]].d, &h.values[plane.first[1]].d,
                 &h.values[plane.first[2]].d);
  }
  h.derivePositions();
  h.originMoves++;
}

int Host::originMoves() const {
  return impl_->originMoves;
}

void Host::Impl::followUser() {
  if (!(options.originShiftMetres > 0)) return;
  const auto &user = positionIndices().front();
  const double x = values[user.first[0]].d, z = values[user.first[2]].d;
  if (!(std::hypot(x, z) > options.originShiftMetres)) return;
  self->moveOrigin(values[user.second[0]].d, values[user.second[1]].d);
}

static double scalarByName(const Host::Impl &h, const std::string &name) {
  const DataRefDef &d = defOrThrow(name);
  return scalarOf(d, h.values[d.index]);
}

float Host::getf(const std::string &name) const {
  return static_cast<float>(scalarByName(*impl_, name));
}
int Host::geti(const std::string &name) const {
  return safeToInt(scalarByName(*impl_, name));
}
double Host::getd(const std::string &name) const {
  return scalarByName(*impl_, name);
}

std::vector<float> Host::getvf(const std::string &name) const {
  const DataRefDef &d = defOrThrow(name);
  if (d.type == xplmType_IntArray) {
    const auto &vi = impl_->values[d.index].vi;
    return std::vector<float>(vi.begin(), vi.end());
  }
  return impl_->values[d.index].vf;
}

std::vector<int> Host::getvi(const std::string &name) const {
  const DataRefDef &d = defOrThrow(name);
  if (d.type == xplmType_FloatArray) {
    std::vector<int> out;
    for (float f : impl_->values[d.index].vf) out.push_back(safeToInt(f));
    return out;
  }
  return impl_->values[d.index].vi;
}

void Host::setf(const std::string &name, float value) {
  setd(name, value);
}
void Host::seti(const std::string &name, int value) {
  setd(name, value);
}
void Host::setd(const std::string &name, double value) {
  const DataRefDef &d = defOrThrow(name);
  setScalar(d, impl_->values[d.index], value);
}

void Host::setvf(const std::string &name, const std::vector<float> &values, int offset) {
  const DataRefDef &d = defOrThrow(name);
  DataValue &v = impl_->values[d.index];
  if (d.type == xplmType_FloatArray) {
    setArray(v.vf, values.data(), offset, static_cast<int>(values.size()));
  } else if (d.type == xplmType_IntArray) {
    std::vector<int> ints;
    for (float f : values) ints.push_back(safeToInt(f));
    setArray(v.vi, ints.data(), offset, static_cast<int>(ints.size()));
  } else {
    throw std::invalid_argument("simulated host: " + name + " is not an array");
  }
}

void Host::setvi(const std::string &name, const std::vector<int> &values, int offset) {
  const DataRefDef &d = defOrThrow(name);
  DataValue &v = impl_->values[d.index];
  if (d.type == xplmType_IntArray) {
    setArray(v.vi, values.data(), offset, static_cast<int>(values.size()));
  } else if (d.type == xplmType_FloatArray) {
    std::vector<float> floats(values.begin(), values.end());
    setArray(v.vf, floats.data(), offset, static_cast<int>(floats.size()));
  } else {
    throw std::invalid_argument("simulated host: " + name + " is not an array");
  }
}

std::vector<std::string> Host::dataRefNames() {
  std::vector<std::string> names;
  for (const DataRefDef *d : dataRefTable()) names.push_back(d->name);
  return names;
}

const std::vector<std::string> &Host::lookupLog() const {
  return impl_->lookups;
}
void Host::clearLookupLog() {
  impl_->lookups.clear();
}

}  // namespace skyhost

// ---- datarefs plugins publish ----

namespace skyhost {

AccessorRec *Host::Impl::findAccessor(XPLMDataRef ref) const {
  // A stale or made-up handle is never dereferenced.
  for (const auto &a : accessors)
    if (a.get() == ref) return a.get();
  return nullptr;
}

AccessorRec *Host::Impl::findAccessor(const std::string &name) const {
  for (const auto &a : accessors)
    if (a->name == name) return a.get();
  return nullptr;
}

namespace {

// The accessor a read goes to: live, offering that type, with its read function; else null.
AccessorRec *readable(Host::Impl &h, XPLMDataRef ref, XPLMDataTypeID type) {
  AccessorRec *a = h.findAccessor(ref);
  return a && a->live && (a->types & type) != 0 ? a : nullptr;
}

// The accessor a write goes to; a write to a read-only or orphaned one is ignored and counted.
AccessorRec *writable(Host::Impl &h, XPLMDataRef ref, XPLMDataTypeID type) {
  AccessorRec *a = h.findAccessor(ref);
  if (!a) return nullptr;
  if (!a->live || !a->writable) {
    ++a->ignoredWrites;
    return nullptr;
  }
  return (a->types & type) != 0 ? a : nullptr;
}

// Calls an accessor in its owner's context.
template <typename R, typename... P, typename... A>
R callAccessor(Host::Impl &h, const AccessorRec &a, R (*fn)(P...), A... args) {
  if (!fn) return R();
  PluginCall call(h, a.owner);
  return fn(args...);
}

std::string numberText(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.9g", v);
  return buf;
}

}  // namespace

std::vector<Host::PublishedDataRef> Host::publishedDataRefs() const {
  std::vector<PublishedDataRef> out;
  for (const auto &a : impl_->accessors)
    out.push_back({a->name, a->types, a->writable, a->owner, a->live, a->ignoredWrites});
  return out;
}

std::string Host::readPublished(const std::string &name) const {
  Impl &h = const_cast<Impl &>(*impl_);
  AccessorRec *a = h.findAccessor(name);
  if (!a) return "";
  if (!a->live) return "0";
  if (a->types & xplmType_Int) return std::to_string(callAccessor(h, *a, a->readInt, a->readRefcon));
  if (a->types & xplmType_Float) return numberText(callAccessor(h, *a, a->readFloat, a->readRefcon));
  if (a->types & xplmType_Double) return numberText(callAccessor(h, *a, a->readDouble, a->readRefcon));
  if (a->types & (xplmType_IntArray | xplmType_FloatArray)) {
    const bool ints = (a->types & xplmType_IntArray) != 0;
    const int n = ints ? callAccessor(h, *a, a->readIntArray, a->readRefcon, nullptr, 0, 0)
                       : callAccessor(h, *a, a->readFloatArray, a->readRefcon, nullptr, 0, 0);
    std::vector<int> vi(static_cast<size_t>(std::max(n, 0)));
    std::vector<float> vf(vi.size());
    const int got = ints ? callAccessor(h, *a, a->readIntArray, a->readRefcon, vi.data(), 0, n)
                         : callAccessor(h, *a, a->readFloatArray, a->readRefcon, vf.data(), 0, n);
    std::string text;
    for (int k = 0; k < std::min(got, n); ++k)
      text += (k ? "," : "") + (ints ? std::to_string(vi[k]) : numberText(vf[k]));
    return text;
  }
  if (a->types & xplmType_Data) {
    const int n = callAccessor(h, *a, a->readData, a->readRefcon, nullptr, 0, 0);
    std::vector<char> bytes(static_cast<size_t>(std::max(n, 0)) + 1, '\0');
    const int got = callAccessor(h, *a, a->readData, a->readRefcon, static_cast<void *>(bytes.data()), 0, n);
    return std::string(bytes.data(), strnlen(bytes.data(), static_cast<size_t>(std::clamp(got, 0, n))));
  }
  return "";
}

}  // namespace skyhost

// ---- the SDK's data access ----

using skyhost::cur;
using skyhost::defFromHandle;
using skyhost::isKnownHandle;

// A published name is found by any plugin, an orphaned one too (it reads 0).
XPLMDataRef XPLMFindDataRef(const char *inDataRefName) {
  if (!inDataRefName) return nullptr;
  auto &h = cur();
  h.lookups.emplace_back(inDataRefName);
  if (h.beforeStart()) return nullptr;
  if (const skyhost::DataRefDef *d = skyhost::findDataRefDef(inDataRefName))
    return const_cast<skyhost::DataRefDef *>(d);
  return h.findAccessor(std::string(inDataRefName));
}

int XPLMCanWriteDataRef(XPLMDataRef inDataRef) {
  if (isKnownHandle(inDataRef)) return defFromHandle(inDataRef)->writable ? 1 : 0;
  const skyhost::AccessorRec *a = cur().findAccessor(inDataRef);
  return a && a->live && a->writable ? 1 : 0;
}
int XPLMIsDataRefGood(XPLMDataRef inDataRef) {
  if (isKnownHandle(inDataRef)) return 1;
  const skyhost::AccessorRec *a = cur().findAccessor(inDataRef);
  return a && a->live ? 1 : 0;
}
XPLMDataTypeID XPLMGetDataRefTypes(XPLMDataRef inDataRef) {
  if (!isKnownHandle(inDataRef)) {
    const skyhost::AccessorRec *a = cur().findAccessor(inDataRef);
    return a && a->live ? a->types : xplmType_Unknown;
  }
  const XPLMDataTypeID type = defFromHandle(inDataRef)->type;
  // A double is served through the float calls as well.
  return type == xplmType_Double ? (xplmType_Double | xplmType_Float) : type;
}

// The host's own datarefs convert between the scalar types; a plugin's accessor answers only the
// types it registered (0 otherwise).
int XPLMGetDatai(XPLMDataRef inDataRef) {
  if (!isKnownHandle(inDataRef)) {
    auto &h = cur();
    skyhost::AccessorRec *a = skyhost::readable(h, inDataRef, xplmType_Int);
    return a ? skyhost::callAccessor(h, *a, a->readInt, a->readRefcon) : 0;
  }
  skyhost::DataValue *v = skyhost::valueOf(inDataRef);
  return v ? skyhost::safeToInt(skyhost::scalarOf(*defFromHandle(inDataRef), *v)) : 0;
}
void XPLMSetDatai(XPLMDataRef inDataRef, int inValue) {
  if (!isKnownHandle(inDataRef)) {
    auto &h = cur();
    if (skyhost::AccessorRec *a = skyhost::writable(h, inDataRef, xplmType_Int))
      skyhost::callAccessor(h, *a, a->writeInt, a->writeRefcon, inValue);
    return;
  }
  if (skyhost::DataValue *v = skyhost::writableValueOf(inDataRef))
    skyhost::setScalar(*defFromHandle(inDataRef), *v, inValue);
}
float XPLMGetDataf(XPLMDataRef inDataRef) {
  if (!isKnownHandle(inDataRef)) {
    auto &h = cur();
    skyhost::AccessorRec *a = skyhost::readable(h, inDataRef, xplmType_Float);
    return a ? skyhost::callAccessor(h, *a, a->readFloat, a->readRefcon) : 0.0f;
  }
  skyhost::DataValue *v = skyhost::valueOf(inDataRef);
  return v ? static_cast<float>(skyhost::scalarOf(*defFromHandle(inDataRef), *v)) : 0.0f;
}
void XPLMSetDataf(XPLMDataRef inDataRef, float inValue) {
  if (!isKnownHandle(inDataRef)) {
    auto &h = cur();
    if (skyhost::AccessorRec *a = skyhost::writable(h, inDataRef, xplmType_Float))
      skyhost::callAccessor(h, *a, a->writeFloat, a->writeRefcon, inValue);
    return;
  }
  if (!std::isfinite(inValue)) ++cur().nonFiniteWrites;
  if (skyhost::DataValue *v = skyhost::writableValueOf(inDataRef))
    skyhost::setScalar(*defFromHandle(inDataRef), *v, inValue);
}
double XPLMGetDatad(XPLMDataRef inDataRef) {
  if (!isKnownHandle(inDataRef)) {
    auto &h = cur();
    skyhost::AccessorRec *a = skyhost::readable(h, inDataRef, xplmType_Double);
    return a ? skyhost::callAccessor(h, *a, a->readDouble, a->readRefcon) : 0.0;
  }
  skyhost::DataValue *v = skyhost::valueOf(inDataRef);
  return v ? skyhost::scalarOf(*defFromHandle(inDataRef), *v) : 0.0;
}
void XPLMSetDatad(XPLMDataRef inDataRef, double inValue) {
  if (!isKnownHandle(inDataRef)) {
    auto &h = cur();
    if (skyhost::AccessorRec *a = skyhost::writable(h, inDataRef, xplmType_Double))
      skyhost::callAccessor(h, *a, a->writeDouble, a->writeRefcon, inValue);
    return;
  }
  if (!std::isfinite(inValue)) ++cur().nonFiniteWrites;
  if (skyhost::DataValue *v = skyhost::writableValueOf(inDataRef))
    skyhost::setScalar(*defFromHandle(inDataRef), *v, inValue);
}

int XPLMGetDatavi(XPLMDataRef inDataRef, int *outValues, int inOffset, int inMax) {
  if (!isKnownHandle(inDataRef)) {
    auto &h = cur();
    skyhost::AccessorRec *a = skyhost::readable(h, inDataRef, xplmType_IntArray);
    return a ? skyhost::callAccessor(h, *a, a->readIntArray, a->readRefcon, outValues, inOffset, inMax) : 0;
  }
  skyhost::DataValue *v = skyhost::valueOf(inDataRef);
  if (!v || defFromHandle(inDataRef)->type != xplmType_IntArray) return 0;
  return skyhost::getArray(v->vi, outValues, inOffset, inMax);
}
void XPLMSetDatavi(XPLMDataRef inDataRef, int *inValues, int inoffset, int inCount) {
  if (!isKnownHandle(inDataRef)) {
    auto &h = cur();
    if (skyhost::AccessorRec *a = skyhost::writable(h, inDataRef, xplmType_IntArray))
      skyhost::callAccessor(h, *a, a->writeIntArray, a->writeRefcon, inValues, inoffset, inCount);
    return;
  }
  skyhost::DataValue *v = skyhost::writableValueOf(inDataRef);
  if (!v || defFromHandle(inDataRef)->type != xplmType_IntArray) return;
  skyhost::setArray(v->vi, static_cast<const int *>(inValues), inoffset, inCount);
}
int XPLMGetDatavf(XPLMDataRef inDataRef, float *outValues, int inOffset, int inMax) {
  if (!isKnownHandle(inDataRef)) {
    auto &h = cur();
    skyhost::AccessorRec *a = skyhost::readable(h, inDataRef, xplmType_FloatArray);
    return a ? skyhost::callAccessor(h, *a, a->readFloatArray, a->readRefcon, outValues, inOffset, inMax) : 0;
  }
  skyhost::DataValue *v = skyhost::valueOf(inDataRef);
  if (!v || defFromHandle(inDataRef)->type != xplmType_FloatArray) return 0;
  return skyhost::getArray(v->vf, outValues, inOffset, inMax);
}
void XPLMSetDatavf(XPLMDataRef inDataRef, float *inValues, int inoffset, int inCount) {
  if (!isKnownHandle(inDataRef)) {
    auto &h = cur();
    if (skyhost::AccessorRec *a = skyhost::writable(h, inDataRef, xplmType_FloatArray))
      skyhost::callAccessor(h, *a, a->writeFloatArray, a->writeRefcon, inValues, inoffset, inCount);
    return;
  }
  for (int i = 0; inValues && i < inCount; ++i)
    if (!std::isfinite(inValues[i])) {
      ++cur().nonFiniteWrites;
      break;
    }
  skyhost::DataValue *v = skyhost::writableValueOf(inDataRef);
  if (!v || defFromHandle(inDataRef)->type != xplmType_FloatArray) return;
  skyhost::setArray(v->vf, static_cast<const float *>(inValues), inoffset, inCount);
}

// No dataref the host keeps values for holds raw bytes; a write to a read-only one still counts.
int XPLMGetDatab(XPLMDataRef inDataRef, void *outValue, int inOffset, int inMaxBytes) {
  if (isKnownHandle(inDataRef)) return 0;
  auto &h = cur();
  skyhost::AccessorRec *a = skyhost::readable(h, inDataRef, xplmType_Data);
  return a ? skyhost::callAccessor(h, *a, a->readData, a->readRefcon, outValue, inOffset, inMaxBytes) : 0;
}
void XPLMSetDatab(XPLMDataRef inDataRef, void *inValue, int inOffset, int inLength) {
  if (isKnownHandle(inDataRef)) {
    skyhost::writableValueOf(inDataRef);
    return;
  }
  auto &h = cur();
  if (skyhost::AccessorRec *a = skyhost::writable(h, inDataRef, xplmType_Data))
    skyhost::callAccessor(h, *a, a->writeData, a->writeRefcon, inValue, inOffset, inLength);
}

// A name the host publishes, or one a plugin holds, cannot be taken (null, and a debug line);
// an orphaned name is taken over with its handle, so readers that found it read again.
XPLMDataRef XPLMRegisterDataAccessor(const char *inDataName, XPLMDataTypeID inDataType, int inIsWritable,
                                     XPLMGetDatai_f inReadInt, XPLMSetDatai_f inWriteInt,
                                     XPLMGetDataf_f inReadFloat, XPLMSetDataf_f inWriteFloat,
                                     XPLMGetDatad_f inReadDouble, XPLMSetDatad_f inWriteDouble,
                                     XPLMGetDatavi_f inReadIntArray, XPLMSetDatavi_f inWriteIntArray,
                                     XPLMGetDatavf_f inReadFloatArray, XPLMSetDatavf_f inWriteFloatArray,
                                     XPLMGetDatab_f inReadData, XPLMSetDatab_f inWriteData,
                                     void *inReadRefcon, void *inWriteRefcon) {
  auto &h = cur();
  if (!inDataName || !*inDataName) return nullptr;
  const std::string name = inDataName;
  skyhost::AccessorRec *a = h.findAccessor(name);
  if (skyhost::findDataRefDef(name) || (a && a->live)) {
    h.debug.push_back("dataref " + name + " is registered already; not registered again");
    return nullptr;
  }
  if (!a) {
    h.accessors.push_back(std::make_unique<skyhost::AccessorRec>());
    a = h.accessors.back().get();
    a->name = name;
  }
  a->types = inDataType;
  a->writable = inIsWritable != 0;
  a->owner = h.caller();
  a->live = true;
  a->readInt = inReadInt;
  a->writeInt = inWriteInt;
  a->readFloat = inReadFloat;
  a->writeFloat = inWriteFloat;
  a->readDouble = inReadDouble;
  a->writeDouble = inWriteDouble;
  a->readIntArray = inReadIntArray;
  a->writeIntArray = inWriteIntArray;
  a->readFloatArray = inReadFloatArray;
  a->writeFloatArray = inWriteFloatArray;
  a->readData = inReadData;
  a->writeData = inWriteData;
  a->readRefcon = inReadRefcon;
  a->writeRefcon = inWriteRefcon;
  h.logRegistration("register dataref " + name);
  return a;
}

// Only the owner's call unregisters; the handle stays, orphaned.
void XPLMUnregisterDataAccessor(XPLMDataRef inDataRef) {
  auto &h = cur();
  skyhost::AccessorRec *a = h.findAccessor(inDataRef);
  if (!a) return;
  if (!a->live || a->owner != h.caller()) {
    h.logRegistration("unregister dataref " + a->name + " (not registered)");
    return;
  }
  skyhost::orphan(*a);
  h.logRegistration("unregister dataref " + a->name);
}
