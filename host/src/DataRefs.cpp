// The dataref registry: the names the host knows, their types, and each host's values.

#include <algorithm>
#include <cmath>
#include <cstdlib>
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
int Host::readOnlyWrites(const std::string &name) const {
  return impl_->readOnlyWrites[defOrThrow(name).index];
}
std::vector<std::pair<std::string, int>> Host::readOnlyWriteCounts() const {
  std::vector<std::pair<std::string, int>> out;
  for (const DataRefDef *d : dataRefTable())
    if (impl_->readOnlyWrites[d->index] > 0) out.emplace_back(d->name, impl_->readOnlyWrites[d->index]);
  return out;
}

void Host::Impl::derivePositions() {
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
  for (const auto &plane : *indices) {
    double world[3];
    self->localToWorld(values[plane.first[0]].d, values[plane.first[1]].d, values[plane.first[2]].d,
                       &world[0], &world[1], &world[2]);
    for (int k = 0; k < 3; ++k) values[plane.second[k]].d = world[k];
  }
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

// ---- the SDK's data access ----

using skyhost::cur;
using skyhost::defFromHandle;
using skyhost::isKnownHandle;

XPLMDataRef XPLMFindDataRef(const char *inDataRefName) {
  if (!inDataRefName) return nullptr;
  cur().lookups.emplace_back(inDataRefName);
  return const_cast<skyhost::DataRefDef *>(skyhost::findDataRefDef(inDataRefName));
}

int XPLMCanWriteDataRef(XPLMDataRef inDataRef) {
  return isKnownHandle(inDataRef) && defFromHandle(inDataRef)->writable ? 1 : 0;
}
int XPLMIsDataRefGood(XPLMDataRef inDataRef) {
  return isKnownHandle(inDataRef) ? 1 : 0;
}
XPLMDataTypeID XPLMGetDataRefTypes(XPLMDataRef inDataRef) {
  if (!isKnownHandle(inDataRef)) return xplmType_Unknown;
  const XPLMDataTypeID type = defFromHandle(inDataRef)->type;
  // A double is served through the float calls as well.
  return type == xplmType_Double ? (xplmType_Double | xplmType_Float) : type;
}

int XPLMGetDatai(XPLMDataRef inDataRef) {
  skyhost::DataValue *v = skyhost::valueOf(inDataRef);
  return v ? skyhost::safeToInt(skyhost::scalarOf(*defFromHandle(inDataRef), *v)) : 0;
}
void XPLMSetDatai(XPLMDataRef inDataRef, int inValue) {
  if (skyhost::DataValue *v = skyhost::writableValueOf(inDataRef))
    skyhost::setScalar(*defFromHandle(inDataRef), *v, inValue);
}
float XPLMGetDataf(XPLMDataRef inDataRef) {
  skyhost::DataValue *v = skyhost::valueOf(inDataRef);
  return v ? static_cast<float>(skyhost::scalarOf(*defFromHandle(inDataRef), *v)) : 0.0f;
}
void XPLMSetDataf(XPLMDataRef inDataRef, float inValue) {
  if (skyhost::DataValue *v = skyhost::writableValueOf(inDataRef))
    skyhost::setScalar(*defFromHandle(inDataRef), *v, inValue);
}
double XPLMGetDatad(XPLMDataRef inDataRef) {
  skyhost::DataValue *v = skyhost::valueOf(inDataRef);
  return v ? skyhost::scalarOf(*defFromHandle(inDataRef), *v) : 0.0;
}
void XPLMSetDatad(XPLMDataRef inDataRef, double inValue) {
  if (skyhost::DataValue *v = skyhost::writableValueOf(inDataRef))
    skyhost::setScalar(*defFromHandle(inDataRef), *v, inValue);
}

int XPLMGetDatavi(XPLMDataRef inDataRef, int *outValues, int inOffset, int inMax) {
  skyhost::DataValue *v = skyhost::valueOf(inDataRef);
  if (!v || defFromHandle(inDataRef)->type != xplmType_IntArray) return 0;
  return skyhost::getArray(v->vi, outValues, inOffset, inMax);
}
void XPLMSetDatavi(XPLMDataRef inDataRef, int *inValues, int inoffset, int inCount) {
  skyhost::DataValue *v = skyhost::writableValueOf(inDataRef);
  if (!v || defFromHandle(inDataRef)->type != xplmType_IntArray) return;
  skyhost::setArray(v->vi, static_cast<const int *>(inValues), inoffset, inCount);
}
int XPLMGetDatavf(XPLMDataRef inDataRef, float *outValues, int inOffset, int inMax) {
  skyhost::DataValue *v = skyhost::valueOf(inDataRef);
  if (!v || defFromHandle(inDataRef)->type != xplmType_FloatArray) return 0;
  return skyhost::getArray(v->vf, outValues, inOffset, inMax);
}
void XPLMSetDatavf(XPLMDataRef inDataRef, float *inValues, int inoffset, int inCount) {
  skyhost::DataValue *v = skyhost::writableValueOf(inDataRef);
  if (!v || defFromHandle(inDataRef)->type != xplmType_FloatArray) return;
  skyhost::setArray(v->vf, static_cast<const float *>(inValues), inoffset, inCount);
}

// No dataref the host keeps values for holds raw bytes; a write to a read-only one still counts.
int XPLMGetDatab(XPLMDataRef, void *, int, int) {
  return 0;
}
void XPLMSetDatab(XPLMDataRef inDataRef, void *, int, int) {
  skyhost::writableValueOf(inDataRef);
}
