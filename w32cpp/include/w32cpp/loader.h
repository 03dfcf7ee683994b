// Binding to another library's singleton through its factory `<name>_get_instance`.
#ifndef W32CPP_LOADER_H
#define W32CPP_LOADER_H

#include <windows.h>

#include <string>

#include <w32cpp/export.h>
#include <w32cpp/handle.h>
#include <w32cpp/waitable.h>

namespace w32cpp {

namespace detail {
// The folder in "zephDllPath", or empty when the value is missing, not a string or too long.
std::string library_folder();
// folder + "\" + file, without doubling a separator the folder already ends with.
std::string join_library_path(const std::string &folder, const char *file);
// LoadLibraryA from the registry folder first, then by bare name; null when neither loads.
HMODULE load_library(const char *file);
// GetProcAddress as a plain function pointer.
void (*find_entry(HMODULE module, const char *entry))();
} // namespace detail

// A client's binding to a library's global singleton handle.
template <class T> class lib_instance {
public:
  using factory_type = auto_handle<T> *(*)();

  lib_instance() = default;
  lib_instance(const lib_instance &other) : holder(other.holder), own(other.own) {}
  lib_instance &operator=(const lib_instance &) = delete;
  virtual ~lib_instance() { lib_instance::release(); }

  // Binds to a library's global handle; true when it holds an object.
  bool bind(auto_handle<T> *global) {
    lib_instance::release();
    holder = global;
    if (global)
      own = *global;
    return static_cast<bool>(own);
  }

  bool bind_from(factory_type factory) {
    if (!factory)
      return false;
    auto_handle<T> *global = factory();
    return global ? bind(global) : false;
  }

  // Drops this client's reference; the last client destroys the singleton while its library is loaded.
  virtual void release() {
    if (!holder)
      return;
    own.reset();
    if (holder->use_count() == 1)
      holder->reset_by_owner();
    holder = nullptr;
  }

  T *get() const { return own.get(); }
  T *operator->() const { return own.get(); }
  explicit operator bool() const { return static_cast<bool>(own); }
  const auto_handle<T> &handle() const { return own; }

protected:
  auto_handle<T> *holder = nullptr;
  auto_handle<T> own;
};

// Loads a library (registry folder first, then bare name), calls its factory and keeps the module loaded
// while any copy of this loader is bound. Every failure is silent: the loader then holds no object.
template <class T> class dynamic_link_instance : public lib_instance<T> {
public:
  dynamic_link_instance(const char *file, const char *entry) {
    if (HMODULE m = detail::load_library(file)) {
      module.reset(new win_object<HINSTANCE>(m));
      this->bind_from(reinterpret_cast<typename lib_instance<T>::factory_type>(detail::find_entry(m, entry)));
    }
  }
  dynamic_link_instance(const dynamic_link_instance &other) : lib_instance<T>(other), module(other.module) {}
  ~dynamic_link_instance() override { dynamic_link_instance::release(); }

  void release() override {
    lib_instance<T>::release();
    module.reset();
  }

  bool has_module() const { return static_cast<bool>(module); }

protected:
  auto_handle<win_object<HINSTANCE>> module;
};

// Binds to a factory in the same module.
template <class T> class static_link_instance : public lib_instance<T> {
public:
  explicit static_link_instance(typename lib_instance<T>::factory_type factory) { this->bind_from(factory); }
  static_link_instance(const static_link_instance &) = default;
};

// Body of a factory: creates the library's one Impl on the first call and returns the global's address.
// Takes no lock: the first call must not race with another.
template <class Impl, class T> auto_handle<T> *factory_instance(auto_handle<T> &global) {
  if (!global)
    global.reset(new Impl());
  return &global;
}

} // namespace w32cpp

#endif
