#include <karnet/guid.h>

namespace karnet {

namespace {
template <typename T>
int three_way(T a, T b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}
}  // namespace

int guid::compare(const guid& a, const guid& b) {
  if (!a.value_ || !b.value_) return three_way(a.value_ != nullptr, b.value_ != nullptr);
  const GUID& x = *a.value_;
  const GUID& y = *b.value_;
  if (int c = three_way<uint32_t>(x.Data1, y.Data1)) return c;
  if (int c = three_way<uint16_t>(x.Data2, y.Data2)) return c;
  if (int c = three_way<uint16_t>(x.Data3, y.Data3)) return c;
  for (int i = 0; i < 8; ++i)
    if (int c = three_way<uint8_t>(x.Data4[i], y.Data4[i])) return c;
  return 0;
}

}  // namespace karnet
