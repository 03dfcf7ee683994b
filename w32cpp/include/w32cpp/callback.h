// Callbacks bound to an object's member function, and locked lists of them.
#ifndef W32CPP_CALLBACK_H
#define W32CPP_CALLBACK_H

#include <windows.h>

#include <list>
#include <type_traits>

#include <w32cpp/handle.h>
#include <w32cpp/lock.h>

namespace w32cpp {

// Fills the argument places a callback does not use.
struct unusable {};

// Callbacks are deleted only by their counter, as the class that was made (member_callback), so the
// interface needs no virtual destructor of its own.
class icall_ {
public:
  virtual bool is_bound() const { return false; }
  virtual void unbind() {}

protected:
  icall_() = default;
  icall_(const icall_ &) = default;
  icall_ &operator=(const icall_ &) = default;
  ~icall_() = default;
};

class icall_0 : public icall_ {
public:
  virtual void invoke() {}
};

template <class A1, class A2> class icall_2 : public icall_ {
public:
  virtual void invoke(A1, A2) {}
};

template <class A1 = unusable, class A2 = unusable, class A3 = unusable, class A4 = unusable,
          class A5 = unusable>
class icallback;

template <> class icallback<unusable, unusable, unusable, unusable, unusable> : public icall_0 {
public:
  void unbind() override = 0;
};

template <class A1, class A2> class icallback<A1, A2, unusable, unusable, unusable> : public icall_2<A1, A2> {
public:
  void unbind() override = 0;
};

template <class C> class member_call_0 : public icallback<> {
public:
  using method_type = void (C::*)();
  member_call_0(C *o, method_type m) : method(m), object(o) {}
  bool is_bound() const override { return method != nullptr && object != nullptr; }
  void unbind() override {
    method = nullptr;
    object = nullptr;
  }
  void invoke() override { (object->*method)(); }

protected:
  method_type method;
  C *object;
};

template <class C, class A1, class A2> class member_call_2 : public icallback<A1, A2> {
public:
  using method_type = void (C::*)(A1, A2);
  member_call_2(C *o, method_type m) : method(m), object(o) {}
  bool is_bound() const override { return method != nullptr && object != nullptr; }
  void unbind() override {
    method = nullptr;
    object = nullptr;
  }
  void invoke(A1 a1, A2 a2) override { (object->*method)(a1, a2); }

protected:
  method_type method;
  C *object;
};

namespace detail {
template <class C, class A1, class A2, class A3, class A4, class A5> struct member_call_base {
  static_assert(std::is_same_v<A3, unusable> && std::is_same_v<A4, unusable> && std::is_same_v<A5, unusable>,
                "callbacks take no argument or two");
  using type = member_call_2<C, A1, A2>;
};
template <class C> struct member_call_base<C, unusable, unusable, unusable, unusable, unusable> {
  using type = member_call_0<C>;
};
} // namespace detail

template <class C, class A1 = unusable, class A2 = unusable, class A3 = unusable, class A4 = unusable,
          class A5 = unusable>
class member_callback final : public detail::member_call_base<C, A1, A2, A3, A4, A5>::type {
  using base = typename detail::member_call_base<C, A1, A2, A3, A4, A5>::type;

public:
  using base::base;
};

// A counted callback bound to object->method. The method may belong to a base class of the object.
template <class C>
auto_handle<icallback<>> make_member_callback(std::type_identity_t<C> *object, void (C::*method)()) {
  return auto_handle<icallback<>>(new member_callback<C>(object, method));
}

template <class C, class A1, class A2>
auto_handle<icallback<A1, A2>> make_member_callback(std::type_identity_t<C> *object, void (C::*method)(A1, A2)) {
  return auto_handle<icallback<A1, A2>>(new member_callback<C, A1, A2>(object, method));
}

// Who is calling which subscriber right now, and on which thread, so that a removal can wait until a
// call of what it removes has returned on the other threads. Guarded by its owner's lock, which is never
// held while a subscriber runs: a thread ended inside a subscriber leaves no lock owned.
class call_registry {
public:
  // One call in progress; lives on the calling thread's stack.
  struct call {
    const void *target = nullptr;
    DWORD thread = 0;
    call *next = nullptr;
  };

  call_registry() = default;
  call_registry(const call_registry &) = delete;
  call_registry &operator=(const call_registry &) = delete;

  // The owner's lock is held for each of these.
  void begin_locked(call &c, const void *target) {
    c.target = target;
    c.thread = GetCurrentThreadId();
    c.next = calls_;
    calls_ = &c;
  }
  void end_locked(call &c) {
    for (call **p = &calls_; *p; p = &(*p)->next) {
      if (*p == &c) {
        *p = c.next;
        break;
      }
    }
    for (waiter *w = waiters_; w; w = w->next)
      if (w->target == c.target)
        SetEvent(w->event);
  }
  // Returns, with `lock` held again, once no other thread is inside a call of target. The caller holds
  // `lock` once. A call on this thread (a subscriber removing itself) is not waited for. No limit: the
  // guarantee is that the call has returned.
  void wait_locked(CRITICAL_SECTION &lock, const void *target) {
    while (called_elsewhere(target)) {
      waiter w{target, CreateEventA(nullptr, TRUE, FALSE, nullptr), waiters_};
      if (!w.event) {
        LeaveCriticalSection(&lock);
        Sleep(1);
        EnterCriticalSection(&lock);
        continue;
      }
      waiters_ = &w;
      LeaveCriticalSection(&lock);
      WaitForSingleObject(w.event, INFINITE);
      EnterCriticalSection(&lock);
      for (waiter **p = &waiters_; *p; p = &(*p)->next) {
        if (*p == &w) {
          *p = w.next;
          break;
        }
      }
      CloseHandle(w.event);
    }
  }

private:
  struct waiter {
    const void *target;
    HANDLE event;
    waiter *next;
  };

  bool called_elsewhere(const void *target) const {
    const DWORD me = GetCurrentThreadId();
    for (const call *c = calls_; c; c = c->next)
      if (c->target == target && c->thread != me)
        return true;
    return false;
  }

  call *calls_ = nullptr;
  waiter *waiters_ = nullptr;
};

// Subscribers called in the order they were added. The list's lock guards the entries only: it is left
// while a subscriber runs, so a subscriber may add (the walk reaches the new entry), remove (the entry is
// skipped at once and dropped when the last walk ends) or notify again, on its own thread or another, and
// a thread ended inside a subscriber leaves the list usable. Walks on several threads may run at once.
// Once remove() has returned, what it removed is never called again: a call in progress on another
// thread has returned.
template <class A1 = unusable, class A2 = unusable, class A3 = unusable, class A4 = unusable,
          class A5 = unusable>
class listener_list {
public:
  using callback_type = icallback<A1, A2, A3, A4, A5>;
  using handle_type = auto_handle<callback_type>;

  listener_list() { InitializeCriticalSection(&lock); }
  listener_list(const listener_list &) = delete;
  listener_list &operator=(const listener_list &) = delete;

  ~listener_list() {
    std::list<entry> left;
    {
      section_lock g(lock);
      left.swap(entries);
    }
    DeleteCriticalSection(&lock);
  }

  void add(const handle_type &h) {
    guard g(*this);
    entries.push_back(entry{h, false});
  }

  // Removes every entry holding the same object as h; returns once no other thread is calling it.
  void remove(const handle_type &h) {
    guard g(*this);
    for (auto it = entries.begin(); it != entries.end();) {
      if (it->removed || !(it->handle == h)) {
        ++it;
      } else if (walking > 0) {
        it->removed = true;
        has_removed = true;
        ++it;
      } else {
        it = entries.erase(it);
      }
    }
    if (h)
      calls.wait_locked(lock, h.get());
  }

  void notify()
    requires std::is_same_v<A1, unusable>
  {
    walk([](callback_type &c) { c.invoke(); });
  }

  void notify(A1 a1, A2 a2)
    requires(!std::is_same_v<A1, unusable>)
  {
    walk([&](callback_type &c) { c.invoke(a1, a2); });
  }

  // Entries that a walk would still call.
  size_t size() const {
    guard g(*this);
    size_t n = 0;
    for (const entry &e : entries)
      n += e.removed ? 0 : 1;
    return n;
  }

private:
  struct entry {
    handle_type handle;
    bool removed;
  };

  struct guard : section_lock {
    explicit guard(const listener_list &l) : section_lock(l.lock) {}
  };

  // One walk: holds the lock except while a subscriber runs. Ends also when a subscriber throws; the
  // last walk out drops the removed entries.
  struct walk_scope {
    explicit walk_scope(listener_list &l) : list(l) {
      EnterCriticalSection(&list.lock);
      ++list.walking;
    }
    ~walk_scope() {
      if (--list.walking == 0 && list.has_removed) {
        list.has_removed = false;
        list.entries.remove_if([](const entry &e) { return e.removed; });
      }
      LeaveCriticalSection(&list.lock);
    }
    template <class G> void run_unlocked(const void *target, G &&g) {
      call_registry::call current;
      list.calls.begin_locked(current, target);
      LeaveCriticalSection(&list.lock);
      struct relock {
        listener_list &list;
        call_registry::call &current;
        ~relock() {
          EnterCriticalSection(&list.lock);
          list.calls.end_locked(current);
        }
      } again{list, current};
      g();
    }
    listener_list &list;
  };

  template <class F> void walk(F call) {
    walk_scope scope(*this);
    // Entries are never erased during a walk and std::list keeps iterators across push_back, so the walk
    // also reaches entries added meanwhile.
    for (auto it = entries.begin(); it != entries.end(); ++it) {
      if (it->removed)
        continue;
      // A counted copy: the subscriber stays alive through its call whoever removes it.
      const handle_type h = it->handle;
      callback_type *c = h.get();
      if (c && c->is_bound())
        scope.run_unlocked(c, [&] { call(*c); });
    }
  }

  std::list<entry> entries;
  mutable CRITICAL_SECTION lock;
  call_registry calls;
  unsigned walking = 0;
  bool has_removed = false;
};

} // namespace w32cpp

#endif
