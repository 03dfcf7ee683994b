// I/O manager for user-mode requests: opening devices by link or interface path, file objects with
// cleanup and close, buffered / direct / neither buffers, completion back to the caller, CancelIo.
#include "kinternal.h"

#include <standin/kernel.h>

#include <map>
#include <thread>

namespace wbk {

struct kfile {
  PFILE_OBJECT fo = nullptr;
  PDEVICE_OBJECT opened = nullptr;  // the device named by the path (referenced)
  PDEVICE_OBJECT target = nullptr;  // top of its stack when opened (referenced): every request goes there
  PDEVICE_OBJECT pdo = nullptr;     // bottom of the stack, for the PnP handle count
  std::mutex mu;
  long refs = 1;  // the handle, plus one per outstanding request
  struct outstanding {
    PIRP irp;
    void *thread;
    void *overlapped;
  };
  std::vector<outstanding> pending;
};

namespace {

constexpr CSHORT kTypeFile = 5;
std::mutex g_excl_mu;
std::map<PDEVICE_OBJECT, int> g_opens;  // opens per device, for exclusive devices


// Sends a create, cleanup or close to the file's target and waits for it.
NTSTATUS send_file_irp(kfile *f, UCHAR major, uint32_t access, uint32_t share) {
  PIRP irp = IoAllocateIrp(f->target->StackSize, FALSE);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  irp->RequestorMode = UserMode;
  irp->Tail.Overlay.OriginalFileObject = f->fo;
  irp->Tail.Overlay.Thread = (PETHREAD)thread_token();
  PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(irp);
  s->MajorFunction = major;
  s->FileObject = f->fo;
  if (major == IRP_MJ_CREATE) {
    s->Parameters.Create.Options = 1u << 24;  // FILE_OPEN
    s->Parameters.Create.ShareAccess = (USHORT)share;
    (void)access;
  }
  return send_irp_and_wait(f->target, irp).Status;
}

void destroy_file(kfile *f) {
  if (f->fo) {
    if (f->fo->FileName.Buffer) RtlFreeUnicodeString(&f->fo->FileName);
    delete f->fo;
  }
  {
    std::lock_guard<std::mutex> l(g_excl_mu);
    if (f->opened && --g_opens[f->opened] == 0) g_opens.erase(f->opened);
  }
  dereference_device(f->target);
  dereference_device(f->opened);
  delete f;
}

// The last reference of a file object: IRP_MJ_CLOSE, then the PnP handle count drops.
void close_file(kfile *f) {
  send_file_irp(f, IRP_MJ_CLOSE, 0, 0);
  PDEVICE_OBJECT pdo = f->pdo;
  destroy_file(f);
  if (pdo) stack_handle_closed(pdo);
}

void release_file(kfile *f, bool may_block);

// What the completion of a request from io_submit needs, kept in the IRP's context space.
struct submit_ctx {
  kfile *f;
  void *sysbuf;
  void *out_ptr;
  uint32_t out_len;
  bool copy_out;
  void (*done)(void *, int32_t, uint64_t);
  void *done_context;
  std::atomic<int> phase;  // kLive, then kAbandoned by io_submit or kFinishing, kFinished by the completion
};
constexpr int kLive = 0, kAbandoned = 1, kFinishing = 2, kFinished = 3;
static_assert(sizeof(submit_ctx) <= kIrpContextSpace, "submit context too large");

void finish_submit(PIRP irp_done, void *space) {
  auto *c = static_cast<submit_ctx *>(space);
  kfile *f = c->f;
  void *sysbuf = c->sysbuf;
  int live = kLive;
  const bool report = c->phase.compare_exchange_strong(live, kFinishing, std::memory_order_acq_rel);
  NTSTATUS st = irp_done->IoStatus.Status;
  ULONG_PTR info = irp_done->IoStatus.Information;
  if (report && c->copy_out && !NT_ERROR(st) && info) {  // an abandoned caller's buffer may be gone
    if (info > c->out_len) {
      violation("request completed with Information %lu beyond the caller's %u-byte buffer", (unsigned long)info,
                c->out_len);
      info = c->out_len;
    }
    if (sysbuf && c->out_ptr) memcpy(c->out_ptr, sysbuf, info);
  }
  if (sysbuf) ExFreePool(sysbuf);
  for (PMDL m = irp_done->MdlAddress; m;) {
    PMDL next = m->Next;
    IoFreeMdl(m);
    m = next;
  }
  irp_done->MdlAddress = nullptr;
  {
    std::lock_guard<std::mutex> l(f->mu);
    for (auto it = f->pending.begin(); it != f->pending.end(); ++it) {
      if (it->irp == irp_done) {
        f->pending.erase(it);
        break;
      }
    }
  }
  free_irp_internal(irp_done);  // the context stays readable until the completion returns
  if (report) {
    if (c->done) c->done(c->done_context, st, info);
    c->phase.store(kFinished, std::memory_order_release);
  }
  release_file(f, false);
}

void release_file(kfile *f, bool may_block) {
  bool last;
  {
    std::lock_guard<std::mutex> l(f->mu);
    last = --f->refs == 0;
  }
  if (!last) return;
  if (may_block && KeGetCurrentIrql() == PASSIVE_LEVEL) {
    close_file(f);
  } else {
    queue_worker([f] { close_file(f); });
  }
}

}  // namespace

namespace {
thread_local int32_t t_last_open_status = 0;
int32_t open_device(const char *path, uint32_t access, uint32_t share, kfile **out);
}  // namespace

int32_t io_open(const char *path, uint32_t access, uint32_t share, bool, kfile **out) {
  return t_last_open_status = open_device(path, access, share, out);
}

namespace {
int32_t open_device(const char *path, uint32_t access, uint32_t share, kfile **out) {
  *out = nullptr;
  std::string p = path ? path : "";
  PDEVICE_OBJECT dev = nullptr;
  std::u16string rest;
  if (p.rfind("\\\\?\\", 0) == 0 || p.rfind("\\??\\", 0) == 0) {
    dev = open_interface(p);
    if (!dev) return STATUS_OBJECT_NAME_NOT_FOUND;
  } else if (p.rfind("\\\\.\\", 0) == 0) {
    std::string name = p.substr(4);
    std::string sub;
    size_t slash = name.find('\\');
    if (slash != std::string::npos) {
      sub = name.substr(slash);
      name = name.substr(0, slash);
    }
    std::u16string target = resolve_link(to_u16("\\??\\") + from_utf8(name));
    if (target.empty()) return STATUS_OBJECT_NAME_NOT_FOUND;
    dev = lookup_device_name(target);
    if (!dev) return STATUS_OBJECT_NAME_NOT_FOUND;
    rest = from_utf8(sub);
  } else {
    return STATUS_OBJECT_PATH_NOT_FOUND;
  }
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(dev);
  // As the I/O manager does: no open reaches a stack still initialising or whose removal has begun.
  if ((top->Flags & DO_DEVICE_INITIALIZING) || removal_begun(dev) || removal_begun(top)) {
    dereference_device(top);
    dereference_device(dev);
    return STATUS_NO_SUCH_DEVICE;
  }
  {
    std::lock_guard<std::mutex> l(g_excl_mu);
    if ((dev->Flags & DO_EXCLUSIVE) && g_opens[dev] > 0) {
      dereference_device(top);
      dereference_device(dev);
      return STATUS_ACCESS_DENIED;
    }
    ++g_opens[dev];
  }
  auto *f = new kfile;
  f->opened = dev;
  f->target = top;
  f->fo = new FILE_OBJECT{};
  f->fo->Type = kTypeFile;
  f->fo->Size = sizeof(FILE_OBJECT);
  f->fo->DeviceObject = dev;
  f->fo->ReadAccess = (access & 0x80000000u) != 0;
  f->fo->WriteAccess = (access & 0x40000000u) != 0;
  f->fo->SharedRead = (share & 1) != 0;
  f->fo->SharedWrite = (share & 2) != 0;
  if (!rest.empty()) make_unicode(rest, &f->fo->FileName);
  NTSTATUS st = send_file_irp(f, IRP_MJ_CREATE, access, share);
  if (!NT_SUCCESS(st)) {
    destroy_file(f);
    return st;
  }
  f->pdo = pdo_of(dev);
  if (!pdo_identity_of(f->pdo)) f->pdo = nullptr;
  if (f->pdo) stack_handle_opened(f->pdo);
  *out = f;
  return st;
}
}  // namespace

void io_close(kfile *f) {
  send_file_irp(f, IRP_MJ_CLEANUP, 0, 0);
  release_file(f, true);
}

void io_hold(kfile *f) {
  std::lock_guard<std::mutex> l(f->mu);
  ++f->refs;
}

void io_release(kfile *f) { release_file(f, true); }

int32_t io_submit(kfile *f, io_request req) {
  PDEVICE_OBJECT target = f->target;
  PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  irp->RequestorMode = UserMode;
  irp->Tail.Overlay.OriginalFileObject = f->fo;
  irp->Tail.Overlay.Thread = (PETHREAD)req.thread;
  PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(irp);
  s->MajorFunction = (UCHAR)req.major;
  s->FileObject = f->fo;
  enum class buf { none, buffered, direct, neither } kind = buf::none;
  bool copy_out = false;
  void *sysbuf = nullptr;
  uint32_t out_len = 0;
  void *out_ptr = nullptr;
  if (req.major == IRP_MJ_READ || req.major == IRP_MJ_WRITE) {
    bool read = req.major == IRP_MJ_READ;
    void *user = read ? req.out : req.in;
    uint32_t len = read ? req.out_length : req.in_length;
    s->Parameters.Read.Length = len;
    s->Parameters.Read.ByteOffset.QuadPart = req.offset;
    if (target->Flags & DO_BUFFERED_IO) {
      kind = buf::buffered;
      if (len) {
        sysbuf = ExAllocatePoolWithTag(NonPagedPool, len, tag4("IoBf"));
        if (!sysbuf) {
          free_irp_internal(irp);
          return STATUS_INSUFFICIENT_RESOURCES;
        }
        if (!read) memcpy(sysbuf, user, len);
      }
      irp->AssociatedIrp.SystemBuffer = sysbuf;
      copy_out = read;
      out_ptr = user;
      out_len = len;
    } else if (target->Flags & DO_DIRECT_IO) {
      kind = buf::direct;
      if (len && !IoAllocateMdl(user, len, FALSE, FALSE, irp)) {
        free_irp_internal(irp);
        return STATUS_INSUFFICIENT_RESOURCES;
      }
    } else {
      kind = buf::neither;
      irp->UserBuffer = user;
    }
  } else {
    s->Parameters.DeviceIoControl.IoControlCode = req.code;
    s->Parameters.DeviceIoControl.InputBufferLength = req.in_length;
    s->Parameters.DeviceIoControl.OutputBufferLength = req.out_length;
    ULONG method = METHOD_FROM_CTL_CODE(req.code);
    if (method == METHOD_BUFFERED) {
      kind = buf::buffered;
      uint32_t n = req.in_length > req.out_length ? req.in_length : req.out_length;
      if (n) {
        sysbuf = ExAllocatePoolWithTag(NonPagedPool, n, tag4("IoBf"));
        if (!sysbuf) {
          free_irp_internal(irp);
          return STATUS_INSUFFICIENT_RESOURCES;
        }
        if (req.in_length) memcpy(sysbuf, req.in, req.in_length);
      }
      irp->AssociatedIrp.SystemBuffer = sysbuf;
      copy_out = true;
      out_ptr = req.out;
      out_len = req.out_length;
    } else if (method == METHOD_NEITHER) {
      kind = buf::neither;
      s->Parameters.DeviceIoControl.Type3InputBuffer = req.in;
      irp->UserBuffer = req.out;
    } else {
      kind = buf::direct;
      if (req.in_length) {
        sysbuf = ExAllocatePoolWithTag(NonPagedPool, req.in_length, tag4("IoBf"));
        if (!sysbuf) {
          free_irp_internal(irp);
          return STATUS_INSUFFICIENT_RESOURCES;
        }
        memcpy(sysbuf, req.in, req.in_length);
        irp->AssociatedIrp.SystemBuffer = sysbuf;
      }
      if (req.out_length && !IoAllocateMdl(req.out, req.out_length, FALSE, FALSE, irp)) {
        if (sysbuf) ExFreePool(sysbuf);
        free_irp_internal(irp);
        return STATUS_INSUFFICIENT_RESOURCES;
      }
    }
  }
  (void)kind;
  {
    std::lock_guard<std::mutex> l(f->mu);
    ++f->refs;
    f->pending.push_back({irp, req.thread, req.overlapped});
  }
  auto *ctx = new (set_irp_finalizer(irp, finish_submit))
      submit_ctx{f, sysbuf, out_ptr, out_len, copy_out, req.done, req.done_context, {kLive}};
  irp_watch watch(irp);
  NTSTATUS st = IoCallDriver(target, irp);
  if (st != STATUS_PENDING) {
    int live = kLive;
    if (ctx->phase.compare_exchange_strong(live, kAbandoned, std::memory_order_acq_rel)) {
      violation("dispatch routine returned 0x%08x without completing the IRP (and not STATUS_PENDING)", (unsigned)st);
    } else {
      while (ctx->phase.load(std::memory_order_acquire) != kFinished) std::this_thread::yield();
    }
  }
  return st;
}

size_t io_cancel(kfile *f, void *thread, void *overlapped) {
  std::vector<PIRP> list;
  {
    std::lock_guard<std::mutex> l(f->mu);
    for (auto &p : f->pending) {
      if ((!thread || p.thread == thread) && (!overlapped || p.overlapped == overlapped)) {
        pin_irp(p.irp);
        list.push_back(p.irp);
      }
    }
  }
  for (PIRP irp : list) {
    IoCancelIrp(irp);
    unpin_irp(irp);
  }
  return list.size();
}

uint32_t status_to_win32(int32_t status) {
  switch ((uint32_t)status) {
    case 0x00000000: return 0;
    case 0x00000102: return 258;   // STATUS_TIMEOUT -> WAIT_TIMEOUT
    case 0x00000103: return 997;   // STATUS_PENDING -> ERROR_IO_PENDING
    case 0x80000005: return 234;   // buffer overflow -> ERROR_MORE_DATA
    case 0x80000011: return 170;   // device busy -> ERROR_BUSY
    case 0x8000001A: return 259;   // no more entries -> ERROR_NO_MORE_ITEMS
    case 0xC0000001: return 31;    // unsuccessful -> ERROR_GEN_FAILURE
    case 0xC0000002: return 1;     // not implemented -> ERROR_INVALID_FUNCTION
    case 0xC0000008: return 6;     // invalid handle
    case 0xC000000D: return 87;    // invalid parameter
    case 0xC000000E: return 2;     // no such device -> ERROR_FILE_NOT_FOUND
    case 0xC0000010: return 1;     // invalid device request -> ERROR_INVALID_FUNCTION
    case 0xC0000011: return 38;    // end of file -> ERROR_HANDLE_EOF
    case 0xC0000017: return 8;     // no memory -> ERROR_NOT_ENOUGH_MEMORY
    case 0xC0000022: return 5;     // access denied
    case 0xC0000023: return 122;   // buffer too small -> ERROR_INSUFFICIENT_BUFFER
    case 0xC0000033: return 123;   // name invalid -> ERROR_INVALID_NAME
    case 0xC0000034: return 2;     // name not found -> ERROR_FILE_NOT_FOUND
    case 0xC0000035: return 183;   // name collision -> ERROR_ALREADY_EXISTS
    case 0xC000003A: return 3;     // path not found
    case 0xC0000043: return 32;    // sharing violation
    case 0xC0000056: return 5;     // delete pending -> ERROR_ACCESS_DENIED
    case 0xC000009A: return 1450;  // insufficient resources -> ERROR_NO_SYSTEM_RESOURCES
    case 0xC000009C: return 23;    // device data error -> ERROR_CRC
    case 0xC000009D: return 1167;  // device not connected
    case 0xC00000A3: return 21;    // device not ready -> ERROR_NOT_READY
    case 0xC00000B5: return 121;   // I/O time-out -> ERROR_SEM_TIMEOUT
    case 0xC00000BB: return 50;    // not supported
    case 0xC00000E8: return 1784;  // invalid user buffer
    case 0xC0000120: return 995;   // cancelled -> ERROR_OPERATION_ABORTED
    case 0xC0000128: return 6;     // file closed -> ERROR_INVALID_HANDLE
    case 0xC0000184: return 22;    // invalid device state -> ERROR_BAD_COMMAND
    case 0xC0000185: return 1117;  // I/O device error -> ERROR_IO_DEVICE
    case 0xC0000206: return 1784;  // invalid buffer size -> ERROR_INVALID_USER_BUFFER
    case 0xC0000225: return 1168;  // not found -> ERROR_NOT_FOUND
    case 0xC00002B6: return 1617;  // device removed -> ERROR_DEVICE_REMOVED
    default: return 317;           // no text for it: ERROR_MR_MID_NOT_FOUND, as the system answers
  }
}

}  // namespace wbk

namespace standin::kernel {
int32_t last_open_status() { return wbk::t_last_open_status; }
}  // namespace standin::kernel
