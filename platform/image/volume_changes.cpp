// The machine image's record of unflushed changes per drive, and the power cut that takes the
// journaled ones back.
#include "platform/image/volume_changes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "base/text.h"
#include "platform/image/image_state.h"
#include "platform/image/machine_image.h"

namespace halshift::image {

bool VolumeChanges::Journaling() const { return faults_.CutsPower(); }

char VolumeChanges::Key(char drive) {
  const char upper = text::UpperAscii(drive);
  return upper >= 'A' && upper <= 'Z' ? static_cast<char>(upper - 'A') : 0;
}

void VolumeChanges::FolderChanged(char drive, const std::filesystem::path& folder) {
  unflushed_[static_cast<int>(Key(drive))].folders.insert(folder);
}

void VolumeChanges::FileChanged(char drive, const std::filesystem::path& file) {
  unflushed_[static_cast<int>(Key(drive))].files.insert(file);
}

std::filesystem::path VolumeChanges::KeepLink(const std::filesystem::path& file) {
  if (!Journaling()) return {};
  std::filesystem::path link =
      file.parent_path() / (std::string(host::kPrivatePrefix) + "unflushed." +
                            std::to_string(getpid()) + "." + std::to_string(++nextLink_));
  unlink(link.c_str());  // a stale one of an ended process of the same number
  if (::link(file.c_str(), link.c_str()) != 0) return {};
  return link;
}

void VolumeChanges::DropLink(const std::filesystem::path& link) {
  if (!link.empty()) unlink(link.c_str());
}

void VolumeChanges::Created(char drive, const std::filesystem::path& entry) {
  if (Journaling()) journal_.push_back({Kind::kCreated, drive, entry, {}, {}, {}, 0, {}});
}

void VolumeChanges::Renamed(char drive, const std::filesystem::path& from,
                            const std::filesystem::path& to, const std::filesystem::path& replaced,
                            std::optional<std::string> machineIniBefore) {
  if (!Journaling()) return;
  journal_.push_back({Kind::kRenamed, drive, to, from, replaced, std::move(machineIniBefore), 0, {}});
}

void VolumeChanges::Removed(char drive, const std::filesystem::path& entry,
                            const std::filesystem::path& kept) {
  if (Journaling()) journal_.push_back({Kind::kRemoved, drive, entry, kept, {}, {}, 0, {}});
}

void VolumeChanges::AttributesChanged(char drive, const std::filesystem::path& entry,
                                      unsigned mode, std::string dosAttributes) {
  if (!Journaling()) return;
  journal_.push_back({Kind::kAttributes, drive, entry, {}, {}, {}, mode, std::move(dosAttributes)});
}

void VolumeChanges::DropNewest() {
  if (journal_.empty()) return;
  DropLink(journal_.back().replaced);
  if (journal_.back().kind == Kind::kRemoved) DropLink(journal_.back().other);
  journal_.pop_back();
}

VolumeChanges::Unflushed VolumeChanges::TakeForFlush(char drive) {
  const char key = Key(drive);
  Unflushed taken = std::move(unflushed_[static_cast<int>(key)]);
  unflushed_[static_cast<int>(key)] = {};
  std::vector<Change> kept;
  for (Change& change : journal_) {
    if (Key(change.drive) != key) {
      kept.push_back(std::move(change));
      continue;
    }
    DropLink(change.replaced);
    if (change.kind == Kind::kRemoved) DropLink(change.other);
  }
  journal_ = std::move(kept);
  return taken;
}

void VolumeChanges::TakeBack(const Change& change) {
  switch (change.kind) {
    case Kind::kCreated: {
      std::error_code ec;
      std::filesystem::remove_all(change.path, ec);
      break;
    }
    case Kind::kRenamed:
      if (!change.other.empty()) {
        rename(change.path.c_str(), change.other.c_str());
      } else if (change.replaced.empty()) {
        unlink(change.path.c_str());
      }
      if (!change.replaced.empty()) rename(change.replaced.c_str(), change.path.c_str());
      break;
    case Kind::kRemoved:
      if (!change.other.empty()) rename(change.other.c_str(), change.path.c_str());
      break;
    case Kind::kAttributes:
      chmod(change.path.c_str(), static_cast<mode_t>(change.mode));
      if (change.dosAttributes.empty()) {
        lremovexattr(change.path.c_str(), "user.DOSATTRIB");
      } else {
        lsetxattr(change.path.c_str(), "user.DOSATTRIB", change.dosAttributes.data(),
                  change.dosAttributes.size(), 0);
      }
      break;
  }
}

void VolumeChanges::TakeBack(std::size_t kept, const std::filesystem::path& machineIni) {
  std::vector<bool> lost(journal_.size(), false);
  for (std::size_t i = kept; i < lost.size(); ++i) lost[i] = true;
  TakeBackMarked(lost, machineIni);
}

bool VolumeChanges::Related(const Change& a, const Change& b) {
  if (a.machineIniBefore && b.machineIniBefore) return true;
  const auto within = [](const std::filesystem::path& inner, const std::filesystem::path& outer) {
    auto o = outer.begin();
    auto i = inner.begin();
    for (; o != outer.end(); ++o, ++i) {
      if (i == inner.end() || *i != *o) return false;
    }
    return true;
  };
  for (const std::filesystem::path* x : {&a.path, &a.other}) {
    if (x->empty() || (x == &a.other && a.kind != Kind::kRenamed)) continue;
    for (const std::filesystem::path* y : {&b.path, &b.other}) {
      if (y->empty() || (y == &b.other && b.kind != Kind::kRenamed)) continue;
      if (within(*x, *y) || within(*y, *x)) return true;
    }
  }
  return false;
}

void VolumeChanges::TakeBackSome(std::uint32_t seed, const std::filesystem::path& machineIni) {
  std::vector<bool> lost(journal_.size(), false);
  std::uint64_t state = seed;
  for (std::size_t i = 0; i < lost.size(); ++i) {
    // splitmix64: a different, repeatable choice for each seed.
    state += 0x9E3779B97F4A7C15u;
    std::uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    lost[i] = lost[i] || ((z ^ (z >> 31)) & 1) != 0;
    if (!lost[i]) continue;
    for (std::size_t j = i + 1; j < lost.size(); ++j) {
      if (!lost[j] && Related(journal_[i], journal_[j])) lost[j] = true;
    }
  }
  TakeBackMarked(lost, machineIni);
}

void VolumeChanges::TakeBackMarked(const std::vector<bool>& lost,
                                   const std::filesystem::path& machineIni) {
  const std::optional<std::string>* iniBefore = nullptr;
  for (std::size_t i = journal_.size(); i-- > 0;) {
    if (!lost[i]) continue;
    TakeBack(journal_[i]);
    if (journal_[i].machineIniBefore) iniBefore = &journal_[i].machineIniBefore;
  }
  if (iniBefore != nullptr) {
    const int fd = open(machineIni.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd >= 0) {
      std::string_view bytes = **iniBefore;
      while (!bytes.empty()) {
        const ssize_t put = write(fd, bytes.data(), bytes.size());
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) break;
        bytes.remove_prefix(static_cast<std::size_t>(put));
      }
      close(fd);
    }
  }
  std::vector<Change> kept;
  for (std::size_t i = 0; i < journal_.size(); ++i) {
    if (!lost[i]) kept.push_back(std::move(journal_[i]));
  }
  journal_ = std::move(kept);
}

}  // namespace halshift::image
