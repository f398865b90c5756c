// FAT16 read and changed in place over a block device.
#include "platform/image/fat16_volume.h"
#include "base/byte_cursor.h"
#include "base/text.h"
#include "base/winpath.h"

#include <algorithm>
#include <array>
#include <ctime>
#include <map>

namespace halshift::image {

namespace {

constexpr std::size_t kEntryLength = 32;
constexpr std::size_t kEntryAttributes = 11;
constexpr std::size_t kEntryTime = 22;
constexpr std::size_t kEntryDate = 24;
constexpr std::size_t kEntryCluster = 26;
constexpr std::size_t kEntrySize = 28;
constexpr std::uint8_t kLongNameAttributes = 0x0F;
constexpr std::uint8_t kDeleted = 0xE5;
constexpr std::uint16_t kEndOfChain = 0xFFFF;
constexpr std::uint16_t kBadCluster = 0xFFF7;
constexpr std::uint16_t kCleanShutdown = 0x8000;

using Entry = std::array<std::uint8_t, kEntryLength>;
using Patches = std::vector<std::pair<std::uint64_t, std::vector<std::uint8_t>>>;

std::uint16_t Word(std::span<const std::uint8_t> b, std::size_t at) { return ByteCursor(b, at).U16(); }
void PutWord(std::span<std::uint8_t> b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
std::uint32_t Dword(std::span<const std::uint8_t> b, std::size_t at) { return ByteCursor(b, at).U32(); }
void PutDword(std::span<std::uint8_t> b, std::size_t at, std::uint32_t v) {
  PutWord(b, at, static_cast<std::uint16_t>(v));
  PutWord(b, at + 2, static_cast<std::uint16_t>(v >> 16));
}

std::string ShortNameOf(std::span<const std::uint8_t> e) {
  std::string base(e.begin(), e.begin() + 8);
  std::string ext(e.begin() + 8, e.begin() + 11);
  if (!base.empty() && static_cast<std::uint8_t>(base[0]) == 0x05) base[0] = static_cast<char>(0xE5);
  while (!base.empty() && base.back() == ' ') base.pop_back();
  while (!ext.empty() && ext.back() == ' ') ext.pop_back();
  return ext.empty() ? base : base + "." + ext;
}

// The 11 bytes of a valid short name, blank-padded.
std::array<std::uint8_t, 11> PackedName(std::string_view name) {
  std::array<std::uint8_t, 11> packed;
  packed.fill(' ');
  const std::size_t dot = name.find('.');
  const std::string_view base = name.substr(0, dot);
  const std::string_view ext = dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
  std::copy(base.begin(), base.end(), packed.begin());
  std::copy(ext.begin(), ext.end(), packed.begin() + 8);
  return packed;
}

std::uint8_t LongNameChecksum(std::span<const std::uint8_t> shortEntry) {
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i < 11; ++i) {
    sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + shortEntry[i]);
  }
  return sum;
}

void AppendUtf8(std::string& out, std::uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// The UTF-16 units of one long-name entry, up to its terminating zero.
void LongNameUnits(std::span<const std::uint8_t> e, std::vector<std::uint16_t>& units, bool& ended) {
  static constexpr std::array<std::size_t, 13> kUnitOffsets = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  for (std::size_t at : kUnitOffsets) {
    const std::uint16_t unit = Word(e, at);
    if (unit == 0) {
      ended = true;
      return;
    }
    units.push_back(unit);
  }
}

}  // namespace

bool IsValidLongName(std::string_view name) {
  if (name.empty() || name.size() > 255 || name.back() == ' ' || name.back() == '.') return false;
  for (char c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u >= 0x7F || std::string_view("\\/:*?\"<>|").find(c) != std::string_view::npos) {
      return false;
    }
  }
  return true;
}

namespace {

// The 8.3 name that goes with a long one, as Windows makes it: the upper-cased name without
// blanks and dots, its first letters and "~N", then the first three letters after the last dot;
// the first N that no name of the folder has. Nothing when all up to 99 are taken.
std::optional<std::string> ShortAlias(std::string_view name, const std::vector<std::string>& taken) {
  const auto clean = [](std::string_view part) {
    std::string out;
    for (char c : part) {
      if (c == ' ' || c == '.') continue;
      const char u = text::UpperAscii(c);
      out += std::string_view("+,;=[]").find(u) != std::string_view::npos ? '_' : u;
    }
    return out;
  };
  const std::size_t dot = name.find_last_of('.');
  const bool hasExtension = dot != std::string_view::npos && dot > 0;
  std::string base = clean(hasExtension ? name.substr(0, dot) : name);
  const std::string ext = hasExtension ? clean(name.substr(dot + 1)).substr(0, 3) : "";
  if (base.empty()) base = "_";
  for (int n = 1; n <= 99; ++n) {
    const std::string tail = "~" + std::to_string(n);
    std::string alias = base.substr(0, 8 - tail.size()) + tail;
    if (!ext.empty()) alias += "." + ext;
    const bool used = std::any_of(taken.begin(), taken.end(),
                                  [&](const std::string& t) { return text::EqualsIgnoreCase(t, alias); });
    if (!used) return alias;
  }
  return std::nullopt;
}

// The long-name entries of a name, in the order they precede its short entry.
std::vector<std::uint8_t> LongNameEntries(std::string_view name, std::uint8_t checksum) {
  constexpr std::size_t kUnitsPerEntry = 13;
  constexpr std::size_t kUnitOffsets[kUnitsPerEntry] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  const std::size_t count = (name.size() + kUnitsPerEntry - 1) / kUnitsPerEntry;
  std::vector<std::uint8_t> entries;
  for (std::size_t order = count; order >= 1; --order) {
    Entry e{};
    e[0] = static_cast<std::uint8_t>(order | (order == count ? 0x40 : 0));
    e[kEntryAttributes] = kLongNameAttributes;
    e[13] = checksum;
    for (std::size_t j = 0; j < kUnitsPerEntry; ++j) {
      const std::size_t i = (order - 1) * kUnitsPerEntry + j;
      const std::uint16_t unit = i < name.size()    ? static_cast<unsigned char>(name[i])
                                 : i == name.size() ? 0x0000
                                                    : 0xFFFF;
      PutWord(e, kUnitOffsets[j], unit);
    }
    entries.insert(entries.end(), e.begin(), e.end());
  }
  return entries;
}

std::string Utf8Of(const std::vector<std::uint16_t>& units) {
  std::string out;
  for (std::size_t i = 0; i < units.size(); ++i) {
    std::uint32_t c = units[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (units[++i] - 0xDC00);
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
      continue;
    }
    AppendUtf8(out, c);
  }
  return out;
}

// The long-name entries seen in a folder since its last short entry.
struct LongNameRun {
  std::vector<std::uint64_t> offsets;
  std::vector<std::vector<std::uint16_t>> parts;
  int expectedOrder = 0;
  std::uint8_t checksum = 0;

  void Forget() {
    offsets.clear();
    parts.clear();
    expectedOrder = 0;
  }
  // Takes the long-name entry e at offset: the last part starts a run, each other part must
  // be the one before in order with the run's checksum, or the run is forgotten.
  void Add(std::span<const std::uint8_t> e, std::uint64_t offset) {
    const int order = e[0] & 0x1F;
    if ((e[0] & 0x40) != 0) {
      Forget();
      expectedOrder = order;
      checksum = e[13];
    } else if (expectedOrder == 0 || order != expectedOrder - 1 || e[13] != checksum) {
      Forget();
      return;
    } else {
      expectedOrder = order;
    }
    offsets.push_back(offset);
    std::vector<std::uint16_t> units;
    bool ended = false;
    LongNameUnits(e, units, ended);
    parts.push_back(std::move(units));
  }
  // Whether the run is whole and names the short entry e.
  bool Belongs(std::span<const std::uint8_t> e) const {
    return !offsets.empty() && expectedOrder == 1 && checksum == LongNameChecksum(e);
  }
  std::string Name() const {
    std::vector<std::uint16_t> units;
    for (auto part = parts.rbegin(); part != parts.rend(); ++part) {
      units.insert(units.end(), part->begin(), part->end());
    }
    return Utf8Of(units);
  }
};

void StampNow(std::span<std::uint8_t> e) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_r(&now, &local) == nullptr || local.tm_year < 80) return;
  PutWord(e, kEntryTime, static_cast<std::uint16_t>((local.tm_hour << 11) | (local.tm_min << 5) | (local.tm_sec / 2)));
  PutWord(e, kEntryDate, static_cast<std::uint16_t>(((local.tm_year - 80) << 9) | ((local.tm_mon + 1) << 5) | local.tm_mday));
}

}  // namespace

bool IsValidShortName(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  const std::size_t dot = name.find('.');
  const std::string_view base = name.substr(0, dot);
  if (base.empty() || base.size() > 8) return false;
  if (dot != std::string_view::npos) {
    const std::string_view ext = name.substr(dot + 1);
    if (ext.empty() || ext.size() > 3) return false;
  }
  for (std::size_t i = 0; i < name.size(); ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    if (i == dot) continue;
    if (c <= 0x20 || c == 0x7F || (c >= 'a' && c <= 'z')) return false;
    if (std::string_view("*?<>|\"/\\:+,;=[].").find(static_cast<char>(c)) != std::string_view::npos) return false;
    if (i == 0 && c == kDeleted) return false;
  }
  return true;
}

std::unique_ptr<Fat16Volume> Fat16Volume::Mount(BlockDevice& device, std::string& error) {
  std::array<std::uint8_t, fat::kBootSectorLength> boot{};
  if (!device.Read(0, boot)) {
    error = "its boot sector cannot be read";
    return nullptr;
  }
  std::string reason;
  const std::optional<fat::Geometry> geometry = fat::ParseBootSector(boot, reason);
  if (!geometry) {
    error = "it holds no FAT file system: " + reason;
    return nullptr;
  }
  if (geometry->type == fat::FatType::kFat32) {
    error = "it is a FAT32 volume, which Windows NT 4.0 cannot start from";
    return nullptr;
  }
  if (geometry->type == fat::FatType::kFat12) {
    error = "it is a FAT12 volume; halshift changes FAT16 volumes only";
    return nullptr;
  }
  if (boot[fat::kSignature] != 0x55 || boot[fat::kSignature + 1] != 0xAA) {
    error = "its boot sector has no signature";
    return nullptr;
  }
  const fat::Geometry& g = *geometry;
  if (std::uint64_t{g.totalSectors} * g.bytesPerSector > device.Size()) {
    error = "the volume is larger than its partition";
    return nullptr;
  }
  const std::uint64_t entries = std::uint64_t{g.ClusterCount()} + 2;
  const std::uint64_t fatBytes = entries * 2;
  if (fatBytes > std::uint64_t{g.sectorsPerFat} * g.bytesPerSector) {
    error = "its FAT is too small for its clusters";
    return nullptr;
  }
  std::unique_ptr<Fat16Volume> volume(new Fat16Volume(device, g));
  const std::uint64_t fatSectors = (fatBytes + g.bytesPerSector - 1) / g.bytesPerSector;
  volume->fat_.resize(fatSectors * g.bytesPerSector);
  if (!device.Read(std::uint64_t{g.FirstFatSector()} * g.bytesPerSector, volume->fat_)) {
    error = "its FAT cannot be read";
    return nullptr;
  }
  if ((g.ntFlags & fat::kNtFlagDirty) != 0 || (Word(volume->fat_, 2) & kCleanShutdown) == 0) {
    error = "the volume was not shut down cleanly (its dirty flag is set): let chkdsk check it first";
    return nullptr;
  }
  return volume;
}

bool Fat16Volume::Fail(std::string reason) {
  error_ = std::move(reason);
  return false;
}

std::uint64_t Fat16Volume::ClusterOffset(std::uint16_t cluster) const {
  return (std::uint64_t{geometry_.FirstDataSector()} +
          std::uint64_t{cluster - 2u} * geometry_.sectorsPerCluster) *
         geometry_.bytesPerSector;
}

std::optional<std::vector<std::uint16_t>> Fat16Volume::Chain(std::uint16_t first) {
  std::vector<std::uint16_t> chain;
  if (first == 0) return chain;
  const std::uint32_t last = geometry_.ClusterCount() + 1;
  std::uint32_t cluster = first;
  while (true) {
    if (cluster < 2 || cluster > last) {
      Fail("a cluster chain leads outside the volume");
      return std::nullopt;
    }
    if (chain.size() > geometry_.ClusterCount()) {
      Fail("a cluster chain loops");
      return std::nullopt;
    }
    chain.push_back(static_cast<std::uint16_t>(cluster));
    const std::uint16_t next = Word(fat_, cluster * 2);
    if (next >= 0xFFF8) return chain;
    if (next == kBadCluster) {
      Fail("a cluster chain holds a bad cluster");
      return std::nullopt;
    }
    cluster = next;
  }
}

std::optional<std::vector<std::uint64_t>> Fat16Volume::FolderSectors(const Folder& folder) {
  std::vector<std::uint64_t> sectors;
  const std::uint64_t bps = geometry_.bytesPerSector;
  if (folder.root) {
    for (std::uint32_t i = 0; i < geometry_.RootSectors(); ++i) {
      sectors.push_back((std::uint64_t{geometry_.FirstRootSector()} + i) * bps);
    }
    return sectors;
  }
  const auto chain = Chain(folder.cluster);
  if (!chain) return std::nullopt;
  for (std::uint16_t cluster : *chain) {
    for (std::uint32_t i = 0; i < geometry_.sectorsPerCluster; ++i) {
      sectors.push_back(ClusterOffset(cluster) + i * bps);
    }
  }
  return sectors;
}

bool Fat16Volume::WriteDevice(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
  listings_.clear();
  return device_.Write(offset, bytes);
}

std::shared_ptr<const Fat16Volume::Listing> Fat16Volume::ReadFolder(const Folder& folder) {
  const std::pair<bool, std::uint16_t> key{folder.root, folder.root ? std::uint16_t{0} : folder.cluster};
  if (const auto kept = listings_.find(key); kept != listings_.end()) return kept->second;
  const auto sectors = FolderSectors(folder);
  if (!sectors) return nullptr;
  auto read = std::make_shared<Listing>();
  Listing& listing = *read;
  std::vector<std::uint8_t> sector(geometry_.bytesPerSector);
  LongNameRun longName;
  for (std::uint64_t at : *sectors) {
    if (!device_.Read(at, sector)) {
      Fail("a folder cannot be read");
      return nullptr;
    }
    for (std::size_t i = 0; i + kEntryLength <= sector.size(); i += kEntryLength) {
      const std::uint64_t offset = at + i;
      const std::span<const std::uint8_t> e(sector.data() + i, kEntryLength);
      listing.lastSlot = offset;
      if (listing.endSlot || e[0] == 0x00) {
        if (!listing.endSlot) listing.endSlot = offset;
        listing.freeSlots.push_back(offset);
        continue;
      }
      if (e[0] == kDeleted) {
        listing.freeSlots.push_back(offset);
        longName.Forget();
        continue;
      }
      const std::uint8_t attributes = e[kEntryAttributes];
      if ((attributes & 0x3F) == kLongNameAttributes) {
        longName.Add(e, offset);
        continue;
      }
      if ((attributes & fat::kVolumeLabel) != 0) {
        longName.Forget();
        continue;
      }
      Located located;
      located.offset = offset;
      located.entry.name = ShortNameOf(e);
      located.entry.attributes = attributes;
      located.entry.firstCluster = Word(e, kEntryCluster);
      located.entry.size = Dword(e, kEntrySize);
      if (longName.Belongs(e)) {
        located.entry.longName = longName.Name();
        located.longOffsets = longName.offsets;
      }
      longName.Forget();
      if (located.entry.name != "." && located.entry.name != "..") {
        listing.entries.push_back(std::move(located));
      }
    }
  }
  listings_.emplace(key, read);
  return read;
}

std::optional<Fat16Volume::Folder> Fat16Volume::FolderAt(std::string_view path) {
  Folder folder;
  for (std::string_view part : winpath::SplitComponents(path)) {
    const auto listing = ReadFolder(folder);
    if (!listing) return std::nullopt;
    const Located* next = nullptr;
    for (const Located& l : listing->entries) {
      if (text::EqualsIgnoreCase(l.entry.name, part) ||
          (!l.entry.longName.empty() && text::EqualsIgnoreCase(l.entry.longName, part))) {
        next = &l;
        break;
      }
    }
    if (next == nullptr || !next->entry.IsDirectory() || next->entry.firstCluster == 0) {
      Fail("no such folder");
      return std::nullopt;
    }
    folder = Folder{false, next->entry.firstCluster};
  }
  return folder;
}

bool Fat16Volume::Locate(std::string_view path, Folder& parent, std::string& name,
                         std::optional<Located>& found) {
  const std::size_t split = path.find_last_of("\\/");
  const std::string_view folderPath = split == std::string_view::npos ? std::string_view() : path.substr(0, split);
  name = std::string(split == std::string_view::npos ? path : path.substr(split + 1));
  if (name.empty() || name == "." || name == "..") return Fail("the path names no file");
  const auto folder = FolderAt(folderPath);
  if (!folder) return false;
  parent = *folder;
  const auto listing = ReadFolder(parent);
  if (!listing) return false;
  found.reset();
  for (const Located& l : listing->entries) {
    if (text::EqualsIgnoreCase(l.entry.name, name) ||
        (!l.entry.longName.empty() && text::EqualsIgnoreCase(l.entry.longName, name))) {
      found = l;
      break;
    }
  }
  return true;
}

std::optional<std::vector<FatEntry>> Fat16Volume::List(std::string_view folder) {
  const auto at = FolderAt(folder);
  if (!at) return std::nullopt;
  const auto listing = ReadFolder(*at);
  if (!listing) return std::nullopt;
  std::vector<FatEntry> entries;
  for (const Located& l : listing->entries) entries.push_back(l.entry);
  return entries;
}

std::optional<FatEntry> Fat16Volume::Find(std::string_view path) {
  Folder parent;
  std::string name;
  std::optional<Located> found;
  if (!Locate(path, parent, name, found)) return std::nullopt;
  if (!found) {
    Fail("no such file");
    return std::nullopt;
  }
  return found->entry;
}

std::optional<std::vector<std::uint8_t>> Fat16Volume::ReadFile(std::string_view path) {
  const auto entry = Find(path);
  if (!entry) return std::nullopt;
  if (entry->IsDirectory()) {
    Fail("it is a folder");
    return std::nullopt;
  }
  const auto chain = Chain(entry->firstCluster);
  if (!chain) return std::nullopt;
  const std::uint64_t bpc = geometry_.BytesPerCluster();
  if (entry->size > chain->size() * bpc) {
    Fail("the file is longer than its clusters");
    return std::nullopt;
  }
  std::vector<std::uint8_t> data(entry->size);
  for (std::size_t i = 0; i < chain->size() && i * bpc < data.size(); ++i) {
    const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(bpc, data.size() - i * bpc));
    if (!device_.Read(ClusterOffset((*chain)[i]), std::span(data).subspan(i * bpc, length))) {
      Fail("the file cannot be read");
      return std::nullopt;
    }
  }
  return data;
}

bool Fat16Volume::CanChange() {
  if (broken_) return Fail("an earlier write to the volume failed");
  return true;
}

void Fat16Volume::SetFat(std::uint16_t cluster, std::uint16_t value) {
  listings_.clear();  // a folder's chain may be the one that changes
  PutWord(fat_, std::size_t{cluster} * 2, value);
  dirtyFatSectors_.insert(std::size_t{cluster} * 2 / geometry_.bytesPerSector);
}

bool Fat16Volume::CommitFat() {
  const std::uint64_t bps = geometry_.bytesPerSector;
  for (std::uint32_t copy = 0; copy < geometry_.fatCount; ++copy) {
    const std::uint64_t base = (std::uint64_t{geometry_.FirstFatSector()} + std::uint64_t{copy} * geometry_.sectorsPerFat) * bps;
    for (std::size_t sector : dirtyFatSectors_) {
      if (!WriteDevice(base + sector * bps, std::span(fat_).subspan(sector * bps, bps))) {
        broken_ = true;
        return Fail("the FAT cannot be written");
      }
    }
  }
  dirtyFatSectors_.clear();
  return true;
}

std::optional<std::vector<std::uint16_t>> Fat16Volume::Allocate(std::size_t count) {
  std::vector<std::uint16_t> clusters;
  const std::uint32_t last = geometry_.ClusterCount() + 1;
  for (std::uint32_t c = 2; c <= last && clusters.size() < count; ++c) {
    if (Word(fat_, c * 2) == 0) clusters.push_back(static_cast<std::uint16_t>(c));
  }
  if (clusters.size() < count) {
    Fail("the volume is full");
    return std::nullopt;
  }
  return clusters;
}

bool Fat16Volume::PatchSector(std::uint64_t sector, const Patches& patches) {
  std::vector<std::uint8_t> bytes(geometry_.bytesPerSector);
  if (!device_.Read(sector, bytes)) return Fail("a folder cannot be read");
  for (const auto& [offset, patch] : patches) {
    std::copy(patch.begin(), patch.end(), bytes.begin() + static_cast<std::ptrdiff_t>(offset - sector));
  }
  if (!WriteDevice(sector, bytes)) {
    broken_ = true;
    return Fail("a folder cannot be written");
  }
  return true;
}

// Marks the long-name entries of offsets deleted: those outside lastSector at once, sector by
// sector, those inside it added to inLast for the caller's write of that sector.
bool Fat16Volume::MarkDeleted(const std::vector<std::uint64_t>& offsets, std::uint64_t lastSector,
                              Patches& inLast) {
  std::map<std::uint64_t, Patches> bySector;
  for (std::uint64_t offset : offsets) {
    Patches& target = SectorOf(offset) == lastSector ? inLast : bySector[SectorOf(offset)];
    target.emplace_back(offset, std::vector<std::uint8_t>{kDeleted});
  }
  for (const auto& [sector, patches] : bySector) {
    if (!PatchSector(sector, patches)) return false;
  }
  return true;
}

bool Fat16Volume::FreeChain(std::uint16_t first) {
  const auto chain = Chain(first);
  if (!chain) return false;
  for (std::uint16_t cluster : *chain) SetFat(cluster, 0);
  return CommitFat();
}

bool Fat16Volume::NewSlots(const Folder& parent, std::size_t count, std::uint64_t& slot,
                           std::optional<std::uint64_t>& clearAfter) {
  const auto listing = ReadFolder(parent);
  if (!listing) return false;
  const auto& free = listing->freeSlots;
  // The first run of count free slots in one sector.
  for (std::size_t i = 0; i + count <= free.size(); ++i) {
    bool run = true;
    for (std::size_t k = 1; k < count && run; ++k) {
      run = free[i + k] == free[i] + k * kEntryLength && SectorOf(free[i + k]) == SectorOf(free[i]);
    }
    if (!run) continue;
    // Unused slots before the run would end the folder before it: they become deleted ones.
    if (!EndBefore(*listing, i)) return false;
    slot = free[i];
    // A run that reaches the folder's end moves the end past it, so that the folder still ends.
    const std::size_t last = i + count - 1;
    const bool reachesEnd =
        listing->endSlot && std::find(free.begin(), free.begin() + static_cast<std::ptrdiff_t>(last + 1),
                                      *listing->endSlot) != free.begin() + static_cast<std::ptrdiff_t>(last + 1);
    if (reachesEnd && free[last] != listing->lastSlot && last + 1 < free.size()) {
      clearAfter = free[last + 1];
    }
    return true;
  }
  if (parent.root) return Fail("the root folder is full");
  const auto chain = Chain(parent.cluster);
  const auto grown = Allocate(1);
  if (!chain || !grown || !EndBefore(*listing, free.size())) return false;
  const std::vector<std::uint8_t> zeros(geometry_.BytesPerCluster());
  if (!WriteDevice(ClusterOffset(grown->front()), zeros)) {
    broken_ = true;
    return Fail("a folder cannot be written");
  }
  SetFat(grown->front(), kEndOfChain);
  SetFat(chain->back(), grown->front());
  if (!CommitFat()) return false;
  slot = ClusterOffset(grown->front());
  return true;
}

bool Fat16Volume::EndBefore(const Listing& listing, std::size_t index) {
  if (!listing.endSlot) return true;
  const auto& free = listing.freeSlots;
  const auto end = std::find(free.begin(), free.end(), *listing.endSlot);
  std::map<std::uint64_t, Patches> bySector;
  for (auto at = end; at < free.begin() + static_cast<std::ptrdiff_t>(index); ++at) {
    bySector[SectorOf(*at)].emplace_back(*at, std::vector<std::uint8_t>{kDeleted});
  }
  for (const auto& [sector, patches] : bySector) {
    if (!PatchSector(sector, patches)) return false;
  }
  return true;
}

bool Fat16Volume::NameEntries(const Folder& parent, std::string_view name,
                              std::vector<std::uint8_t>& entries) {
  entries.assign(kEntryLength, 0);
  if (IsValidShortName(name)) {
    const auto packed = PackedName(name);
    std::copy(packed.begin(), packed.end(), entries.begin());
    return true;
  }
  if (!IsValidLongName(name) || name.size() > 13 * (geometry_.bytesPerSector / kEntryLength - 1)) {
    return Fail("the name is neither a valid 8.3 name nor a long name halshift writes");
  }
  const auto listing = ReadFolder(parent);
  if (!listing) return false;
  std::vector<std::string> taken;
  for (const Located& l : listing->entries) taken.push_back(l.entry.name);
  const auto alias = ShortAlias(name, taken);
  if (!alias) return Fail("no free 8.3 name for the long name");
  const auto packed = PackedName(*alias);
  std::vector<std::uint8_t> shortEntry(kEntryLength, 0);
  std::copy(packed.begin(), packed.end(), shortEntry.begin());
  entries = LongNameEntries(name, LongNameChecksum(shortEntry));
  entries.insert(entries.end(), shortEntry.begin(), shortEntry.end());
  return true;
}

std::optional<std::uint16_t> Fat16Volume::WriteClusters(std::span<const std::uint8_t> data) {
  const std::uint64_t bpc = geometry_.BytesPerCluster();
  const std::size_t count = static_cast<std::size_t>((data.size() + bpc - 1) / bpc);
  const auto clusters = Allocate(count);
  if (!clusters) return std::nullopt;
  // Each run of consecutive clusters in one write, its last cluster padded with zeros.
  std::vector<std::uint8_t> buffer;
  for (std::size_t i = 0; i < count;) {
    std::size_t run = 1;
    while (i + run < count && (*clusters)[i + run] == (*clusters)[i] + run) ++run;
    buffer.assign(run * bpc, 0);
    const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(run * bpc, data.size() - i * bpc));
    std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(i * bpc), length, buffer.begin());
    if (!WriteDevice(ClusterOffset((*clusters)[i]), buffer)) {
      broken_ = true;
      Fail("the file cannot be written");
      return std::nullopt;
    }
    i += run;
  }
  for (std::size_t i = 0; i < count; ++i) {
    SetFat((*clusters)[i], i + 1 < count ? (*clusters)[i + 1] : kEndOfChain);
  }
  if (count > 0 && !CommitFat()) return std::nullopt;
  return count > 0 ? clusters->front() : std::uint16_t{0};
}

bool Fat16Volume::PutEntry(std::span<const std::uint8_t> entry, std::uint64_t offset,
                           std::optional<std::uint64_t> clearAfter) {
  Patches patches{{offset, std::vector<std::uint8_t>(entry.begin(), entry.end())}};
  if (clearAfter) {
    if (SectorOf(*clearAfter) == SectorOf(offset)) {
      patches.emplace_back(*clearAfter, std::vector<std::uint8_t>{0x00});
    } else if (!PatchSector(SectorOf(*clearAfter), {{*clearAfter, {0x00}}})) {
      return false;
    }
  }
  return PatchSector(SectorOf(offset), patches);
}

bool Fat16Volume::WriteFile(std::string_view path, std::span<const std::uint8_t> data) {
  if (!CanChange()) return false;
  Folder parent;
  std::string name;
  std::optional<Located> found;
  if (!Locate(path, parent, name, found)) return false;
  if (found && found->entry.IsDirectory()) return Fail("it is a folder");
  std::vector<std::uint8_t> named;
  if (!found && !NameEntries(parent, name, named)) return false;
  if (data.size() > 0xFFFFFFFFu) return Fail("the file is too large");
  std::optional<std::vector<std::uint16_t>> oldChain;
  if (found) {
    oldChain = Chain(found->entry.firstCluster);
    if (!oldChain) return false;
  }
  std::uint64_t slot = 0;
  std::optional<std::uint64_t> clearAfter;
  if (!found && !NewSlots(parent, named.size() / kEntryLength, slot, clearAfter)) return false;

  // The data clusters, then the FAT, then the directory entry.
  const auto first = WriteClusters(data);
  if (!first) return false;
  Entry e{};
  const std::uint64_t entryOffset = found ? found->offset : slot;
  if (found) {
    std::vector<std::uint8_t> sector(geometry_.bytesPerSector);
    if (!device_.Read(SectorOf(entryOffset), sector)) return Fail("a folder cannot be read");
    std::copy_n(sector.begin() + static_cast<std::ptrdiff_t>(entryOffset - SectorOf(entryOffset)), kEntryLength, e.begin());
  } else {
    std::copy_n(named.end() - kEntryLength, kEntryLength, e.begin());
  }
  e[kEntryAttributes] |= fat::kArchive;
  StampNow(e);
  PutWord(e, kEntryCluster, *first);
  PutDword(e, kEntrySize, static_cast<std::uint32_t>(data.size()));
  if (found) {
    named.assign(e.begin(), e.end());
  } else {
    std::copy(e.begin(), e.end(), named.end() - kEntryLength);
  }
  if (!PutEntry(named, entryOffset, clearAfter)) return false;

  // The replaced data last.
  if (oldChain && !oldChain->empty()) return FreeChain(oldChain->front());
  return true;
}

bool Fat16Volume::CreateFolder(std::string_view path) {
  if (!CanChange()) return false;
  Folder parent;
  std::string name;
  std::optional<Located> found;
  if (!Locate(path, parent, name, found)) return false;
  if (found) return Fail("the name exists");
  std::vector<std::uint8_t> named;
  if (!NameEntries(parent, name, named)) return false;
  std::uint64_t slot = 0;
  std::optional<std::uint64_t> clearAfter;
  if (!NewSlots(parent, named.size() / kEntryLength, slot, clearAfter)) return false;
  const auto cluster = Allocate(1);
  if (!cluster) return false;

  // The folder's cluster with its "." and ".." entries, then the FAT, then its entry.
  Entry e{};
  e.fill(' ');
  std::fill(e.begin() + 11, e.end(), 0);
  e[kEntryAttributes] = fat::kDirectory;
  StampNow(e);
  std::vector<std::uint8_t> bytes(geometry_.BytesPerCluster());
  e[0] = '.';
  PutWord(e, kEntryCluster, cluster->front());
  std::copy(e.begin(), e.end(), bytes.begin());
  e[1] = '.';
  PutWord(e, kEntryCluster, parent.root ? 0 : parent.cluster);
  std::copy(e.begin(), e.end(), bytes.begin() + kEntryLength);
  if (!WriteDevice(ClusterOffset(cluster->front()), bytes)) {
    broken_ = true;
    return Fail("a folder cannot be written");
  }
  SetFat(cluster->front(), kEndOfChain);
  if (!CommitFat()) return false;
  std::copy_n(named.end() - kEntryLength, 11, e.begin());
  PutWord(e, kEntryCluster, cluster->front());
  std::copy(e.begin(), e.end(), named.end() - kEntryLength);
  return PutEntry(named, slot, clearAfter);
}

bool Fat16Volume::Rename(std::string_view path, std::string_view newName) {
  if (!CanChange()) return false;
  Folder parent;
  std::string name;
  std::optional<Located> source;
  if (!Locate(path, parent, name, source)) return false;
  if (!source) return Fail("no such file");
  const auto listing = ReadFolder(parent);
  if (!listing) return false;
  const Located* target = nullptr;
  for (const Located& l : listing->entries) {
    if (text::EqualsIgnoreCase(l.entry.name, newName) ||
        (!l.entry.longName.empty() && text::EqualsIgnoreCase(l.entry.longName, newName))) {
      target = &l;
      break;
    }
  }
  if (target != nullptr && target->offset == source->offset) return true;

  if (target == nullptr) {
    if (!IsValidShortName(newName)) return Fail("the name is not a valid upper-case 8.3 name");
    const std::uint64_t sector = SectorOf(source->offset);
    Patches patches;
    if (!MarkDeleted(source->longOffsets, sector, patches)) return false;
    const auto packed = PackedName(newName);
    patches.emplace_back(source->offset, std::vector<std::uint8_t>(packed.begin(), packed.end()));
    return PatchSector(sector, patches);
  }

  if (target->entry.IsDirectory() || source->entry.IsDirectory()) {
    return Fail("a folder cannot replace or be replaced");
  }
  const auto oldChain = Chain(target->entry.firstCluster);
  if (!oldChain) return false;
  // The target entry: its own name bytes, the rest of the source's entry.
  std::vector<std::uint8_t> sourceSector(geometry_.bytesPerSector);
  if (!device_.Read(SectorOf(source->offset), sourceSector)) return Fail("a folder cannot be read");
  const auto sourceAt = static_cast<std::ptrdiff_t>(source->offset - SectorOf(source->offset));
  std::vector<std::uint8_t> rewritten(sourceSector.begin() + sourceAt + 11, sourceSector.begin() + sourceAt + kEntryLength);
  const std::uint64_t targetRest = target->offset + 11;

  const std::uint64_t sourceSectorAt = SectorOf(source->offset);
  const std::uint64_t targetSectorAt = SectorOf(target->offset);
  Patches inSource;
  if (!MarkDeleted(source->longOffsets, sourceSectorAt, inSource)) return false;
  inSource.emplace_back(source->offset, std::vector<std::uint8_t>{kDeleted});
  if (sourceSectorAt == targetSectorAt) {
    inSource.emplace_back(targetRest, rewritten);
    if (!PatchSector(sourceSectorAt, inSource)) return false;
  } else {
    if (!PatchSector(sourceSectorAt, inSource)) return false;
    if (!PatchSector(targetSectorAt, {{targetRest, rewritten}})) return false;
  }
  if (!oldChain->empty()) return FreeChain(oldChain->front());
  return true;
}

bool Fat16Volume::Delete(std::string_view path) {
  if (!CanChange()) return false;
  Folder parent;
  std::string name;
  std::optional<Located> found;
  if (!Locate(path, parent, name, found)) return false;
  if (!found) return Fail("no such file");
  if (found->entry.IsDirectory()) return Fail("it is a folder");
  const auto chain = Chain(found->entry.firstCluster);
  if (!chain) return false;
  const std::uint64_t sector = SectorOf(found->offset);
  Patches patches;
  if (!MarkDeleted(found->longOffsets, sector, patches)) return false;
  patches.emplace_back(found->offset, std::vector<std::uint8_t>{kDeleted});
  if (!PatchSector(sector, patches)) return false;
  if (!chain->empty()) return FreeChain(chain->front());
  return true;
}

bool Fat16Volume::SetAttributes(std::string_view path, std::uint8_t attributes) {
  if (!CanChange()) return false;
  Folder parent;
  std::string name;
  std::optional<Located> found;
  if (!Locate(path, parent, name, found)) return false;
  if (!found) return Fail("no such file");
  const std::uint8_t kept = found->entry.attributes & static_cast<std::uint8_t>(~fat::kChangeableAttributes);
  const std::uint8_t wanted = kept | (attributes & fat::kChangeableAttributes);
  if (wanted == found->entry.attributes) return true;
  return PatchSector(SectorOf(found->offset), {{found->offset + kEntryAttributes, {wanted}}});
}

bool Fat16Volume::Flush() {
  if (!device_.Flush()) {
    broken_ = true;
    return Fail("the disk cannot be flushed");
  }
  return true;
}

}  // namespace halshift::image
