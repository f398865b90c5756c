// NT 4.0 registry hives for the tests, written and walked cell by cell.
#include "tests/support/nt4_hive.h"

#include <hivex.h>

#include <algorithm>
#include <cstdlib>
#include <cctype>
#include <fstream>
#include <sstream>
#include <set>

namespace halshift::testing {
namespace {

constexpr std::size_t kBinSize = 4096;
constexpr std::size_t kBinHeader = 32;
constexpr std::uint32_t kNone = 0xFFFFFFFF;
constexpr std::uint64_t kFixedTime = 0x01C0F3A1B2C3D4E5ULL;  // some day in 2001

std::string Upper(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return upper;
}

bool SameName(std::string_view a, std::string_view b) { return Upper(a) == Upper(b); }

void Put16(std::string& bytes, std::size_t offset, std::uint16_t value) {
  bytes[offset] = static_cast<char>(value & 0xFF);
  bytes[offset + 1] = static_cast<char>(value >> 8);
}

void Put32(std::string& bytes, std::size_t offset, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<char>(value >> (8 * i));
}

void Put64(std::string& bytes, std::size_t offset, std::uint64_t value) {
  Put32(bytes, offset, static_cast<std::uint32_t>(value));
  Put32(bytes, offset + 4, static_cast<std::uint32_t>(value >> 32));
}

std::uint32_t Get32(std::string_view bytes, std::size_t offset) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) {
    value = value << 8 | static_cast<std::uint8_t>(bytes[offset + static_cast<std::size_t>(i)]);
  }
  return value;
}

std::uint16_t Get16(std::string_view bytes, std::size_t offset) {
  return static_cast<std::uint16_t>(static_cast<std::uint8_t>(bytes[offset]) |
                                    static_cast<std::uint8_t>(bytes[offset + 1]) << 8);
}

std::uint32_t Checksum(std::string_view header) {
  std::uint32_t sum = 0;
  for (std::size_t offset = 0; offset < 0x1FC; offset += 4) sum ^= Get32(header, offset);
  return sum;
}

// The bins after the header block, filled cell by cell. Offsets are from the first bin.
class BinWriter {
 public:
  // A used cell of body bytes (its size field added); returns its offset.
  std::uint32_t Cell(const std::string& body) {
    const std::size_t size = (body.size() + 4 + 7) & ~std::size_t{7};
    if (bins_.empty() || used_ + size > bins_.size()) NewBin(size);
    const std::size_t offset = used_;
    Put32(bins_, offset, static_cast<std::uint32_t>(-static_cast<std::int32_t>(size)));
    std::copy(body.begin(), body.end(), bins_.begin() + static_cast<std::ptrdiff_t>(offset + 4));
    used_ += size;
    CloseBin();
    return static_cast<std::uint32_t>(offset);
  }
  // Writes a 32-bit field of a cell already placed (to link cells written later).
  void Patch(std::uint32_t offset, std::uint32_t value) { Put32(bins_, offset, value); }
  const std::string& Bytes() { return bins_; }

 private:
  void NewBin(std::size_t cellSize) {
    const std::size_t start = bins_.size();
    const std::size_t size = (kBinHeader + cellSize + kBinSize - 1) / kBinSize * kBinSize;
    bins_.resize(start + size, '\0');
    bins_.replace(start, 4, "hbin");
    Put32(bins_, start + 4, static_cast<std::uint32_t>(start));
    Put32(bins_, start + 8, static_cast<std::uint32_t>(size));
    Put64(bins_, start + 20, kFixedTime);
    used_ = start + kBinHeader;
  }
  // The rest of the current bin is one free cell.
  void CloseBin() {
    const std::size_t end = bins_.size();
    if (used_ < end) Put32(bins_, used_, static_cast<std::uint32_t>(end - used_));
  }

  std::string bins_;
  std::size_t used_ = 0;
};

class HiveBuilder {
 public:
  explicit HiveBuilder(const HiveOptions& options) : options_(options) {}

  std::string Build(const HiveKey& root) {
    // The one security cell that every key shares, written first: a self-relative
    // descriptor with an empty DACL's place (owner, group and lists absent).
    std::string sk(20 + 20, '\0');
    sk.replace(0, 2, "sk");
    Put32(sk, 16, 20);
    sk[20] = 1;                    // revision
    Put16(sk, 22, 0x8004);         // self-relative, DACL present (null DACL)
    skOffset_ = bins_.Cell(sk);
    bins_.Patch(skOffset_ + 4 + 4, skOffset_);  // the list of security cells is this one
    bins_.Patch(skOffset_ + 4 + 8, skOffset_);
    const std::uint32_t rootOffset = WriteKey(root, kNone, true);
    bins_.Patch(skOffset_ + 4 + 12, keys_);      // reference count

    std::string header(kBinSize, '\0');
    header.replace(0, 4, "regf");
    Put32(header, 0x04, 7);
    Put32(header, 0x08, options_.dirty ? 8 : 7);
    Put64(header, 0x0C, kFixedTime);
    Put32(header, 0x14, 1);
    Put32(header, 0x18, options_.minor);
    Put32(header, 0x1C, 0);  // primary file
    Put32(header, 0x20, 1);  // direct memory load
    Put32(header, 0x24, rootOffset);
    Put32(header, 0x28, static_cast<std::uint32_t>(bins_.Bytes().size()));
    Put32(header, 0x2C, 1);
    const std::string name = Utf16(options_.fileName.substr(0, 31));
    header.replace(0x30, name.size(), name);
    Put32(header, 0x1FC, Checksum(header));
    return header + bins_.Bytes();
  }

 private:
  std::uint32_t WriteKey(const HiveKey& key, std::uint32_t parent, bool isRoot) {
    ++keys_;
    std::string nk(0x4C + key.name.size(), '\0');
    nk.replace(0, 2, "nk");
    Put16(nk, 2, isRoot ? 0x2C : 0x20);  // compressed name; the root also hive entry, fixed
    Put64(nk, 4, kFixedTime);
    Put32(nk, 0x10, parent == kNone ? 0 : parent);
    Put32(nk, 0x14, static_cast<std::uint32_t>(key.subkeys.size()));
    Put32(nk, 0x1C, kNone);
    Put32(nk, 0x20, kNone);
    Put32(nk, 0x24, static_cast<std::uint32_t>(key.values.size()));
    Put32(nk, 0x28, kNone);
    Put32(nk, 0x2C, skOffset_);
    Put32(nk, 0x30, kNone);
    std::size_t longestSubkey = 0;
    for (const auto& sub : key.subkeys) longestSubkey = std::max(longestSubkey, sub.name.size());
    std::size_t longestName = 0;
    std::size_t longestData = 0;
    for (const auto& value : key.values) {
      longestName = std::max(longestName, value.name.size());
      longestData = std::max(longestData, value.data.size());
    }
    Put32(nk, 0x34, static_cast<std::uint32_t>(longestSubkey * 2));
    Put32(nk, 0x3C, static_cast<std::uint32_t>(longestName * 2));
    Put32(nk, 0x40, static_cast<std::uint32_t>(longestData));
    Put16(nk, 0x48, static_cast<std::uint16_t>(key.name.size()));
    nk.replace(0x4C, key.name.size(), key.name);
    const std::uint32_t offset = bins_.Cell(nk);

    if (!key.values.empty()) {
      std::string list(4 * key.values.size(), '\0');
      for (std::size_t i = 0; i < key.values.size(); ++i) {
        Put32(list, 4 * i, WriteValue(key.values[i]));
      }
      bins_.Patch(offset + 4 + 0x28, bins_.Cell(list));
    }
    if (!key.subkeys.empty()) {
      // The system keeps subkey lists sorted by the upper-cased name.
      std::vector<const HiveKey*> sorted;
      for (const auto& sub : key.subkeys) sorted.push_back(&sub);
      std::sort(sorted.begin(), sorted.end(),
                [](const HiveKey* a, const HiveKey* b) { return Upper(a->name) < Upper(b->name); });
      std::vector<std::uint32_t> children;
      for (const HiveKey* sub : sorted) children.push_back(WriteKey(*sub, offset, false));
      bins_.Patch(offset + 4 + 0x1C, WriteSubkeyList(sorted, children));
    }
    return offset;
  }

  std::uint32_t WriteSubkeyList(const std::vector<const HiveKey*>& sorted,
                                const std::vector<std::uint32_t>& children) {
    const std::size_t limit = std::max<std::size_t>(options_.listLimit, 1);
    if (children.size() <= limit) {
      std::string lf(4 + 8 * children.size(), '\0');
      lf.replace(0, 2, "lf");
      Put16(lf, 2, static_cast<std::uint16_t>(children.size()));
      for (std::size_t i = 0; i < children.size(); ++i) {
        Put32(lf, 4 + 8 * i, children[i]);
        // The hint: the name's first four characters as stored.
        const std::string hint = sorted[i]->name.substr(0, 4);
        lf.replace(8 + 8 * i, hint.size(), hint);
      }
      return bins_.Cell(lf);
    }
    std::vector<std::uint32_t> parts;
    for (std::size_t start = 0; start < children.size(); start += limit) {
      const std::size_t count = std::min(limit, children.size() - start);
      std::string li(4 + 4 * count, '\0');
      li.replace(0, 2, "li");
      Put16(li, 2, static_cast<std::uint16_t>(count));
      for (std::size_t i = 0; i < count; ++i) Put32(li, 4 + 4 * i, children[start + i]);
      parts.push_back(bins_.Cell(li));
    }
    std::string ri(4 + 4 * parts.size(), '\0');
    ri.replace(0, 2, "ri");
    Put16(ri, 2, static_cast<std::uint16_t>(parts.size()));
    for (std::size_t i = 0; i < parts.size(); ++i) Put32(ri, 4 + 4 * i, parts[i]);
    return bins_.Cell(ri);
  }

  std::uint32_t WriteValue(const HiveValue& value) {
    std::string vk(0x14 + value.name.size(), '\0');
    vk.replace(0, 2, "vk");
    Put16(vk, 2, static_cast<std::uint16_t>(value.name.size()));
    const auto size = static_cast<std::uint32_t>(value.data.size());
    if (size <= 4) {
      // Resident: the data sits in the offset field, the size's top bit says so.
      Put32(vk, 4, size | 0x80000000U);
      vk.replace(8, size, value.data);
    } else {
      Put32(vk, 4, size);
      Put32(vk, 8, bins_.Cell(value.data));
    }
    Put32(vk, 0x0C, value.type);
    Put16(vk, 0x10, value.name.empty() ? 0 : 1);  // compressed name
    vk.replace(0x14, value.name.size(), value.name);
    return bins_.Cell(vk);
  }

  const HiveOptions& options_;
  BinWriter bins_;
  std::uint32_t skOffset_ = 0;
  std::uint32_t keys_ = 0;
};

// ---- the bounded walk ----

class Walker {
 public:
  explicit Walker(std::string_view bytes) : bytes_(bytes) {}

  HiveWalk Run() {
    if (bytes_.size() < kBinSize || bytes_.substr(0, 4) != "regf") {
      return Fail("no regf header");
    }
    const std::uint32_t sequence1 = Get32(bytes_, 0x04);
    const std::uint32_t sequence2 = Get32(bytes_, 0x08);
    if (sequence1 != sequence2) {
      Problem("sequence numbers differ: " + std::to_string(sequence1) + " and " +
              std::to_string(sequence2));
    }
    const std::uint32_t major = Get32(bytes_, 0x14);
    const std::uint32_t minor = Get32(bytes_, 0x18);
    if (major != 1 || minor < 1 || minor > 3) {
      Problem("format " + std::to_string(major) + "." + std::to_string(minor));
    }
    if (Get32(bytes_, 0x1FC) != Checksum(bytes_.substr(0, kBinSize))) {
      Problem("header checksum wrong");
    }
    const std::uint32_t binsSize = Get32(bytes_, 0x28);
    if (binsSize > bytes_.size() - kBinSize) Problem("bins past the end of the file");
    bins_ = bytes_.substr(kBinSize, std::min<std::size_t>(binsSize, bytes_.size() - kBinSize));
    CheckBins();
    WalkKey(Get32(bytes_, 0x24), "", 0);
    return std::move(walk_);
  }

 private:
  HiveWalk Fail(std::string problem) {
    Problem(std::move(problem));
    return std::move(walk_);
  }
  void Problem(std::string problem) { walk_.problems.push_back(std::move(problem)); }

  void CheckBins() {
    std::size_t offset = 0;
    while (offset < bins_.size()) {
      if (bins_.size() - offset < kBinHeader || bins_.substr(offset, 4) != "hbin" ||
          Get32(bins_, offset + 4) != offset) {
        Problem("no hbin at " + std::to_string(offset));
        return;
      }
      const std::uint32_t size = Get32(bins_, offset + 8);
      if (size < kBinSize || size % kBinSize != 0 || size > bins_.size() - offset) {
        Problem("bad hbin size at " + std::to_string(offset));
        return;
      }
      // The cells of the bin fill it exactly.
      std::size_t cell = offset + kBinHeader;
      while (cell < offset + size) {
        if (offset + size - cell < 4) break;
        const auto raw = static_cast<std::int32_t>(Get32(bins_, cell));
        const std::size_t length = raw < 0 ? static_cast<std::size_t>(-static_cast<std::int64_t>(raw))
                                           : static_cast<std::size_t>(raw);
        if (length < 8 || length % 8 != 0 || length > offset + size - cell) {
          Problem("bad cell at " + std::to_string(cell));
          return;
        }
        cells_.insert(cell);
        cell += length;
      }
      if (cell != offset + size) Problem("cells do not fill the bin at " + std::to_string(offset));
      offset += size;
    }
  }

  // The body of the used cell at offset (after its size field); empty when there is none.
  std::string_view Cell(std::uint32_t offset, std::string_view what) {
    if (cells_.count(offset) == 0) {
      Problem(std::string(what) + ": no cell at " + std::to_string(offset));
      return {};
    }
    const auto raw = static_cast<std::int32_t>(Get32(bins_, offset));
    if (raw >= 0) {
      Problem(std::string(what) + ": free cell at " + std::to_string(offset));
      return {};
    }
    const std::size_t length = static_cast<std::size_t>(-static_cast<std::int64_t>(raw));
    return bins_.substr(offset + 4, length - 4);
  }

  void WalkKey(std::uint32_t offset, const std::string& path, int depth) {
    if (depth > 64 || !visited_.insert(offset).second || walk_.keys > 100000) {
      Problem("key cycle or too deep at " + path);
      return;
    }
    const std::string_view nk = Cell(offset, "key " + path);
    if (nk.size() < 0x4C || nk.substr(0, 2) != "nk") {
      if (!nk.empty()) Problem("not an nk cell: " + path);
      return;
    }
    ++walk_.keys;
    const std::uint16_t nameLength = Get16(nk, 0x48);
    if (nameLength > nk.size() - 0x4C) {
      Problem("key name past its cell: " + path);
      return;
    }
    const std::string name(nk.substr(0x4C, nameLength));
    const std::string here = depth == 0 ? std::string() : path + "\\" + name;

    const std::uint32_t valueCount = Get32(nk, 0x24);
    if (valueCount > 0) {
      const std::string_view list = Cell(Get32(nk, 0x28), "values of " + here);
      if (list.size() / 4 < valueCount) {
        Problem("value list too short: " + here);
      } else {
        for (std::uint32_t i = 0; i < valueCount; ++i) WalkValue(Get32(list, 4 * i), here);
      }
    }

    const std::uint32_t subkeyCount = Get32(nk, 0x14);
    if (subkeyCount == 0) return;
    std::vector<std::uint32_t> children;
    std::string lists;
    WalkList(Get32(nk, 0x1C), here, children, lists, 0);
    walk_.subkeyLists[here] = lists;
    if (children.size() != subkeyCount) {
      Problem("subkey count " + std::to_string(subkeyCount) + " but lists hold " +
              std::to_string(children.size()) + ": " + here);
    }
    for (std::uint32_t child : children) WalkKey(child, here, depth + 1);
  }

  void WalkList(std::uint32_t offset, const std::string& key, std::vector<std::uint32_t>& children,
                std::string& lists, int depth) {
    const std::string_view list = Cell(offset, "subkeys of " + key);
    if (list.size() < 4) return;
    const std::string kind(list.substr(0, 2));
    const std::uint16_t count = Get16(list, 2);
    lists += kind + "@" + std::to_string(offset) + ":";
    for (char c : list) lists += "0123456789abcdef"[static_cast<std::uint8_t>(c) >> 4];
    lists += ";";
    if (kind == "lh") {
      Problem("\"lh\" subkey list (NT 4.0 cannot read it) in " + key);
    }
    if (kind == "lf" || kind == "lh") {
      if ((list.size() - 4) / 8 < count) return Problem("lf list too short: " + key);
      for (std::uint16_t i = 0; i < count; ++i) children.push_back(Get32(list, 4 + 8 * i));
    } else if (kind == "li" || kind == "ri") {
      if ((list.size() - 4) / 4 < count) return Problem(kind + " list too short: " + key);
      for (std::uint16_t i = 0; i < count; ++i) {
        const std::uint32_t entry = Get32(list, 4 + 4 * i);
        if (kind == "li") {
          children.push_back(entry);
        } else if (depth == 0) {
          WalkList(entry, key, children, lists, 1);
        } else {
          Problem("ri list inside an ri list: " + key);
        }
      }
    } else {
      Problem("unknown subkey list \"" + kind + "\" in " + key);
    }
  }

  void WalkValue(std::uint32_t offset, const std::string& key) {
    const std::string_view vk = Cell(offset, "value of " + key);
    if (vk.size() < 0x14 || vk.substr(0, 2) != "vk") {
      if (!vk.empty()) Problem("not a vk cell in " + key);
      return;
    }
    ++walk_.values;
    if (Get16(vk, 2) > vk.size() - 0x14) Problem("value name past its cell in " + key);
    const std::uint32_t size = Get32(vk, 4);
    if ((size & 0x80000000U) != 0) {
      if ((size & 0x7FFFFFFFU) > 4) Problem("resident value longer than 4 bytes in " + key);
      return;
    }
    if (size == 0) return;
    const std::string_view data = Cell(Get32(vk, 8), "value data in " + key);
    if (data.size() < size) Problem("value data past its cell in " + key);
    // Format 1.3 has no big-data ("db") cells: the data is one cell.
    if (data.size() >= 2 && data.substr(0, 2) == "db" && size > 16344) {
      Problem("big-data cell in " + key);
    }
  }

  std::string_view bytes_;
  std::string_view bins_;
  std::set<std::size_t> cells_;
  std::set<std::uint32_t> visited_;
  HiveWalk walk_;
};

}  // namespace

HiveKey& HiveKey::At(std::string_view path) {
  HiveKey* key = this;
  while (!path.empty()) {
    const std::size_t slash = path.find('\\');
    const std::string_view wanted = path.substr(0, slash);
    auto found = std::find_if(key->subkeys.begin(), key->subkeys.end(),
                              [&](const HiveKey& sub) { return SameName(sub.name, wanted); });
    if (found == key->subkeys.end()) {
      key->subkeys.push_back(HiveKey{std::string(wanted), {}, {}});
      found = key->subkeys.end() - 1;
    }
    key = &*found;
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return *key;
}

HiveKey& HiveKey::Set(HiveValue value) {
  for (auto& existing : values) {
    if (SameName(existing.name, value.name)) {
      existing = std::move(value);
      return *this;
    }
  }
  values.push_back(std::move(value));
  return *this;
}

std::string Utf16(std::string_view text) {
  std::string utf16;
  for (char c : text) {
    utf16.push_back(c);
    utf16.push_back('\0');
  }
  return utf16;
}

HiveValue SzValue(std::string name, std::string_view text) {
  return {std::move(name), 1, Utf16(text) + std::string(2, '\0')};
}

HiveValue ExpandSzValue(std::string name, std::string_view text) {
  return {std::move(name), 2, Utf16(text) + std::string(2, '\0')};
}

HiveValue MultiSzValue(std::string name, const std::vector<std::string>& texts) {
  std::string data;
  for (const auto& text : texts) data += Utf16(text) + std::string(2, '\0');
  data += std::string(2, '\0');
  return {std::move(name), 7, data};
}

HiveValue DwordValue(std::string name, std::uint32_t number) {
  std::string data(4, '\0');
  Put32(data, 0, number);
  return {std::move(name), 4, data};
}

HiveValue BinaryValue(std::string name, std::string bytes) {
  return {std::move(name), 3, std::move(bytes)};
}

std::string Nt4HiveBytes(const HiveKey& root, const HiveOptions& options) {
  HiveBuilder builder(options);
  return builder.Build(root);
}

void WriteNt4Hive(const std::filesystem::path& path, const HiveKey& root,
                  const HiveOptions& options) {
  const std::string bytes = Nt4HiveBytes(root, options);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  ASSERT_TRUE(out.good()) << "cannot write " << path;
}

HiveKey Nt4SoftwareHive() {
  HiveKey root{"CMI-CreateHive{B01E557D-7818-4BA7-9885-E6592398B44E}", {}, {}};
  HiveKey& current = root.At("Microsoft\\Windows NT\\CurrentVersion");
  current.Set(SzValue("CurrentBuild", "1.511.1 () (Obsolete data - do not use)"))
      .Set(SzValue("CurrentVersion", "4.0"))
      .Set(SzValue("CurrentBuildNumber", "1381"))
      .Set(SzValue("CurrentType", "Uniprocessor Free"))
      .Set(SzValue("CSDVersion", "Service Pack 6"))
      .Set(SzValue("SystemRoot", "C:\\WINNT"))
      .Set(SzValue("SoftwareType", "SYSTEM"))
      .Set(SzValue("RegisteredOwner", "Operator"))
      .Set(SzValue("RegisteredOrganization", ""))
      .Set(SzValue("PathName", "C:\\WINNT"))
      .Set(SzValue("SourcePath", "D:\\I386"))
      .Set(DwordValue("InstallDate", 0x3B1F5A40));
  root.At("Microsoft\\Windows NT\\CurrentVersion\\Winlogon")
      .Set(SzValue("Shell", "Explorer.exe"))
      .Set(SzValue("Userinit", "C:\\WINNT\\system32\\userinit,"));
  root.At("Microsoft\\Windows NT\\CurrentVersion\\HotFix");
  root.At("Microsoft\\Windows\\CurrentVersion")
      .Set(ExpandSzValue("ProgramFilesPath", "%SystemDrive%\\Program Files"));
  root.At("Classes\\.txt").Set(SzValue("", "txtfile"));
  root.At("Program Groups");
  root.At("Secure");
  root.At("Description\\Microsoft\\Rpc");
  return root;
}

HiveKey Nt4SystemHive() {
  HiveKey root{"$$$PROTO.HIV", {}, {}};
  root.At("Select")
      .Set(DwordValue("Current", 1))
      .Set(DwordValue("Default", 1))
      .Set(DwordValue("Failed", 0))
      .Set(DwordValue("LastKnownGood", 2));
  root.At("Setup").Set(DwordValue("SetupType", 0)).Set(SzValue("CmdLine", "setup -newsetup"));
  root.At("Disk").Set(BinaryValue("Information", std::string("\x01\x00\x00\x00\x0c", 5)));
  for (const char* set : {"ControlSet001", "ControlSet002"}) {
    HiveKey& control = root.At(std::string(set) + "\\Control");
    control.At("Windows")
        .Set(DwordValue("CSDVersion", 0x600))
        .Set(ExpandSzValue("Directory", "%SystemRoot%"))
        .Set(ExpandSzValue("SystemDirectory", "%SystemRoot%\\system32"));
    control.At("Session Manager")
        .Set(MultiSzValue("BootExecute", {"autocheck autochk *"}))
        .Set(DwordValue("ProtectionMode", 0))
        .Set(SzValue("ObjectDirectories", "\\Windows"));
    control.At("Session Manager\\Memory Management")
        .Set(DwordValue("PagedPoolSize", 0));
    control.At("Session Manager\\Environment")
        .Set(SzValue("PROCESSOR_ARCHITECTURE", "x86"))
        .Set(SzValue("NUMBER_OF_PROCESSORS", "1"))
        .Set(ExpandSzValue("Path", "%SystemRoot%\\system32;%SystemRoot%"));
    control.At("ProductOptions").Set(SzValue("ProductType", "WinNT"));
    root.At(std::string(set) + "\\Services\\Disk").Set(DwordValue("Start", 0));
  }
  return root;
}

void WriteNt4Hives(const std::filesystem::path& configFolder, const HiveKey& software,
                   const HiveKey& system, HiveOptions options) {
  std::error_code ec;
  std::filesystem::create_directories(configFolder, ec);
  ASSERT_FALSE(ec) << "cannot create " << configFolder;
  options.fileName = std::string(kSoftwareHiveName);
  WriteNt4Hive(configFolder / "SOFTWARE", software, options);
  options.fileName = std::string(kSystemHiveName);
  WriteNt4Hive(configFolder / "SYSTEM", system, options);
}

std::optional<HiveValue> ReadHiveValue(const std::filesystem::path& hive, std::string_view keyPath,
                                       std::string_view valueName) {
  hive_h* handle = hivex_open(hive.c_str(), 0);
  if (handle == nullptr) return std::nullopt;
  hive_node_h node = hivex_root(handle);
  std::string_view rest = keyPath;
  while (node != 0 && !rest.empty()) {
    const std::size_t slash = rest.find('\\');
    node = hivex_node_get_child(handle, node, std::string(rest.substr(0, slash)).c_str());
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
  }
  std::optional<HiveValue> value;
  const hive_value_h found =
      node == 0 ? 0 : hivex_node_get_value(handle, node, std::string(valueName).c_str());
  if (found != 0) {
    std::uint32_t type = 0;  // any number, not only those hivex's enumeration names
    std::size_t length = 0;
    if (char* data = hivex_value_value(handle, found, reinterpret_cast<hive_type*>(&type), &length)) {
      char* name = hivex_value_key(handle, found);
      value = HiveValue{name != nullptr ? name : "", type, std::string(data, length)};
      std::free(name);
      std::free(data);
    }
  }
  hivex_close(handle);
  return value;
}

HiveWalk WalkHive(std::string_view bytes) { return Walker(bytes).Run(); }

::testing::AssertionResult IsNt4Hive(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return ::testing::AssertionFailure() << "cannot read " << path;
  std::stringstream content;
  content << in.rdbuf();
  const HiveWalk walk = WalkHive(content.str());
  if (walk.problems.empty()) return ::testing::AssertionSuccess();
  auto failure = ::testing::AssertionFailure() << path << " is no NT 4.0 hive:";
  for (const auto& problem : walk.problems) failure << "\n  " << problem;
  return failure;
}

}  // namespace halshift::testing
