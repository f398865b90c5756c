// Expansion of compressed media files (SZDD and single-file cabinets) in memory, over libmspack.
//
// May contain: libmspack and the C++ standard library.
//
// libmspack reaches its input and output only through a `struct mspack_system`. The one here
// serves two names: kInputName, the caller's bytes (read-only, any number of handles at once),
// and kOutputName, a buffer of exactly the declared expansion's size, allocated before the
// decompressor starts. A write that would go past its end fails, so the callbacks never
// allocate and nothing can throw through libmspack's C frames.
#include "platform/image/expand.h"

#include <mspack.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <span>
#include <string>
#include <string_view>

#include "base/byte_cursor.h"

namespace halshift::image {
namespace {

constexpr std::string_view kSzddMagic{"SZDD\x88\xF0\x27\x33", 8};
constexpr std::string_view kCabinetMagic{"MSCF", 4};

// The SZDD header as compress.exe writes it: magic, compression mode ('A', checked by
// libmspack), the replaced last character of the file name (0 when not stored), then the
// expanded length.
constexpr std::size_t kSzddLengthOffset = 0x0A;
constexpr std::size_t kSzddHeaderSize = 0x0E;
// An LZSS item is a literal byte or a two-byte reference to at most 18 bytes: no stream
// expands to more than nine times its size.
constexpr std::size_t kSzddLargestRatio = 9;

// The cabinet header fields checked here before libmspack reads the rest. libmspack reads the
// file table where it follows the folders and never looks at its recorded offset, which the
// system's own cabinet reader seeks to; a cabinet whose offset is wrong would not install.
constexpr std::size_t kCabinetSizeOffset = 0x08;   // cbCabinet
constexpr std::size_t kCabinetFilesOffset = 0x10;  // coffFiles
constexpr std::size_t kCabinetHeaderSize = 0x24;   // CFHEADER without reserved fields
constexpr std::size_t kCabinetBlockHeaderSize = 8;  // CFDATA before its bytes
constexpr std::uint64_t kCabinetBlockLargest = 32768;  // expanded bytes of one CFDATA

constexpr char kInputName[] = "input";
constexpr char kOutputName[] = "output";

struct Buffers {
  std::string_view input;
  std::span<char> output;   // room for the declared expansion
  std::size_t written = 0;  // how much of it the output file holds
};

// libmspack hands our own structures back to us as the types it knows; both structures start
// with that type and are standard-layout, so the pointers convert both ways.
struct MemorySystem {
  mspack_system base;
  Buffers* buffers;
};

struct MemoryFile {
  mspack_file base;
  Buffers* buffers;
  bool isOutput;
  std::size_t position;  // input handles only; the output is written sequentially
};

MemoryFile* AsMemoryFile(mspack_file* file) { return reinterpret_cast<MemoryFile*>(file); }

// Opens the input for reading or a fresh, empty output for writing; any other name or mode
// does not exist here.
mspack_file* Open(mspack_system* self, const char* filename, int mode) {
  if (self == nullptr || filename == nullptr) return nullptr;
  Buffers* buffers = reinterpret_cast<MemorySystem*>(self)->buffers;
  const std::string_view name{filename};
  bool isOutput = false;
  if (name == kInputName && mode == MSPACK_SYS_OPEN_READ) {
    isOutput = false;
  } else if (name == kOutputName && mode == MSPACK_SYS_OPEN_WRITE) {
    isOutput = true;
    buffers->written = 0;  // a new, empty file
  } else {
    return nullptr;
  }
  auto* file = new (std::nothrow) MemoryFile{{0}, buffers, isOutput, 0};
  return file == nullptr ? nullptr : &file->base;
}

void Close(mspack_file* file) { delete AsMemoryFile(file); }

// Copies up to `bytes` from the current position. A short count means the end of the input,
// which is the only reason this read ever falls short.
int Read(mspack_file* handle, void* buffer, int bytes) {
  MemoryFile* file = AsMemoryFile(handle);
  if (file == nullptr || file->isOutput || bytes < 0 || (bytes > 0 && buffer == nullptr)) {
    return -1;
  }
  const std::string_view input = file->buffers->input;
  const std::size_t available = input.size() - file->position;
  const std::size_t count = std::min(available, static_cast<std::size_t>(bytes));
  const std::string_view chunk = input.substr(file->position, count);
  std::copy(chunk.begin(), chunk.end(), static_cast<char*>(buffer));
  file->position += count;
  return static_cast<int>(count);
}

// Appends all of `bytes` or nothing: libmspack treats any short write as an error, and a write
// past the declared length means the stream does not match its header.
int Write(mspack_file* handle, void* buffer, int bytes) {
  MemoryFile* file = AsMemoryFile(handle);
  if (file == nullptr || !file->isOutput || bytes < 0 || (bytes > 0 && buffer == nullptr)) {
    return -1;
  }
  // The SZDD decompressor writes one byte at a time, so this stays lean.
  Buffers& buffers = *file->buffers;
  const auto count = static_cast<std::size_t>(bytes);
  if (count > buffers.output.size() - buffers.written) return -1;
  std::copy_n(static_cast<const char*>(buffer), count, buffers.output.data() + buffers.written);
  buffers.written += count;
  return bytes;
}

// Moves an input handle within [0, size]; a position outside the input is an error rather than
// a hole to be read as end of file. The output cannot be repositioned.
int Seek(mspack_file* handle, off_t offset, int mode) {
  MemoryFile* file = AsMemoryFile(handle);
  if (file == nullptr || file->isOutput) return -1;
  const auto size = static_cast<std::int64_t>(file->buffers->input.size());
  std::int64_t origin = 0;
  switch (mode) {
    case MSPACK_SYS_SEEK_START: origin = 0; break;
    case MSPACK_SYS_SEEK_CUR: origin = static_cast<std::int64_t>(file->position); break;
    case MSPACK_SYS_SEEK_END: origin = size; break;
    default: return -1;
  }
  const auto distance = static_cast<std::int64_t>(offset);
  // origin lies in [0, size], so the sum below cannot overflow once these hold.
  if (distance < -origin || distance > size - origin) return -1;
  file->position = static_cast<std::size_t>(origin + distance);
  return 0;
}

off_t Tell(mspack_file* handle) {
  MemoryFile* file = AsMemoryFile(handle);
  if (file == nullptr) return -1;
  const std::size_t position = file->isOutput ? file->buffers->written : file->position;
  return static_cast<off_t>(position);
}

// The library's warnings go nowhere: an expansion either succeeds whole or is reported damaged.
void Message(mspack_file*, const char*, ...) {}

void* Alloc(mspack_system*, std::size_t bytes) { return std::malloc(bytes); }

void Free(void* pointer) { std::free(pointer); }

void Copy(void* source, void* destination, std::size_t bytes) {
  const auto* from = static_cast<const unsigned char*>(source);
  std::copy(from, from + bytes, static_cast<unsigned char*>(destination));
}

MemorySystem MakeSystem(Buffers& buffers) {
  return MemorySystem{{Open, Close, Read, Write, Seek, Tell, Message, Alloc, Free, Copy, nullptr},
                      &buffers};
}

bool LibraryUsable() {
  int result = MSPACK_ERR_OK;
  MSPACK_SYS_SELFTEST(result);
  return result == MSPACK_ERR_OK;
}

ExpandResult Damaged() { return ExpandResult{ExpandStatus::kDamaged, {}}; }

// Sizes `bytes` to `length` and points the output at it, outside any libmspack call.
bool AllocateOutput(std::string& bytes, std::size_t length, Buffers& buffers) {
  try {
    bytes.resize(length);
  } catch (const std::bad_alloc&) {
    return false;
  }
  buffers.output = std::span<char>(bytes.data(), bytes.size());
  buffers.written = 0;
  return true;
}

ExpandResult ExpandSzdd(std::string_view contents) {
  if (contents.size() < kSzddHeaderSize) return Damaged();
  const std::span<const unsigned char> header{
      reinterpret_cast<const unsigned char*>(contents.data()), kSzddHeaderSize};
  const std::uint32_t length = ByteCursor(header, kSzddLengthOffset).U32();
  // Checked before the output is allocated, so that a forged length costs nothing.
  if (length > kMaxExpandedBytes ||
      length > kSzddLargestRatio * (contents.size() - kSzddHeaderSize)) {
    return Damaged();
  }

  std::string output;
  Buffers buffers{contents, {}, 0};
  if (!AllocateOutput(output, length, buffers)) return Damaged();
  MemorySystem system = MakeSystem(buffers);
  msszdd_decompressor* decompressor = mspack_create_szdd_decompressor(&system.base);
  if (decompressor == nullptr) return Damaged();
  bool whole = false;
  if (msszddd_header* szdd = decompressor->open(decompressor, kInputName); szdd != nullptr) {
    // The LZSS stream has no end marker: it stops at the end of the input, so a truncated file
    // shows only as an expansion shorter than its header says.
    whole = szdd->format == MSSZDD_FMT_NORMAL && szdd->length == static_cast<off_t>(length) &&
            decompressor->extract(decompressor, szdd, kOutputName) == MSPACK_ERR_OK &&
            buffers.written == length;
    decompressor->close(decompressor, szdd);
  }
  mspack_destroy_szdd_decompressor(decompressor);
  if (!whole) return Damaged();
  return ExpandResult{ExpandStatus::kExpanded, std::move(output)};
}

// The cabinet's recorded size fits the contents and its file table lies inside it.
bool CabinetHeaderInBounds(std::string_view contents) {
  if (contents.size() < kCabinetHeaderSize) return false;
  const std::span<const unsigned char> header{
      reinterpret_cast<const unsigned char*>(contents.data()), kCabinetHeaderSize};
  const std::uint32_t size = ByteCursor(header, kCabinetSizeOffset).U32();
  const std::uint32_t files = ByteCursor(header, kCabinetFilesOffset).U32();
  return size <= contents.size() && files >= kCabinetHeaderSize && files < size;
}

// Whether the file's folder has enough data blocks, and the contents room for them, to hold
// the file: checked before the output is allocated, so that a forged length costs nothing.
bool CabinetFileFits(const mscabd_file& file, std::string_view contents) {
  if (file.folder == nullptr) return false;
  const std::uint64_t blocks = file.folder->num_blocks;
  return std::uint64_t{file.offset} + file.length <= blocks * kCabinetBlockLargest &&
         blocks * kCabinetBlockHeaderSize <= contents.size();
}

// A media file is one file; a cabinet holding none or several, or one that continues in
// another cabinet, cannot stand for it and is reported damaged.
ExpandResult ExpandCabinet(std::string_view contents) {
  if (!CabinetHeaderInBounds(contents)) return Damaged();
  std::string output;
  Buffers buffers{contents, {}, 0};
  MemorySystem system = MakeSystem(buffers);
  mscab_decompressor* decompressor = mspack_create_cab_decompressor(&system.base);
  if (decompressor == nullptr) return Damaged();
  // No recovery from bad checksums or truncation: a partial file is never a result.
  bool whole = decompressor->set_param(decompressor, MSCABD_PARAM_FIXMSZIP, 0) == MSPACK_ERR_OK &&
               decompressor->set_param(decompressor, MSCABD_PARAM_SALVAGE, 0) == MSPACK_ERR_OK;
  mscabd_cabinet* cabinet = whole ? decompressor->open(decompressor, kInputName) : nullptr;
  if (cabinet != nullptr) {
    mscabd_file* file = cabinet->files;
    whole = file != nullptr && file->next == nullptr &&
            (cabinet->flags & (MSCAB_HDR_PREVCAB | MSCAB_HDR_NEXTCAB)) == 0 &&
            file->length <= kMaxExpandedBytes && CabinetFileFits(*file, contents) &&
            AllocateOutput(output, file->length, buffers);
    if (whole) {
      whole = decompressor->extract(decompressor, file, kOutputName) == MSPACK_ERR_OK &&
              buffers.written == file->length;
    }
    decompressor->close(decompressor, cabinet);
  } else {
    whole = false;
  }
  mspack_destroy_cab_decompressor(decompressor);
  if (!whole) return Damaged();
  return ExpandResult{ExpandStatus::kExpanded, std::move(output)};
}

}  // namespace

ExpandResult ExpandMediaFile(std::string_view contents) {
  const bool szdd = contents.starts_with(kSzddMagic);
  const bool cabinet = contents.starts_with(kCabinetMagic);
  if (!szdd && !cabinet) return ExpandResult{ExpandStatus::kPlain, std::string{contents}};
  if (!LibraryUsable()) return Damaged();
  return szdd ? ExpandSzdd(contents) : ExpandCabinet(contents);
}

}  // namespace halshift::image
