// Container disks through a private qemu-nbd and libnbd.
#include "platform/image/nbd_device.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <libnbd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/image/machine_image.h"

extern char** environ;

namespace halshift::image {

namespace {

// NBD servers take requests of at least 32 MiB; this stays well below.
constexpr std::size_t kRequestLength = 1024 * 1024;
// How long the server may take to listen, in tries of kConnectPause.
constexpr int kConnectTries = 1500;
constexpr useconds_t kConnectPause = 20 * 1000;

// libnbd's calls, loaded with the first container: libnbd brings GnuTLS and libxml2 (with
// ICU) along, and loading them at the start of every run, on a raw disk or folders too, would
// cost more than a whole switch on such a disk does. Loaded once, kept to the end.
struct Libnbd {
  decltype(&nbd_create) create = nullptr;
  decltype(&nbd_connect_unix) connectUnix = nullptr;
  decltype(&nbd_get_size) getSize = nullptr;
  decltype(&nbd_get_error) getError = nullptr;
  decltype(&nbd_pread) pread = nullptr;
  decltype(&nbd_pwrite) pwrite = nullptr;
  decltype(&nbd_flush) flush = nullptr;
  decltype(&nbd_shutdown) shutdown = nullptr;
  decltype(&nbd_close) close = nullptr;
  std::string problem;  // why it could not be loaded, or empty
};

template <typename Function>
bool Resolve(void* library, const char* name, Function& function) {
  function = reinterpret_cast<Function>(::dlsym(library, name));
  return function != nullptr;
}

const Libnbd& Nbd() {
  static const Libnbd loaded = [] {
    Libnbd nbd;
    void* library = ::dlopen("libnbd.so.0", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
      const char* why = ::dlerror();
      nbd.problem = std::string("libnbd cannot be loaded: ") + (why != nullptr ? why : "not found");
      return nbd;
    }
    if (!Resolve(library, "nbd_create", nbd.create) || !Resolve(library, "nbd_connect_unix", nbd.connectUnix) ||
        !Resolve(library, "nbd_get_size", nbd.getSize) || !Resolve(library, "nbd_get_error", nbd.getError) ||
        !Resolve(library, "nbd_pread", nbd.pread) || !Resolve(library, "nbd_pwrite", nbd.pwrite) ||
        !Resolve(library, "nbd_flush", nbd.flush) || !Resolve(library, "nbd_shutdown", nbd.shutdown) ||
        !Resolve(library, "nbd_close", nbd.close)) {
      nbd.problem = "libnbd lacks a call halshift needs";
    }
    return nbd;
  }();
  return loaded;
}

std::string ReadAll(int fd) {
  std::string text;
  char buffer[512];
  ssize_t got = 0;
  while ((got = ::read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(got));
  return text;
}

// The first line of qemu-nbd's complaint, without its program name.
std::string FirstLine(std::string text) {
  text = text.substr(0, text.find('\n'));
  const std::string prefix = "qemu-nbd: ";
  if (text.rfind(prefix, 0) == 0) text = text.substr(prefix.size());
  return text;
}

// Starts qemu-nbd serving disk on socket, with its output and complaints going to a pipe
// whose reading end is then in output. -1, with error set, when it cannot be started.
pid_t StartServer(const std::string& socket, const std::string& qemuFormat, bool writable,
                  const std::filesystem::path& disk, int& output, std::string& error) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
    error = std::strerror(errno);
    return -1;
  }
  std::vector<std::string> arguments = {"qemu-nbd", "--socket=" + socket, "--format=" + qemuFormat,
                                        "--shared=1"};
  if (!writable) arguments.push_back("--read-only");
  arguments.push_back(disk.string());
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, "qemu-nbd", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  if (spawned != 0) {
    ::close(pipeFds[0]);
    error = std::string("qemu-nbd cannot be started: ") + std::strerror(spawned);
    return -1;
  }
  output = pipeFds[0];
  return pid;
}

// Waits for the server pid to listen on socket and connects to it. Nothing, with error set,
// when it ends first (then ended is set, and error is its complaint read from output) or does
// not listen in time.
nbd_handle* ConnectWhenServing(pid_t pid, const std::string& socket, int output, bool& ended,
                               std::string& error) {
  for (int attempt = 0; attempt < kConnectTries; ++attempt) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      ended = true;
      const std::string complaint = FirstLine(ReadAll(output));
      error = complaint.empty() ? "qemu-nbd ended without serving it" : complaint;
      return nullptr;
    }
    struct stat socketStatus {};
    if (::stat(socket.c_str(), &socketStatus) == 0) {
      nbd_handle* handle = Nbd().create();
      if (handle != nullptr && Nbd().connectUnix(handle, socket.c_str()) == 0) return handle;
      if (handle != nullptr) Nbd().close(handle);
    }
    ::usleep(kConnectPause);
  }
  error = "qemu-nbd did not start serving it";
  return nullptr;
}

}  // namespace

std::string QemuFormatName(DiskFormat format) {
  switch (format) {
    case DiskFormat::kQcow2: return "qcow2";
    case DiskFormat::kVdi: return "vdi";
    case DiskFormat::kVmdkSparse: return "vmdk";
    case DiskFormat::kVhdDynamic: return "vpc";
    case DiskFormat::kVhdx: return "vhdx";
    default: return "";
  }
}

std::unique_ptr<NbdDevice> NbdDevice::Open(const std::filesystem::path& path, DiskFormat format, bool writable,
                                           FaultInjector* faults, std::string& error) {
  const std::string qemuFormat = QemuFormatName(format);
  if (qemuFormat.empty()) {
    error = "is not a container that QEMU opens";
    return nullptr;
  }
  if (!Nbd().problem.empty()) {
    error = Nbd().problem;
    return nullptr;
  }
  std::error_code ignored;
  // An absolute path, so that QEMU never reads a "protocol:" prefix into the name.
  const std::filesystem::path absolute = std::filesystem::absolute(path, ignored);
  auto folder = std::make_unique<PrivateFolder>("halshift-run-nbd");
  if (folder->Path().empty()) {
    error = std::string("no private folder for the NBD socket: ") + std::strerror(errno);
    return nullptr;
  }
  std::unique_ptr<NbdDevice> device(new NbdDevice());
  device->folder_ = std::move(folder);
  device->writable_ = writable;
  device->faults_ = faults;
  const std::string socket = (device->folder_->Path() / "nbd.sock").string();

  int output = -1;
  const pid_t pid = StartServer(socket, qemuFormat, writable, absolute, output, error);
  if (pid < 0) return nullptr;
  device->server_ = pid;
  bool ended = false;
  device->handle_ = ConnectWhenServing(pid, socket, output, ended, error);
  ::close(output);
  if (ended) device->server_ = -1;
  if (device->handle_ == nullptr) return nullptr;
  const std::int64_t size = Nbd().getSize(device->handle_);
  if (size < 0) {
    error = Nbd().getError() != nullptr ? Nbd().getError() : "its size is not known";
    return nullptr;
  }
  device->size_ = static_cast<std::uint64_t>(size);
  return device;
}

NbdDevice::~NbdDevice() {
  if (handle_ != nullptr) {
    Nbd().shutdown(handle_, 0);
    Nbd().close(handle_);
  }
  if (server_ > 0) {
    // Without --persistent the server ends when its one client goes; it is asked to if it
    // has not.
    int status = 0;
    if (handle_ == nullptr) ::kill(server_, SIGTERM);
    ::waitpid(server_, &status, 0);
  }
  folder_.reset();
}

bool NbdDevice::Read(std::uint64_t offset, std::span<std::uint8_t> destination) {
  if (!RangeWithin(offset, destination.size(), size_)) return false;
  for (std::size_t done = 0; done < destination.size(); done += kRequestLength) {
    const std::size_t length = std::min(kRequestLength, destination.size() - done);
    if (Nbd().pread(handle_, destination.data() + done, length, offset + done, 0) != 0) return false;
  }
  return true;
}

bool NbdDevice::Write(std::uint64_t offset, std::span<const std::uint8_t> source) {
  if (!writable_ || !RangeWithin(offset, source.size(), size_)) return false;
  if (faults_ != nullptr) {
    if (faults_->ShouldFail(Call::kWriteDisk)) return false;
    faults_->Step();
  }
  for (std::size_t done = 0; done < source.size(); done += kRequestLength) {
    const std::size_t length = std::min(kRequestLength, source.size() - done);
    if (Nbd().pwrite(handle_, source.data() + done, length, offset + done, 0) != 0) return false;
  }
  return true;
}

bool NbdDevice::Flush() {
  if (!writable_) return true;
  if (faults_ != nullptr) {
    if (faults_->ShouldFail(Call::kFlushDisk)) return false;
    faults_->Step();
  }
  return Nbd().flush(handle_, 0) == 0;
}

}  // namespace halshift::image
