// Debug trace streams: named streams whose sink drops everything written to them.
#ifndef W32CPP_TRACE_H
#define W32CPP_TRACE_H

#include <ostream>
#include <streambuf>
#include <string>

namespace w32cpp {

template <class C, class Traits = std::char_traits<C>, int Size = 512>
class basic_dbgstreambuf : public std::basic_streambuf<C, Traits> {
protected:
  typename Traits::int_type overflow(typename Traits::int_type) override { return Traits::eof(); }
  std::streamsize xsputn(const C *, std::streamsize n) override { return n; }
  int sync() override { return 0; }
};

namespace detail {
struct dbg_buffer_member {
  basic_dbgstreambuf<char> buffer;
};
} // namespace detail

class dbg_ostream : private detail::dbg_buffer_member, public std::ostream {
public:
  dbg_ostream() : std::ostream(&buffer) {}
  dbg_ostream(const dbg_ostream &) = delete;
  dbg_ostream &operator=(const dbg_ostream &) = delete;
};

class DBGTrace : public dbg_ostream {
public:
  explicit DBGTrace(const std::string & /*name*/ = std::string()) {}
};

} // namespace w32cpp

#endif
