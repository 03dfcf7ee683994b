// Thread-safe use counts and the counted handle that every shared object travels in.
#ifndef W32CPP_HANDLE_H
#define W32CPP_HANDLE_H

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <type_traits>
#include <utility>

#include <w32cpp/export.h>

namespace w32cpp {

// Thrown when a count that has fallen to zero is taken or released again.
class W32CPP_VISIBLE use_count_base_is_zero : public std::exception {
public:
  const char *what() const noexcept override { return "use_count_base_is_zero"; }
};

// An atomic use count. The release that drops it to zero disposes of the owned object and deletes the
// counter, both through virtual calls, so the code that runs is that of the library that made the
// counter, whichever library releases last. A count of zero is never taken or released again.
class use_count_base {
public:
  explicit use_count_base(DWORD initial = 1);
  use_count_base(const use_count_base &) = delete;
  use_count_base &operator=(const use_count_base &) = delete;
  virtual ~use_count_base();

  void add_ref() {
    uint64_t w = word.load(std::memory_order_relaxed);
    do {
      if (uses(w) == 0)
        throw use_count_base_is_zero();
    } while (!word.compare_exchange_weak(w, w + 1, std::memory_order_relaxed));
  }

  // Throws use_count_base_is_zero when the count is already zero.
  void release() {
    if (!release_noexcept())
      throw use_count_base_is_zero();
  }

  // The same, for destructors: false instead of the exception.
  bool release_noexcept() noexcept {
    uint64_t w = word.load(std::memory_order_acquire);
    // The only use and no hook under way: no other thread can hold the counter to change it, so no
    // locked operation.
    if (w == 1) {
      word.store(0, std::memory_order_relaxed);
      dispose();
      delete this;
      return true;
    }
    uint64_t left;
    bool tell;
    do {
      // A release more than was taken: refuse rather than wrap to 0xFFFFFFFF.
      if (uses(w) == 0)
        return false;
      // Decided on the value this release changes, so that exactly the release that leaves one use tells.
      tell = tells_sole_use_ && uses(w) == 2;
      left = w - 1 + (tell ? one_hook : 0);
    } while (!word.compare_exchange_weak(w, left, std::memory_order_acq_rel, std::memory_order_acquire));
    if (tell) {
      // Told after the change; until the hook returns it holds the counter as a use of its own (not
      // in use_count()), so the last use may go on another thread meanwhile and the object still lives.
      sole_use_left();
      left = word.fetch_sub(one_hook, std::memory_order_acq_rel) - one_hook;
    }
    // The object's destructor never runs while the count is being changed.
    if (left == 0) {
      dispose();
      delete this;
    }
    return true;
  }

  DWORD use_count() const { return uses(word.load(std::memory_order_acquire)); }

protected:
  // Runs once, outside the lock, when the count falls to zero.
  virtual void dispose() {}

public:
  // A fresh empty counter (count 1) made by the code of the module that made this one.
  virtual use_count_base *make_empty() const { return new use_count_base(1); }

protected:
  // Runs once for every release that leaves one use, right after it, on the releasing thread, for a
  // counter that set tells_sole_use_ when it was made: a library's factory counter, whose one
  // remaining use is the library's own holder, learns there that its last client let go. Another
  // thread may have copied a handle again by the time it runs. (After the other slots, which keep
  // their places.)
  virtual void sole_use_left() {}
  bool tells_sole_use_ = false;

private:
  // The uses in the low half; in the high half the hooks under way, each of which keeps the counter.
  static constexpr uint64_t one_hook = uint64_t(1) << 32;
  static DWORD uses(uint64_t w) { return static_cast<DWORD>(w); }
  std::atomic<uint64_t> word;
};

template <class T> struct checked_deleter {
  void operator()(T *p) const noexcept {
    static_assert(sizeof(T) > 0, "cannot delete an incomplete type");
    delete p;
  }
};

template <class P, class D = checked_deleter<std::remove_pointer_t<P>>> class use_count_base_impl;

// A counter that also owns the object.
template <class T, class D> class use_count_base_impl<T *, D> : public use_count_base {
public:
  explicit use_count_base_impl(T *p) : use_count_base(1), object(p) {}

protected:
  void dispose() override {
    T *p = object;
    object = nullptr;
    if (p)
      D()(p);
  }

private:
  T *object;
};

// Counted handle: object pointer plus counter. The counter is never null; an empty handle owns one too.
template <class T> class auto_handle {
  template <class U> friend class auto_handle;

public:
  using element_type = T;

  auto_handle() : object(nullptr), counter(new use_count_base(1)) {}
  auto_handle(std::nullptr_t) : auto_handle() {}

  // Takes ownership of p; the counter deletes it as a U, so U's own destructor runs even when T has no
  // virtual one. If the counter cannot be made, p is deleted and the exception passed on.
  template <class U, class = std::enable_if_t<std::is_convertible_v<U *, T *>>>
  explicit auto_handle(U *p) : object(p), counter(nullptr) {
    if (!p) {
      counter = new use_count_base(1);
      return;
    }
    try {
      counter = new use_count_base_impl<U *>(p);
    } catch (...) {
      checked_deleter<U>()(p);
      throw;
    }
  }

  auto_handle(const auto_handle &other) : object(other.object), counter(other.counter) { counter->add_ref(); }

  template <class U, class = std::enable_if_t<std::is_convertible_v<U *, T *>>>
  auto_handle(const auto_handle<U> &other) : object(other.object), counter(other.counter) {
    counter->add_ref();
  }

  auto_handle &operator=(const auto_handle &other) {
    other.counter->add_ref();
    use_count_base *old = counter;
    object = other.object;
    counter = other.counter;
    old->release();
    return *this;
  }

  // A destructor cannot throw: a count that is already zero has nothing left to give back.
  ~auto_handle() { counter->release_noexcept(); }

  void reset() { auto_handle().swap(*this); }
  template <class U> void reset(U *p) { auto_handle(p).swap(*this); }

  // A handle over `p` whose count `c` (already 1) also owns it: for records that carry their counter.
  static auto_handle adopt(T *p, use_count_base *c) { return auto_handle(p, c); }

  // Empties the handle with a counter made by the module that made the current one. A loader uses it on
  // another library's global handle, so that no code of the loader's own module is left behind there.
  void reset_by_owner() { auto_handle(nullptr, counter->make_empty()).swap(*this); }

  void swap(auto_handle &other) noexcept {
    std::swap(object, other.object);
    std::swap(counter, other.counter);
  }

  T *get() const { return object; }
  T *operator->() const { return object; }
  T &operator*() const { return *object; }
  explicit operator bool() const { return object != nullptr; }
  DWORD use_count() const { return counter->use_count(); }
  bool unique() const { return use_count() == 1; }

  friend bool operator==(const auto_handle &a, const auto_handle &b) { return a.object == b.object; }
  friend bool operator<(const auto_handle &a, const auto_handle &b) { return std::less<T *>()(a.object, b.object); }

private:
  auto_handle(T *p, use_count_base *c) : object(p), counter(c) {}

  T *object;
  use_count_base *counter;
};

} // namespace w32cpp

#endif
