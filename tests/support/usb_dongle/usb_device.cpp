// An RTL2832U + R820T dongle behind libusb-1.0's API, for LD_PRELOAD under the real
// librtlsdr: it lists one device (0bda:2838), answers librtlsdr's control transfers
// from a model of the chips' registers, and streams paced I/Q with a carrier at a fixed
// radio frequency.
//
// Environment:
//   RXIQ_USB_CARRIER=HZ    the carrier's radio frequency (default 145735000)
//   RXIQ_USB_SERIAL=TEXT   the serial number string (default 00000001)
//   RXIQ_USB_PPM=N         how far the dongle's 28.8 MHz crystal is off, in ppm (default 0)
//   RXIQ_USB_FAULT=LIST    comma-separated: no-device, busy, access, kernel-driver,
//                          read-error=N, unplug=S (S seconds after this process first
//                          opens it), replug=M (M seconds after the unplug)
//   RXIQ_USB_PRESENCE=PATH plugs and unplugs at will: while PATH holds "absent" (blanks
//                          around it ignored) the device is out, otherwise (any other
//                          text, or no file) it is in, a fresh device each time it comes
//                          back. Read at most every 100 ms, when libusb is called (a
//                          change while nobody calls is seen at the next call); replace
//                          it by a rename so that no read sees it half written.
//   RXIQ_USB_RECORD=PATH   appends one line per event:
//     open | open-failed access | claim | claim-failed busy|kernel-driver | release
//     close | close claimed            (closed without releasing the interface)
//     detach-kernel-driver | attach-kernel-driver | reset
//     rate HZ                          resampler settled (after librtlsdr's soft reset)
//     tuned LO=HZ IF=HZ rf=HZ lock=0|1 PLL set: LO, the IF the down-converter removes, and
//                                      the radio frequency that lands at 0 Hz in the I/Q
//     gain mode=manual lna=I mixer=J vga=K db=X | gain mode=auto vga=K
//     tuner standby                    librtlsdr put the R820T to sleep (on close)
//     correction ppm=N | agc on|off | bias-tee on|off | direct-sampling 0|1|2
//     read-error N | unplug | replug   (unplug and replug each time it happens)
//     exit closed|open                 at process exit (if libusb was used): closed when
//                                      every handle was released and closed by then; a
//                                      thread never joined may still close it afterwards
// Fields are "key=value" after a first word; frequencies in Hz with three decimals.
//
// Offset tuning never reaches the device: librtlsdr refuses it for the R820T.
//
// The library is built without sanitizers (it sits in front of their runtimes); programs
// built with AddressSanitizer need ASAN_OPTIONS=verify_asan_link_order=0 to accept it.

#include <libusb.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <string_view>
#include <thread>
#include <unistd.h>

#include "record.h"
#include "rtl2832.h"
#include "sample_stream.h"
#include "settings.h"

struct libusb_context {};
struct libusb_device {
  int generation;  // 0 until an unplug, then one more each time it is plugged back
};
struct libusb_device_handle {
  libusb_device* device;
  bool claimed = false;
};

#define API extern "C" __attribute__((visibility("default")))

namespace {

using Clock = std::chrono::steady_clock;

// Asynchronous transfers waiting for handle_events, oldest first.
struct Pending {
  libusb_transfer* transfer;
  bool cancelled = false;
  bool reserved = false;
  long number = 0;  // which bulk read this is
  Clock::time_point due{};
};

// What the threads share. Never destroyed: a program may exit while its streaming
// thread still waits in handle_events.
struct Shared {
  std::mutex model_mutex;  // the registers, across the command and streaming threads
  Rtl2832* model = nullptr;
  SampleStream stream;
  std::mutex queue_mutex;
  std::condition_variable queue_changed;
  std::deque<Pending> queue;
};
Shared& shared() {
  static Shared* const s = new Shared;
  return *s;
}

libusb_context default_context;

// The device of each generation, made when first listed and kept: handles and lists
// point at it, and libusb's reference counts are not kept.
libusb_device* device_of(int generation) {
  static std::mutex mutex;
  static auto* const made = new std::deque<libusb_device>;
  std::lock_guard lock(mutex);
  while (static_cast<int>(made->size()) <= generation) made->push_back({static_cast<int>(made->size())});
  return &(*made)[static_cast<size_t>(generation)];
}

std::atomic<bool> used{false};
std::atomic<int> open_handles{0};
std::atomic<bool> unreleased_close{false};
std::atomic<long> bulk_reads{0};
std::atomic<bool> kernel_driver_bound{false};
std::atomic<Clock::rep> first_open{0};  // 0: not opened yet
std::atomic<bool> said_unplug{false}, said_replug{false};
std::atomic<int> model_generation{0};  // the generation the register model was made for
std::once_flag started;

// RXIQ_USB_PRESENCE: how many times the file has plugged the device back, doubled, plus 1
// while it says the device is out. One word, so that no reader sees half a change.
std::atomic<int> file_state{0};
std::atomic<Clock::rep> next_file_read{0};
std::mutex file_read_mutex;
constexpr auto file_read_interval = std::chrono::milliseconds(100);

bool file_says_absent(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char text[64];
  const ssize_t n = ::read(fd, text, sizeof text);
  ::close(fd);
  std::string_view v(text, n > 0 ? static_cast<size_t>(n) : 0);
  const size_t first = v.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return false;
  v = v.substr(first, v.find_last_not_of(" \t\r\n") - first + 1);
  return v == "absent";
}

// The presence file's say: how many times it has plugged the device back, or -1 while
// the device is out. The file is read by whichever thread comes first once the interval
// has passed (the transfer path asks every few milliseconds); the others take the last
// answer.
int file_presence() {
  const std::string& path = settings().presence_path;
  if (path.empty()) return 0;
  const Clock::rep now = Clock::now().time_since_epoch().count();
  if (now >= next_file_read.load(std::memory_order_relaxed)) {
    std::unique_lock lock(file_read_mutex, std::try_to_lock);
    if (lock.owns_lock() && now >= next_file_read.load(std::memory_order_relaxed)) {
      next_file_read.store(now + std::chrono::duration_cast<Clock::duration>(file_read_interval).count(),
                           std::memory_order_relaxed);
      const int state = file_state.load(std::memory_order_relaxed);
      const bool out = file_says_absent(path);
      if (out != ((state & 1) != 0)) {
        file_state.store(out ? state | 1 : (state & ~1) + 2, std::memory_order_relaxed);
        record_line(out ? "unplug" : "replug");
      }
    }
  }
  const int state = file_state.load(std::memory_order_relaxed);
  return (state & 1) ? -1 : state >> 1;
}

void start() {
  std::call_once(started, [] {
    kernel_driver_bound.store(settings().faults.kernel_driver, std::memory_order_relaxed);
    std::lock_guard lock(shared().model_mutex);
    shared().model = new Rtl2832();
  });
  used.store(true, std::memory_order_relaxed);
}

// RXIQ_USB_FAULT's timed unplug: 0 before it, 1 once plugged back, -1 between.
int timed_presence() {
  const Faults& f = settings().faults;
  const Clock::rep opened = first_open.load(std::memory_order_acquire);
  if (f.unplug_s < 0 || opened == 0) return 0;
  const double since = std::chrono::duration<double>(Clock::now() - Clock::time_point(Clock::duration(opened))).count();
  if (since < f.unplug_s) return 0;
  if (!said_unplug.exchange(true, std::memory_order_relaxed)) record_line("unplug");
  if (f.replug_s >= 0 && since >= f.unplug_s + f.replug_s) {
    if (!said_replug.exchange(true, std::memory_order_relaxed)) record_line("replug");
    return 1;
  }
  return -1;
}

// Which device is on the bus now: its generation (each plug-back, timed or by the
// presence file, makes a new one), or -1 for none.
int present() {
  if (settings().faults.no_device) return -1;
  const int timed = timed_presence();
  const int plugged = file_presence();
  return timed < 0 || plugged < 0 ? -1 : timed + plugged;
}

bool gone(const libusb_device_handle* handle) { return present() != handle->device->generation; }

StreamSettings stream_settings(unsigned long& epoch) {
  std::lock_guard lock(shared().model_mutex);
  epoch = shared().model->fifo_resets();
  return shared().model->stream_settings();
}

// Fills a bulk read once its samples are due; false if the device went meanwhile.
bool wait_and_fill(const libusb_device_handle* handle, uint8_t* data, size_t length, Clock::time_point due) {
  while (Clock::now() < due) {
    if (gone(handle)) return false;
    std::this_thread::sleep_until(std::min(due, Clock::now() + std::chrono::milliseconds(20)));
  }
  if (gone(handle)) return false;
  unsigned long epoch = 0;
  const StreamSettings s = stream_settings(epoch);
  shared().stream.fill(data, length, s, settings().carrier_hz);
  return true;
}

Clock::time_point reserve(size_t length) {
  unsigned long epoch = 0;
  const StreamSettings s = stream_settings(epoch);
  return shared().stream.due(length, s.rate_hz, epoch);
}

void finish(libusb_transfer* t, libusb_transfer_status status, int actual) {
  t->status = status;
  t->actual_length = actual;
  if (t->callback) t->callback(t);
}

struct ExitNote {
  ~ExitNote() {
    if (!used.load(std::memory_order_relaxed)) return;
    const bool closed = open_handles.load(std::memory_order_relaxed) == 0 && !unreleased_close.load(std::memory_order_relaxed);
    record_line("exit %s", closed ? "closed" : "open");
  }
} exit_note;

}  // namespace

API int libusb_init(libusb_context** ctx) {
  start();
  if (ctx) *ctx = new libusb_context;
  return 0;
}

API void libusb_exit(libusb_context* ctx) {
  if (ctx && ctx != &default_context) delete ctx;
}

API void libusb_set_debug(libusb_context*, int) {}

API int libusb_set_option(libusb_context*, enum libusb_option, ...) { return LIBUSB_SUCCESS; }

API const char* libusb_error_name(int code) {
  switch (code) {
    case LIBUSB_SUCCESS: return "LIBUSB_SUCCESS";
    case LIBUSB_ERROR_IO: return "LIBUSB_ERROR_IO";
    case LIBUSB_ERROR_ACCESS: return "LIBUSB_ERROR_ACCESS";
    case LIBUSB_ERROR_NO_DEVICE: return "LIBUSB_ERROR_NO_DEVICE";
    case LIBUSB_ERROR_NOT_FOUND: return "LIBUSB_ERROR_NOT_FOUND";
    case LIBUSB_ERROR_BUSY: return "LIBUSB_ERROR_BUSY";
    case LIBUSB_ERROR_PIPE: return "LIBUSB_ERROR_PIPE";
    default: return "LIBUSB_ERROR_OTHER";
  }
}

API ssize_t libusb_get_device_list(libusb_context*, libusb_device*** list) {
  start();
  const int which = present();
  const int count = which < 0 ? 0 : 1;
  auto* out = static_cast<libusb_device**>(std::calloc(2, sizeof(libusb_device*)));
  if (!out) return LIBUSB_ERROR_NO_MEM;
  if (count) out[0] = device_of(which);
  *list = out;
  return count;
}

API void libusb_free_device_list(libusb_device** list, int) { std::free(list); }

API libusb_device* libusb_ref_device(libusb_device* device) { return device; }
API void libusb_unref_device(libusb_device*) {}
API uint8_t libusb_get_bus_number(libusb_device*) { return 1; }
API uint8_t libusb_get_device_address(libusb_device*) { return 2; }

API int libusb_get_device_descriptor(libusb_device*, struct libusb_device_descriptor* d) {
  std::memset(d, 0, sizeof *d);
  d->bLength = LIBUSB_DT_DEVICE_SIZE;
  d->bDescriptorType = LIBUSB_DT_DEVICE;
  d->bcdUSB = 0x0200;
  d->bMaxPacketSize0 = 64;
  d->idVendor = 0x0bda;
  d->idProduct = 0x2838;
  d->bcdDevice = 0x0100;
  d->iManufacturer = 1;
  d->iProduct = 2;
  d->iSerialNumber = 3;
  d->bNumConfigurations = 1;
  return 0;
}

API int libusb_open(libusb_device* device, libusb_device_handle** handle) {
  start();
  if (settings().faults.access) {
    record_line("open-failed access");
    return LIBUSB_ERROR_ACCESS;
  }
  if (present() != device->generation) return LIBUSB_ERROR_NO_DEVICE;
  // Plugged back: a device fresh from power-on, once per generation.
  int modelled = model_generation.load(std::memory_order_relaxed);
  while (device->generation > modelled) {
    if (model_generation.compare_exchange_weak(modelled, device->generation, std::memory_order_relaxed)) {
      std::lock_guard lock(shared().model_mutex);
      delete shared().model;
      shared().model = new Rtl2832();
      break;
    }
  }
  Clock::rep expected = 0;
  first_open.compare_exchange_strong(expected, Clock::now().time_since_epoch().count(), std::memory_order_release,
                                     std::memory_order_relaxed);
  *handle = new libusb_device_handle{device};
  open_handles.fetch_add(1, std::memory_order_relaxed);
  record_line("open");
  return 0;
}

API void libusb_close(libusb_device_handle* handle) {
  if (!handle) return;
  if (handle->claimed) unreleased_close.store(true, std::memory_order_relaxed);
  record_line(handle->claimed ? "close claimed" : "close");
  open_handles.fetch_sub(1, std::memory_order_relaxed);
  delete handle;
}

API libusb_device* libusb_get_device(libusb_device_handle* handle) { return handle->device; }

API int libusb_get_string_descriptor_ascii(libusb_device_handle* handle, uint8_t index, unsigned char* data,
                                           int length) {
  if (gone(handle)) return LIBUSB_ERROR_NO_DEVICE;
  const char* text = index == 1 ? "Realtek" : index == 2 ? "RTL2838UHIDIR" : index == 3 ? settings().serial.c_str() : nullptr;
  if (!text) return LIBUSB_ERROR_INVALID_PARAM;
  if (length <= 0) return LIBUSB_ERROR_INVALID_PARAM;
  const int n = std::min(static_cast<int>(std::strlen(text)), length - 1);
  std::memcpy(data, text, static_cast<size_t>(n));
  data[n] = '\0';
  return n;
}

API int libusb_kernel_driver_active(libusb_device_handle* handle, int) {
  if (gone(handle)) return LIBUSB_ERROR_NO_DEVICE;
  return kernel_driver_bound.load(std::memory_order_relaxed) ? 1 : 0;
}

API int libusb_detach_kernel_driver(libusb_device_handle* handle, int) {
  if (gone(handle)) return LIBUSB_ERROR_NO_DEVICE;
  if (!kernel_driver_bound.exchange(false, std::memory_order_relaxed)) return LIBUSB_ERROR_NOT_FOUND;
  record_line("detach-kernel-driver");
  return 0;
}

API int libusb_attach_kernel_driver(libusb_device_handle* handle, int) {
  if (gone(handle)) return LIBUSB_ERROR_NO_DEVICE;
  if (handle->claimed || kernel_driver_bound.exchange(true, std::memory_order_relaxed)) return LIBUSB_ERROR_BUSY;
  record_line("attach-kernel-driver");
  return 0;
}

API int libusb_set_configuration(libusb_device_handle* handle, int) {
  return gone(handle) ? LIBUSB_ERROR_NO_DEVICE : 0;
}

API int libusb_claim_interface(libusb_device_handle* handle, int) {
  if (gone(handle)) return LIBUSB_ERROR_NO_DEVICE;
  if (settings().faults.busy) {
    record_line("claim-failed busy");
    return LIBUSB_ERROR_BUSY;
  }
  if (kernel_driver_bound.load(std::memory_order_relaxed)) {
    record_line("claim-failed kernel-driver");
    return LIBUSB_ERROR_BUSY;
  }
  handle->claimed = true;
  record_line("claim");
  return 0;
}

API int libusb_release_interface(libusb_device_handle* handle, int) {
  if (!handle->claimed) return LIBUSB_ERROR_NOT_FOUND;
  handle->claimed = false;
  record_line("release");
  return gone(handle) ? LIBUSB_ERROR_NO_DEVICE : 0;
}

API int libusb_reset_device(libusb_device_handle* handle) {
  if (gone(handle)) return LIBUSB_ERROR_NO_DEVICE;
  record_line("reset");
  return 0;
}

API int libusb_control_transfer(libusb_device_handle* handle, uint8_t request_type, uint8_t, uint16_t value,
                                uint16_t index, unsigned char* data, uint16_t length, unsigned int) {
  if (gone(handle)) return LIBUSB_ERROR_NO_DEVICE;
  std::lock_guard lock(shared().model_mutex);
  return shared().model->control(request_type, value, index, data, length);
}

API int libusb_bulk_transfer(libusb_device_handle* handle, unsigned char, unsigned char* data, int length,
                             int* transferred, unsigned int) {
  if (transferred) *transferred = 0;
  if (gone(handle)) return LIBUSB_ERROR_NO_DEVICE;
  if (length <= 0) return 0;
  const long number = bulk_reads.fetch_add(1, std::memory_order_relaxed) + 1;
  const Clock::time_point due = reserve(static_cast<size_t>(length));
  if (number == settings().faults.read_error) {
    record_line("read-error %ld", number);
    return LIBUSB_ERROR_IO;
  }
  if (!wait_and_fill(handle, data, static_cast<size_t>(length), due)) return LIBUSB_ERROR_NO_DEVICE;
  if (transferred) *transferred = length;
  return 0;
}

API unsigned char* libusb_dev_mem_alloc(libusb_device_handle*, size_t length) {
  return static_cast<unsigned char*>(std::calloc(1, length));
}

API int libusb_dev_mem_free(libusb_device_handle*, unsigned char* buffer, size_t) {
  std::free(buffer);
  return 0;
}

API struct libusb_transfer* libusb_alloc_transfer(int iso_packets) {
  const size_t size = sizeof(libusb_transfer) + static_cast<size_t>(iso_packets) * sizeof(libusb_iso_packet_descriptor);
  return static_cast<libusb_transfer*>(std::calloc(1, size));
}

API void libusb_free_transfer(struct libusb_transfer* transfer) {
  if (!transfer) return;
  if (transfer->flags & LIBUSB_TRANSFER_FREE_BUFFER) std::free(transfer->buffer);
  std::free(transfer);
}

API int libusb_submit_transfer(struct libusb_transfer* transfer) {
  if (gone(transfer->dev_handle)) return LIBUSB_ERROR_NO_DEVICE;
  std::lock_guard lock(shared().queue_mutex);
  for (const Pending& p : shared().queue)
    if (p.transfer == transfer) return LIBUSB_ERROR_BUSY;
  shared().queue.push_back(Pending{transfer});
  shared().queue_changed.notify_all();
  return 0;
}

API int libusb_cancel_transfer(struct libusb_transfer* transfer) {
  std::lock_guard lock(shared().queue_mutex);
  for (Pending& p : shared().queue) {
    if (p.transfer == transfer && !p.cancelled) {
      p.cancelled = true;
      shared().queue_changed.notify_all();
      return 0;
    }
  }
  return LIBUSB_ERROR_NOT_FOUND;
}

// Completes at most one transfer (or hands back every cancelled one), waiting for the
// next one's samples to be due, the timeout, or *completed to be set by another thread.
API int libusb_handle_events_timeout_completed(libusb_context*, struct timeval* tv, int* completed) {
  const auto limit = tv ? std::chrono::seconds(tv->tv_sec) + std::chrono::microseconds(tv->tv_usec)
                        : std::chrono::microseconds(std::chrono::seconds(60));
  const Clock::time_point deadline = Clock::now() + limit;
  std::unique_lock lock(shared().queue_mutex);
  for (;;) {
    std::deque<libusb_transfer*> cancelled;
    for (auto it = shared().queue.begin(); it != shared().queue.end();) {
      if (it->cancelled) {
        cancelled.push_back(it->transfer);
        it = shared().queue.erase(it);
      } else {
        ++it;
      }
    }
    if (!cancelled.empty()) {
      lock.unlock();
      for (libusb_transfer* t : cancelled) finish(t, LIBUSB_TRANSFER_CANCELLED, 0);
      return 0;
    }
    if (completed && __atomic_load_n(completed, __ATOMIC_RELAXED)) return 0;
    const Clock::time_point now = Clock::now();
    Clock::time_point wake = std::min(deadline, now + std::chrono::milliseconds(10));
    if (!shared().queue.empty()) {
      Pending& front = shared().queue.front();
      if (gone(front.transfer->dev_handle)) {
        libusb_transfer* t = front.transfer;
        shared().queue.pop_front();
        lock.unlock();
        finish(t, LIBUSB_TRANSFER_NO_DEVICE, 0);
        return 0;
      }
      if (!front.reserved) {
        front.reserved = true;
        front.number = bulk_reads.fetch_add(1, std::memory_order_relaxed) + 1;
        front.due = reserve(static_cast<size_t>(std::max(front.transfer->length, 0)));
      }
      if (now >= front.due) {
        const Pending done = front;
        shared().queue.pop_front();
        lock.unlock();
        libusb_transfer* t = done.transfer;
        if (done.number == settings().faults.read_error) {
          record_line("read-error %ld", done.number);
          finish(t, LIBUSB_TRANSFER_ERROR, 0);
        } else if (wait_and_fill(t->dev_handle, t->buffer, static_cast<size_t>(std::max(t->length, 0)), done.due)) {
          finish(t, LIBUSB_TRANSFER_COMPLETED, t->length);
        } else {
          finish(t, LIBUSB_TRANSFER_NO_DEVICE, 0);
        }
        return 0;
      }
      wake = std::min(wake, front.due);
    }
    if (now >= deadline) return 0;
    shared().queue_changed.wait_until(lock, wake);
  }
}

API int libusb_handle_events_timeout(libusb_context* ctx, struct timeval* tv) {
  return libusb_handle_events_timeout_completed(ctx, tv, nullptr);
}

API int libusb_handle_events_completed(libusb_context* ctx, int* completed) {
  timeval tv{60, 0};
  return libusb_handle_events_timeout_completed(ctx, &tv, completed);
}

API int libusb_handle_events(libusb_context* ctx) { return libusb_handle_events_completed(ctx, nullptr); }
