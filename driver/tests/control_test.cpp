// The driver's requests from user mode against the simulated instrument: device control, modes, vendor
// requests, the notification channel, bulk framing, the isochronous stream, errors and removal.
#include "driver_fixture.h"

#include <standin/clock.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <thread>

namespace vt {
namespace {

using namespace zeph_wire;

std::vector<uint8_t> header(uint32_t word, uint16_t value, uint32_t words) {
  std::vector<uint8_t> h(HEADER_SIZE, 0xEE);
  header_view{h.data()}.write(word, value, words);
  return h;
}

struct pending {
  HANDLE h;
  OVERLAPPED o{};
  std::vector<uint8_t> buf;
  BOOL started = FALSE;
  DWORD error = 0;
  pending(HANDLE handle, size_t size) : h(handle), buf(size) { o.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
  ~pending() { CloseHandle(o.hEvent); }
  void read() {
    started = ReadFile(h, buf.data(), (DWORD)buf.size(), nullptr, &o);
    error = started ? 0 : GetLastError();
  }
  void write(const void *data, DWORD size) {
    started = WriteFile(h, data, size, nullptr, &o);
    error = started ? 0 : GetLastError();
  }
  void notify() {
    started = DeviceIoControl(h, IOCTL_READ_NOTIFICATION, nullptr, 0, buf.data(), (DWORD)buf.size(), nullptr, &o);
    error = started ? 0 : GetLastError();
  }
  bool done() const { return started || WaitForSingleObject(o.hEvent, 0) == WAIT_OBJECT_0; }
  io_result wait(DWORD ms = 20000) { return finish_overlapped(h, &o, started, error, ms); }
};

class Requests : public DriverTest {
 protected:
  HANDLE open_unit(simdev::instrument_config cfg = {}) {
    inst = plug(cfg);
    HANDLE h = keep(open_path(unit_path(0)));
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    return h;
  }
  DWORD mode(HANDLE h, uint8_t m, uint8_t p1 = 0, uint8_t p2 = 0) {
    uint8_t in[4] = {m, p1, p2, 9};
    return control(h, IOCTL_SELECT_MODE, in, 4, nullptr, 0).error;
  }
  io_result vendor(HANDLE h, DWORD code, uint32_t word, uint16_t value, std::vector<uint8_t> data, size_t reply_words,
                   std::vector<uint8_t> *reply = nullptr) {
    auto in = header(word, value, code == IOCTL_VENDOR_READ ? (uint32_t)reply_words : (uint32_t)(data.size() / 3));
    in.insert(in.end(), data.begin(), data.end());
    std::vector<uint8_t> out(code == IOCTL_VENDOR_READ ? HEADER_SIZE + 3 * reply_words : 0);
    io_result r = control(h, code, in.data(), (DWORD)in.size(), out.empty() ? nullptr : out.data(), (DWORD)out.size());
    if (reply) *reply = out;
    return r;
  }
  // Queues a bulk IN message of `size` bytes (2-byte status, then the flash from address 0).
  void queue_message(HANDLE h, uint32_t size) {
    std::vector<uint8_t> words(6);
    put24(words.data(), 0);
    put24(words.data() + 3, size - 2);
    ASSERT_EQ(vendor(h, IOCTL_VENDOR_WRITE, 0x000001, 3, words, 0).error, 0u);
  }
  // After the read channel's pipe word a new message is read whole.
  void expect_whole_read_after_pipe_word(HANDLE h, uint32_t size) {
    EXPECT_EQ(vendor(h, IOCTL_VENDOR_COMMAND, WORD_READ_PIPE_RESET, 0, {}, 0).error, 0u);
    expect_whole_read(h, size);
  }
  // A new message is read whole.
  void expect_whole_read(HANDLE h, uint32_t size) {
    queue_message(h, size);
    expect_queued_read(h, size);
  }
  // The message queued before is read whole.
  void expect_queued_read(HANDLE h, uint32_t size) {
    pending rd(h, size + 100);
    rd.read();
    io_result r = rd.wait();
    EXPECT_EQ(r.error, 0u);
    EXPECT_EQ(r.bytes, size);
    EXPECT_FALSE(simdev::check_pattern(simdev::seed::flash, 0, std::span(rd.buf.data() + 2, size - 2)));
  }
  // One thread's body: switches between modes 1 and 2, each change succeeding, and counts them.
  std::function<void()> mode_loop(HANDLE h, std::shared_ptr<std::atomic<int>> switches) {
    auto iso = std::make_shared<bool>(false);
    return [this, h, iso, n = switches] {
      *iso = !*iso;
      EXPECT_EQ(mode(h, *iso ? 2 : 1, *iso ? 1 : 0), 0u) << (*iso ? 2 : 1);
      ++*n;
    };
  }
  // Runs `call` in a thread of its own; when it has not returned by the deadline, unplugs the instrument
  // (which ends whatever it waits for) so the case fails instead of hanging. True when it returned in time.
  bool returns_in_time(const std::function<DWORD()> &call, DWORD *error) {
    std::atomic<bool> done{false};
    std::thread t([&] {
      *error = call();
      done = true;
    });
    bool finished = zephtest::wait_until([&] { return done.load(); });
    if (!finished) sb::unplug(inst.instance);
    zephtest::join(t);
    return finished;
  }
  // A record the instrument raises reaches a waiting notification request.
  void expect_notification(HANDLE h, uint16_t code) {
    pending n(h, NOTIFY_SIZE);
    n.notify();
    uint8_t d[1] = {7};
    inst.model->raise_event(code, d);
    io_result r = n.wait();
    EXPECT_EQ(r.error, 0u);
    EXPECT_EQ(notify_code(n.buf.data()), code);
  }
  // A measurement run until stopped.
  void start_run(HANDLE h) {
    std::vector<uint8_t> word(3);
    put24(word.data(), 0);
    ASSERT_EQ(vendor(h, IOCTL_VENDOR_WRITE, 0x000003, 1, word, 0).error, 0u);
  }
  // A frame of `size` in each direction arrives whole: a message queued and read, one written and taken.
  void expect_frames(HANDLE h, uint32_t size) {
    queue_message(h, size);
    expect_queued_frame_and_a_write(h, size);
  }
  // The same with the message already queued (no vendor request on the way).
  void expect_queued_frame_and_a_write(HANDLE h, uint32_t size) {
    expect_queued_read(h, size);
    inst.model->take_received_messages();
    std::vector<uint8_t> data(size);
    simdev::fill_pattern(0x57000000 + size, 0, data);
    pending w(h, 0);
    w.write(data.data(), size);
    EXPECT_EQ(w.wait().error, 0u);
    auto got = inst.model->take_received_messages();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(got[0] == data);
  }
  // Sends `word` while a vendor read is in flight, its completion held at the bus: the word waits its
  // turn, `meanwhile` runs, then the held read is let go and both end well.
  void word_behind_a_held_request(HANDLE h, uint32_t word, const std::function<void()> &meanwhile) {
    sb::hold_next_vendor_request(inst.instance);
    io_result held{};
    std::thread reader([&] { held = vendor(h, IOCTL_VENDOR_READ, 0x000004, 1, {}, 5); });
    std::atomic<bool> sent{false};
    DWORD error = 0;
    std::thread sender;
    if (zephtest::wait_until([&] { return sb::held_vendor_requests(inst.instance) == 1; })) {
      sender = std::thread([&] {
        error = vendor(h, IOCTL_VENDOR_COMMAND, word, 0, {}, 0).error;
        sent = true;
      });
      EXPECT_FALSE(zephtest::wait_until([&] { return sent.load(); }, std::chrono::milliseconds(200)))
          << "the word did not wait for the vendor request in flight";
      meanwhile();
    } else {
      ADD_FAILURE() << "the vendor read was not held";
    }
    sb::release_vendor_requests(inst.instance);
    zephtest::join(reader);
    if (sender.joinable()) zephtest::join(sender);
    EXPECT_EQ(held.error, 0u);
    EXPECT_EQ(error, 0u);
  }
  instrument inst;
};

TEST_F(Requests, DescriptorCodesCheckTheirBuffersAndReportWhatTheyReturn) {
  simdev::instrument_config c;
  c.product = "Ten chars!";  // 20 text bytes
  HANDLE h = open_unit(c);
  uint8_t b[400];
  io_result r = control(h, IOCTL_GET_BCD_DEVICE, nullptr, 0, b, 2);
  EXPECT_EQ(r.error, 0u);
  EXPECT_EQ(r.bytes, 2u);
  EXPECT_EQ(b[0] | b[1] << 8, 0x0105);
  EXPECT_EQ(control(h, IOCTL_GET_BCD_DEVICE, nullptr, 0, b, 4).error, (DWORD)ERROR_INVALID_PARAMETER);
  EXPECT_EQ(control(h, IOCTL_GET_PRODUCT_INDEX, nullptr, 0, b, 1).error, 0u);
  uint8_t product = b[0];
  EXPECT_EQ(product, 2);
  EXPECT_EQ(control(h, IOCTL_GET_MANUFACTURER_INDEX, nullptr, 0, b, 1).error, 0u);
  EXPECT_EQ(b[0], 1);
  EXPECT_EQ(control(h, IOCTL_GET_SERIAL_NUMBER_INDEX, nullptr, 0, b, 1).error, 0u);
  EXPECT_EQ(b[0], 3);
  EXPECT_EQ(control(h, IOCTL_GET_FIXED_INDEX, nullptr, 0, b, 1).error, 0u);
  EXPECT_EQ(b[0], 255);
  EXPECT_EQ(control(h, IOCTL_GET_FIXED_INDEX, b, 1, b, 1).error, (DWORD)ERROR_INVALID_PARAMETER);
  // String length, then the text.
  b[0] = product;
  EXPECT_EQ(control(h, IOCTL_GET_STRING_LENGTH, b, 1, b, 2).error, (DWORD)ERROR_INVALID_PARAMETER);
  r = control(h, IOCTL_GET_STRING_LENGTH, b, 1, b, 1);
  EXPECT_EQ(r.error, 0u);
  EXPECT_EQ(r.bytes, 1u);
  EXPECT_EQ(b[0], 20);
  for (DWORD out : {22u, 300u}) {
    memset(b, 0xCC, sizeof b);
    b[0] = product;
    r = control(h, IOCTL_GET_STRING, b, 1, b, out);
    EXPECT_EQ(r.error, 0u) << out;
    EXPECT_EQ(r.bytes, 22u) << "the bytes really returned, for an output of " << out;
    EXPECT_EQ(std::u16string((char16_t *)b, 10), u"Ten chars!");
    EXPECT_EQ(b[20] | b[21], 0);
  }
  // Too small: the text is cut, NUL-terminated inside the buffer, and the status says so.
  for (DWORD out : {12u, 1u, 0u}) {
    b[0] = product;
    r = control(h, IOCTL_GET_STRING, b, 1, out ? b : nullptr, out);
    EXPECT_EQ(r.error, out ? (DWORD)ERROR_INSUFFICIENT_BUFFER : 0u) << out;
    EXPECT_EQ(r.bytes, 0u);
  }
  EXPECT_EQ(control(h, IOCTL_UNSUPPORTED, nullptr, 0, nullptr, 0).error, (DWORD)ERROR_INVALID_FUNCTION);
  EXPECT_EQ(control(h, IOCTL_UNSUPPORTED + 4, nullptr, 0, nullptr, 0).error, (DWORD)ERROR_INVALID_PARAMETER);
}

TEST_F(Requests, AStringDescriptorShorterThanItsHeaderGivesNoText) {
  auto model = std::make_shared<simdev::instrument>(simdev::instrument_config{});
  HANDLE h = open_unit();
  simdev::request_match m;
  m.bRequest = 6;
  m.wValue = 0x0302;
  m.vendor_only = false;
  for (size_t keep : {0u, 1u}) {
    inst.model->faults().clear();
    inst.model->faults().short_reply(m, keep);
    uint8_t b[64];
    memset(b, 0xCC, sizeof b);
    b[0] = 2;
    io_result r = control(h, IOCTL_GET_STRING_LENGTH, b, 1, b, 1);
    EXPECT_EQ(r.error, 0u);
    EXPECT_EQ(b[0], 0) << keep;
    memset(b, 0xCC, sizeof b);
    b[0] = 2;
    r = control(h, IOCTL_GET_STRING, b, 1, b, 64);
    EXPECT_EQ(r.error, 0u);
    EXPECT_EQ(r.bytes, 2u);
    EXPECT_EQ(b[0] | b[1], 0);
  }
  // The descriptor claims more than arrived: only what arrived is copied, nothing stale.
  inst.model->faults().clear();
  inst.model->faults().short_reply(m, 6);
  uint8_t b[64];
  memset(b, 0xCC, sizeof b);
  b[0] = 2;
  io_result r = control(h, IOCTL_GET_STRING, b, 1, b, 64);
  EXPECT_EQ(r.error, 0u);
  EXPECT_EQ(r.bytes, 6u);
  EXPECT_EQ(std::u16string((char16_t *)b, 2), u"Ze");
  EXPECT_EQ(b[4] | b[5], 0);
  inst.model->faults().clear();
}

TEST_F(Requests, ModeSelectionChecksItsInputAndTheConfigurations) {
  simdev::instrument_config c;
  c.configurations = 1;
  HANDLE h = open_unit(c);
  uint8_t in[4] = {1, 0, 0, 0};
  EXPECT_EQ(control(h, IOCTL_SELECT_MODE, in, 3, nullptr, 0).error, (DWORD)ERROR_INVALID_PARAMETER);
  uint8_t out[4];
  EXPECT_EQ(control(h, IOCTL_SELECT_MODE, in, 4, out, 4).error, (DWORD)ERROR_INVALID_PARAMETER);
  // Vendor requests, reads and writes are refused in mode 0.
  EXPECT_EQ(vendor(h, IOCTL_VENDOR_COMMAND, 0x000003, 3, {}, 0).error, (DWORD)ERROR_INVALID_PARAMETER);
  pending rd(h, 64);
  rd.read();
  EXPECT_EQ(rd.wait().error, (DWORD)ERROR_INVALID_PARAMETER);
  EXPECT_EQ(mode(h, 2, 1), (DWORD)ERROR_INVALID_FUNCTION);  // no "Isochrone" configuration
  EXPECT_EQ(mode(h, 3), (DWORD)ERROR_INVALID_FUNCTION);
  EXPECT_EQ(mode(h, 1), 0u);
  EXPECT_EQ(inst.model->configuration(), 1);
  EXPECT_EQ(mode(h, 0), 0u);
}

// An instrument whose descriptors list "Isochrone" (value 2) before "Bulk" (value 1): each mode selects the
// configuration that carries its value, wherever it is listed.
TEST_F(Requests, ConfigurationsAreSelectedByTheirValueNotTheirPlace) {
  simdev::instrument_config c;
  c.isochrone_listed_first = true;
  HANDLE h = open_unit(c);
  EXPECT_EQ(inst.model->configuration(), 1);  // the start selects value 1
  ASSERT_EQ(mode(h, 1), 0u);
  EXPECT_EQ(inst.model->configuration(), 1);
  queue_message(h, 77);
  pending rd(h, 100);
  rd.read();
  EXPECT_EQ(rd.wait().bytes, 77u);
  ASSERT_EQ(mode(h, 2, 2), 0u);
  EXPECT_EQ(inst.model->configuration(), 2);
  EXPECT_EQ(inst.model->alternate_setting(1), 2);
  start_run(h);
  pending iso(h, 960);
  iso.read();
  io_result r = iso.wait();
  EXPECT_EQ(r.error, 0u);
  EXPECT_EQ(r.bytes, 960u);
  EXPECT_EQ(vendor(h, IOCTL_VENDOR_COMMAND, 0x000003, 3, {}, 0).error, 0u);
}

TEST_F(Requests, VendorRequestsAreCheckedAndCarryTheirData) {
  HANDLE h = open_unit();
  ASSERT_EQ(mode(h, 1), 0u);
  std::vector<uint8_t> words(36);
  for (size_t i = 0; i < words.size(); ++i) words[i] = (uint8_t)(i * 7 + 1);
  EXPECT_EQ(vendor(h, IOCTL_VENDOR_WRITE, 0x000002, 1, words, 0).error, 0u);
  std::vector<uint8_t> reply;
  io_result r = vendor(h, IOCTL_VENDOR_READ, 0x000002, 3, {}, 24, &reply);
  EXPECT_EQ(r.error, 0u);
  EXPECT_EQ(r.bytes, HEADER_SIZE + 72);
  EXPECT_TRUE(std::equal(words.begin(), words.end(), reply.begin() + HEADER_SIZE));
  // A short reply: Information is the header and the bytes that came.
  r = vendor(h, IOCTL_VENDOR_READ, 0x000004, 1, {}, 10, &reply);
  EXPECT_EQ(r.error, 0u);
  EXPECT_EQ(r.bytes, HEADER_SIZE + 15);
  // A command with data, a write without, too much data: refused before the bus.
  auto bad = header(0x000003, 3, 1);
  bad.resize(HEADER_SIZE + 3);
  EXPECT_EQ(control(h, IOCTL_VENDOR_COMMAND, bad.data(), (DWORD)bad.size(), nullptr, 0).error,
            (DWORD)ERROR_INVALID_PARAMETER);
  EXPECT_EQ(vendor(h, IOCTL_VENDOR_WRITE, 0x000002, 1, {}, 0).error, (DWORD)ERROR_INVALID_PARAMETER);
  auto big = header(0x000002, 2, 0);
  put16(big.data() + 6, 385);
  big.resize(HEADER_SIZE + 385);
  EXPECT_EQ(control(h, IOCTL_VENDOR_WRITE, big.data(), (DWORD)big.size(), nullptr, 0).error,
            (DWORD)ERROR_INVALID_PARAMETER);
  // 384 bytes are sent (the instrument refuses this shape with a stall).
  EXPECT_EQ(vendor(h, IOCTL_VENDOR_WRITE, 0x000002, 2, std::vector<uint8_t>(384), 0).error, (DWORD)ERROR_IO_DEVICE);
  uint8_t small[4];
  auto cmd = header(0x000003, 3, 0);
  EXPECT_EQ(control(h, IOCTL_VENDOR_COMMAND, cmd.data(), 8, small, 4).error, (DWORD)ERROR_INVALID_PARAMETER);
  EXPECT_EQ(control(h, IOCTL_VENDOR_COMMAND, cmd.data(), 7, nullptr, 0).error, (DWORD)ERROR_INVALID_PARAMETER);
  EXPECT_EQ(control(h, IOCTL_VENDOR_COMMAND, cmd.data(), 8, nullptr, 0).error, 0u);
  // USB failures as the caller sees them.
  inst.model->faults().usb_error(0, simdev::usb_status::not_responding, 1);
  EXPECT_EQ(vendor(h, IOCTL_VENDOR_COMMAND, 0x000003, 3, {}, 0).error, (DWORD)ERROR_SEM_TIMEOUT);
  inst.model->faults().usb_error(0, simdev::usb_status::data_error, 1);
  EXPECT_EQ(vendor(h, IOCTL_VENDOR_COMMAND, 0x000003, 3, {}, 0).error, (DWORD)ERROR_CRC);
}

// Every request arrives, and the instrument's default pipe sees one at a time (the vendor gate): each
// control transfer takes a while on the wire here, so requests that overlapped would show.
TEST_F(Requests, VendorRequestsFromSeveralThreadsAllArrive) {
  HANDLE h = open_unit();
  ASSERT_EQ(mode(h, 1), 0u);
  inst.model->faults().control_duration_us(2000);
  inst.usb->reset_control_count();
  std::atomic<int> ok{0}, failed{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 15; ++i) {
        std::vector<uint8_t> w(6);
        put24(w.data(), (uint32_t)(t * 100 + i));
        put24(w.data() + 3, 0);
        // Memory writes to a page of their own, then read back.
        if (vendor(h, IOCTL_VENDOR_WRITE, 0x010012, (uint16_t)(t * 2), w, 0).error == 0)
          ok++;
        else
          failed++;
      }
    });
  for (auto &t : threads) zephtest::join(t);
  EXPECT_EQ(failed, 0);
  EXPECT_EQ(ok, 90);
  EXPECT_EQ(inst.usb->max_concurrent_control(), 1u);
  inst.model->faults().control_duration_us(0);
}

TEST_F(Requests, NotificationsGoOneRecordPerRequest) {
  HANDLE h = open_unit();
  pending early(h, NOTIFY_SIZE);
  early.notify();
  EXPECT_EQ(early.wait().error, (DWORD)ERROR_INVALID_PARAMETER);  // mode 0
  ASSERT_EQ(mode(h, 1), 0u);
  uint8_t big[65];
  EXPECT_EQ(control(h, IOCTL_READ_NOTIFICATION, nullptr, 0, big, 65).error, (DWORD)ERROR_INVALID_PARAMETER);
  // Nobody waits: the record is lost.
  uint8_t data[2] = {0x11, 0x22};
  inst.model->raise_event(0x0100, data);
  ASSERT_TRUE(zephtest::wait_until([&] { return inst.model->pending_events() == 0; }));
  ASSERT_TRUE(sk::settle());
  sk::flush_dpcs();
  std::vector<std::unique_ptr<pending>> reqs;
  for (int i = 0; i < 3; ++i) {
    reqs.push_back(std::make_unique<pending>(h, NOTIFY_SIZE));
    reqs.back()->notify();
  }
  EXPECT_FALSE(reqs[0]->done());
  for (uint16_t code : {0x0201, 0x0202, 0x0203}) inst.model->raise_event(code, data);
  for (int i = 0; i < 3; ++i) {
    io_result r = reqs[i]->wait();
    ASSERT_EQ(r.error, 0u);
    EXPECT_EQ(r.bytes, NOTIFY_SIZE);
    EXPECT_EQ(notify_code(reqs[i]->buf.data()), 0x0201 + i);
    EXPECT_EQ(reqs[i]->buf[NOTIFY_DATA_OFFSET], 0x11);
    EXPECT_EQ(reqs[i]->buf[63], 0);
  }
  // Waiting requests end with the mode.
  pending last(h, NOTIFY_SIZE);
  last.notify();
  EXPECT_EQ(mode(h, 0), 0u);
  EXPECT_EQ(last.wait().error, (DWORD)ERROR_OPERATION_ABORTED);
}

TEST_F(Requests, CancellingNotificationsWhileRecordsArrive) {
  HANDLE h = open_unit();
  ASSERT_EQ(mode(h, 1), 0u);
  std::atomic<bool> stop{false};
  std::thread raiser([&] {
    uint8_t d[1] = {1};
    while (!stop) {
      inst.model->raise_event(0x0400, d);
      std::this_thread::yield();
    }
  });
  int delivered = 0, aborted = 0;
  for (int round = 0; round < 30; ++round) {
    std::vector<std::unique_ptr<pending>> reqs;
    for (int i = 0; i < 4; ++i) {
      reqs.push_back(std::make_unique<pending>(h, NOTIFY_SIZE));
      reqs.back()->notify();
    }
    CancelIo(h);
    for (auto &r : reqs) {
      io_result x = r->wait();
      if (x.error == 0) {
        ++delivered;
        EXPECT_EQ(notify_code(r->buf.data()), 0x0400);
      } else {
        EXPECT_EQ(x.error, (DWORD)ERROR_OPERATION_ABORTED);
        ++aborted;
      }
    }
  }
  stop = true;
  zephtest::join(raiser);
  EXPECT_EQ(delivered + aborted, 120);
}

TEST_F(Requests, BulkWritesAreFramedWhateverTheirSize) {
  HANDLE h = open_unit();
  ASSERT_EQ(mode(h, 1), 0u);
  inst.model->take_received_messages();
  for (uint32_t size : {0u, 1u, 63u, 64u, 65u, 1023u, 1024u, 1025u, 3u * 1024 * 1024 + 7}) {
    std::vector<uint8_t> data(size);
    simdev::fill_pattern(0x57000000 + size, 0, data);
    pending w(h, 0);
    w.write(data.data(), size);
    io_result r = w.wait(zephtest::deadline_ms);
    ASSERT_EQ(r.error, 0u) << size;
    EXPECT_EQ(r.bytes, size);
    auto got = inst.model->take_received_messages();
    if (size == 0) {
      EXPECT_TRUE(got.empty());
      continue;
    }
    ASSERT_EQ(got.size(), 1u) << size;
    EXPECT_TRUE(got[0] == data) << size;
  }
}

TEST_F(Requests, BulkReadsFollowTheLengthTheDeviceAnnounces) {
  HANDLE h = open_unit();
  ASSERT_EQ(mode(h, 1), 0u);
  for (uint32_t size : {2u, 63u, 64u, 65u, 1023u, 1024u, 1025u, 65538u}) {
    queue_message(h, size);
    pending rd(h, size + 100);
    rd.read();
    io_result r = rd.wait();
    ASSERT_EQ(r.error, 0u) << size;
    ASSERT_EQ(r.bytes, size);
    EXPECT_EQ(rd.buf[0] | rd.buf[1] << 8, 1);
    EXPECT_FALSE(simdev::check_pattern(simdev::seed::flash, 0, std::span(rd.buf.data() + 2, size - 2))) << size;
  }
  // Announced more than the read takes: the read fails, later reads too, until the pipe word.
  queue_message(h, 150);
  pending small(h, 100);
  small.read();
  EXPECT_EQ(small.wait().error, (DWORD)ERROR_INSUFFICIENT_BUFFER);
  pending after(h, 400);
  after.read();
  EXPECT_EQ(after.wait().error, (DWORD)ERROR_GEN_FAILURE);
  expect_whole_read_after_pipe_word(h, 150);
}

// The chunk size comes from the pipe: a transfer size below one packet still moves a write (in chunks of
// that size), and a pipe that claims packets of 0 bytes is refused, never divided by.
TEST_F(Requests, BulkChunksOfPipesWithOddSizes) {
  sb::set_default_max_transfer_size(32);  // below the 64-byte packets
  HANDLE h = open_unit();
  ASSERT_EQ(mode(h, 1), 0u);
  inst.model->take_received_messages();
  std::vector<uint8_t> data(1000);
  simdev::fill_pattern(0x57000000, 0, data);
  pending w(h, 0);
  w.write(data.data(), (DWORD)data.size());
  io_result r = w.wait();
  EXPECT_EQ(r.error, 0u);
  EXPECT_EQ(r.bytes, 1000u);
  auto got = inst.model->take_received_messages();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_TRUE(got[0] == data);
  close(h);
  sb::unplug(inst.instance);
  ASSERT_TRUE(sp::settle());
  sb::set_default_max_transfer_size(4096);
  simdev::instrument_config zero;
  zero.serial_number = "ZEROPACKET";
  zero.usb_bulk_max_packet = 0;
  inst = plug(zero);
  ASSERT_EQ(sp::device_state(inst.instance), "started");
  h = keep(open_path(unit_path(0)));
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_EQ(mode(h, 1), 0u);
  pending w0(h, 0);
  w0.write(data.data(), 10);
  EXPECT_EQ(w0.wait().error, (DWORD)ERROR_BAD_COMMAND);
  pending r0(h, 100);
  r0.read();
  EXPECT_EQ(r0.wait().error, (DWORD)ERROR_BAD_COMMAND);
}

// A read stage lost on the wire, on the length word or inside the data, fails the read with its error
// after a single loss: the stage is never sent again (the host may hold a packet the device still
// holds). The channel refuses reads until the read pipe word; then a new message is read whole, and
// nothing of the lost one comes after it.
TEST_F(Requests, BulkStagesLostOnTheWireFailTheReadUntilThePipeWord) {
  HANDLE h = open_unit();
  ASSERT_EQ(mode(h, 1), 0u);
  for (auto [lost, error] : {std::pair{simdev::usb_status::data_error, (DWORD)ERROR_CRC},
                             std::pair{simdev::usb_status::not_responding, (DWORD)ERROR_SEM_TIMEOUT}}) {
    for (unsigned stage : {0u, 1u, 2u}) {  // the length word, the first and the second data stage
      queue_message(h, 20000);
      inst.model->faults().usb_error_after_packets(stage ? 5 : 0);
      inst.model->faults().usb_error(0x81, lost, 1, stage);
      pending rd(h, 20000);
      rd.read();
      EXPECT_EQ(rd.wait().error, error) << stage;
      EXPECT_EQ(inst.model->faults().injected().usb_errors, 1u);
      inst.model->faults().clear();
      pending refused(h, 400);
      refused.read();
      EXPECT_EQ(refused.wait().error, (DWORD)ERROR_GEN_FAILURE) << stage;
      expect_whole_read_after_pipe_word(h, 300);
      EXPECT_EQ(inst.model->bulk_in_pending_messages(), 0u);
    }
  }
}

// A lost handshake on a bulk IN packet: the instrument sends the packet again with the same toggle, and
// the simulated bus drops it as a host controller does. Every read arrives whole, each byte once. This
// shows the stand-in's toggle check under the driver's framed reads; the driver takes no part in it (its
// part is the next case).
TEST_F(Requests, TheBusDropsBulkInPacketsSentAgainAfterALostHandshake) {
  HANDLE h = open_unit();
  ASSERT_EQ(mode(h, 1), 0u);
  inst.model->faults().seed(5);
  inst.model->faults().lost_in_handshake_probability(0x81, 0.2);
  for (uint32_t size : {2u, 64u, 65u, 200u, 4097u, 20000u}) expect_whole_read(h, size);
  EXPECT_GT(inst.model->faults().injected().lost_in_handshakes, 10u);
}

// The driver's part when every bulk IN handshake is lost: each read leaves the instrument holding the
// last packet it sent (the host has it), and the host's toggle at DATA1 (three packets). The read pipe
// word, a mode change and a reset each start both ends of the pipe again together, the instrument
// dropping what it held, so the next frame arrives whole, once.
TEST_F(Requests, BulkInTogglesStartAgainOnBothEndsAfterLostHandshakes) {
  HANDLE h = open_unit();
  ASSERT_EQ(mode(h, 1), 0u);
  inst.model->faults().lost_in_handshake_probability(0x81, 1.0);
  const std::pair<const char *, std::function<void()>> restarts[] = {
      {"pipe word", [&] { EXPECT_EQ(vendor(h, IOCTL_VENDOR_COMMAND, WORD_READ_PIPE_RESET, 0, {}, 0).error, 0u); }},
      {"mode change", [&] { EXPECT_EQ(mode(h, 1), 0u); }},
      {"reset", [&] { EXPECT_EQ(control(h, IOCTL_RESET_DEVICE, nullptr, 0, nullptr, 0).error, 0u); }}};
  for (auto &[name, restart] : restarts) {
    SCOPED_TRACE(name);
    expect_whole_read(h, 100);
    restart();
    expect_whole_read(h, 300);
  }
  EXPECT_GT(inst.model->faults().injected().lost_in_handshakes, 10u);
}

// A toggle mismatch on a read stage means the host already has the packet the device sent again: the
// stage is not sent again (after the reset the packet would come twice); the read fails, and after the
// read pipe word the next read is whole.
TEST_F(Requests, BulkReadStageWithAToggleMismatchFailsTheRead) {
  HANDLE h = open_unit();
  ASSERT_EQ(mode(h, 1), 0u);
  // 20032: with a packet taken twice the frame would still end on a packet boundary, so nothing else
  // would show it.
  queue_message(h, 20032);
  inst.model->faults().usb_error_after_packets(3);
  inst.model->faults().usb_error(0x81, simdev::usb_status::toggle_mismatch, 1, 1);  // the first data stage
  pending rd(h, 20032);
  rd.read();
  EXPECT_EQ(rd.wait().error, (DWORD)ERROR_CRC);
  EXPECT_EQ(inst.model->faults().injected().usb_errors, 1u);
  inst.model->faults().clear();
  expect_whole_read_after_pipe_word(h, 300);
}

// A write stage failing on the wire is not sent again, whether the data or only the device's handshake was
// lost: the write fails, the instrument never takes a message other than one written, and after the write
// pipe word the next write goes on. (With a lost handshake on the last stage the instrument has the whole
// message although the write failed: the host cannot tell.)
TEST_F(Requests, BulkWriteStagesLostOnTheWireFailTheWrite) {
  HANDLE h = open_unit();
  ASSERT_EQ(mode(h, 1), 0u);
  for (bool handshake : {false, true}) {
    inst.model->take_received_messages();
    inst.model->faults().clear();
    inst.model->faults().lost_handshakes(handshake);
    inst.model->faults().seed(3);
    inst.model->faults().usb_error_probability(0x01, simdev::usb_status::data_error, 0.1);
    unsigned failed = 0, whole = 0;
    for (uint32_t i = 0; i < 10; ++i) {
      std::vector<uint8_t> data(20000);
      simdev::fill_pattern(0x57000000 + i, 0, data);
      pending w(h, 0);
      w.write(data.data(), (DWORD)data.size());
      io_result r = w.wait();
      auto got = inst.model->take_received_messages();
      ASSERT_LE(got.size(), 1u) << handshake << " " << i;
      if (!got.empty()) {
        EXPECT_TRUE(got[0] == data) << handshake << " " << i;
      }
      if (r.error == 0) {
        EXPECT_EQ(got.size(), 1u) << handshake << " " << i;
        ++whole;
        continue;
      }
      EXPECT_EQ(r.error, (DWORD)ERROR_CRC) << handshake << " " << i;
      ++failed;
      EXPECT_EQ(vendor(h, IOCTL_VENDOR_COMMAND, WORD_WRITE_PIPE_RESET, 0, {}, 0).error, 0u);
    }
    EXPECT_GT(failed, 0u) << handshake;
    EXPECT_GT(whole, 0u) << handshake;
  }
  inst.model->faults().clear();
  std::vector<uint8_t> data(300, 0x5A);
  pending w(h, 0);
  w.write(data.data(), (DWORD)data.size());
  EXPECT_EQ(w.wait().error, 0u);
  auto got = inst.model->take_received_messages();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_TRUE(got[0] == data);
}

TEST_F(Requests, BulkErrorsMidTransferReachTheCaller) {
  HANDLE h = open_unit();
  ASSERT_EQ(mode(h, 1), 0u);
  struct fault {
    simdev::usb_status status;
    DWORD error;
  };
  for (fault f : {fault{simdev::usb_status::stall, (DWORD)ERROR_OPERATION_ABORTED},
                  fault{simdev::usb_status::data_error, (DWORD)ERROR_CRC},
                  fault{simdev::usb_status::not_responding, (DWORD)ERROR_SEM_TIMEOUT}}) {
    queue_message(h, 5000);
    inst.model->faults().usb_error(0x81, f.status, 1);
    pending rd(h, 6000);
    rd.read();
    io_result r = rd.wait();
    EXPECT_EQ(r.error, f.error);
    inst.model->faults().clear();
    // The channel refuses transfers until its pipe word resets both sides.
    pending next(h, 400);
    next.read();
    EXPECT_EQ(next.wait().error, (DWORD)ERROR_GEN_FAILURE);
    EXPECT_EQ(vendor(h, IOCTL_VENDOR_COMMAND, WORD_READ_PIPE_RESET, 0, {}, 0).error, 0u);
  }
  expect_whole_read(h, 300);
}

// A data stage that ended on the wire reaches the driver only after a mode change has begun to stop the
// channel: the read, cut off mid-frame, fails; it never reports success with part of its frame.
TEST_F(Requests, AFrameCutOffByAStopFailsTheRead) {
  HANDLE h = open_unit();
  ASSERT_EQ(mode(h, 1), 0u);
  queue_message(h, 20000);
  sb::hold_completion_until_abort(inst.instance, 0x81, 1);  // the length word goes; the first data stage waits
  pending rd(h, 20000);
  rd.read();
  ASSERT_TRUE(zephtest::wait_until([&] { return sb::held_completions(inst.instance) == 1; }));
  EXPECT_FALSE(rd.done());
  ASSERT_EQ(mode(h, 0), 0u);
  io_result r = rd.wait();
  EXPECT_EQ(r.error, (DWORD)ERROR_OPERATION_ABORTED);
  // The stop reset the pipe on both sides: the next frame is read whole.
  ASSERT_EQ(mode(h, 1), 0u);
  queue_message(h, 300);
  pending next(h, 400);
  next.read();
  r = next.wait();
  EXPECT_EQ(r.error, 0u);
  EXPECT_EQ(r.bytes, 300u);
  EXPECT_FALSE(simdev::check_pattern(simdev::seed::flash, 0, std::span(next.buf.data() + 2, 298)));
}

TEST_F(Requests, SurpriseRemovalInTheMiddleOfABulkRead) {
  HANDLE h = open_unit();
  ASSERT_EQ(mode(h, 1), 0u);
  queue_message(h, 20000);
  inst.model->faults().remove_after_bulk_in(5000);
  pending rd(h, 30000);
  rd.read();
  EXPECT_EQ(rd.wait().error, (DWORD)ERROR_DEVICE_REMOVED);
  pending again(h, 100);
  again.read();
  EXPECT_NE(again.wait().error, 0u);
  ASSERT_TRUE(sp::settle());
}

TEST_F(Requests, IsochronousStreamIntoReads) {
  HANDLE h = open_unit();
  ASSERT_EQ(mode(h, 2, 0), 0u);
  pending idle(h, 100);
  idle.read();
  EXPECT_EQ(idle.wait().error, (DWORD)ERROR_OPERATION_ABORTED);  // interface 1 at setting 0
  ASSERT_EQ(mode(h, 2, 1), 0u);
  EXPECT_EQ(inst.model->alternate_setting(1), 1);
  pending w(h, 0);
  uint8_t x = 0;
  w.write(&x, 1);
  EXPECT_EQ(w.wait().error, (DWORD)ERROR_INVALID_PARAMETER);
  // No run: empty packets, the read waits; the mode ends it.
  pending waiting(h, 100);
  waiting.read();
  EXPECT_FALSE(waiting.done());
  ASSERT_EQ(mode(h, 2, 1), 0u);
  EXPECT_EQ(waiting.wait().error, (DWORD)ERROR_OPERATION_ABORTED);
  start_run(h);  // measure until stopped
  for (int i = 0; i < 3; ++i) {
    pending rd(h, 1000);
    rd.read();
    io_result r = rd.wait();
    ASSERT_EQ(r.error, 0u);
    ASSERT_EQ(r.bytes, 1000u);
    // Continuous inside one read: find its offset from the first sequence number.
    uint32_t v = rd.buf[0] | rd.buf[1] << 8 | rd.buf[2] << 16 | (uint32_t)rd.buf[3] << 24;
    uint64_t first = (uint64_t)(v - simdev::seed::measurement) * 4;
    EXPECT_FALSE(simdev::check_pattern(simdev::seed::measurement, first, rd.buf)) << "read " << i;
  }
  ASSERT_EQ(vendor(h, IOCTL_VENDOR_COMMAND, 0x000003, 3, {}, 0).error, 0u);
}

TEST_F(Requests, AFailedIsochronousTransferEndsOneReadAndTheStreamGoesOn) {
  HANDLE h = open_unit();
  ASSERT_EQ(mode(h, 2, 2), 0u);
  pending first(h, 2000);
  first.read();
  EXPECT_FALSE(first.done());
  inst.model->faults().usb_error(0x81, simdev::usb_status::data_error, 1);
  start_run(h);
  EXPECT_EQ(first.wait().error, (DWORD)ERROR_CRC);
  for (int i = 0; i < 2; ++i) {
    pending rd(h, 2400);
    rd.read();
    io_result r = rd.wait();
    ASSERT_EQ(r.error, 0u);
    EXPECT_EQ(r.bytes, 2400u);
  }
  EXPECT_EQ(vendor(h, IOCTL_VENDOR_COMMAND, 0x000003, 3, {}, 0).error, 0u);
}

// A packet the controller flagged with an error still brings its data; the read that takes it reports a
// data error.
TEST_F(Requests, AFlaggedIsochronousPacketMarksTheReadThatTakesIt) {
  HANDLE h = open_unit();
  ASSERT_EQ(mode(h, 2, 2), 0u);  // 240-byte packets
  pending first(h, 960);
  first.read();
  inst.model->faults().iso_packet_errors(0x81, simdev::usb_status::data_error, 1);
  start_run(h);
  io_result r = first.wait();
  EXPECT_EQ(r.error, (DWORD)ERROR_CRC);
  EXPECT_EQ(r.bytes, 960u);
  uint32_t v = first.buf[0] | first.buf[1] << 8 | first.buf[2] << 16 | (uint32_t)first.buf[3] << 24;
  EXPECT_FALSE(simdev::check_pattern(simdev::seed::measurement, (uint64_t)(v - simdev::seed::measurement) * 4, first.buf));
  EXPECT_EQ(inst.model->faults().injected().usb_errors, 1u);
  pending next(h, 960);
  next.read();
  EXPECT_EQ(next.wait().error, 0u);
  EXPECT_EQ(vendor(h, IOCTL_VENDOR_COMMAND, 0x000003, 3, {}, 0).error, 0u);
}

TEST_F(Requests, AShortIsochronousPacketEndsTheReadThatMeetsIt) {
  HANDLE h = open_unit();
  ASSERT_EQ(mode(h, 2, 2), 0u);  // 240-byte packets
  pending first(h, 100000);
  first.read();
  inst.model->faults().short_iso_packets(0x81, 100, 1);
  start_run(h);
  // The read takes the short packet's place in the stream as an error (the rest of that transfer is
  // dropped); the next reads get the stream again.
  // 0x80000900 reaches the caller as the code without text (317).
  EXPECT_EQ(first.wait().error, 317u);
  for (int i = 0; i < 2; ++i) {
    pending rd(h, 960);
    rd.read();
    io_result ok = rd.wait();
    ASSERT_EQ(ok.error, 0u);
    EXPECT_EQ(ok.bytes, 960u);
    uint32_t v = rd.buf[0] | rd.buf[1] << 8 | rd.buf[2] << 16 | (uint32_t)rd.buf[3] << 24;
    EXPECT_FALSE(simdev::check_pattern(simdev::seed::measurement, (uint64_t)(v - simdev::seed::measurement) * 4, rd.buf));
  }
  EXPECT_EQ(vendor(h, IOCTL_VENDOR_COMMAND, 0x000003, 3, {}, 0).error, 0u);
}

TEST_F(Requests, ResetsRacingVendorRequestsLoseNothing) {
  HANDLE h = open_unit();
  ASSERT_EQ(mode(h, 2, 1), 0u);
  sb::set_asynchronous_completion(true);  // vendor requests stay in flight where a reset can meet them
  std::atomic<bool> stop{false};
  std::atomic<int> done{0}, failed{0};
  std::thread sender([&] {
    while (!stop) {
      io_result r = vendor(h, IOCTL_VENDOR_READ, 0x000004, 1, {}, 5);
      // Done, cancelled by a reset, or refused while the reset has the device in mode 0: never lost,
      // never hung.
      if (r.error == 0)
        done++;
      else if (r.error == ERROR_OPERATION_ABORTED || r.error == ERROR_INVALID_PARAMETER)
        failed++;
      else
        ADD_FAILURE() << r.error;
    }
  });
  for (int i = 0; i < 10; ++i) EXPECT_EQ(control(h, IOCTL_RESET_DEVICE, nullptr, 0, nullptr, 0).error, 0u);
  stop = true;
  zephtest::join(sender);
  EXPECT_GT(done + failed, 0);
  EXPECT_EQ(inst.model->configuration(), 2);
  EXPECT_EQ(inst.model->alternate_setting(1), 1);
  sb::set_asynchronous_completion(false);
}

// Runs each body on its own thread, over and over, until `run` has passed; every call inside has its own
// deadline (control, pending::wait).
void for_a_while(std::chrono::milliseconds run, std::vector<std::function<void()>> bodies) {
  const auto end = std::chrono::steady_clock::now() + run;
  std::vector<std::thread> threads;
  for (auto &body : bodies)
    threads.emplace_back([&body, end] {
      while (std::chrono::steady_clock::now() < end) body();
    });
  for (auto &t : threads) zephtest::join(t);
}

// The notification channel's restart word from two threads at once: each restart stops and starts the
// channel whole, one after the other.
TEST_F(Requests, RestartWordsFromTwoThreads) {
  HANDLE h = open_unit();
  ASSERT_EQ(mode(h, 1), 0u);
  std::atomic<int> done{0};
  auto restart = [&] {
    EXPECT_EQ(vendor(h, IOCTL_VENDOR_COMMAND, WORD_RESTART_NOTIFY, 0, {}, 0).error, 0u);
    done++;
  };
  for_a_while(std::chrono::seconds(2), {restart, restart});
  EXPECT_GT(done, 2);
  expect_notification(h, 0x0301);
}

// The restart word and the pipe words while another thread switches between modes 1 and 2: a word acts
// on the engine that is current; every word and every mode change succeeds; afterwards mode 1 works.
TEST_F(Requests, EngineWordsWhileTheModeSwitches) {
  HANDLE h = open_unit();
  ASSERT_EQ(mode(h, 1), 0u);
  std::atomic<int> words{0};
  auto switches = std::make_shared<std::atomic<int>>(0);
  // Done on the bulk engine, or as a plain command in mode 2: a word waits for a mode change to end and
  // meets the engine it made current.
  auto word = [&](uint32_t w) {
    EXPECT_EQ(vendor(h, IOCTL_VENDOR_COMMAND, w, 0, {}, 0).error, 0u) << std::hex << w;
    words++;
  };
  for_a_while(std::chrono::seconds(2),
              {[&] { word(WORD_RESTART_NOTIFY); }, [&] { word(WORD_READ_PIPE_RESET); },
               [&] { word(WORD_WRITE_PIPE_RESET); },
               mode_loop(h, switches)});
  EXPECT_GT(switches->load(), 2);
  EXPECT_GT(words, 2);
  ASSERT_EQ(mode(h, 1), 0u);
  expect_notification(h, 0x0302);
  expect_whole_read(h, 300);
}

// A pipe word waits its turn behind the vendor request in flight (its completion held at the bus) while
// the mode changes under it: it goes as the mode current when it leaves makes it. Sent in mode 2 and
// going once mode 1 is current, it resets both sides of its pipe (an instrument-only reset would leave
// the host's toggle where it was, and the next frame of that pipe would fail or be misframed).
TEST_F(Requests, APipeWordWaitingWhileMode1BeginsResetsBothSidesOfItsPipe) {
  HANDLE h = open_unit();
  for (uint32_t word : {WORD_READ_PIPE_RESET, WORD_WRITE_PIPE_RESET}) {
    SCOPED_TRACE(word);
    ASSERT_EQ(mode(h, 2, 1), 0u);
    queue_message(h, 100);
    word_behind_a_held_request(h, word, [&] {
      ASSERT_EQ(mode(h, 1), 0u);
      expect_queued_frame_and_a_write(h, 100);  // three packets each way: both host toggles at DATA1
    });
    expect_frames(h, 300);
  }
}

// The other way: a pipe word sent in mode 1 waits behind the vendor request in flight while mode 2
// begins; it reaches the instrument after the change, as a plain command in configuration 2, and mode 1
// works again afterwards.
TEST_F(Requests, APipeWordWaitingWhileMode2BeginsGoesAsAPlainCommand) {
  HANDLE h = open_unit();
  for (uint32_t word : {WORD_READ_PIPE_RESET, WORD_WRITE_PIPE_RESET}) {
    SCOPED_TRACE(word);
    ASSERT_EQ(mode(h, 1), 0u);
    expect_frames(h, 100);
    std::atomic<int> configuration{-1};
    word_behind_a_held_request(h, word, [&] {
      ASSERT_EQ(mode(h, 2, 1), 0u);
      // Armed now: the mode change itself resets the bulk pipes with the same requests.
      simdev::request_match m;
      m.bRequest = uint8_t(word >> 16);
      m.wValue = uint16_t(word);
      inst.model->faults().on_request(m, [&] { configuration = inst.model->configuration(); });
    });
    inst.model->faults().clear();
    EXPECT_EQ(configuration, 2);
    ASSERT_EQ(mode(h, 1), 0u);
    expect_frames(h, 300);
  }
}

// Resets against a loop of mode changes: the reset stops and restarts the engine that is current when it
// runs, never one a change has just replaced, so no engine is left running without an owner.
TEST_F(Requests, ResetsAgainstAModeLoop) {
  HANDLE h = open_unit();
  ASSERT_EQ(mode(h, 1), 0u);
  std::atomic<int> resets{0};
  auto switches = std::make_shared<std::atomic<int>>(0);
  for_a_while(std::chrono::seconds(3),
              {[&] {
                 EXPECT_EQ(control(h, IOCTL_RESET_DEVICE, nullptr, 0, nullptr, 0).error, 0u);
                 resets++;
               },
               mode_loop(h, switches)});
  EXPECT_GT(resets, 2);
  EXPECT_GT(switches->load(), 2);
  ASSERT_EQ(mode(h, 1), 0u);
  expect_notification(h, 0x0303);
}

// A read's data, whole: a bulk block of the run (its header, then its payload), a continuous piece of
// the run's stream (which the two modes share); or an isochronous read, which is the stream as it comes:
// where a run ended and the next one began (the runs go back to back there), the new run's data from
// its start.
bool whole_run_data(const uint8_t *b, DWORD bytes) {
  auto word = [](const uint8_t *p) { return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24; };
  auto stream = [&](const uint8_t *p, size_t n, bool runs_follow) {
    for (size_t at = 0; at + 4 <= n;) {
      const uint64_t first = (uint64_t)(word(p + at) - simdev::seed::measurement) * 4;
      if (at > 0 && first != 0) return false;  // broken elsewhere than at a run's start
      const auto bad = simdev::check_pattern(simdev::seed::measurement, first, std::span(p + at, n - at));
      if (!bad) return true;
      if (!runs_follow) return false;
      at += *bad / 4 * 4;  // the word that differs (its first word matched)
    }
    return false;
  };
  if (bytes == 200) return b[0] == 1 && b[1] == 0 && b[2] == 196 && b[3] == 0 && stream(b + 4, 196, false);
  return bytes == 400 && stream(b, 400, true);
}

// Everything a user-mode program can send, from several threads for a few seconds: mode changes 0/1/2,
// resets, pipe and restart words, bulk reads and writes, notification reads, the handle closed (cleanup)
// and opened again with requests in flight, and at the end the instrument pulled out while all of it
// runs. Every request ends within its deadline with a result its kind allows in the modes it may have
// met: mode changes, resets and reopens go through; a word or run command succeeds, or fails as mode 0
// refuses it (only where mode 0 may have been current) or as a reset cancels it; a read brings a whole
// block of the run, a write all its bytes, a notification a record raised, or they fail. Once the
// instrument has begun to leave any failure goes. The fixture then checks that no rule broke, nothing
// leaked, no URB went down under a spin lock and the driver unloaded.
TEST_F(Requests, EveryKindOfRequestFromSeveralThreadsUntilTheInstrumentLeaves) {
  HANDLE first = open_unit();
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  close(first);  // the handle is the closer's from here on
  // Held shared to issue a request, exclusively to close and reopen; the turnstile lets the closer in
  // between readers that would otherwise always hold it.
  std::shared_mutex handle_lock;
  std::mutex turnstile;
  HANDLE h = open_path(unit_path(0));
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_EQ(mode(h, 1), 0u);
  ASSERT_NO_FATAL_FAILURE(start_run(h));

  // The mode, as the two threads that change it (mode changes, and the close that ends in mode 0) keep
  // it, one at a time: `zero_changes` grows at the start and at the end of every change into or out of
  // mode 0, so a request can tell whether mode 0 may have been current while it ran. `begun` and `ended`
  // count every change and reset, so a request can tell whether one may have come while it ran (an
  // engine between two is idle for a moment: a plain vendor request that meets it is refused).
  std::mutex changing;
  std::atomic<int> current_mode{1};
  std::atomic<unsigned> zero_changes{0}, begun{0}, ended{0};
  struct moment {
    int mode;
    unsigned changes, begun, ended;
  };
  auto now = [&] { return moment{current_mode.load(), zero_changes.load(), begun.load(), ended.load()}; };
  auto change_mode = [&](int to, const std::function<void()> &change) {
    std::lock_guard<std::mutex> g(changing);
    const bool zero = (current_mode == 0) != (to == 0);
    if (zero) zero_changes++;
    begun++;
    change();
    current_mode = to;
    ended++;
    if (zero) zero_changes++;
  };
  std::atomic<bool> leaving{false};

  enum kind { modes, resets, words, reads, writes, notifications, reopens, kinds };
  const char *const names[kinds] = {"mode change", "reset", "word", "read", "write", "notification", "reopen"};
  std::atomic<int> succeeded[kinds] = {};
  std::atomic<int> hung{0}, wrong{0};
  struct outcome {
    DWORD error;
    DWORD bytes;
    moment from, to;
  };
  // Issues one overlapped request with the handle of the moment and waits for it with a deadline,
  // without the handle (it may be closed meanwhile).
  auto request = [&](kind k, auto &&issue) {
    OVERLAPPED o{};
    o.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    outcome r{0, 0, now(), {}};
    BOOL ok;
    HANDLE x;
    {
      { std::lock_guard<std::mutex> t(turnstile); }
      std::shared_lock<std::shared_mutex> g(handle_lock);
      x = h;
      ok = issue(x, &o);
      r.error = ok ? 0 : GetLastError();
    }
    if (ok || r.error == ERROR_IO_PENDING) {
      if (WaitForSingleObject(o.hEvent, zephtest::deadline_ms) != WAIT_OBJECT_0) {
        hung++;
        ADD_FAILURE() << names[k] << " still pending";
        CancelIo(x);
        WaitForSingleObject(o.hEvent, 5000);
      }
      // Done: the result is read from the OVERLAPPED alone, whatever became of the handle.
      r.error = GetOverlappedResult(x, &o, &r.bytes, FALSE) ? 0 : GetLastError();
    }
    r.to = now();
    if (r.error == 0) succeeded[k]++;
    CloseHandle(o.hEvent);
    return r;
  };
  auto expect = [&](kind k, const outcome &r, bool allowed) {
    if (allowed || (r.error != 0 && leaving)) return;
    if (wrong++ < 10)
      ADD_FAILURE() << names[k] << " ended with " << r.error << " (" << r.bytes << " bytes), in mode "
                    << r.from.mode << " to " << r.to.mode;
  };
  auto zero_possible = [](const outcome &r) {
    return r.from.mode == 0 || r.to.mode == 0 || r.from.changes != r.to.changes || r.from.changes % 2 != 0;
  };
  auto change_possible = [&](const outcome &r) {
    return zero_possible(r) || r.from.begun != r.from.ended || r.to.begun != r.from.begun;
  };
  auto ioctl = [&](kind k, DWORD code, std::vector<uint8_t> in, std::vector<uint8_t> *reply) {
    return request(k, [&](HANDLE x, OVERLAPPED *o) {
      return DeviceIoControl(x, code, in.empty() ? nullptr : in.data(), (DWORD)in.size(),
                             reply && !reply->empty() ? reply->data() : nullptr, reply ? (DWORD)reply->size() : 0,
                             nullptr, o);
    });
  };
  // A word or run command: done, cancelled by a reset while it was in flight, or refused by mode 0. A word
  // meets the engine a change left current, a run command may meet the idle one between two.
  auto command = [&](std::vector<uint8_t> in, bool word) {
    outcome r = ioctl(words, word ? IOCTL_VENDOR_COMMAND : IOCTL_VENDOR_WRITE, in, nullptr);
    expect(words, r,
           r.error == 0 || r.error == ERROR_OPERATION_ABORTED ||
               (r.error == ERROR_INVALID_PARAMETER && (word ? zero_possible(r) : change_possible(r))));
  };
  auto seeded = [](int n) { return std::make_shared<std::mt19937>(n); };

  std::vector<std::function<void()>> bodies;
  bodies.push_back([&, rng = seeded(1)] {
    // Mode 1 half the time, with some time in each mode for transfers.
    const uint8_t pick[] = {0, 1, 1, 2};
    uint8_t m = pick[(*rng)() % 4];
    change_mode(m, [&] {
      outcome r = ioctl(modes, IOCTL_SELECT_MODE, {m, uint8_t(m == 2 ? 1 + (*rng)() % 3 : 0), 0, 0}, nullptr);
      expect(modes, r, r.error == 0);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  });
  bodies.push_back([&] {
    begun++;
    outcome r = ioctl(resets, IOCTL_RESET_DEVICE, {}, nullptr);
    ended++;
    expect(resets, r, r.error == 0);
  });
  bodies.push_back([&, rng = seeded(2)] {
    static const uint32_t all[] = {WORD_RESTART_NOTIFY, WORD_READ_PIPE_RESET, WORD_WRITE_PIPE_RESET};
    command(header(all[(*rng)() % 3], 0, 0), true);
    auto run = header(0x000003, 1, 1);  // a run again, after a reset or mode change ended it
    run.insert(run.end(), {0, 0, 0});
    command(run, false);
  });
  for (int i = 0; i < 2; ++i)
    bodies.push_back([&] {
      std::vector<uint8_t> buf(400);
      outcome r = request(reads, [&](HANDLE x, OVERLAPPED *o) { return ReadFile(x, buf.data(), 400, nullptr, o); });
      expect(reads, r, r.error != 0 || whole_run_data(buf.data(), r.bytes));
    });
  bodies.push_back([&] {
    std::vector<uint8_t> data(1000, 0x5A);
    outcome r = request(writes, [&](HANDLE x, OVERLAPPED *o) { return WriteFile(x, data.data(), 1000, nullptr, o); });
    expect(writes, r, r.error != 0 || r.bytes == 1000);
  });
  for (int i = 0; i < 2; ++i)
    bodies.push_back([&] {
      std::vector<uint8_t> record(NOTIFY_SIZE);
      outcome r = ioctl(notifications, IOCTL_READ_NOTIFICATION, {}, &record);
      const uint16_t code = notify_code(record.data());
      expect(notifications, r,
             r.error != 0 || (r.bytes == NOTIFY_SIZE && (code == 0x0400 || code == simdev::event::run_started ||
                                                         code == simdev::event::run_ended)));
    });
  bodies.push_back([&] {
    uint8_t d[1] = {1};
    inst.model->raise_event(0x0400, d);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  bodies.push_back([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    // The close takes the device to mode 0, and the create after it finds nothing to restart.
    change_mode(0, [&] {
      std::lock_guard<std::mutex> t(turnstile);
      std::unique_lock<std::shared_mutex> g(handle_lock);
      CloseHandle(h);
      // The close itself comes once the requests of the handle have ended.
      zephtest::wait_until([&] { return (h = open_path(unit_path(0))) != INVALID_HANDLE_VALUE || leaving; });
      if (h != INVALID_HANDLE_VALUE) {
        succeeded[reopens]++;
      } else if (!leaving) {
        wrong++;
        ADD_FAILURE() << "the unit did not open again";
      }
    });
  });
  // The instrument leaves while everything runs.
  bodies.push_back([&, at = std::chrono::steady_clock::now() + std::chrono::seconds(4)] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (std::chrono::steady_clock::now() >= at && sp::device_state(inst.instance) != "absent") {
      leaving = true;
      sb::unplug(inst.instance);
    }
  });
  for_a_while(std::chrono::milliseconds(4500), bodies);

  EXPECT_EQ(hung, 0);
  EXPECT_EQ(wrong, 0);
  for (int k = 0; k < kinds; ++k) EXPECT_GT(succeeded[k], 0) << "no " << names[k] << " went through";
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  ASSERT_TRUE(sp::settle());
}

TEST_F(Requests, ModeChangesWithTransfersInFlight) {
  HANDLE h = open_unit();
  std::unique_ptr<pending> n, rd;
  for (uint8_t m : {1, 2, 1, 0}) {
    ASSERT_EQ(mode(h, m, m == 2 ? 2 : 0), 0u) << (int)m;
    // What the previous mode still had waiting ended with it.
    if (n) {
      EXPECT_EQ(n->wait().error, (DWORD)ERROR_OPERATION_ABORTED);
      EXPECT_EQ(rd->wait().error, (DWORD)ERROR_OPERATION_ABORTED);
    }
    n.reset();
    rd.reset();
    if (m != 0) {
      n = std::make_unique<pending>(h, NOTIFY_SIZE);
      n->notify();
      rd = std::make_unique<pending>(h, 500);
      rd->read();
      EXPECT_FALSE(n->done());
      EXPECT_FALSE(rd->done());
    }
  }
  // Mode 1 again works after all that.
  ASSERT_EQ(mode(h, 1), 0u);
  queue_message(h, 77);
  pending last(h, 100);
  last.read();
  EXPECT_EQ(last.wait().bytes, 77u);
}

// Every allocation of a mode change fails once in turn: the change fails or copes, nothing leaks, no rule
// breaks, and the device still works afterwards.
TEST_F(Requests, PoolFailureAtEveryAllocationOfAModeChange) {
  HANDLE h = open_unit();
  size_t baseline = sk::pool_blocks(pool_tag);
  bool clean_pass = false;
  for (unsigned skip = 0; skip < 200 && !clean_pass; ++skip) {
    for (uint8_t m : {1, 2}) {
      sk::clear_pool_failures();
      sk::fail_pool(skip, 1, pool_tag);
      DWORD e = mode(h, m, m == 2 ? 1 : 0);
      bool injected = sk::pool_failures_injected() > 0;
      sk::clear_pool_failures();
      if (m == 2 && !injected && e == 0) clean_pass = true;
      // Whatever happened, the instrument still answers in mode 1.
      ASSERT_EQ(mode(h, 1), 0u) << "skip " << skip;
      queue_message(h, 40);
      pending rd(h, 100);
      rd.read();
      io_result r = rd.wait();
      EXPECT_EQ(r.bytes, 40u) << "skip " << skip << " mode " << (int)m << " error " << r.error;
      ASSERT_EQ(mode(h, 0), 0u);
      EXPECT_EQ(sk::pool_blocks(pool_tag), baseline) << "leak at skip " << skip;
      auto v = sk::take_violations();
      ASSERT_TRUE(v.empty()) << "skip " << skip << ":\n" << joined(v);
    }
  }
  EXPECT_TRUE(clean_pass);
}

// The bus answers an abort but ends nothing: after a second the worker cancels its own transfers and the
// mode change goes on.
TEST_F(Requests, AHungAbortIsFollowedByCancellingTheTransfers) {
  HANDLE h = open_unit();
  ASSERT_EQ(mode(h, 1), 0u);
  sb::ignore_aborts(inst.instance, 1);
  auto start = std::chrono::steady_clock::now();
  DWORD error = 0;
  ASSERT_TRUE(returns_in_time([&] { return mode(h, 0); }, &error))
      << "the mode change waited for ever on transfers its abort did not end";
  EXPECT_EQ(error, 0u);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));  // the abort was ignored
  // The channel starts again on a pipe with nothing left of the cancelled transfers.
  ASSERT_EQ(mode(h, 1), 0u);
  expect_notification(h, 0x0600);
}

// A port reset that never completes is cancelled after its time-out (10 s, scaled here) and waited for;
// the reset sequence goes on and restarts the mode.
TEST_F(Requests, APortResetThatNeverCompletesIsCancelled) {
  HANDLE h = open_unit();
  ASSERT_EQ(mode(h, 2, 3), 0u);
  standin::clock::set_long_wait_scale(0.02);
  sb::hang_port_resets(inst.instance, 1);
  DWORD error = 0;
  bool finished = returns_in_time([&] { return control(h, IOCTL_RESET_DEVICE, nullptr, 0, nullptr, 0).error; }, &error);
  standin::clock::reset();
  ASSERT_TRUE(finished) << "the reset sequence waited for ever on its port reset";
  EXPECT_EQ(error, 0u);
  EXPECT_EQ(inst.model->configuration(), 2);
  EXPECT_EQ(inst.model->alternate_setting(1), 3);
}

TEST_F(Requests, ResetRestartsThePreviousMode) {
  HANDLE h = open_unit();
  EXPECT_EQ(control(h, IOCTL_RESET_DEVICE, nullptr, 0, nullptr, 0).error, 0u);  // mode 0: nothing to do
  ASSERT_EQ(mode(h, 2, 3), 0u);
  EXPECT_EQ(control(h, IOCTL_RESET_DEVICE, nullptr, 0, nullptr, 0).error, 0u);
  EXPECT_EQ(inst.model->configuration(), 2);
  EXPECT_EQ(inst.model->alternate_setting(1), 3);
  expect_notification(h, 0x0800);
}

TEST_F(Requests, SurpriseRemovalEndsEveryKindOfRequest) {
  HANDLE h = open_unit();
  ASSERT_EQ(mode(h, 1), 0u);
  pending n(h, NOTIFY_SIZE);
  n.notify();
  pending rd(h, 500);
  rd.read();
  pending rd2(h, 500);
  rd2.read();
  sb::unplug(inst.instance);
  EXPECT_EQ(n.wait().error, (DWORD)ERROR_DEVICE_REMOVED);
  EXPECT_EQ(rd.wait().error, (DWORD)ERROR_DEVICE_REMOVED);
  EXPECT_EQ(rd2.wait().error, (DWORD)ERROR_DEVICE_REMOVED);
  EXPECT_NE(vendor(h, IOCTL_VENDOR_COMMAND, 0x000003, 3, {}, 0).error, 0u);
  ASSERT_TRUE(sp::settle());
}

TEST_F(Requests, SurpriseRemovalDuringVendorRequests) {
  HANDLE h = open_unit();
  ASSERT_EQ(mode(h, 1), 0u);
  sb::set_asynchronous_completion(true);  // each request stays in flight for a while
  std::atomic<int> sent{0};
  DWORD last = 0;
  std::thread sender([&] {
    for (;;) {
      io_result r = vendor(h, IOCTL_VENDOR_READ, 0x000004, 1, {}, 5);
      if (r.error != 0) {
        last = r.error;
        return;
      }
      sent++;
    }
  });
  ASSERT_TRUE(zephtest::wait_until([&] { return sent > 5; }));
  sb::unplug(inst.instance);
  zephtest::join(sender);
  // In flight at the removal: device removed; sent after it: refused by the removed device.
  EXPECT_TRUE(last == ERROR_DEVICE_REMOVED || last == ERROR_ACCESS_DENIED) << last;
  ASSERT_TRUE(sp::settle());
  sb::set_asynchronous_completion(false);
}

// IRP_MN_REMOVE_DEVICE comes while a request is still inside the driver (a vendor request the instrument
// has not answered yet): the removal waits until that request has left before it passes the removal down
// (the bus has not seen it meanwhile) and lets go of the stack.
TEST_F(Requests, RemovalWaitsForARequestStillInsideTheDriver) {
  HANDLE h = open_unit();
  ASSERT_EQ(mode(h, 1), 0u);
  sb::hold_next_vendor_request(inst.instance);
  io_result result{};
  std::thread sender([&] { result = vendor(h, IOCTL_VENDOR_READ, 0x000004, 1, {}, 5); });
  ASSERT_TRUE(zephtest::wait_until([&] { return sb::held_vendor_requests(inst.instance) == 1; }));
  std::atomic<bool> removed{false};
  std::thread remover([&] {
    sp::remove_device(inst.instance, false);
    removed = true;
  });
  // Held inside: the removal does not get past its wait, and the removal has not gone down.
  auto remove_seen = [&] {
    auto seen = sb::pnp_power_requests_seen(inst.instance);
    return std::count(seen.begin(), seen.end(), unsigned(IRP_MJ_PNP << 8 | IRP_MN_REMOVE_DEVICE)) != 0;
  };
  EXPECT_FALSE(zephtest::wait_until([&] { return removed.load() || remove_seen(); }, std::chrono::milliseconds(300)));
  EXPECT_FALSE(remove_seen()) << "IRP_MN_REMOVE_DEVICE passed down with a request still inside";
  EXPECT_EQ(sp::device_state(inst.instance), "started");
  sb::release_vendor_requests(inst.instance);
  zephtest::join(sender);
  zephtest::join(remover);
  EXPECT_EQ(result.error, 0u);
  EXPECT_EQ(sp::device_state(inst.instance), "absent");
}

TEST_F(Requests, SurpriseRemovalDuringAnIsochronousRead) {
  HANDLE h = open_unit();
  ASSERT_EQ(mode(h, 2, 1), 0u);
  pending rd(h, 500);
  rd.read();
  pending n(h, NOTIFY_SIZE);
  n.notify();
  sb::unplug(inst.instance);
  EXPECT_EQ(rd.wait().error, (DWORD)ERROR_DEVICE_REMOVED);
  EXPECT_EQ(n.wait().error, (DWORD)ERROR_DEVICE_REMOVED);
  ASSERT_TRUE(sp::settle());
}

}  // namespace
}  // namespace vt
