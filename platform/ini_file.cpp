#include "platform/ini_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <optional>
#include <vector>

#include "platform/files.h"
#include "support/text_conversions.h"
#include "support/unique_fd.h"

namespace vemo::platform {
namespace {

// The file's bytes; nullopt when there is no file, nothing but an error when it cannot be
// read (missing stays distinguishable from unreadable through *missing).
std::optional<std::string> ReadBytes(const std::filesystem::path& file, bool* missing) {
  *missing = false;
  UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.ok()) {
    *missing = errno == ENOENT || errno == ENOTDIR;
    return std::nullopt;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  std::string bytes;
  char chunk[4096];
  for (;;) {
    const ssize_t got = ::read(fd.get(), chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::nullopt;
    if (got == 0) break;
    bytes.append(chunk, static_cast<size_t>(got));
  }
  return bytes;
}

struct Line {
  std::string text;        // without the line end
  std::string terminator;  // "\r\n", "\n" or "" for a last line without one
};

std::vector<Line> SplitLines(const std::string& bytes) {
  std::vector<Line> lines;
  size_t start = 0;
  while (start < bytes.size()) {
    const size_t end = bytes.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back({bytes.substr(start), ""});
      break;
    }
    if (end > start && bytes[end - 1] == '\r') {
      lines.push_back({bytes.substr(start, end - 1 - start), "\r\n"});
    } else {
      lines.push_back({bytes.substr(start, end - start), "\n"});
    }
    start = end + 1;
  }
  return lines;
}

std::u16string Decode(std::string_view bytes) {
  std::u16string text;
  text.reserve(bytes.size());
  for (unsigned char byte : bytes) text.push_back(Cp1251ToWide(byte));
  return text;
}

// What code page 1251 lacks becomes "?", as the system's own conversion writes it.
std::string Encode(std::u16string_view text) {
  std::string bytes;
  bytes.reserve(text.size());
  for (char16_t c : text) bytes.push_back(static_cast<char>(WideToCp1251(c).value_or('?')));
  return bytes;
}

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

std::u16string_view Trim(std::u16string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// "[name]" gives the name; a missing "]" takes the rest of the line.
std::optional<std::u16string_view> SectionName(std::u16string_view line) {
  line = Trim(line);
  if (line.empty() || line.front() != u'[') return std::nullopt;
  line.remove_prefix(1);
  const size_t close = line.find(u']');
  if (close != std::u16string_view::npos) line = line.substr(0, close);
  return Trim(line);
}

struct Entry {
  std::u16string_view key;
  std::u16string_view value;
};

std::optional<Entry> KeyEntry(std::u16string_view line) {
  const size_t equals = line.find(u'=');
  if (equals == std::u16string_view::npos) return std::nullopt;
  return Entry{Trim(line.substr(0, equals)), Trim(line.substr(equals + 1))};
}

std::u16string_view Unquote(std::u16string_view value) {
  if (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'') &&
      value.back() == value.front()) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

std::u16string Cut(std::u16string_view text, size_t buffer_chars) {
  return std::u16string(text.substr(0, buffer_chars - 1));
}

}  // namespace

std::u16string GetPrivateProfileString(std::u16string_view section, std::u16string_view key,
                                       std::u16string_view default_value, size_t buffer_chars,
                                       const std::filesystem::path& file) {
  if (buffer_chars == 0) return u"";
  // The default loses its trailing blanks, as the system's function does with it.
  while (!default_value.empty() && IsBlank(default_value.back())) default_value.remove_suffix(1);
  bool missing = false;
  const auto bytes = ReadBytes(file, &missing);
  if (!bytes) return Cut(default_value, buffer_chars);
  bool in_section = false;
  bool section_seen = false;
  for (const Line& line : SplitLines(*bytes)) {
    const std::u16string wide = Decode(line.text);
    if (const auto name = SectionName(wide)) {
      // Only the first section of the name counts.
      if (section_seen) break;
      in_section = EqualsIgnoringCase(*name, section);
      section_seen = in_section;
      continue;
    }
    if (!in_section) continue;
    if (const auto entry = KeyEntry(wide); entry && EqualsIgnoringCase(entry->key, key)) {
      return Cut(Unquote(entry->value), buffer_chars);
    }
  }
  return Cut(default_value, buffer_chars);
}

bool WritePrivateProfileString(std::u16string_view section, std::u16string_view key,
                               std::u16string_view value, const std::filesystem::path& file) {
  bool missing = false;
  const auto bytes = ReadBytes(file, &missing);
  if (!bytes && !missing) return false;
  mode_t mode = 0600;
  if (bytes) {
    // A file the user made read-only stays unchanged, as it would on Windows.
    if (::access(file.c_str(), W_OK) != 0) return false;
    struct stat st {};
    if (::stat(file.c_str(), &st) == 0) mode = st.st_mode & 07777;
  }
  std::vector<Line> lines = SplitLines(bytes.value_or(""));
  const Line entry_line{Encode(key) + "=" + Encode(value), "\r\n"};

  std::optional<size_t> section_line;
  std::optional<size_t> key_line;
  size_t last_in_section = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::u16string wide = Decode(lines[i].text);
    if (const auto name = SectionName(wide)) {
      if (section_line) break;
      if (EqualsIgnoringCase(*name, section)) {
        section_line = i;
        last_in_section = i;
      }
      continue;
    }
    if (!section_line) continue;
    if (!Trim(wide).empty()) last_in_section = i;
    if (const auto entry = KeyEntry(wide); entry && EqualsIgnoringCase(entry->key, key)) {
      key_line = i;
      break;
    }
  }

  if (key_line) {
    lines[*key_line] = entry_line;
  } else if (section_line) {
    // The new key goes right after the section's last entry, before any blank lines.
    if (lines[last_in_section].terminator.empty()) lines[last_in_section].terminator = "\r\n";
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(last_in_section) + 1, entry_line);
  } else {
    if (!lines.empty() && lines.back().terminator.empty()) lines.back().terminator = "\r\n";
    lines.push_back({"[" + Encode(section) + "]", "\r\n"});
    lines.push_back(entry_line);
  }

  std::string out;
  for (const Line& line : lines) out += line.text + line.terminator;
  return WriteFileAtomically(file, out, mode);
}

}  // namespace vemo::platform
