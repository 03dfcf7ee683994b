#include <karnet/io_device_interface.h>

#include <functional>
#include <utility>

namespace karnet {

namespace {
// What a detached wrapper hands out where it must return a reference: nothing is ever run from them.
notice_listener_list& orphan_listeners() {
  static notice_listener_list list;
  return list;
}
karnet_lib& orphan_library() {
  static karnet_lib library(nullptr);
  return library;
}
}  // namespace

io_device_interface::io_device_interface() { InitializeCriticalSection(&link_.lock); }

io_device_interface::io_device_interface(const handle_type& implementation) {
  InitializeCriticalSection(&link_.lock);
  attach(implementation);
}

io_device_interface::io_device_interface(const io_device_interface& other) : io_device_interface_intf() {
  InitializeCriticalSection(&link_.lock);
  attach(other.implementation());
}

io_device_interface& io_device_interface::operator=(const io_device_interface& other) {
  if (this != &other) {
    handle_type next = other.implementation();
    detach();
    attach(next);
  }
  return *this;
}

io_device_interface::~io_device_interface() {
  detach();
  DeleteCriticalSection(&link_.lock);
}

// The implementation is told without the wrapper's lock held: it takes its own lock and then the locks
// of its wrappers, never the other way round.
void io_device_interface::attach(const handle_type& implementation) {
  if (!implementation) return;
  {
    lock_guard g(*this);
    link_.implementation = implementation;
  }
  implementation->attach_wrapper(&link_);
}

void io_device_interface::detach() {
  handle_type old;
  {
    lock_guard g(*this);
    old.swap(link_.implementation);
  }
  // Once this returns the implementation no longer knows the link, so the lock may go.
  if (old) old->detach_wrapper(&link_);
}

bool io_device_interface::attached() const {
  lock_guard g(*this);
  return static_cast<bool>(link_.implementation);
}

io_device_interface::handle_type io_device_interface::implementation() const {
  lock_guard g(*this);
  return link_.implementation;
}

std::string io_device_interface::name() const {
  lock_guard g(*this);
  return link_.implementation ? link_.implementation->name() : std::string();
}

guid io_device_interface::interface_class() const {
  lock_guard g(*this);
  return link_.implementation ? link_.implementation->interface_class() : guid();
}

device_description io_device_interface::description() const {
  lock_guard g(*this);
  return link_.implementation ? link_.implementation->description() : device_description();
}

protocol_handle io_device_interface::protocol() const {
  lock_guard g(*this);
  return link_.implementation ? link_.implementation->protocol() : protocol_handle();
}

notice_listener_list& io_device_interface::removal_listeners() {
  lock_guard g(*this);
  return link_.implementation ? link_.implementation->removal_listeners() : orphan_listeners();
}

// Called on a counted copy and without the lock: detach_all takes the locks of every wrapper, this one too.
void io_device_interface::detach_all() {
  handle_type h = implementation();
  if (h) h->detach_all();
}

uint32_t io_device_interface::session_count() const {
  lock_guard g(*this);
  return link_.implementation ? link_.implementation->session_count() : 0;
}

void io_device_interface::add_session(io_session_intf* session) {
  lock_guard g(*this);
  if (link_.implementation) link_.implementation->add_session(session);
}

void io_device_interface::remove_session(io_session_intf* session) {
  lock_guard g(*this);
  if (link_.implementation) link_.implementation->remove_session(session);
}

karnet_lib& io_device_interface::library() {
  lock_guard g(*this);
  return link_.implementation ? link_.implementation->library() : orphan_library();
}

bool operator<(const io_device_interface& a, const io_device_interface& b) {
  if (&a == &b) return false;
  // One wrapper at a time: holding both locks could deadlock with a comparison in the other order.
  auto read = [](const io_device_interface& w, const void*& identity, std::string& name) {
    io_device_interface::lock_guard g(w);
    identity = w.link_.implementation.get();
    if (identity) name = w.link_.implementation->name();
  };
  const void* ia = nullptr;
  const void* ib = nullptr;
  std::string na, nb;
  read(a, ia, na);
  read(b, ib, nb);
  if (!ia || !ib) return std::less<const void*>()(ia, ib);
  return na < nb;
}

}  // namespace karnet
