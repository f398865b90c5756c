// The drives of a disk image: opening and mounting, the changes recorded for the read-back,
// the hives committed into the volume, and the way back.
#include "platform/image/disk_drives.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <unordered_map>

#include "base/text.h"
#include "platform/image/disk_in_use.h"
#include "platform/image/fat16_drive.h"
#include "platform/image/image_state.h"
#include "platform/image/nbd_device.h"
#include "platform/image/ntfs_drive.h"

extern char** environ;

namespace halshift::image {

namespace {

// The types of the FAT partitions that are mounted to be told apart: FAT12, FAT16 and FAT32
// (NT 4.0 starts from FAT16 only; the others are named when they hold what was asked for).
bool IsFatType(std::uint8_t type) {
  return type == 0x01 || IsFat16Type(type) || type == 0x0B || type == 0x0C;
}

// A write-through cache of a device's blocks: a volume reads its folders and its FAT again at
// every lookup, and a disk behind qemu-nbd answers each read with a round trip. Every write
// reaches the device before the cache holds it; a failed write drops what the cache held of
// its range, which the device may now hold either way. A flush with nothing written since the
// last one is not passed on.
class CachedDevice final : public BlockDevice {
 public:
  explicit CachedDevice(std::shared_ptr<BlockDevice> inner) : inner_(std::move(inner)) {}
  std::uint64_t Size() const override { return inner_->Size(); }
  bool Read(std::uint64_t offset, std::span<std::uint8_t> destination) override {
    if (!RangeWithin(offset, destination.size(), Size())) return false;
    std::size_t done = 0;
    while (done < destination.size()) {
      const std::uint64_t at = offset + done;
      const std::vector<std::uint8_t>* block = Block(at / kBlock);
      if (block == nullptr) return false;
      const std::size_t within = static_cast<std::size_t>(at % kBlock);
      const std::size_t length = std::min(destination.size() - done, block->size() - within);
      std::copy_n(block->begin() + static_cast<std::ptrdiff_t>(within), length, destination.begin() + static_cast<std::ptrdiff_t>(done));
      done += length;
    }
    return true;
  }
  bool Write(std::uint64_t offset, std::span<const std::uint8_t> source) override {
    unflushed_ = true;
    const bool written = inner_->Write(offset, source);
    const std::uint64_t first = offset / kBlock;
    const std::uint64_t last = source.empty() ? first : (offset + source.size() - 1) / kBlock;
    for (std::uint64_t index = first; index <= last; ++index) {
      const auto found = blocks_.find(index);
      if (found == blocks_.end()) continue;
      if (!written) {
        blocks_.erase(found);
        continue;
      }
      const std::uint64_t start = std::max(offset, index * kBlock);
      const std::uint64_t end = std::min(offset + source.size(), index * kBlock + found->second.size());
      if (start < end) {
        std::copy_n(source.begin() + static_cast<std::ptrdiff_t>(start - offset), end - start,
                    found->second.begin() + static_cast<std::ptrdiff_t>(start - index * kBlock));
      }
    }
    return written;
  }
  // Nothing written since the last flush that succeeded: nothing to make durable.
  bool Flush() override {
    if (!unflushed_) return true;
    const bool flushed = inner_->Flush();
    unflushed_ = !flushed;
    return flushed;
  }
  void SetFaultInjector(FaultInjector* faults) override { inner_->SetFaultInjector(faults); }

 private:
  static constexpr std::uint64_t kBlock = 4096;
  static constexpr std::size_t kMaxBlocks = 16384;  // 64 MiB
  const std::vector<std::uint8_t>* Block(std::uint64_t index) {
    if (const auto found = blocks_.find(index); found != blocks_.end()) return &found->second;
    if (blocks_.size() >= kMaxBlocks) blocks_.clear();
    const std::uint64_t start = index * kBlock;
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(std::min(kBlock, Size() - start)));
    if (!inner_->Read(start, bytes)) return nullptr;
    return &(blocks_[index] = std::move(bytes));
  }
  std::shared_ptr<BlockDevice> inner_;
  std::unordered_map<std::uint64_t, std::vector<std::uint8_t>> blocks_;
  bool unflushed_ = false;
};

MountedDisk::Part MountPart(const std::shared_ptr<BlockDevice>& disk,
                            std::shared_ptr<BlockDevice> view, std::optional<Partition> partition) {
  MountedDisk::Part part;
  part.partition = partition;
  std::string problem;
  auto volume = Fat16Volume::Mount(*view, problem);
  if (!volume) {
    part.problem = problem;
    return part;
  }
  std::vector<std::shared_ptr<BlockDevice>> devices = {disk};
  if (view != disk) devices.push_back(std::move(view));
  part.volume = std::make_unique<Fat16Drive>(std::move(devices), std::move(volume));
  return part;
}

// A disk with an NTFS partition goes under its undo journal, all of whose writes then go
// through it. False, with error, when the journal refuses the disk.
bool JournalForNtfs(const std::filesystem::path& path, bool writable, const PartitionTable& table,
                    MountedDisk& disk, std::string& error) {
  for (const Partition& partition : table.partitions) {
    if (partition.withinDisk && IsNtfsType(partition.type)) {
      disk.device = JournaledDisk(disk.device, path, writable, error);
      return disk.device != nullptr;
    }
  }
  return true;
}

MountedDisk::Part MountNtfsPart(const std::shared_ptr<BlockDevice>& disk, bool writable,
                                const Partition& partition) {
  MountedDisk::Part part{partition, nullptr, {}};
  auto view = std::make_shared<PartitionDevice>(*disk, partition.Offset(), partition.Length());
  part.volume = MountNtfsDrive({disk, view}, *view, writable, part.problem);
  return part;
}

// A partition image without a partition table: FAT, or NTFS under its undo journal as on a
// partitioned disk. False, with error, when the journal refuses the disk.
bool MountBarePartition(const std::filesystem::path& path, bool writable, MountedDisk& disk,
                        std::string& error) {
  std::array<std::uint8_t, kDiskSectorLength> first{};
  if (!disk.device->Read(0, first) || !IsNtfsBootSector(first)) {
    disk.parts.push_back(MountPart(disk.device, disk.device, std::nullopt));
    return true;
  }
  disk.device = JournaledDisk(disk.device, path, writable, error);
  if (disk.device == nullptr) return false;
  MountedDisk::Part part;
  part.volume = MountNtfsDrive({disk.device}, *disk.device, writable, part.problem);
  disk.parts.push_back(std::move(part));
  return true;
}

std::shared_ptr<BlockDevice> OpenDevice(const std::filesystem::path& path, bool writable, DiskUsers users,
                                        DiskFormat& format, std::string& error) {
  auto probe = RawDevice::Open(path, false, nullptr, error);
  if (!probe) return nullptr;
  format = DetectDiskFormat(*probe);
  if (format == DiskFormat::kUnknown) {
    error = "is no disk image halshift knows (a raw disk, a FAT16 or NTFS partition, qcow2, VDI, VMDK, "
            "VHD or VHDX)";
    return nullptr;
  }
  const std::uint64_t rawSize = RawDataSize(*probe, format);
  probe.reset();
  if (users == DiskUsers::kRefuseInUse) {
    if (std::string inUse = DiskInUse(path); !inUse.empty()) {
      error = inUse + "; shut the virtual machine down first";
      return nullptr;
    }
  }
  if (!IsRaw(format)) return NbdDevice::Open(path, format, writable, nullptr, error);
  std::shared_ptr<BlockDevice> device = RawDevice::Open(path, writable, nullptr, error);
  if (!device || rawSize == device->Size()) return device;
  // A fixed VHD: the disk's data without the footer.
  struct Data final : BlockDevice {
    Data(std::shared_ptr<BlockDevice> file, std::uint64_t size) : file_(std::move(file)), view_(*file_, 0, size) {}
    std::uint64_t Size() const override { return view_.Size(); }
    bool Read(std::uint64_t offset, std::span<std::uint8_t> to) override { return view_.Read(offset, to); }
    bool Write(std::uint64_t offset, std::span<const std::uint8_t> from) override { return view_.Write(offset, from); }
    bool Flush() override { return view_.Flush(); }
    void SetFaultInjector(FaultInjector* faults) override { file_->SetFaultInjector(faults); }
    std::shared_ptr<BlockDevice> file_;
    PartitionDevice view_;
  };
  return std::make_shared<Data>(std::move(device), rawSize);
}

}  // namespace

std::optional<MountedDisk> MountDisk(const std::filesystem::path& path, bool writable,
                                     DiskUsers users, std::string& error) {
  MountedDisk disk;
  auto device = OpenDevice(path, writable, users, disk.format, error);
  if (!device) return std::nullopt;
  disk.device = std::make_shared<CachedDevice>(std::move(device));
  if (DetectLayout(*disk.device) == DiskLayout::kBarePartition) {
    if (!MountBarePartition(path, writable, disk, error)) return std::nullopt;
    return disk;
  }
  const auto table = ReadPartitionTable(*disk.device, error);
  if (!table) return std::nullopt;
  if (!JournalForNtfs(path, writable, *table, disk, error)) return std::nullopt;
  for (const Partition& partition : table->partitions) {
    if (partition.withinDisk && IsNtfsType(partition.type)) {
      disk.parts.push_back(MountNtfsPart(disk.device, writable, partition));
      continue;
    }
    if (!partition.withinDisk || !IsFatType(partition.type)) {
      disk.parts.push_back({partition, nullptr, {}});
      continue;
    }
    auto view = std::make_shared<PartitionDevice>(*disk.device, partition.Offset(), partition.Length());
    disk.parts.push_back(MountPart(disk.device, std::move(view), partition));
  }
  return disk;
}

std::string PartName(const MountedDisk::Part& part) {
  if (!part.partition) return "the partition image";
  char type[8];
  std::snprintf(type, sizeof type, "0x%02X", part.partition->type);
  return "partition " + std::to_string(part.partition->arcNumber) + " (type " + type + ")";
}

namespace {

std::vector<std::string> UpperComponents(std::span<const std::string> components) {
  std::vector<std::string> upper;
  for (const std::string& component : components) upper.push_back(text::ToUpper(component));
  return upper;
}

// Forwards every call and notes each path that a change may have touched.
class TrackedVolume final : public Volume {
 public:
  TrackedVolume(std::unique_ptr<Volume> inner, std::set<std::vector<std::string>>& changed)
      : inner_(std::move(inner)), changed_(changed) {}
  std::optional<Entry> Find(std::span<const std::string> c) const override { return inner_->Find(c); }
  std::vector<Entry> List(std::span<const std::string> c) const override { return inner_->List(c); }
  std::optional<std::string> Read(std::span<const std::string> c) const override { return inner_->Read(c); }
  bool Writable() const override { return inner_->Writable(); }
  bool CanCreate(std::string_view name) const override { return inner_->CanCreate(name); }
  bool Write(std::span<const std::string> c, std::string_view bytes) override {
    Note(c);
    return inner_->Write(c, bytes);
  }
  bool CreateFolder(std::span<const std::string> c) override { return inner_->CreateFolder(c); }
  bool Rename(std::span<const std::string> c, std::string_view newName) override {
    Note(c);
    std::vector<std::string> renamed(c.begin(), c.end());
    if (!renamed.empty()) renamed.back() = newName;
    Note(renamed);
    return inner_->Rename(c, newName);
  }
  bool Delete(std::span<const std::string> c) override {
    Note(c);
    return inner_->Delete(c);
  }
  bool SetAttributes(std::span<const std::string> c, std::uint32_t attributes) override {
    return inner_->SetAttributes(c, attributes);
  }
  bool Flush() override { return inner_->Flush(); }
  std::string LastError() const override { return inner_->LastError(); }

 private:
  void Note(std::span<const std::string> c) { changed_.insert(UpperComponents(c)); }
  std::unique_ptr<Volume> inner_;
  std::set<std::vector<std::string>>& changed_;
};

class VolumeHiveRegistry final : public platform::Registry {
 public:
  VolumeHiveRegistry(Volume& volume, std::vector<std::string> hive, std::filesystem::path software,
                     std::filesystem::path system, std::unique_ptr<HiveRegistry> inner)
      : volume_(volume), hive_(std::move(hive)), software_(std::move(software)),
        system_(std::move(system)), inner_(std::move(inner)) {}

  QueryResult QueryValue(std::string_view keyPath, std::string_view valueName,
                         std::span<std::uint8_t> buffer) override {
    if (!inner_) return {kErrorRegistryIoFailed, 0, 0};
    return inner_->QueryValue(keyPath, valueName, buffer);
  }

  long SetValue(std::string_view keyPath, std::string_view valueName, std::uint32_t type,
                std::span<const std::uint8_t> data) override {
    if (!inner_) return kErrorRegistryIoFailed;  // a failed commit that could not be undone
    const auto before = host::ReadWhole(software_);
    const long status = inner_->SetValue(keyPath, valueName, type, data);
    const auto after = host::ReadWhole(software_);
    if (status != platform::kErrorSuccess) return status;
    // A change the copy took but that cannot be read back from it has not reached the volume.
    if (!before || !after) return kErrorRegistryIoFailed;
    if (*before == *after) return status;
    if (Commit(*after)) return status;
    // The volume holds the old hive: so must the copy that answers the queries.
    std::string error;
    FaultInjector unused;
    inner_.reset();
    if (host::ReplaceWhole(software_, *before, 0600, unused, host::Durability::kLazy) ==
        host::WriteResult::kDone) {
      inner_ = HiveRegistry::Open(software_, system_, unused, error, HiveRegistry::Leftovers::kRemove,
                                  HiveRegistry::Hives::kScratch);
    }
    return kErrorRegistryIoFailed;
  }

 private:
  // The new hive beside the old, durable, then renamed over it, durable.
  bool Commit(const std::string& bytes) {
    std::vector<std::string> fresh = hive_;
    fresh.back() = NewHiveName(hive_.back());
    return volume_.Write(fresh, bytes) && volume_.Flush() && volume_.Rename(fresh, hive_.back()) &&
           volume_.Flush();
  }

  Volume& volume_;
  std::vector<std::string> hive_;
  std::filesystem::path software_;
  std::filesystem::path system_;
  std::unique_ptr<HiveRegistry> inner_;
};

// Runs a program without a shell, its output dropped; its exit status, -1 when it did not run.
int RunTool(const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Timestamp() {
  const std::time_t now = std::time(nullptr);
  std::tm utc {};
  gmtime_r(&now, &utc);
  char text[32] = {};
  std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &utc);
  return text;
}

}  // namespace

std::unique_ptr<Volume> TrackChanges(std::unique_ptr<Volume> volume, DiskSession& session,
                                     char letter) {
  return std::make_unique<TrackedVolume>(std::move(volume), session.changed[letter]);
}

std::string NewHiveName(std::string_view hive) {
  return std::string(hive.substr(0, 8)) + ".HSN";
}

std::unique_ptr<platform::Registry> VolumeHives(Volume& volume, std::vector<std::string> softwareHive,
                                                std::filesystem::path softwareCopy,
                                                std::filesystem::path systemCopy,
                                                FaultInjector& faults, std::string& error) {
  auto inner = HiveRegistry::Open(softwareCopy, systemCopy, faults, error, HiveRegistry::Leftovers::kRemove,
                                  HiveRegistry::Hives::kScratch);
  if (!inner) return nullptr;
  return std::make_unique<VolumeHiveRegistry>(volume, std::move(softwareHive),
                                              std::move(softwareCopy), std::move(systemCopy),
                                              std::move(inner));
}

std::optional<std::string> BackUpDisk(const std::filesystem::path& disk, DiskFormat format,
                                      std::string& error) {
  const std::string stamp = Timestamp();
  if (format == DiskFormat::kQcow2) {
    const std::string name = "halshift-" + stamp;
    if (RunTool({"qemu-img", "snapshot", "-c", name, disk.string()}) != 0) {
      error = "qemu-img snapshot -c " + name + " failed; give --no-backup to go on without one";
      return std::nullopt;
    }
    return "snapshot " + name + " of " + disk.string();
  }
  std::filesystem::path copy = disk;
  copy += ".before-halshift-" + stamp;
  std::error_code ignored;
  for (int n = 2; std::filesystem::exists(copy, ignored); ++n) {
    copy = disk;
    copy += ".before-halshift-" + stamp + "-" + std::to_string(n);
  }
  if (RunTool({"cp", "--reflink=auto", "--sparse=always", "--", disk.string(), copy.string()}) != 0) {
    std::filesystem::remove(copy, ignored);
    error = "no copy of the disk could be made beside it (" + copy.string() +
            "); make room or give --no-backup";
    return std::nullopt;
  }
  return copy.string();
}

}  // namespace halshift::image
