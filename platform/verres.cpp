#include "platform/verres.h"
#include "platform/ascii.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "platform/eintr.h"
#include "platform/text.h"
#include "platform/unique_fd.h"

namespace platform {
namespace {

// Real executables keep their section headers and name table in a few
// kilobytes; anything far larger is not a file this reader should trust.
constexpr uint64_t kMaxHeaderTable = 16u << 20;
constexpr uint64_t kMaxNameTable = 1u << 20;

constexpr size_t kRecordHeaderSize = 32;
constexpr uint16_t kRecordLayout = 1;
constexpr size_t kTableKeySize = 8;

class ReadOnlyFile {
 public:
  // O_NONBLOCK so that a FIFO in place of the executable cannot hang the
  // open; it changes nothing for regular files.
  explicit ReadOnlyFile(const std::string& path)
      : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)) {
    struct stat st;
    if (fd_.get() >= 0 && ::fstat(fd_.get(), &st) == 0 && S_ISREG(st.st_mode)) {
      size_ = static_cast<uint64_t>(st.st_size);
      regular_ = true;
    }
  }

  bool IsRegular() const { return regular_; }
  uint64_t Size() const { return size_; }

  // True when `length` bytes at `offset` lie inside the file.
  bool Holds(uint64_t offset, uint64_t length) const {
    return offset <= size_ && length <= size_ - offset;
  }

  bool ReadAt(uint64_t offset, void* buffer, size_t length) const {
    if (!Holds(offset, length)) return false;
    auto* out = static_cast<unsigned char*>(buffer);
    while (length > 0) {
      // A signal is no read error.
      ssize_t n =
          RetryOnEintr([&] { return ::pread(fd_.get(), out, length, static_cast<off_t>(offset)); });
      if (n <= 0) return false;  // shrunk under us, or unreadable
      out += n;
      offset += static_cast<uint64_t>(n);
      length -= static_cast<size_t>(n);
    }
    return true;
  }

 private:
  UniqueFd fd_;
  uint64_t size_ = 0;
  bool regular_ = false;
};

uint64_t DecodeUnsigned(const unsigned char* p, size_t size, bool bigEndian) {
  uint64_t value = 0;
  for (size_t i = 0; i < size; ++i) {
    value = (value << 8) | p[bigEndian ? i : size - 1 - i];
  }
  return value;
}

// A field of an ELF structure held in a byte buffer, in the file's byte order.
#define ELF_FIELD(buffer, Struct, field) \
  DecodeUnsigned((buffer) + offsetof(Struct, field), sizeof(Struct::field), bigEndian)

template <class Ehdr, class Shdr>
std::optional<std::string> FindSection(const ReadOnlyFile& file, bool bigEndian,
                                       const std::string& name, size_t maxSize) {
  unsigned char header[sizeof(Ehdr)];
  if (!file.ReadAt(0, header, sizeof header)) return std::nullopt;
  uint64_t tableOffset = ELF_FIELD(header, Ehdr, e_shoff);
  uint64_t entrySize = ELF_FIELD(header, Ehdr, e_shentsize);
  uint64_t count = ELF_FIELD(header, Ehdr, e_shnum);
  uint64_t namesIndex = ELF_FIELD(header, Ehdr, e_shstrndx);
  if (tableOffset == 0 || entrySize < sizeof(Shdr)) return std::nullopt;

  // Files with more sections than a 16-bit field holds keep the true count
  // and name-table index in the first section header.
  if (count == 0 || namesIndex == SHN_XINDEX) {
    unsigned char first[sizeof(Shdr)];
    if (!file.ReadAt(tableOffset, first, sizeof first)) return std::nullopt;
    if (count == 0) count = ELF_FIELD(first, Shdr, sh_size);
    if (namesIndex == SHN_XINDEX) namesIndex = ELF_FIELD(first, Shdr, sh_link);
  }
  if (count == 0 || count > kMaxHeaderTable / entrySize) return std::nullopt;
  if (namesIndex >= count || !file.Holds(tableOffset, count * entrySize)) return std::nullopt;
  std::string table(count * entrySize, '\0');
  if (!file.ReadAt(tableOffset, table.data(), table.size())) return std::nullopt;
  auto section = [&](uint64_t index) {
    return reinterpret_cast<const unsigned char*>(table.data()) + index * entrySize;
  };

  const unsigned char* namesHeader = section(namesIndex);
  uint64_t namesOffset = ELF_FIELD(namesHeader, Shdr, sh_offset);
  uint64_t namesSize = ELF_FIELD(namesHeader, Shdr, sh_size);
  if (ELF_FIELD(namesHeader, Shdr, sh_type) == SHT_NOBITS || namesSize > kMaxNameTable ||
      !file.Holds(namesOffset, namesSize))
    return std::nullopt;
  std::string names(namesSize, '\0');
  if (!file.ReadAt(namesOffset, names.data(), names.size())) return std::nullopt;

  for (uint64_t i = 1; i < count; ++i) {
    const unsigned char* sh = section(i);
    uint64_t nameOffset = ELF_FIELD(sh, Shdr, sh_name);
    // The name must be there whole, with its terminating zero.
    if (nameOffset >= names.size() || names.size() - nameOffset <= name.size()) continue;
    if (names.compare(nameOffset, name.size(), name) != 0 || names[nameOffset + name.size()] != 0)
      continue;
    uint64_t offset = ELF_FIELD(sh, Shdr, sh_offset);
    uint64_t size = ELF_FIELD(sh, Shdr, sh_size);
    if (ELF_FIELD(sh, Shdr, sh_type) == SHT_NOBITS || size > maxSize || !file.Holds(offset, size))
      return std::nullopt;
    std::string contents(size, '\0');
    if (!file.ReadAt(offset, contents.data(), contents.size())) return std::nullopt;
    return contents;
  }
  return std::nullopt;
}

#undef ELF_FIELD

// Reads the record front to back; every read is checked against its end.
class RecordReader {
 public:
  explicit RecordReader(std::string_view bytes) : bytes_(bytes) {}

  bool Skip(size_t n) {
    if (n > bytes_.size() - pos_) return false;
    pos_ += n;
    return true;
  }
  bool U16(uint16_t& value) { return Number(value, 2); }
  bool U32(uint32_t& value) { return Number(value, 4); }
  bool Text(size_t n, std::string& text) {
    if (n > bytes_.size() - pos_) return false;
    text.assign(bytes_.substr(pos_, n));
    pos_ += n;
    return true;
  }

 private:
  template <class T>
  bool Number(T& value, size_t n) {
    if (n > bytes_.size() - pos_) return false;
    value = static_cast<T>(
        DecodeUnsigned(reinterpret_cast<const unsigned char*>(bytes_.data()) + pos_, n, false));
    pos_ += n;
    return true;
  }

  std::string_view bytes_;
  size_t pos_ = 0;
};

}  // namespace

std::optional<std::string> ReadElfSection(const std::string& path, const std::string& name,
                                          size_t maxSize) {
  ReadOnlyFile file(path);
  if (!file.IsRegular()) return std::nullopt;
  unsigned char ident[EI_NIDENT];
  if (!file.ReadAt(0, ident, sizeof ident)) return std::nullopt;
  if (std::memcmp(ident, ELFMAG, SELFMAG) != 0 || ident[EI_VERSION] != EV_CURRENT)
    return std::nullopt;
  bool bigEndian;
  switch (ident[EI_DATA]) {
    case ELFDATA2LSB:
      bigEndian = false;
      break;
    case ELFDATA2MSB:
      bigEndian = true;
      break;
    default:
      return std::nullopt;
  }
  switch (ident[EI_CLASS]) {
    case ELFCLASS64:
      return FindSection<Elf64_Ehdr, Elf64_Shdr>(file, bigEndian, name, maxSize);
    case ELFCLASS32:
      return FindSection<Elf32_Ehdr, Elf32_Shdr>(file, bigEndian, name, maxSize);
    default:
      return std::nullopt;
  }
}

std::optional<VersionResource> VersionResource::ReadFromFile(const std::string& path) {
  // The record's counts and lengths are 16-bit, so no valid record comes near this.
  constexpr size_t kMaxSection = 1u << 24;
  std::optional<std::string> bytes = ReadElfSection(path, kVersionSectionName, kMaxSection);
  if (!bytes) return std::nullopt;
  return Parse(*bytes);
}

std::optional<VersionResource> VersionResource::Parse(std::string_view bytes) {
  if (bytes.size() < kRecordHeaderSize || bytes.substr(0, 4) != "VGVR") return std::nullopt;
  RecordReader header(bytes);
  uint16_t layout = 0, translations = 0, tables = 0, reserved = 0;
  uint32_t size = 0;
  VersionResource r;
  FixedFileInfo& f = r.fixed_;
  if (!(header.Skip(4) && header.U16(layout) && header.U16(translations) && header.U32(size) &&
        header.U16(f.Major) && header.U16(f.Minor) && header.U16(f.Release) &&
        header.U16(f.Build) && header.U32(f.FileFlags) && header.U32(f.FileFlagsMask) &&
        header.U16(tables) && header.U16(reserved)))
    return std::nullopt;
  if (layout != kRecordLayout || size < kRecordHeaderSize || size > bytes.size())
    return std::nullopt;

  // What follows the record in the section is padding, not part of it.
  RecordReader body(bytes.substr(0, size));
  body.Skip(kRecordHeaderSize);
  for (uint16_t i = 0; i < translations; ++i) {
    VersionTranslation t;
    if (!body.U16(t.Language) || !body.U16(t.CodePage)) return std::nullopt;
    r.translations_.push_back(t);
  }
  for (uint16_t i = 0; i < tables; ++i) {
    StringTable table;
    uint16_t entries = 0;
    if (!body.Text(kTableKeySize, table.key) || !body.U16(entries)) return std::nullopt;
    for (uint16_t j = 0; j < entries; ++j) {
      StringEntry entry;
      uint16_t nameLength = 0, valueLength = 0;
      if (!(body.U16(nameLength) && body.U16(valueLength) && body.Text(nameLength, entry.name) &&
            body.Text(valueLength, entry.value)))
        return std::nullopt;
      table.entries.push_back(std::move(entry));
    }
    r.tables_.push_back(std::move(table));
  }
  return r;
}

std::optional<std::string> VersionResource::StringValue(const std::string& table,
                                                        const std::string& name) const {
  for (const StringTable& t : tables_) {
    if (!AsciiEqualNoCase(t.key, table)) continue;
    for (const StringEntry& e : t.entries) {
      if (AsciiEqualNoCase(e.name, name)) return Utf8ToCp1252(e.value);
    }
    return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace platform
