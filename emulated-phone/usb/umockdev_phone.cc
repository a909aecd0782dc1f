#include "umockdev_phone.h"

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <umockdev.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <map>
#include <thread>
#include <vector>

#include "usb_descriptors.h"

namespace emulated_phone::usb {

namespace {

constexpr const char* kHubPath = "/sys/devices/pci0000:00/0000:00:14.0/usb1";

std::string hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

template <typename T>
struct GObjectUnref {
  void operator()(T* p) const {
    if (p) g_object_unref(p);
  }
};
template <typename T>
using GPtr = std::unique_ptr<T, GObjectUnref<T>>;

}  // namespace

struct UmockdevBus::Impl {
  GPtr<UMockdevTestbed> testbed{umockdev_testbed_new()};
};

UmockdevBus::UmockdevBus() : impl_(std::make_unique<Impl>()) {}
UmockdevBus::~UmockdevBus() = default;

struct UmockdevPhone::Impl {
  // What one attachment's ioctl handler answers for: ioctls on a node of an
  // earlier attachment find the device gone.
  struct Attachment {
    Impl* impl;
    int generation;
  };

  UMockdevTestbed* testbed;
  UsbLink& link;
  UsbSetup setup;
  std::mutex mutex;
  std::vector<GPtr<UMockdevIoctlBase>> handlers;
  std::vector<std::unique_ptr<Attachment>> attachments;
  int generation = 0;
  std::string sys_path;    // "/sys/devices/.../1-PORT"
  std::string node_path;   // the node inside the testbed
  int readiness = -1;      // FIFO at the node: writable exactly when a URB can be reaped
  std::vector<int> retired;  // earlier attachments' FIFOs, kept ready until the end
  bool full = false;       // the FIFO holds no room: poll() waits
  bool removed = false;
  std::map<uint64_t, GPtr<UMockdevIoctlData>> urbs;     // by client address
  std::map<uint64_t, GPtr<UMockdevIoctlData>> buffers;  // the URB's buffer
  std::map<uint64_t, UMockdevIoctlClient*> owners;      // who submitted it
  // Owners, held so that no new client takes a gone one's address.
  std::map<UMockdevIoctlClient*, GPtr<UMockdevIoctlClient>> clients;
  std::chrono::steady_clock::time_point link_free{};
  std::condition_variable wake;  // the link's next wake may have changed
  bool stopping = false;
  std::thread waker;
  int configuration;  // the active one

  Impl(UMockdevTestbed* t, UsbLink& l, UsbSetup s)
      : testbed(t), link(l), setup(std::move(s)),
        sys_path(std::string(kHubPath) + "/1-" + std::to_string(setup.port)),
        configuration(setup.usbmux ? kUsbmuxConfiguration : kPtpOnlyConfiguration) {
    waker = std::thread([this] { wakeLink(); });
  }
  ~Impl() {
    {
      std::lock_guard lock(mutex);
      stopping = true;
    }
    wake.notify_one();
    waker.join();
  }

  // Time-driven work of the link (events that fall due, a held transfer).
  void wakeLink() {
    std::unique_lock lock(mutex);
    while (!stopping) {
      const double at = link.nextWake();
      if (at < 0) {
        wake.wait(lock);
      } else {
        wake.wait_until(lock, std::chrono::steady_clock::time_point(
                                  std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                      std::chrono::duration<double>(at))));
      }
      if (stopping) break;
      link.tick();
      refresh();
    }
  }

  std::string node() const {
    char name[32];
    std::snprintf(name, sizeof name, "/dev/bus/usb/001/%03d", setup.device_number);
    return name;
  }

  bool attach(std::string* error);

  void refresh() {
    wake.notify_one();
    if (readiness < 0) return;
    char scratch[4096] = {};
    const bool ready = link.reapable();
    if (ready && full) {
      while (::read(readiness, scratch, sizeof scratch) > 0) {
      }
    } else if (!ready && !full) {
      while (::write(readiness, scratch, sizeof scratch) > 0) {
      }
      while (::write(readiness, scratch, 1) > 0) {
      }
    }
    full = !ready;
    if (link.unplugged() && !removed) {
      removed = true;
      umockdev_testbed_uevent(testbed, sys_path.c_str(), "remove");
      umockdev_testbed_remove_device(testbed, sys_path.c_str());
    }
  }

  void answer(UMockdevIoctlClient* client, long result, int error) {
    umockdev_ioctl_client_complete(client, result, error);
  }

  // The value an ioctl's pointer argument points at; false (answered
  // EFAULT) if it cannot be read.
  template <typename T>
  bool readArgument(UMockdevIoctlClient* client, UMockdevIoctlData* arg, T* out) {
    GError* error = nullptr;
    GPtr<UMockdevIoctlData> value(umockdev_ioctl_data_resolve(arg, 0, sizeof(T), &error));
    if (!value) {
      g_clear_error(&error);
      answer(client, -1, EFAULT);
      return false;
    }
    std::memcpy(out, value->data, sizeof(T));
    return true;
  }

  bool onIoctl(UMockdevIoctlClient* client, int attachment) {
    std::unique_lock lock(mutex);
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    if (attachment != generation) {
      answer(client, -1, ENODEV);
      return true;
    }
    if (link.unplugged() && request != USBDEVFS_REAPURBNDELAY && request != USBDEVFS_REAPURB &&
        request != USBDEVFS_DISCARDURB) {
      answer(client, -1, ENODEV);
      return true;
    }
    switch (request) {
      case USBDEVFS_GET_CAPABILITIES: {
        GError* error = nullptr;
        GPtr<UMockdevIoctlData> caps(umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), &error));
        if (!caps) {
          g_clear_error(&error);
          answer(client, -1, EFAULT);
          return true;
        }
        uint32_t value = USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_BULK_SCATTER_GATHER;
        umockdev_ioctl_data_update(caps.get(), 0, reinterpret_cast<guint8*>(&value), sizeof value);
        answer(client, 0, 0);
        return true;
      }
      case USBDEVFS_GETDRIVER:
        answer(client, -1, ENODATA);
        return true;
      case USBDEVFS_CLAIMINTERFACE: {
        // usbmuxd holds the vendor interfaces; the camera is to be found by its class.
        unsigned number = 0;
        if (!readArgument(client, arg, &number)) return true;
        const int cls = interfaceClass(configuration, number);
        const bool held = setup.usbmux && cls == 255;
        answer(client, cls < 0 || held ? -1 : 0, cls < 0 ? ENOENT : held ? EBUSY : 0);
        return true;
      }
      case USBDEVFS_SETCONFIGURATION: {
        // Not while usbmuxd uses the phone.
        int value = 0;
        if (!readArgument(client, arg, &value)) return true;
        if (value < 1 || value > kConfigurations) {
          answer(client, -1, EINVAL);
        } else if (value != configuration && setup.usbmux) {
          answer(client, -1, EBUSY);
        } else {
          configuration = value;
          umockdev_testbed_set_attribute(testbed, sys_path.c_str(), "bConfigurationValue",
                                         std::to_string(value).c_str());
          answer(client, 0, 0);
        }
        return true;
      }
      case USBDEVFS_RELEASEINTERFACE:
      case USBDEVFS_CLEAR_HALT:
      case USBDEVFS_RESET:
      case USBDEVFS_RESETEP:
      case USBDEVFS_SETINTERFACE:
        answer(client, 0, 0);
        return true;
      case USBDEVFS_SUBMITURB:
        forgetOtherClients(client);
        submit(client, arg, lock);
        return true;
      case USBDEVFS_REAPURB:
      case USBDEVFS_REAPURBNDELAY:
        reap(client, arg);
        return true;
      case USBDEVFS_DISCARDURB: {
        uint64_t address = 0;
        std::memcpy(&address, arg->data, std::min<size_t>(sizeof address, arg->data_len));
        int result = link.discard(address);
        refresh();
        answer(client, result == 0 ? 0 : -1, -result);
        return true;
      }
      default:
        answer(client, -1, ENOTTY);
        return true;
    }
  }

  void submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg, std::unique_lock<std::mutex>& lock) {
    GError* error = nullptr;
    GPtr<UMockdevIoctlData> urb_data(umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), &error));
    if (!urb_data) {
      g_clear_error(&error);
      answer(client, -1, EFAULT);
      return;
    }
    usbdevfs_urb header;
    std::memcpy(&header, urb_data->data, sizeof header);
    GPtr<UMockdevIoctlData> buffer;
    if (header.buffer_length > 0) {
      buffer.reset(umockdev_ioctl_data_resolve(urb_data.get(), offsetof(usbdevfs_urb, buffer),
                                               static_cast<gsize>(header.buffer_length), &error));
      if (!buffer) {
        g_clear_error(&error);
        answer(client, -1, EFAULT);
        return;
      }
    }
    Urb urb;
    urb.id = urb_data->client_addr;
    urb.type = header.type;
    urb.endpoint = header.endpoint;
    urb.length = static_cast<size_t>(std::max(header.buffer_length, 0));
    if (buffer && (header.endpoint & 0x80) == 0) {
      urb.out.assign(reinterpret_cast<const char*>(buffer->data), urb.length);
    } else if (buffer && header.type == USBDEVFS_URB_TYPE_CONTROL) {
      urb.out.assign(reinterpret_cast<const char*>(buffer->data), std::min<size_t>(8, urb.length));
    }
    uint64_t before = link.bytesIn();
    int result = link.submit(std::move(urb));
    if (result != 0) {
      refresh();
      answer(client, -1, -result);
      return;
    }
    buffers[urb_data->client_addr] = std::move(buffer);
    owners[urb_data->client_addr] = client;
    if (!clients.count(client))
      clients.emplace(client, GPtr<UMockdevIoctlClient>(static_cast<UMockdevIoctlClient*>(g_object_ref(client))));
    urbs[urb_data->client_addr] = std::move(urb_data);
    uint64_t sent = link.bytesIn() - before;
    auto ready_at = std::chrono::steady_clock::now();
    if (setup.link_bytes_per_second > 0 && sent > 0) {
      // The link carries the bytes at its own rate: hold the answer back.
      link_free = std::max(link_free, ready_at) +
                  std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                      std::chrono::duration<double>(static_cast<double>(sent) / setup.link_bytes_per_second));
      ready_at = link_free;
    }
    if (ready_at > std::chrono::steady_clock::now()) {
      lock.unlock();
      std::this_thread::sleep_until(ready_at);
      lock.lock();
    }
    refresh();
    answer(client, 0, 0);
  }

  // The phone's interface is claimed by one program at a time, so URBs
  // that another program submitted are those of a program that has gone
  // (it ended, or was killed). They go, as the kernel drops the URBs of a
  // closed device file: they take none of the phone's bytes.
  void forgetOtherClients(UMockdevIoctlClient* client) {
    for (auto it = owners.begin(); it != owners.end();) {
      if (it->second == client) {
        ++it;
        continue;
      }
      link.forget(it->first);
      urbs.erase(it->first);
      buffers.erase(it->first);
      it = owners.erase(it);
    }
    std::erase_if(clients, [client](const auto& held) { return held.first != client; });
  }

  void reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    Completion done;
    int error = 0;
    if (!link.reap(&done, &error)) {
      refresh();
      answer(client, -1, error);
      return;
    }
    auto urb_it = urbs.find(done.id);
    if (urb_it == urbs.end()) {
      refresh();
      answer(client, -1, EAGAIN);
      return;
    }
    GPtr<UMockdevIoctlData> urb_data = std::move(urb_it->second);
    urbs.erase(urb_it);
    owners.erase(done.id);
    GPtr<UMockdevIoctlData> buffer = std::move(buffers[done.id]);
    buffers.erase(done.id);
    if (buffer && !done.data.empty() && done.at + done.data.size() <= static_cast<size_t>(buffer->data_len))
      umockdev_ioctl_data_update(buffer.get(), done.at, reinterpret_cast<guint8*>(done.data.data()),
                                 static_cast<gint>(done.data.size()));
    usbdevfs_urb header;
    std::memcpy(&header, urb_data->data, sizeof header);
    header.status = done.status;
    header.actual_length = static_cast<int>(done.actual);
    umockdev_ioctl_data_update(urb_data.get(), 0, reinterpret_cast<guint8*>(&header), sizeof header);
    // The argument points at the caller's URB pointer: make it point at this URB.
    GError* gerror = nullptr;
    GPtr<UMockdevIoctlData> slot(umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), &gerror));
    if (!slot) {
      g_clear_error(&gerror);
      refresh();
      answer(client, -1, EFAULT);
      return;
    }
    umockdev_ioctl_data_set_ptr(slot.get(), 0, urb_data.get());
    refresh();
    answer(client, 0, 0);
  }
};

UmockdevPhone::UmockdevPhone(UmockdevBus& bus, UsbLink& link, UsbSetup setup)
    : impl_(std::make_unique<Impl>(bus.impl().testbed.get(), link, std::move(setup))) {}

UmockdevPhone::~UmockdevPhone() {
  const int readiness = impl_->readiness;
  const std::vector<int> retired = impl_->retired;
  impl_.reset();
  if (readiness >= 0) ::close(readiness);
  for (int fd : retired) ::close(fd);
}

namespace {
gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer attachment) {
  auto* a = static_cast<UmockdevPhone::Impl::Attachment*>(attachment);
  return a->impl->onIoctl(client, a->generation) ? TRUE : FALSE;
}
}  // namespace

bool UmockdevPhone::Impl::attach(std::string* error) {
  const std::string node_name = node();
  char numbers[64];
  std::snprintf(numbers, sizeof numbers, "E: BUSNUM=001\nE: DEVNUM=%03d\n", setup.device_number);
  std::string text = "P: " + sys_path.substr(4) + "\n"
                     "N: " + node_name.substr(5) + "\n"
                     "E: DEVNAME=" + node_name + "\n"
                     "E: DEVTYPE=usb_device\n"
                     "E: DRIVER=usb\n"
                     "E: SUBSYSTEM=usb\n" +
                     numbers +
                     "E: PRODUCT=5ac/12a8/1\n"
                     "A: busnum=1\n"
                     "A: devnum=" + std::to_string(setup.device_number) + "\n"
                     "A: speed=" + std::to_string(setup.speed_mbps) + "\n"
                     "A: bConfigurationValue=" + std::to_string(configuration) + "\n"
                     "A: bNumConfigurations=" + std::to_string(kConfigurations) + "\n"
                     "A: idVendor=05ac\n"
                     "A: idProduct=12a8\n"
                     "A: manufacturer=Apple Inc.\n"
                     "A: product=iPhone\n"
                     "A: serial=" + setup.serial + "\n"
                     "H: descriptors=" + hex(phoneDescriptors()) + "\n";
  GError* gerror = nullptr;
  if (!umockdev_testbed_add_from_string(testbed, text.c_str(), &gerror)) {
    *error = std::string("umockdev: ") + (gerror ? gerror->message : "cannot add the device");
    g_clear_error(&gerror);
    return false;
  }
  removed = false;
  gchar* root = umockdev_testbed_get_root_dir(testbed);
  node_path = std::string(root) + node_name;
  g_free(root);
  // The node becomes a FIFO, so that poll() on it waits until a URB is done.
  if (readiness >= 0) retired.push_back(readiness);
  readiness = -1;
  full = false;
  ::unlink(node_path.c_str());
  if (::mkfifo(node_path.c_str(), 0666) != 0 ||
      (readiness = ::open(node_path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC)) < 0) {
    *error = "cannot make the device node " + node_path + ": " + std::strerror(errno);
    return false;
  }
  refresh();
  ++generation;
  attachments.push_back(std::make_unique<Attachment>(Attachment{this, generation}));
  handlers.emplace_back(umockdev_ioctl_base_new());
  g_signal_connect(handlers.back().get(), "handle-ioctl", G_CALLBACK(emulated_phone::usb::onIoctl),
                   attachments.back().get());
  if (!umockdev_testbed_attach_ioctl(testbed, node_name.c_str(), handlers.back().get(), &gerror)) {
    *error = std::string("umockdev: ") + (gerror ? gerror->message : "cannot attach the device");
    g_clear_error(&gerror);
    return false;
  }
  return true;
}

bool UmockdevPhone::start(std::string* error) {
  std::lock_guard lock(impl_->mutex);
  return impl_->attach(error);
}

void UmockdevPhone::unplug() {
  withLink([](UsbLink& l) { l.unplug(); });
}

bool UmockdevPhone::plugIn(int device_number, std::string* error) {
  std::lock_guard lock(impl_->mutex);
  Impl& d = *impl_;
  d.link.unplug();
  d.refresh();  // gone first, if it was not
  d.link.plugIn();
  d.urbs.clear();
  d.buffers.clear();
  d.owners.clear();
  d.clients.clear();
  d.setup.device_number = device_number;
  d.configuration = d.setup.usbmux ? kUsbmuxConfiguration : kPtpOnlyConfiguration;
  return d.attach(error);
}

void UmockdevPhone::withLink(const std::function<void(UsbLink&)>& change) {
  std::lock_guard lock(impl_->mutex);
  change(impl_->link);
  impl_->refresh();
}

}  // namespace emulated_phone::usb
