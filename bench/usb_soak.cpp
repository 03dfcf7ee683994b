// Noise soak of the USB link: a measurement run read through the instrument API's stream (morvex8,
// quillon8, the driver on the kernel stand-in, the simulated bus) while bulk IN transfers fail on the
// wire with a set probability (after up to two packets whose handshake the instrument then misses) and
// as many other IN handshakes are lost (the instrument sends the packet again; the host drops it). The
// client reads on after each reported loss (stop, read pipe word, start again). Every block must arrive
// whole or be reported lost: none duplicated, shifted or damaged.
//   usb_soak [blocks=100000] [probability=0.01] [seconds=3600] [seed=7] [flush]
// flush: the firmware drops the rest of a partly sent message at a cleared halt (default: keeps it).
// Not part of the test pass.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include <w32cpp/loader.h>

#include <morvex/morvex.h>
#include <simdev/faults.h>
#include <simdev/instrument.h>
#include <simdev/usb_device.h>
#include <standin/pnp.h>
#include <standin/usbbus.h>

#include "resync_checker.h"

namespace {

struct api_lib : w32cpp::dynamic_link_instance<morvex::iapi> {
  api_lib() : w32cpp::dynamic_link_instance<morvex::iapi>("morvex8", "morvex_get_instance") {}
};

template <class Pred>
bool wait_for(Pred pred, std::chrono::seconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= end) return pred();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const int blocks = argc > 1 ? std::atoi(argv[1]) : 100000;
  const double p = argc > 2 ? std::strtod(argv[2], nullptr) : 0.01;
  const double seconds = argc > 3 ? std::strtod(argv[3], nullptr) : 3600;
  const unsigned seed = argc > 4 ? unsigned(std::strtoul(argv[4], nullptr, 10)) : 7;
  simdev::instrument_config firmware;
  firmware.clear_halt_flushes_endpoint = argc > 5 && std::string(argv[5]) == "flush";
  constexpr DWORD call_ms = 20000;

  api_lib api;
  if (!api) {
    std::fprintf(stderr, "morvex8 did not load\n");
    return 2;
  }
  standin::pnp::install_driver("vantrel", VANTREL_PATH, {"USB\\VID_1A2B&PID_0100"});
  api->start();
  auto model = std::make_shared<simdev::instrument>(firmware);
  auto usb = std::make_shared<simdev::usb_device>(model);
  const std::string instance = standin::usbbus::plug(usb);
  standin::pnp::settle();
  morvex::zeph_session session;
  wait_for(
      [&] {
        karnet::interface_list list =
            api->device_manager()->device_interfaces(karnet::guid(zeph_wire::device_interface_guid_bulk));
        if (list.empty()) return false;
        session = api->open_session(api->device_manager()->create_session(list.front()));
        return session.is_open();
      },
      std::chrono::seconds(20));
  if (!session.is_open() || session.set_mode(1, 0, 0).get_code() != 0) {
    std::fprintf(stderr, "no session on the instrument\n");
    return 2;
  }

  simdev::fault_injector& faults = model->faults();
  faults.seed(seed);
  faults.lost_handshakes(true);
  faults.usb_error_after_packets(2);
  faults.usb_error_probability(0x81, simdev::usb_status::data_error, p);
  faults.lost_in_handshake_probability(0x81, p);
  w32cpp::auto_handle<morvex_test::resync_checker> rx(new morvex_test::resync_checker());
  session.stream().client().set(rx);
  morvex::zeph_set_param run = session.make_set_param(0x000003, 1, 1);  // a run until stopped
  run.set_word(0, 0);
  if (session.control_and_wait(run, call_ms).get_code() != 0) {
    std::fprintf(stderr, "the run did not start\n");
    return 2;
  }
  const auto start = std::chrono::steady_clock::now();
  auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
  int rounds = 0, restart_failures = 0;
  while (rx->locked([&] { return rx->good; }) < blocks && elapsed() < seconds) {
    // A reported failure is the cue: the stream idles, without a notice, once every read has failed.
    const int failed_before = rx->locked([&] { return rx->failures; });
    if (!session.stream().start(200, -1)) {
      ++restart_failures;
      break;
    }
    wait_for(
        [&] {
          return rx->locked([&] { return rx->failures > failed_before || rx->good >= blocks; }) || elapsed() >= seconds;
        },
        std::chrono::seconds(120));
    session.stream().stop();
    // The client's recovery: the read pipe word, then read on.
    if (session.read_pipe_request().get_code() != 0) ++restart_failures;
    ++rounds;
  }
  const double secs = elapsed();
  morvex::zeph_command stop_run = session.make_command(0x000003, 3);
  session.control_and_wait(stop_run, call_ms);
  session.stream().client().reset();
  const auto injected = faults.injected();
  faults.clear();
  session.set_mode(0, 0, 0);
  session.on_device_removed();
  standin::usbbus::unplug(instance);
  standin::pnp::settle();
  api->stop();

  std::lock_guard<std::mutex> g(rx->m);
  std::printf(
      "usb soak: p=%g of bulk IN transfers failing on the wire (after up to 2 packets, handshake lost) "
      "and of IN handshakes lost, seed %u, firmware %s at a cleared halt\n",
      p, seed, firmware.clear_halt_flushes_endpoint ? "flushing" : "keeping");
  std::printf(
      "blocks whole %d in %.0f s, reported failures %d, blocks lost (reported) %lld, unreported gaps %d, "
      "bad (damaged, shifted or duplicated) %d\n",
      rx->good, secs, rx->failures, static_cast<long long>(rx->lost), rx->unreported_gaps, rx->bad);
  std::printf("read-on rounds %d (restart failures %d); injected: %llu wire errors, %llu lost IN handshakes\n", rounds,
              restart_failures, static_cast<unsigned long long>(injected.usb_errors),
              static_cast<unsigned long long>(injected.lost_in_handshakes));
  return rx->bad == 0 && rx->unreported_gaps == 0 ? 0 : 1;
}
