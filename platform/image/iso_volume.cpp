// The ISO 9660 volume: directory lookups without regard to case over libiso9660's listings.
#include "platform/image/iso_volume.h"

#include <cdio/iso9660.h>
#include <cdio/logging.h>
#include <sys/stat.h>

#include <cstdint>
#include <set>
#include <system_error>

#include "base/text.h"

namespace halshift::image {
namespace {

// libcdio reports damaged images on standard error; the volume's callers give their own
// one-line reasons instead.
void QuietLog(cdio_log_level_t, const char*) {}

struct StatDeleter {
  void operator()(iso9660_stat_t* stat) const { iso9660_stat_free(stat); }
};
using StatPointer = std::unique_ptr<iso9660_stat_t, StatDeleter>;

struct ListDeleter {
  void operator()(CdioList_t* list) const { iso9660_filelist_free(list); }
};
using ListPointer = std::unique_ptr<CdioList_t, ListDeleter>;

constexpr std::uint64_t kBlockSize = ISO_BLOCKSIZE;

// The first block of an extent; a negative one (a damaged record) as a block past any image.
std::uint32_t FirstBlock(const iso9660_stat_t& stat) {
  return stat.lsn < 0 ? UINT32_MAX : static_cast<std::uint32_t>(stat.lsn);
}

bool IsSymbolicLink(const iso9660_stat_t& stat) {
  return stat.rr.b3_rock == yep && S_ISLNK(stat.rr.st_mode);
}

}  // namespace

struct IsoVolume::Handle {
  iso9660_t* iso = nullptr;
  ~Handle() {
    if (iso) iso9660_close(iso);
  }
};

std::string IsoDisplayName(std::string_view recorded) {
  const std::size_t semicolon = recorded.rfind(';');
  if (semicolon != std::string_view::npos) {
    const std::string_view version = recorded.substr(semicolon + 1);
    bool digits = true;
    for (char c : version) digits = digits && c >= '0' && c <= '9';
    if (digits) recorded = recorded.substr(0, semicolon);
  }
  if (recorded.size() > 1 && recorded.back() == '.') recorded.remove_suffix(1);
  return std::string(recorded);
}

IsoVolume::IsoVolume(std::unique_ptr<Handle> handle, std::uint64_t imageSize)
    : handle_(std::move(handle)), imageSize_(imageSize) {}

IsoVolume::~IsoVolume() = default;

std::unique_ptr<IsoVolume> IsoVolume::Open(const std::filesystem::path& image, std::string& error) {
  std::error_code code;
  if (!std::filesystem::is_regular_file(image, code)) {
    error = "not a file that can be read as an ISO 9660 image";
    return nullptr;
  }
  const std::uint64_t size = std::filesystem::file_size(image, code);
  if (code) {
    error = "cannot be read: " + code.message();
    return nullptr;
  }
  cdio_log_set_handler(QuietLog);
  auto handle = std::make_unique<Handle>();
  handle->iso = iso9660_open_ext(image.c_str(), ISO_EXTENSION_ALL);
  if (!handle->iso) {
    error = "not an ISO 9660 image (no readable primary volume descriptor)";
    return nullptr;
  }
  std::unique_ptr<IsoVolume> volume(new IsoVolume(std::move(handle), size));
  const StatPointer root(iso9660_ifs_stat(volume->handle_->iso, "/"));
  if (!root || root->type != iso9660_stat_s::_STAT_DIR || !volume->Directory(Record{{"", true, root->size}, "/", FirstBlock(*root)})) {
    error = "not an ISO 9660 image (its root directory cannot be read)";
    return nullptr;
  }
  return volume;
}

const std::vector<IsoVolume::Record>* IsoVolume::Directory(const Record& directory) const {
  const auto known = directories_.find(directory.path);
  if (known != directories_.end()) return known->second ? &*known->second : nullptr;

  std::optional<std::vector<Record>> records;
  const std::uint64_t blocks = (directory.entry.size + kBlockSize - 1) / kBlockSize;
  // A directory that a damaged image makes huge, or places past the image's end, is not read.
  if (directory.entry.size <= kMaxIsoDirectorySize &&
      (static_cast<std::uint64_t>(directory.lsn) + blocks) * kBlockSize <= imageSize_ + kBlockSize) {
    if (const ListPointer list{iso9660_ifs_readdir(handle_->iso, directory.path.c_str())}) {
      records.emplace();
      std::set<std::string> names;  // upper-cased, as lookups compare them
      for (CdioListNode_t* node = _cdio_list_begin(list.get()); node; node = _cdio_list_node_next(node)) {
        const auto* stat = static_cast<const iso9660_stat_t*>(_cdio_list_node_data(node));
        if (!stat) continue;
        const std::string recorded = stat->filename;
        if (recorded.empty() || recorded == "." || recorded == ".." || IsSymbolicLink(*stat)) continue;
        Record record;
        record.entry.name = IsoDisplayName(recorded);
        // Names are looked up without regard to case, so of two records that differ only in
        // case or version (Rock Ridge "a" and "A", "X;1" and "X;2", or a damaged record that
        // repeats a name) only the first can be found; the later ones are left out of the
        // listing too, so that what is listed is what a lookup gives.
        if (!names.insert(text::ToUpper(record.entry.name)).second) continue;
        record.entry.directory = stat->type == iso9660_stat_s::_STAT_DIR;
        record.entry.size = stat->size;
        record.lsn = FirstBlock(*stat);
        record.path = directory.path == "/" ? "/" + recorded : directory.path + "/" + recorded;
        records->push_back(std::move(record));
      }
    }
  }
  const auto stored = directories_.emplace(directory.path, std::move(records)).first;
  return stored->second ? &*stored->second : nullptr;
}

std::optional<IsoVolume::Record> IsoVolume::Lookup(std::span<const std::string> components) const {
  // The root's record comes from the volume descriptor, as libiso9660 reads it.
  const StatPointer root(iso9660_ifs_stat(handle_->iso, "/"));
  if (!root) return std::nullopt;
  Record current{{"", true, root->size}, "/", FirstBlock(*root)};
  for (const std::string& component : components) {
    if (!current.entry.directory) return std::nullopt;
    const std::string wanted = IsoDisplayName(component);
    if (wanted.empty() || wanted == "." || wanted == "..") return std::nullopt;
    const std::vector<Record>* entries = Directory(current);
    if (!entries) return std::nullopt;
    const Record* match = nullptr;
    for (const Record& record : *entries) {
      if (text::EqualsIgnoreCase(record.entry.name, wanted)) {
        match = &record;
        break;
      }
    }
    if (!match) return std::nullopt;
    current = *match;
  }
  return current;
}

std::optional<IsoVolume::Entry> IsoVolume::Find(std::span<const std::string> components) const {
  const auto record = Lookup(components);
  if (!record) return std::nullopt;
  return record->entry;
}

std::vector<IsoVolume::Entry> IsoVolume::List(std::span<const std::string> components) const {
  std::vector<Entry> entries;
  const auto record = Lookup(components);
  if (!record || !record->entry.directory) return entries;
  if (const std::vector<Record>* records = Directory(*record)) {
    for (const Record& child : *records) entries.push_back(child.entry);
  }
  return entries;
}

std::optional<std::string> IsoVolume::Read(std::span<const std::string> components) const {
  const auto record = Lookup(components);
  if (!record || record->entry.directory || record->entry.size > kMaxIsoFileSize) return std::nullopt;
  const std::uint64_t size = record->entry.size;
  if (size == 0) return std::string();
  const std::uint64_t blocks = (size + kBlockSize - 1) / kBlockSize;
  // The file's bytes must lie inside the image; its last block may be cut short by the
  // image's end.
  if (static_cast<std::uint64_t>(record->lsn) * kBlockSize + size > imageSize_) return std::nullopt;
  std::string bytes(static_cast<std::size_t>(blocks * kBlockSize), '\0');
  const long read = iso9660_iso_seek_read(handle_->iso, bytes.data(), static_cast<lsn_t>(record->lsn),
                                          static_cast<long>(blocks));
  if (read < 0 || static_cast<std::uint64_t>(read) < size) return std::nullopt;
  bytes.resize(static_cast<std::size_t>(size));
  return bytes;
}

}  // namespace halshift::image
