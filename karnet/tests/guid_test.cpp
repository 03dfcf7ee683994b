#include <gtest/gtest.h>

#include <set>

#include <karnet/guid.h>

namespace {

using karnet::guid;

const GUID low = {0x7FFFFFFFu, 0xFFFF, 0xFFFF, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}};
const GUID high = {0x80000000u, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
const GUID data2_small = {0x80000000u, 0x0001, 0xFFFF, {0xFF, 0, 0, 0, 0, 0, 0, 0}};
const GUID data2_large = {0x80000000u, 0x8000, 0x0000, {0, 0, 0, 0, 0, 0, 0, 0}};
const GUID data3_large = {0x80000000u, 0x8000, 0x8000, {0, 0, 0, 0, 0, 0, 0, 0}};
const GUID data4_last = {0x80000000u, 0x8000, 0x8000, {0, 0, 0, 0, 0, 0, 0, 0x80}};
const GUID data4_first = {0x80000000u, 0x8000, 0x8000, {0x80, 0, 0, 0, 0, 0, 0, 0}};

TEST(Guid, OrdersUnsignedFieldByField) {
  const GUID* ordered[] = {&low, &high, &data2_small, &data2_large, &data3_large, &data4_last, &data4_first};
  for (size_t i = 0; i < std::size(ordered); ++i)
    for (size_t j = 0; j < std::size(ordered); ++j) {
      EXPECT_EQ(guid(ordered[i]) < guid(ordered[j]), i < j) << i << " " << j;
      EXPECT_EQ(guid(ordered[i]) == guid(ordered[j]), i == j) << i << " " << j;
    }
}

TEST(Guid, EqualValuesAtDifferentAddressesAreOneKey) {
  const GUID copy = data2_large;
  EXPECT_TRUE(guid(copy) == guid(data2_large));
  EXPECT_FALSE(guid(copy) < guid(data2_large));
  EXPECT_FALSE(guid(data2_large) < guid(copy));
}

TEST(Guid, UnsetSortsFirstWithAStrictWeakOrder) {
  const guid unset;
  EXPECT_FALSE(unset.is_set());
  EXPECT_FALSE(unset < unset);
  EXPECT_TRUE(unset == guid());
  EXPECT_TRUE(unset < guid(low));
  EXPECT_FALSE(guid(low) < unset);
  EXPECT_FALSE(unset == guid(low));

  // Keys of an index: the unset one and two set ones stay three distinct keys.
  std::set<guid> keys{guid(high), unset, guid(low), guid(), guid(high)};
  ASSERT_EQ(keys.size(), 3u);
  auto it = keys.begin();
  EXPECT_FALSE(it->is_set());
  EXPECT_EQ((++it)->get(), &low);
  EXPECT_EQ((++it)->get(), &high);
  EXPECT_EQ(keys.count(guid(high)), 1u);
  EXPECT_EQ(keys.count(guid()), 1u);
}

}  // namespace
