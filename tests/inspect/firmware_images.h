// Builders of synthetic firmware bytes: "!SIT" records, SMBIOS entry points and structures,
// MP floating pointers, placed into memory images.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace halshift::testing {

using Bytes = std::vector<std::uint8_t>;

inline Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

inline Bytes Text(std::string_view text) { return Bytes(text.begin(), text.end()); }

// Copies bytes into image at offset, growing nothing: the bytes must fit.
inline void Place(Bytes& image, std::size_t offset, const Bytes& bytes) {
  for (std::size_t i = 0; i < bytes.size(); ++i) image.at(offset + i) = bytes[i];
}

// A "!SIT" record: type, L, data.
// Room for the whole record is reserved first: GCC 12 at -O3 takes a vector that starts as a
// two-byte list and then grows for one that overflows (a false -Warray-bounds).
inline Bytes SitRecord(std::uint8_t type, const Bytes& data) {
  Bytes record;
  record.reserve(2 + data.size());
  record.push_back(type);
  record.push_back(static_cast<std::uint8_t>(data.size()));
  record.insert(record.end(), data.begin(), data.end());
  return record;
}

// The processor record with L data bytes; slot i is in use when bit i of slotMask is set. A
// used even slot has only its first byte set, a used odd slot only its second; the other
// bytes of every slot are nonzero, so only the first two bytes may decide.
inline Bytes SitProcessorRecord(unsigned slotMask, std::size_t length = 104) {
  Bytes data(length, 0);
  for (std::size_t slot = 0; slot < 8; ++slot) {
    for (std::size_t i = 2; i < 13 && slot * 13 + i < length; ++i) data[slot * 13 + i] = 0xEE;
    const std::size_t used = slot * 13 + slot % 2;
    if (((slotMask >> slot) & 1) != 0 && used < length) data[used] = 0x10;
  }
  return SitRecord(13, data);
}

inline std::uint8_t FixSum(const Bytes& bytes) {
  unsigned sum = 0;
  for (std::uint8_t b : bytes) sum += b;
  return static_cast<std::uint8_t>(0x100 - (sum & 0xFF));
}

struct EntryPointFields {
  std::uint8_t major = 2;
  std::uint8_t minor = 3;
  std::uint16_t tableLength = 0;
  std::uint32_t tableAddress = 0;
  std::uint16_t structureCount = 0;
  std::uint8_t checksumLength = 0x1F;
  bool goodChecksum = true;
};

// A 31-byte SMBIOS entry point; the checksum byte at 0x04 makes the first N bytes sum to 0.
inline Bytes SmbiosEntryPoint(const EntryPointFields& f) {
  Bytes ep(0x1F, 0);
  Place(ep, 0, Text("_SM_"));
  ep[0x05] = f.checksumLength;
  ep[0x06] = f.major;
  ep[0x07] = f.minor;
  ep[0x08] = 0xFF;  // maximum structure size: part of the sum, not examined
  Place(ep, 0x10, Text("_DMI_"));
  ep[0x16] = static_cast<std::uint8_t>(f.tableLength);
  ep[0x17] = static_cast<std::uint8_t>(f.tableLength >> 8);
  for (int i = 0; i < 4; ++i) ep[0x18 + i] = static_cast<std::uint8_t>(f.tableAddress >> (8 * i));
  ep[0x1C] = static_cast<std::uint8_t>(f.structureCount);
  ep[0x1D] = static_cast<std::uint8_t>(f.structureCount >> 8);
  const Bytes covered(ep.begin(), ep.begin() + std::min<std::size_t>(f.checksumLength, ep.size()));
  ep[0x04] = FixSum(covered);
  if (!f.goodChecksum) ep[0x04] ^= 0x5A;
  return ep;
}

// An SMBIOS structure: formatted area (header, then body) and strings, ending in two zeros.
// Room for the formatted area is reserved first, as in SitRecord.
inline Bytes SmbiosStructure(std::uint8_t type, Bytes body, std::initializer_list<std::string_view> strings) {
  Bytes s;
  s.reserve(4 + body.size() + 2);
  s.push_back(type);
  s.push_back(static_cast<std::uint8_t>(4 + body.size()));
  s.push_back(0x34);  // handle 0x1234
  s.push_back(0x12);
  s.insert(s.end(), body.begin(), body.end());
  for (std::string_view text : strings) {
    s.insert(s.end(), text.begin(), text.end());
    s.push_back(0);
  }
  if (strings.size() == 0) s.push_back(0);
  s.push_back(0);
  return s;
}

// A Processor Information structure of SMBIOS 2.0 length (0x1A) with the status byte and two
// strings whose bytes look like structure headers (a walk that does not skip strings
// miscounts).
inline Bytes SmbiosProcessor(std::uint8_t status, bool withStrings = true) {
  Bytes body(0x1A - 4, 0x04);
  body[0x18 - 4] = status;
  if (!withStrings) return SmbiosStructure(4, body, {});
  return SmbiosStructure(4, body, {"\x04\x1A\x01\x02", "CPU\x41"});
}

// A Processor Information structure of SMBIOS 2.5 and later: formatted length 0x2A unless
// given, "Core Enabled" (0x24) set where the formatted area holds it.
inline Bytes SmbiosProcessor25(std::uint8_t status, std::uint8_t coresEnabled, std::size_t length = 0x2A) {
  Bytes body(length - 4, 0x04);
  body[0x18 - 4] = status;
  if (length > 0x24) body[0x24 - 4] = coresEnabled;
  return SmbiosStructure(4, body, {"CPU 0", "QEMU"});
}

// A 16-byte MP floating pointer structure; with goodSum false its bytes do not sum to 0.
inline Bytes MpPointer(bool goodSum = true) {
  Bytes p(16, 0);
  Place(p, 0, Text("_MP_"));
  p[8] = 1;     // length in paragraphs
  p[9] = 4;     // MP revision 1.4
  p[10] = FixSum(p);
  if (!goodSum) p[10] ^= 1;
  return p;
}

// A floating pointer that leads to a configuration table at tableAddress, or announces a
// default configuration with a nonzero feature byte 1.
inline Bytes MpPointerTo(std::uint32_t tableAddress, std::uint8_t feature1 = 0) {
  Bytes p(16, 0);
  Place(p, 0, Text("_MP_"));
  for (int i = 0; i < 4; ++i) p[4 + i] = static_cast<std::uint8_t>(tableAddress >> (8 * i));
  p[8] = 1;
  p[9] = 4;
  p[11] = feature1;
  p[10] = FixSum(p);
  return p;
}

// A processor entry of an MP configuration table: bit 0 of flags is "enabled", bit 1 "boot
// processor".
inline Bytes MpProcessorEntry(std::uint8_t apicId, std::uint8_t flags) {
  Bytes e(20, 0);
  e[1] = apicId;
  e[2] = 0x14;       // local APIC version
  e[3] = flags;
  e[4] = 0x63;       // CPU signature
  e[8] = 0x01;       // feature flags
  e[9] = 0x02;
  return e;
}

// An 8-byte entry of type 1 to 4 (bus, I/O APIC, I/O interrupt, local interrupt), or of
// another type: its second byte is 0, so that a walk that took every entry for a processor
// entry would read it as such.
inline Bytes MpEntry(std::uint8_t type) {
  Bytes e(8, 0);
  e[0] = type;
  e[3] = 0x01;
  return e;
}

struct MpTableFields {
  std::string_view signature = "PCMP";
  std::optional<std::uint16_t> length = std::nullopt;      // the declared base table length; the bytes' size
  std::optional<std::uint16_t> entryCount = std::nullopt;  // the declared number of entries; the entries'
  bool goodSum = true;
};

// A base configuration table: the 44-byte header and the entries. The checksum byte makes the
// first `length` bytes sum to 0 (when they all exist), whatever follows them.
inline Bytes MpTable(std::initializer_list<Bytes> entries, MpTableFields f = {}) {
  Bytes t(44, 0);
  Place(t, 0, Text(f.signature));
  t[6] = 4;  // revision 1.4
  Place(t, 8, Text("BOCHSCPU"));
  Place(t, 16, Text("0.1         "));
  t[36] = 0x00;  // local APIC at 0xFEE00000
  t[38] = 0xE0;
  t[39] = 0xFE;
  for (const Bytes& entry : entries) t.insert(t.end(), entry.begin(), entry.end());
  const std::uint16_t length = f.length.value_or(static_cast<std::uint16_t>(t.size()));
  const std::uint16_t count = f.entryCount.value_or(static_cast<std::uint16_t>(entries.size()));
  t[4] = static_cast<std::uint8_t>(length);
  t[5] = static_cast<std::uint8_t>(length >> 8);
  t[34] = static_cast<std::uint8_t>(count);
  t[35] = static_cast<std::uint8_t>(count >> 8);
  const Bytes covered(t.begin(), t.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(length, t.size())));
  t[7] = FixSum(covered);
  if (!f.goodSum) t[7] ^= 0x21;
  return t;
}

}  // namespace halshift::testing
