// Telling disk files apart by their signatures.
#include "platform/image/disk_format.h"

#include <array>
#include <cstring>

#include "base/byte_cursor.h"
#include "platform/image/partition_table.h"

namespace halshift::image {

namespace {

constexpr std::size_t kHeadLength = 512;
constexpr std::size_t kVhdFooterLength = 512;
constexpr std::size_t kVhdDiskType = 0x3C;  // big-endian dword
constexpr std::size_t kVdiSignature = 0x40;  // little-endian dword
constexpr std::uint32_t kVdiSignatureValue = 0xBEDA107F;
constexpr std::uint32_t kVhdFixed = 2;

bool Starts(const std::array<std::uint8_t, kHeadLength>& head, std::string_view magic, std::size_t at = 0) {
  return std::memcmp(head.data() + at, magic.data(), magic.size()) == 0;
}

std::uint32_t BigDword(const std::uint8_t* b) {
  return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) | b[3];
}

// The disk type of a VHD footer at the end of the file, 0 when there is none.
std::uint32_t VhdFooterType(BlockDevice& file) {
  if (file.Size() < kVhdFooterLength) return 0;
  std::array<std::uint8_t, kVhdFooterLength> footer{};
  if (!file.Read(file.Size() - kVhdFooterLength, footer)) return 0;
  if (std::memcmp(footer.data(), "conectix", 8) != 0) return 0;
  return BigDword(footer.data() + kVhdDiskType);
}

}  // namespace

std::string_view NameOf(DiskFormat format) {
  switch (format) {
    case DiskFormat::kRawDisk: return "raw disk";
    case DiskFormat::kBarePartition: return "bare partition";
    case DiskFormat::kFixedVhd: return "fixed VHD";
    case DiskFormat::kQcow2: return "qcow2";
    case DiskFormat::kVdi: return "VDI";
    case DiskFormat::kVmdkSparse: return "sparse VMDK";
    case DiskFormat::kVhdDynamic: return "dynamic VHD";
    case DiskFormat::kVhdx: return "VHDX";
    case DiskFormat::kUnknown: break;
  }
  return "unknown";
}

DiskFormat DetectDiskFormat(BlockDevice& file) {
  std::array<std::uint8_t, kHeadLength> head{};
  if (file.Size() < kHeadLength || !file.Read(0, head)) return DiskFormat::kUnknown;
  if (Starts(head, "QFI\xfb")) {
    const std::uint32_t version = BigDword(head.data() + 4);
    return version == 2 || version == 3 ? DiskFormat::kQcow2 : DiskFormat::kUnknown;
  }
  if (ByteCursor(head, kVdiSignature).U32() == kVdiSignatureValue) return DiskFormat::kVdi;
  if (Starts(head, "KDMV")) return DiskFormat::kVmdkSparse;
  if (Starts(head, "vhdxfile")) return DiskFormat::kVhdx;
  // A dynamic or differencing VHD starts with a copy of its footer; a fixed one has only the
  // footer, after the data.
  if (Starts(head, "conectix")) return DiskFormat::kVhdDynamic;
  const std::uint32_t footerType = VhdFooterType(file);
  if (footerType == 3 || footerType == 4) return DiskFormat::kVhdDynamic;
  if (footerType != 0 && footerType != kVhdFixed) return DiskFormat::kUnknown;
  switch (DetectLayout(file)) {
    case DiskLayout::kPartitioned: return footerType == kVhdFixed ? DiskFormat::kFixedVhd : DiskFormat::kRawDisk;
    case DiskLayout::kBarePartition: return footerType == kVhdFixed ? DiskFormat::kFixedVhd : DiskFormat::kBarePartition;
    case DiskLayout::kUnknown: break;
  }
  return DiskFormat::kUnknown;
}

std::uint64_t RawDataSize(BlockDevice& file, DiskFormat format) {
  if (format == DiskFormat::kFixedVhd && file.Size() >= kVhdFooterLength) return file.Size() - kVhdFooterLength;
  return file.Size();
}

}  // namespace halshift::image
