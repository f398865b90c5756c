// Fuzzes the PE file reader over arbitrary bytes: the headers, the whole-image check, the
// resource walk down to the version resource, and the checksum over the file; and the media
// check's rule over them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "fuzz/check.h"
#include "hal/media_check.h"
#include "inspect/pe_file.h"

using halshift::fuzzing::Check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace halshift::pe;
  // A copy of exactly the input's size, so that any read past it is caught.
  const std::vector<std::uint8_t> file(data, data + size);

  const PeHeadersRead read = ReadPeHeaders(file);
  const VersionResource version = ReadVersionResource(file);
  Check((version.state == VersionState::kDamaged) == (version.fault != PeFault::kNone));
  if (read.fault != PeFault::kNone) {
    // A file whose headers cannot be read has no version resource to tell of.
    Check(version.state == VersionState::kDamaged && version.fault == read.fault);
  }
  if (version.state != VersionState::kPresent) {
    Check(!version.fileVersion && !version.originalFilename);
  }
  if (version.originalFilename) {
    for (const char c : *version.originalFilename) {
      Check(c != '\0' && static_cast<unsigned char>(c) < 0x80);
    }
    Check(version.originalFilename->size() * 2 < size);
  }

  // The checksum counts the header's CheckSum field as zero and nothing else.
  const std::uint32_t checkSum = ComputeFileCheckSum(file);
  if (read.fault == PeFault::kNone) {
    Check(read.headers.checkSumOffset + 4 <= size);
    Check(checkSum == ComputeCheckSum(file, read.headers.checkSumOffset));
    std::vector<std::uint8_t> changed = file;
    for (std::size_t i = 0; i < 4; ++i) changed[read.headers.checkSumOffset + i] ^= 0xA5;
    Check(ComputeFileCheckSum(changed) == checkSum);
    for (const Section& section : read.headers.sections) {
      if (const auto mapped = MapRva(file, read.headers, section.virtualAddress, 1)) {
        Check(mapped->data() >= file.data() &&
              mapped->data() + mapped->size() <= file.data() + size);
      }
    }
  }
  // The whole-image check agrees with the headers, and what it calls whole is whole.
  const ImageCheck image = CheckWholeImage(file);
  switch (read.fault) {
    case PeFault::kNone:
      Check(image.fault != ImageFault::kNotPe);
      break;
    case PeFault::kTruncatedHeaders:
      Check(image.fault == ImageFault::kCutOff || image.fault == ImageFault::kOtherMachine);
      break;
    default:
      Check(image.fault == ImageFault::kNotPe);
      break;
  }
  if (image.fault == ImageFault::kCutOff) Check(image.requiredSize > size);
  if (image.fault == ImageFault::kOtherMachine) {
    Check(image.machine != kMachineI386 || read.headers.pe32Plus || read.fault != PeFault::kNone);
  }
  if (image.fault == ImageFault::kNone) {
    Check(image.machine == kMachineI386 && !read.headers.pe32Plus);
    Check(image.requiredSize <= size && read.headers.sizeOfHeaders <= size);
    for (const Section& section : read.headers.sections) {
      if (section.rawSize != 0) {
        Check(std::uint64_t{section.rawOffset} + section.rawSize <= size);
      }
    }
    // Bytes after the last section are no part of the image.
    std::vector<std::uint8_t> longer = file;
    longer.push_back(0x5A);
    Check(CheckWholeImage(longer).fault == ImageFault::kNone);
  }

  // The sum is 16 bits wide; the length comes on top.
  Check(checkSum - static_cast<std::uint32_t>(size) <= 0xFFFF);

  // The media check: a file always suits itself, and the two halves of the input are judged
  // only when both carry a fixed version.
  using halshift::hal::CompareWithInstalledKernel;
  using halshift::hal::MediaRole;
  using halshift::hal::MediaVerdict;
  const bool hasVersion = version.state == VersionState::kPresent && version.fileVersion;
  const auto self = CompareWithInstalledKernel(file, file, MediaRole::kKernel);
  Check(self.verdict == (hasVersion ? MediaVerdict::kSuits : MediaVerdict::kNotChecked));
  const std::span<const std::uint8_t> whole(file);
  const auto first = whole.first(size / 2);
  const auto second = whole.subspan(size / 2);
  for (const MediaRole role : {MediaRole::kKernel, MediaRole::kSystemFile}) {
    const auto halves = CompareWithInstalledKernel(first, second, role);
    Check((halves.verdict == MediaVerdict::kNotChecked) == (!halves.installed || !halves.media));
    if (halves.verdict == MediaVerdict::kOtherRevision) Check(role == MediaRole::kKernel);
  }
  return 0;
}
