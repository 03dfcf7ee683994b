#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "manager_fixture.h"

namespace {

using namespace karnet_test;
using karnet::guid;

template <class T>
w32cpp::auto_handle<karnet::device_callback> subscribe(karnet::device_listener_list& list, T* object,
                                                       void (T::*method)(karnet::protocol_handle&, karnet::guid&)) {
  auto cb = w32cpp::make_member_callback<T>(object, method);
  list.add(cb);
  return cb;
}

TEST_F(ManagerTest, ListingTwiceWatchesAndEnumeratesOnce) {
  usb->plug("dev-1", class_a);
  usb->plug("dev-3", class_a);
  usb->plug("dev-2", class_a);
  usb->plug("other", class_b);
  usb->start();

  karnet::interface_list first = manager().device_interfaces(guid(class_a));
  EXPECT_EQ(names(first), (std::vector<std::string>{"dev-3", "dev-2", "dev-1"}));
  EXPECT_EQ(usb->watches(class_a), 1);
  EXPECT_EQ(usb->enumerations(class_a), 1);
  // Watching comes first, so that nothing arriving in between goes unseen.
  EXPECT_EQ(usb->log(), (std::vector<std::string>{"watch", "enumerate"}));

  usb->plug("dev-4", class_a);  // no notice: the index keeps what it had
  karnet::interface_list second = manager().device_interfaces(guid(class_a));
  EXPECT_EQ(names(second), (std::vector<std::string>{"dev-3", "dev-2", "dev-1"}));
  EXPECT_EQ(usb->watches(class_a), 1);
  EXPECT_EQ(usb->enumerations(class_a), 1);
  EXPECT_EQ(usb->watches(class_b), 0);

  const karnet::io_device_interface& d = second.front();
  EXPECT_EQ(d.interface_class(), guid(class_a));
  EXPECT_TRUE(d.protocol() == usb_holder);
}

// A client's detach_all on a listed interface would change the sort keys of the manager's own
// copies: it is refused, so the removal still finds every entry and none is left listed for good.
TEST_F(ManagerTest, DetachAllOfAListedInterfaceIsRefusedAndItsRemovalStillUnlistsIt) {
  usb->plug("dev-1", class_a);
  usb->plug("dev-2", class_a);
  usb->start();
  karnet::interface_list listed = manager().device_interfaces(guid(class_a));
  ASSERT_EQ(names(listed), (std::vector<std::string>{"dev-2", "dev-1"}));
  karnet::io_device_interface mine = listed.back();
  ASSERT_EQ(mine.name(), "dev-1");
  mine.detach_all();
  EXPECT_TRUE(mine.attached());
  EXPECT_EQ(names(manager().device_interfaces(guid(class_a))), (std::vector<std::string>{"dev-2", "dev-1"}));

  usb->unplug("dev-1");
  usb->leave(class_a);
  EXPECT_FALSE(mine.attached());  // the removal detaches it
  EXPECT_EQ(names(manager().device_interfaces(guid(class_a))), std::vector<std::string>{"dev-2"});
  usb->plug("dev-1", class_a);
  usb->arrive(class_a);
  EXPECT_EQ(names(manager().device_interfaces(guid(class_a))), (std::vector<std::string>{"dev-2", "dev-1"}));
  mine.detach_all();  // unlisted: nothing left to detach, and no harm done
  EXPECT_EQ(names(manager().device_interfaces(guid(class_a))), (std::vector<std::string>{"dev-2", "dev-1"}));
}

TEST_F(ManagerTest, DeviceArrivingWhileTheClassIsBeingWatchedIsListed) {
  usb->on_watch = [this](guid) { usb->plug("late", class_a); };
  usb->start();
  EXPECT_EQ(names(manager().device_interfaces(guid(class_a))), std::vector<std::string>{"late"});
}

TEST_F(ManagerTest, ArrivalListsNewDevicesAndADuplicateNoticeIsSilent) {
  notice_counter arrivals;
  auto cb = subscribe(manager().arrival_listeners(), &arrivals, &notice_counter::seen);
  usb->start();
  EXPECT_TRUE(manager().device_interfaces(guid(class_a)).empty());

  usb->plug("dev-1", class_a);
  usb->arrive(class_a);
  EXPECT_EQ(arrivals.count, 1);
  usb->arrive(class_a);
  EXPECT_EQ(arrivals.count, 1);
  EXPECT_EQ(names(manager().device_interfaces(guid(class_a))), std::vector<std::string>{"dev-1"});
  manager().arrival_listeners().remove(cb);
}

TEST_F(ManagerTest, RemovalOfOneOfTwoDevicesDetachesOnlyThatOne) {
  notice_counter removals;
  auto cb = subscribe(manager().removal_listeners(), &removals, &notice_counter::seen);
  usb->plug("dev-1", class_a);
  usb->plug("dev-2", class_a);
  usb->start();
  karnet::interface_list listed = manager().device_interfaces(guid(class_a));
  ASSERT_EQ(listed.size(), 2u);
  karnet::io_device_interface gone = listed.back();  // dev-1
  karnet::io_device_interface kept = listed.front();
  ASSERT_EQ(gone.name(), "dev-1");
  karnet::io_session session = manager().create_session(gone);
  ASSERT_TRUE(session.is_open());
  plain_counter closed;
  session.close_listeners().add(w32cpp::make_member_callback<plain_counter>(&closed, &plain_counter::seen));

  usb->unplug("dev-1");
  usb->leave(class_a);
  EXPECT_EQ(removals.count, 1);
  EXPECT_FALSE(gone.attached());
  EXPECT_EQ(gone.name(), "");
  EXPECT_FALSE(gone.interface_class().is_set());
  EXPECT_FALSE(gone.protocol());
  EXPECT_EQ(gone.description().instance_id, "");
  EXPECT_EQ(gone.description().bcd_device, 0u);
  EXPECT_EQ(gone.session_count(), 0u);
  EXPECT_FALSE(session.is_open());
  EXPECT_EQ(closed.count, 1);
  EXPECT_EQ(usb->closes("dev-1"), 1);

  EXPECT_TRUE(kept.attached());
  EXPECT_EQ(names(manager().device_interfaces(guid(class_a))), std::vector<std::string>{"dev-2"});
  usb->leave(class_a);  // nothing more went
  EXPECT_EQ(removals.count, 1);
  manager().removal_listeners().remove(cb);
}

TEST_F(ManagerTest, TwoProtocolsContributeToOneClass) {
  usb->plug("usb-1", class_a);
  serial->plug("ser-1", class_a);
  usb->start();
  serial->start();
  EXPECT_EQ(names(manager().device_interfaces(guid(class_a))), (std::vector<std::string>{"usb-1", "ser-1"}));
  EXPECT_EQ(usb->watches(class_a), 1);
  EXPECT_EQ(serial->watches(class_a), 1);
}

// The same name from two transports: two devices, and each transport's removal takes only its own.
TEST_F(ManagerTest, SameNameFromTwoProtocolsAreTwoDevices) {
  usb->plug("dev-1", class_a);
  serial->plug("dev-1", class_a);
  usb->start();
  serial->start();
  EXPECT_EQ(names(manager().device_interfaces(guid(class_a))), (std::vector<std::string>{"dev-1", "dev-1"}));

  serial->unplug("dev-1");
  serial->leave(class_a);
  karnet::interface_list listed = manager().device_interfaces(guid(class_a));
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed.front().protocol().get(), usb_holder.get());

  serial->plug("dev-1", class_a);
  serial->arrive(class_a);
  EXPECT_EQ(manager().device_interfaces(guid(class_a)).size(), 2u);
  serial->stop();
  listed = manager().device_interfaces(guid(class_a));
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed.front().protocol().get(), usb_holder.get());
  EXPECT_TRUE(manager().create_session(listed.front()).is_open());
}

TEST_F(ManagerTest, ProtocolRegisteredLaterWatchesAndEnumeratesListedClasses) {
  notice_counter arrivals;
  auto cb = subscribe(manager().arrival_listeners(), &arrivals, &notice_counter::seen);
  usb->plug("usb-1", class_a);
  usb->start();
  EXPECT_EQ(manager().device_interfaces(guid(class_a)).size(), 1u);

  // A transport that (re)starts after the class was listed.
  serial->plug("ser-1", class_a);
  serial->start();
  EXPECT_EQ(serial->watches(class_a), 1);
  EXPECT_EQ(serial->enumerations(class_a), 1);
  EXPECT_EQ(arrivals.count, 1);
  EXPECT_EQ(names(manager().device_interfaces(guid(class_a))), (std::vector<std::string>{"usb-1", "ser-1"}));
  manager().arrival_listeners().remove(cb);
}

TEST_F(ManagerTest, ArrivalForAnUnlistedClassDoesNotHideItFromOtherProtocols) {
  usb->plug("usb-1", class_c);
  serial->plug("ser-1", class_c);
  usb->start();
  serial->start();
  serial->arrive(class_c);  // before any client listed the class
  EXPECT_EQ(usb->enumerations(class_c), 0);

  EXPECT_EQ(names(manager().device_interfaces(guid(class_c))), (std::vector<std::string>{"usb-1", "ser-1"}));
  EXPECT_EQ(usb->watches(class_c), 1);
  EXPECT_EQ(serial->watches(class_c), 1);
}

TEST_F(ManagerTest, UnregisterDetachesOnlyItsOwnInterfaces) {
  usb->plug("usb-1", class_a);
  serial->plug("ser-1", class_a);
  usb->start();
  serial->start();
  karnet::interface_list listed = manager().device_interfaces(guid(class_a));
  ASSERT_EQ(listed.size(), 2u);
  karnet::io_session session = manager().create_session(listed.front());  // usb-1
  ASSERT_TRUE(session.is_open());

  usb->stop();
  EXPECT_EQ(usb->unwatches(class_a), 1);
  EXPECT_FALSE(listed.front().attached());
  EXPECT_TRUE(listed.back().attached());
  EXPECT_FALSE(session.is_open());
  EXPECT_EQ(usb->closes("usb-1"), 1);
  EXPECT_EQ(names(manager().device_interfaces(guid(class_a))), std::vector<std::string>{"ser-1"});

  usb->stop();  // a second stop changes nothing
  EXPECT_EQ(usb->unwatches(class_a), 1);
}

// A listener that lists the class again from inside the notice.
struct relister {
  void arrived(karnet::protocol_handle&, karnet::guid& g) { seen = names(lib->device_interfaces(g)); }
  karnet::karnet_lib lib;
  std::vector<std::string> seen;
};

TEST_F(ManagerTest, ListenerMayCallBackIntoTheManager) {
  relister r;
  auto cb = subscribe(manager().arrival_listeners(), &r, &relister::arrived);
  auto removed = subscribe(manager().removal_listeners(), &r, &relister::arrived);
  usb->start();
  manager().device_interfaces(guid(class_a));
  usb->plug("dev-1", class_a);
  usb->arrive(class_a);
  EXPECT_EQ(r.seen, std::vector<std::string>{"dev-1"});
  usb->unplug("dev-1");
  usb->leave(class_a);
  EXPECT_TRUE(r.seen.empty());
  manager().arrival_listeners().remove(cb);
  manager().removal_listeners().remove(removed);
}

TEST_F(ManagerTest, DetachedWrappersCopyAndDieSafely) {
  usb->plug("dev-1", class_a);
  usb->start();
  karnet::io_device_interface d = manager().device_interfaces(guid(class_a)).front();
  usb->unplug("dev-1");
  usb->leave(class_a);
  ASSERT_FALSE(d.attached());
  karnet::io_device_interface copy(d);
  karnet::io_device_interface assigned;
  assigned = copy;
  EXPECT_FALSE(copy.attached());
  EXPECT_FALSE(assigned.attached());
  // A detached wrapper sorts before an attached one and is equivalent to another detached one.
  usb->plug("dev-2", class_a);
  usb->arrive(class_a);
  karnet::io_device_interface live = manager().device_interfaces(guid(class_a)).front();
  EXPECT_TRUE(d < live);
  EXPECT_FALSE(live < d);
  EXPECT_FALSE(d < copy);
  EXPECT_FALSE(copy < d);
}

TEST_F(ManagerTest, AllocateComesFromTheHeapLibrary) {
  ostrel::mem_block b = manager().allocate(64, true);
  ASSERT_NE(b.data(), nullptr);
  EXPECT_EQ(b.size(), 64u);
  for (uint32_t i = 0; i < 64; ++i) EXPECT_EQ(b.bytes()[i], 0);
}

}  // namespace
