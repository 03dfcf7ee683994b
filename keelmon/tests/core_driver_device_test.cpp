// The acquisition driver's device access against the simulated driver: the capability query with every
// way a device can fail it, both completion styles of the driver, the request primitive's paths, and
// the attenuation record.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>

#include <standin/clock.h>

#include "core/device_file.h"
#include "core/driver_device.h"
#include "core_fixture.h"
#include "zephtest/wait.h"

namespace {

using keelmon::device_file;
using keelmon::driver_device;
using keelmon::steps;

const GUID outside = LUME_INTERFACE_GUID_INIT;

class DriverDevice : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { ASSERT_TRUE(driver.ready()); }
  // Plugs a device (pended completions when the case's parameter says so) and opens its file.
  void plug(acqsim_config c, bool synchronous = false) {
    c.pend = GetParam() ? 1 : 0;
    config = c;
    driver.plug(c);
    ASSERT_TRUE(standin::pnp::settle());
    ASSERT_EQ(file.open(outside, 0, synchronous), 0u);
  }
  // The record the driver accepted last, as 16-bit slots after the 16-byte head.
  std::vector<uint16_t> slots(const acqsim_set_record& r) {
    std::vector<uint16_t> v((r.size - 16) / 2);
    if (!v.empty()) std::memcpy(v.data(), r.bytes + 16, v.size() * 2);
    return v;
  }
  uint32_t word(const acqsim_set_record& r, int i) {
    uint32_t w;
    std::memcpy(&w, r.bytes + 4 * i, 4);
    return w;
  }

  core_test::acquisition_driver driver;
  acqsim_config config{};
  device_file file;
};

TEST_P(DriverDevice, CapabilityQueryKeepsEveryResult) {
  plug(core_test::default_config());
  driver_device dev(file, true);
  ASSERT_TRUE(dev.valid());
  EXPECT_EQ(dev.counts().input_signal, 8);
  EXPECT_EQ(dev.counts().input_process, 2);
  EXPECT_EQ(dev.counts().input_digital, 4);
  EXPECT_EQ(dev.counts().input_tacho, 1);
  EXPECT_EQ(dev.counts().output_signal, 2);
  EXPECT_EQ(dev.counts().output_digital, 3);
  EXPECT_EQ(dev.info().serial_number, 4711u);
  EXPECT_EQ(dev.info().device_version, 312u);
  EXPECT_EQ(dev.input_range_steps().first, -1000);
  EXPECT_EQ(dev.input_range_steps().last, 1000);
  EXPECT_EQ(dev.input_range_steps().step, 500);
  EXPECT_EQ(dev.attenuation_steps().first, 0);
  EXPECT_EQ(dev.attenuation_steps().last, 3000);
  EXPECT_EQ(dev.attenuation_steps().step, 1000);
  ASSERT_EQ(dev.input_list_32().count, 3u);
  EXPECT_EQ(dev.input_list_32().item(2), 3);
  ASSERT_EQ(dev.list_16().count, 2u);
  EXPECT_EQ(dev.list_16().item(1), -7);
  EXPECT_EQ(dev.list2_a().count, 1u);
  EXPECT_EQ(dev.list2_b().item(1), 21);
  ASSERT_TRUE(dev.has_list2_c_range());
  EXPECT_EQ(dev.list2_c_range().first, -20);
  EXPECT_EQ(dev.list2_c_range().last, 40);
  EXPECT_EQ(dev.list2_c_range().step, 20);
  EXPECT_EQ(dev.output_list_32().count, 4u);
  EXPECT_EQ(dev.output_list_32().item(3), 8);

  // A second query on a valid object asks the driver nothing.
  uint32_t asked = driver.requests(4711);
  EXPECT_TRUE(dev.query());
  EXPECT_EQ(driver.requests(4711), asked);
}

TEST_P(DriverDevice, RangeOfTheLastListIsOptional) {
  acqsim_config c = core_test::default_config();
  c.list2_c_range_size = 4;  // not the 6 bytes asked for
  plug(c);
  driver_device dev(file, true);
  EXPECT_TRUE(dev.valid());
  EXPECT_FALSE(dev.has_list2_c_range());

  // Without an item 3 or 4 the range is not asked for at all: 2 requests per list, 12 + 8 for the blocks.
  acqsim_config d = core_test::default_config(4712);
  d.list2_c = core_test::list_of({1, 2});
  d.pend = GetParam() ? 1 : 0;
  driver.plug(d);
  ASSERT_TRUE(standin::pnp::settle());
  device_file second;
  ASSERT_EQ(second.open(outside, 1, false), 0u);
  driver_device dev2(second, true);
  EXPECT_TRUE(dev2.valid());
  EXPECT_FALSE(dev2.has_list2_c_range());
  EXPECT_EQ(driver.requests(4712), 2u + 2u * 8u);
}

// Every request of the query can fail; any failure leaves nothing kept.
TEST_P(DriverDevice, AnyFailingRequestFailsTheWholeQuery) {
  const DWORD codes[] = {IOCTL_GET_CHANNEL_COUNTS,    IOCTL_GET_INFO_8,
                         IOCTL_GET_INPUT_RANGE_STEPS, IOCTL_GET_OUTPUT_ATTENUATION_STEPS,
                         IOCTL_GET_INPUT_LIST_32,     IOCTL_GET_LIST_16,
                         IOCTL_GET_LIST2_A,           IOCTL_GET_LIST2_B,
                         IOCTL_GET_LIST2_C,           IOCTL_GET_OUTPUT_LIST_32};
  plug(core_test::default_config());
  for (DWORD code : codes) {
    SCOPED_TRACE(code);
    acqsim_config c = config;
    c.fail_code = code;
    ASSERT_TRUE(driver.update(c));
    driver_device dev(file, true);
    EXPECT_FALSE(dev.valid());
    EXPECT_EQ(dev.counts().input_signal, 0);
    EXPECT_EQ(dev.info().serial_number, 0u);
    EXPECT_EQ(dev.attenuation_steps().last, 0);
    EXPECT_EQ(dev.input_list_32().count, 0u);
    EXPECT_EQ(dev.output_list_32().count, 0u);
  }
  ASSERT_TRUE(driver.update(config));
  EXPECT_TRUE(driver_device(file, true).valid());
}

TEST_P(DriverDevice, ListsWithNoItemsOrMissingBytesFailTheQuery) {
  plug(core_test::default_config());
  acqsim_config c = config;
  c.zero_count_code = IOCTL_GET_OUTPUT_ATTENUATION_STEPS;
  ASSERT_TRUE(driver.update(c));
  EXPECT_FALSE(driver_device(file, true).valid());

  c = config;
  c.short_items_code = IOCTL_GET_LIST2_B;
  ASSERT_TRUE(driver.update(c));
  EXPECT_FALSE(driver_device(file, true).valid());

  c = config;
  c.info_size = 6;  // the information block must be exactly 8 bytes
  ASSERT_TRUE(driver.update(c));
  EXPECT_FALSE(driver_device(file, true).valid());
}

TEST_P(DriverDevice, FileThatIsNotOpenFailsEveryRequest) {
  plug(core_test::default_config());
  file.close();
  driver_device dev(file, true);
  EXPECT_FALSE(dev.valid());
  DWORD size = 4;
  uint32_t out = 0;
  EXPECT_FALSE(dev.control(true, IOCTL_GET_CHANNEL_COUNTS, nullptr, 0, &out, &size, zephtest::deadline_ms));
  EXPECT_FALSE(dev.set_output_attenuation({1000, 1000}, 3, 0));
}

TEST_P(DriverDevice, SynchronousFileTakesSynchronousRequestsOnly) {
  plug(core_test::default_config(), true);
  driver_device dev(file, true);
  EXPECT_TRUE(dev.valid());
  EXPECT_EQ(dev.info().serial_number, 4711u);
  keelmon::channel_counts counts;
  DWORD size = sizeof counts;
  EXPECT_FALSE(dev.control(false, IOCTL_GET_CHANNEL_COUNTS, nullptr, 0, &counts, &size, zephtest::deadline_ms));
  EXPECT_EQ(dev.pending(), 0u);
  EXPECT_FALSE(dev.wait_oldest(&size, 0));
}

TEST_P(DriverDevice, QueuedRequestsCompleteOldestFirst) {
  plug(core_test::default_config());
  driver_device dev(file, false);
  keelmon::channel_counts counts;
  keelmon::info_block info;
  DWORD unused = sizeof counts;
  ASSERT_TRUE(dev.control(false, IOCTL_GET_CHANNEL_COUNTS, nullptr, 0, &counts, &unused, zephtest::deadline_ms, 11));
  unused = sizeof info;
  ASSERT_TRUE(dev.control(false, IOCTL_GET_INFO_8, nullptr, 0, &info, &unused, zephtest::deadline_ms, 22));
  // A request the driver refuses at once is not queued; a pended one fails when it is collected.
  uint32_t phase = 0x999;
  uint32_t out = 0;
  unused = 4;
  EXPECT_EQ(dev.control(false, IOCTL_GET_LIST_16, &phase, 4, &out, &unused, zephtest::deadline_ms, 33), GetParam());
  EXPECT_EQ(dev.pending(), GetParam() ? 3u : 2u);

  DWORD size = 0;
  ULONG_PTR cookie = 0;
  ASSERT_TRUE(dev.wait_oldest(&size, zephtest::deadline_ms, &cookie));
  EXPECT_EQ(cookie, 11u);
  EXPECT_EQ(size, 12u);
  EXPECT_EQ(counts.output_digital, 3);
  ASSERT_TRUE(dev.wait_oldest(&size, zephtest::deadline_ms, &cookie));
  EXPECT_EQ(cookie, 22u);
  EXPECT_EQ(size, 8u);
  EXPECT_EQ(info.device_version, 312u);
  if (GetParam()) {
    // A pended request that fails is reported when it is collected.
    EXPECT_FALSE(dev.wait_oldest(&size, zephtest::deadline_ms, &cookie));
    EXPECT_EQ(cookie, 33u);
  }
  EXPECT_EQ(dev.pending(), 0u);
  EXPECT_FALSE(dev.wait_oldest(&size, 0));
}

TEST_P(DriverDevice, AttenuationOnTheGridIsSentForEveryChannelInTheMask) {
  acqsim_config c = core_test::default_config();
  c.attenuation = core_test::list_of({0, 1000, 2000, 3000});
  plug(c);
  driver_device dev(file, true);
  ASSERT_TRUE(dev.valid());
  ASSERT_TRUE(dev.set_output_attenuation({2000, 2000}, 3, 0));
  acqsim_set_record r = driver.last_set(4711);
  EXPECT_EQ(r.sets, 1u);
  ASSERT_EQ(r.size, 2u * 2u + 16u);
  EXPECT_EQ(word(r, 0), 20u);
  EXPECT_EQ(word(r, 1), 0u);
  EXPECT_EQ(word(r, 2), 3u);
  EXPECT_EQ(word(r, 3), 0u);
  EXPECT_EQ(slots(r), (std::vector<uint16_t>{2, 2}));
}

TEST_P(DriverDevice, ValueOffTheGridDropsItsChannel) {
  plug(core_test::default_config());
  driver_device dev(file, true);
  ASSERT_TRUE(dev.set_output_attenuation({1500, 3000}, 3, 0));
  acqsim_set_record r = driver.last_set(4711);
  EXPECT_EQ(word(r, 2), 2u);
  EXPECT_EQ(slots(r), (std::vector<uint16_t>{0, 3}));

  // Nothing left to set: nothing is sent.
  EXPECT_FALSE(dev.set_output_attenuation({1500, 3001}, 3, 0));
  EXPECT_FALSE(dev.set_output_attenuation({1000, 1000}, 0, 0));
  EXPECT_FALSE(dev.set_output_attenuation({}, 3, 0));
  EXPECT_EQ(driver.last_set(4711).sets, 1u);

  // A driver that refuses the record is a failure.
  acqsim_config c = config;
  c.fail_code = IOCTL_SET_OUTPUT_ATTENUATION;
  ASSERT_TRUE(driver.update(c));
  EXPECT_FALSE(dev.set_output_attenuation({1000, 1000}, 3, 0));
}

TEST_P(DriverDevice, FourChannelsWithMaskThreeCarryTwoValues) {
  acqsim_config c = core_test::default_config();
  c.counts[4] = 4;
  c.attenuation = core_test::list_of({0, 3000, 1000});  // steps: first 0, last 1000, step 500
  plug(c);
  driver_device dev(file, true);
  ASSERT_TRUE(dev.valid());
  EXPECT_EQ(dev.attenuation_steps().first, 0);
  EXPECT_EQ(dev.attenuation_steps().last, 1000);
  EXPECT_EQ(dev.attenuation_steps().step, 500);
  ASSERT_TRUE(dev.set_output_attenuation({1000, 500, 1000, 1000}, 3, 0));
  acqsim_set_record r = driver.last_set(4711);
  ASSERT_EQ(r.size, 24u);
  EXPECT_EQ(word(r, 0), 24u);
  EXPECT_EQ(word(r, 2), 3u);
  EXPECT_EQ(slots(r), (std::vector<uint16_t>{2, 1, 0, 0}));
  // Fewer values than channels: a channel without a value is not set.
  ASSERT_TRUE(dev.set_output_attenuation({0}, 0xF, 0));
  r = driver.last_set(4711);
  EXPECT_EQ(word(r, 2), 1u);
  // Mask bits beyond the device's channels select nothing.
  ASSERT_TRUE(dev.set_output_attenuation({0, 0, 0, 0}, 0xFFFFFFFF, 0xFFFFFFFF));
  r = driver.last_set(4711);
  EXPECT_EQ(word(r, 2), 0xFu);
  EXPECT_EQ(word(r, 3), 0u);
}

INSTANTIATE_TEST_SUITE_P(Completion, DriverDevice, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& p) { return p.param ? "Pended" : "AtOnce"; });

TEST(Steps, ReducedFromTheList) {
  keelmon::value_list l;
  l.item_size = 2;
  auto set = [&](std::vector<int16_t> v) {
    l.count = static_cast<uint32_t>(v.size());
    l.items.assign(reinterpret_cast<uint8_t*>(v.data()), reinterpret_cast<uint8_t*>(v.data() + v.size()));
  };
  set({0, 1000, 2000, 3000});
  steps s = driver_device::to_steps(l);
  EXPECT_EQ(s.first, 0);
  EXPECT_EQ(s.last, 3000);
  EXPECT_EQ(s.step, 1000);
  set({-600});
  s = driver_device::to_steps(l);
  EXPECT_EQ(s.first, -600);
  EXPECT_EQ(s.last, -600);
  EXPECT_EQ(s.step, 0);
}

TEST(Steps, IndexOnTheGridOnly) {
  EXPECT_EQ(driver_device::step_index({0, 3000, 1000}, 2000), 2);
  EXPECT_EQ(driver_device::step_index({0, 3000, 1000}, 0), 0);
  EXPECT_EQ(driver_device::step_index({0, 3000, 1000}, 3000), 3);
  EXPECT_EQ(driver_device::step_index({0, 3000, 1000}, 2500), -1);
  EXPECT_EQ(driver_device::step_index({0, 3000, 1000}, 4000), -1);
  EXPECT_EQ(driver_device::step_index({0, 3000, 1000}, -1000), -1);
  EXPECT_EQ(driver_device::step_index({-3000, 0, 1500}, -1500), 1);
  // One value: only that value, index 0.
  EXPECT_EQ(driver_device::step_index({500, 500, 0}, 500), 0);
  EXPECT_EQ(driver_device::step_index({500, 500, 0}, 0), -1);
  // Step 0 over a range, or a descending range: nothing matches.
  EXPECT_EQ(driver_device::step_index({0, 3000, 0}, 0), -1);
  EXPECT_EQ(driver_device::step_index({3000, 0, -1000}, 2000), -1);
}

}  // namespace

namespace {

// A synchronous request whose wait ends first: the caller's buffer is never written afterwards, and the
// request's record lives until the driver is done with it.
TEST(DriverDeviceTimeout, LateCompletionNeverReachesTheCallersBuffer) {
  core_test::acquisition_driver driver;
  ASSERT_TRUE(driver.ready());
  acqsim_config c = core_test::default_config(808);
  driver.plug(c);
  ASSERT_TRUE(standin::pnp::settle());
  device_file file;
  ASSERT_EQ(file.open(outside, 0, false), 0u);
  driver_device dev(file, true);
  ASSERT_TRUE(dev.valid());

  c.pend = 2;  // held until released
  ASSERT_TRUE(driver.update(c));
  keelmon::channel_counts counts;
  counts = {0xEEEE, 0xEEEE, 0xEEEE, 0xEEEE, 0xEEEE, 0xEEEE};
  DWORD size = sizeof counts;
  EXPECT_FALSE(dev.control(true, IOCTL_GET_CHANNEL_COUNTS, nullptr, 0, &counts, &size, 20));
  c.pend = 0;
  ASSERT_TRUE(driver.update(c));  // the held request completes now
  // The next request collects the finished record; the late answer went to it, not to `counts`.
  keelmon::info_block info;
  size = sizeof info;
  EXPECT_TRUE(dev.control(true, IOCTL_GET_INFO_8, nullptr, 0, &info, &size, zephtest::deadline_ms));
  EXPECT_EQ(info.serial_number, 808u);
  EXPECT_EQ(counts.input_signal, 0xEEEE);
  EXPECT_EQ(counts.output_digital, 0xEEEE);

  // One still held when the object goes is cancelled or waited for, never freed under the driver: the
  // driver (which cannot cancel it) completes it only after the object's end, into the record left behind.
  c.pend = 2;
  ASSERT_TRUE(driver.update(c));
  size = sizeof counts;
  standin::clock::set_long_wait_scale(0.01);  // the destructor's 5 s wait for it gives up after 50 ms
  {
    driver_device held(file, false);
    EXPECT_FALSE(held.control(true, IOCTL_GET_CHANNEL_COUNTS, nullptr, 0, &counts, &size, 20));
  }
  standin::clock::reset();
  c.pend = 0;
  ASSERT_TRUE(driver.update(c));  // the held request completes now
  EXPECT_EQ(counts.input_signal, 0xEEEE);
  EXPECT_EQ(counts.output_digital, 0xEEEE);
}

}  // namespace
