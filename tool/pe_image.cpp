#include "tool/pe_image.h"

#include <cstring>
#include <vector>

#include "tool/logger.h"

namespace tool::system_internal {

namespace {

constexpr uint32_t kFixedFileInfoSignature = 0xFEEF04BD;
constexpr uint32_t kVersionResourceType = 16;  // RT_VERSION

// Little-endian reads that fail instead of leaving the image.
class Image {
 public:
  explicit Image(std::string_view bytes) : bytes_(bytes) {}
  uint64_t size() const { return bytes_.size(); }
  bool Has(uint64_t offset, uint64_t length) const {
    return offset <= bytes_.size() && length <= bytes_.size() - offset;
  }
  bool U16(uint64_t offset, uint32_t& value) const { return Read(offset, 2, value); }
  bool U32(uint64_t offset, uint32_t& value) const { return Read(offset, 4, value); }

 private:
  bool Read(uint64_t offset, int length, uint32_t& value) const {
    if (!Has(offset, static_cast<uint64_t>(length))) return false;
    value = 0;
    for (int i = length - 1; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes_[offset + i]);
    return true;
  }
  std::string_view bytes_;
};

// Offset of the PE signature, when the image has one.
std::optional<uint64_t> PeHeader(const Image& image) {
  uint32_t raw = 0;
  if (!image.U32(0x3C, raw)) return std::nullopt;
  auto offset = static_cast<int64_t>(static_cast<int32_t>(raw));
  if (offset < 0 || !image.Has(static_cast<uint64_t>(offset), 4)) return std::nullopt;
  uint32_t signature = 0;
  image.U32(static_cast<uint64_t>(offset), signature);
  if (signature != 0x00004550) return std::nullopt;  // "PE\0\0"
  return static_cast<uint64_t>(offset);
}

struct Section {
  uint64_t virtual_address, span, raw_size, raw_pointer;
};

class ResourceReader {
 public:
  ResourceReader(const Image& image, std::vector<Section> sections) : image_(image), sections_(std::move(sections)) {}

  std::optional<uint64_t> FileOffset(uint64_t rva) const {
    for (const Section& s : sections_) {
      if (rva >= s.virtual_address && rva - s.virtual_address < s.span) {
        uint64_t inside = rva - s.virtual_address;
        if (inside >= s.raw_size) return std::nullopt;  // not backed by the file
        return s.raw_pointer + inside;
      }
    }
    return std::nullopt;
  }

  // The entry of a resource directory at `directory` whose id is `id`, or the
  // first entry when `id` is negative: (is a subdirectory, offset from base).
  std::optional<std::pair<bool, uint64_t>> Entry(uint64_t directory, long id) const {
    uint32_t named = 0, ids = 0;
    if (!image_.U16(directory + 12, named) || !image_.U16(directory + 14, ids)) return std::nullopt;
    for (uint64_t i = 0; i < uint64_t{named} + ids; ++i) {
      uint32_t name = 0, data = 0;
      if (!image_.U32(directory + 16 + i * 8, name) || !image_.U32(directory + 20 + i * 8, data)) return std::nullopt;
      if (id < 0 || (!(name & 0x80000000u) && name == static_cast<uint32_t>(id))) {
        return std::make_pair((data & 0x80000000u) != 0, uint64_t{data & 0x7FFFFFFFu});
      }
    }
    return std::nullopt;
  }

 private:
  const Image& image_;
  std::vector<Section> sections_;
};

}  // namespace

uint16_t PeMachineType(std::string_view bytes) {
  Image image(bytes);
  uint32_t raw = 0;
  if (!image.U32(0x3C, raw) || image.size() < 64) return 0;
  auto offset = static_cast<int64_t>(static_cast<int32_t>(raw));
  auto size = static_cast<int64_t>(image.size());
  if (offset < 0 || offset + 4 > size) {
    DebugLog(4, "GetDllMachineType peOffset %d, size %d", static_cast<int>(offset), static_cast<int>(size));
    return 0;
  }
  if (!PeHeader(image)) {
    DebugLog(4, "Can't find PE header");
    return 0;
  }
  if (offset + 6 > size) {
    DebugLog(4, "GetDllMachineType peOffset %d, size %d", static_cast<int>(offset), static_cast<int>(size));
    return 0;
  }
  uint32_t machine = 0;
  image.U16(static_cast<uint64_t>(offset) + 4, machine);
  return static_cast<uint16_t>(machine);
}

std::optional<uint64_t> PeFileVersion(std::string_view bytes) {
  Image image(bytes);
  std::optional<uint64_t> pe = PeHeader(image);
  if (!pe) return std::nullopt;
  const uint64_t coff = *pe + 4;
  uint32_t section_count = 0, optional_size = 0, magic = 0;
  if (!image.U16(coff + 2, section_count) || !image.U16(coff + 16, optional_size)) return std::nullopt;
  const uint64_t optional = coff + 20;
  if (!image.U16(optional, magic)) return std::nullopt;
  uint64_t count_at = 0, directories_at = 0;
  if (magic == 0x10B) {
    count_at = optional + 92, directories_at = optional + 96;
  } else if (magic == 0x20B) {
    count_at = optional + 108, directories_at = optional + 112;
  } else {
    return std::nullopt;
  }
  uint32_t directory_count = 0, resource_rva = 0;
  if (!image.U32(count_at, directory_count) || directory_count < 3) return std::nullopt;
  if (!image.U32(directories_at + 2 * 8, resource_rva) || resource_rva == 0) return std::nullopt;

  std::vector<Section> sections;
  const uint64_t table = optional + optional_size;
  for (uint64_t i = 0; i < section_count; ++i) {
    uint32_t virtual_size = 0, virtual_address = 0, raw_size = 0, raw_pointer = 0;
    uint64_t at = table + i * 40;
    if (!image.U32(at + 8, virtual_size) || !image.U32(at + 12, virtual_address) || !image.U32(at + 16, raw_size) ||
        !image.U32(at + 20, raw_pointer)) {
      return std::nullopt;
    }
    sections.push_back({virtual_address, virtual_size > raw_size ? virtual_size : raw_size, raw_size, raw_pointer});
  }
  ResourceReader reader(image, std::move(sections));
  std::optional<uint64_t> base = reader.FileOffset(resource_rva);
  if (!base) return std::nullopt;

  // Type (RT_VERSION), then the first name, then the first language.
  uint64_t directory = *base;
  for (long id : {static_cast<long>(kVersionResourceType), -1L}) {
    auto entry = reader.Entry(directory, id);
    if (!entry || !entry->first) return std::nullopt;
    directory = *base + entry->second;
  }
  auto leaf = reader.Entry(directory, -1);
  if (!leaf || leaf->first) return std::nullopt;
  uint32_t data_rva = 0, data_size = 0;
  if (!image.U32(*base + leaf->second, data_rva) || !image.U32(*base + leaf->second + 4, data_size)) {
    return std::nullopt;
  }
  std::optional<uint64_t> data = reader.FileOffset(data_rva);
  if (!data || !image.Has(*data, data_size)) return std::nullopt;

  // VS_VERSIONINFO: three words, the key "VS_VERSION_INFO" in UTF-16 with its
  // terminator, padding to 32 bits, then VS_FIXEDFILEINFO.
  constexpr uint64_t kFixedInfoAt = (6 + 16 * 2 + 3) / 4 * 4;
  constexpr uint64_t kFixedInfoSize = 52;
  uint32_t value_length = 0, signature = 0, most = 0, least = 0;
  if (data_size < kFixedInfoAt + kFixedInfoSize || !image.U16(*data + 2, value_length) ||
      value_length < kFixedInfoSize) {
    return std::nullopt;
  }
  static const char kKey[] = "VS_VERSION_INFO";
  for (uint64_t i = 0; i < 16; ++i) {
    uint32_t unit = 0;
    if (!image.U16(*data + 6 + i * 2, unit) || unit != static_cast<unsigned char>(kKey[i])) return std::nullopt;
  }
  const uint64_t fixed = *data + kFixedInfoAt;
  if (!image.U32(fixed, signature) || signature != kFixedFileInfoSignature) return std::nullopt;
  if (!image.U32(fixed + 8, most) || !image.U32(fixed + 12, least)) return std::nullopt;
  return uint64_t{most} << 32 | least;
}

}  // namespace tool::system_internal
