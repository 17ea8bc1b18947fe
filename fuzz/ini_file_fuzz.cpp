// The settings file: GetPrivateProfileString reads back what WritePrivateProfileString wrote,
// whatever the file held before.
//
// Input: fields separated by the byte 0x01, all in code page 1251. The first field is the file
// as it stands before (empty: no file); then up to four writes as section, key and value. After
// the writes, every key that was written reads back its last value, also through a small
// buffer, when every write was one the file format can hold: names and values on one line,
// no "=" in a key, no "]" in a section, no blanks at either end, a key that does not begin
// like a section, a value that is not quoted. Other writes still run, for the file's sake.

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "platform/ini_file.h"
#include "support/text_conversions.h"

namespace {

constexpr char kTarget[] = "ini_file_fuzz";
constexpr size_t kMaxWrites = 4;

std::filesystem::path settings_file;

// Bytes of code page 1251 as text; the one unassigned byte stands for "?" here, so that every
// character can be written.
std::u16string Wide(std::string_view bytes) {
  std::u16string text;
  for (unsigned char byte : bytes) text.push_back(byte == 0x98 ? u'?' : vemo::Cp1251ToWide(byte));
  return text;
}

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

bool Trimmed(std::u16string_view text) {
  return text.empty() || (!IsBlank(text.front()) && !IsBlank(text.back()));
}

bool OneLine(std::u16string_view text) { return text.find(u'\n') == std::u16string_view::npos; }

bool Quoted(std::u16string_view text) {
  return text.size() >= 2 && (text.front() == u'"' || text.front() == u'\'') &&
         text.back() == text.front();
}

struct Write {
  std::u16string section, key, value;

  bool Holdable() const {
    return OneLine(section) && OneLine(key) && OneLine(value) && Trimmed(section) && Trimmed(key) &&
           Trimmed(value) && section.find(u']') == std::u16string::npos &&
           key.find(u'=') == std::u16string::npos && (key.empty() || key.front() != u'[') &&
           !Quoted(value);
  }
};

std::u16string Folded(std::u16string_view text) {
  std::u16string folded;
  for (char16_t c : text) folded.push_back(vemo::FoldCase(c));
  return folded;
}

void PutFile(std::string_view bytes) {
  std::error_code ignored;
  std::filesystem::remove(settings_file, ignored);
  if (bytes.empty()) return;
  const int fd = ::open(settings_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) vemo::fuzz::Fail(kTarget, "cannot write the settings file");
  const bool whole = ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  ::close(fd);
  if (!whole) vemo::fuzz::Fail(kTarget, "cannot write the settings file");
}

std::string U8(std::u16string_view text) { return vemo::WideToUtf8(text); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  settings_file = vemo::fuzz::ScratchFolder(kTarget) / "Vemo_Server_Crypt.ini";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto fields =
      vemo::fuzz::Split(std::string_view(reinterpret_cast<const char*>(data), size), '\x01');
  std::vector<Write> writes;
  for (size_t i = 1; i + 2 < fields.size() && writes.size() < kMaxWrites; i += 3) {
    writes.push_back({Wide(fields[i]), Wide(fields[i + 1]), Wide(fields[i + 2])});
  }
  if (writes.empty()) {
    // Reading alone: any file, the program's own section and key.
    PutFile(fields[0]);
    vemo::platform::GetPrivateProfileString(u"Vemo_Server_Crypt Settings", u"defaultProvider", u"",
                                            512, settings_file);
    return 0;
  }
  PutFile(fields[0]);

  bool holdable = true;
  // The last value of every section and key, letter case ignored as the file ignores it.
  std::map<std::pair<std::u16string, std::u16string>, const Write*> last;
  for (const Write& write : writes) {
    if (!vemo::platform::WritePrivateProfileString(write.section, write.key, write.value,
                                                   settings_file)) {
      vemo::fuzz::Fail(kTarget, "a write to a writable file failed");
    }
    holdable = holdable && write.Holdable();
    last[{Folded(write.section), Folded(write.key)}] = &write;
  }
  if (!holdable) return 0;

  for (const auto& [names, write] : last) {
    const std::u16string& value = write->value;
    const std::u16string read = vemo::platform::GetPrivateProfileString(
        write->section, write->key, u"<none>", value.size() + 1, settings_file);
    if (read != value) {
      vemo::fuzz::Fail(kTarget, "[" + U8(write->section) + "] " + U8(write->key) + " wrote \"" +
                                    U8(value) + "\", read \"" + U8(read) + "\"");
    }
    // A buffer shorter than the value gets its beginning.
    const size_t small = value.size() / 2 + 1;
    if (vemo::platform::GetPrivateProfileString(write->section, write->key, u"<none>", small,
                                                settings_file) != value.substr(0, small - 1)) {
      vemo::fuzz::Fail(kTarget, "a short buffer does not get the value's beginning");
    }
  }
  // A key no write can name (0x01 separates the fields) is missing: the default comes back.
  if (vemo::platform::GetPrivateProfileString(writes[0].section, u"\x01", u"default  ", 64,
                                              settings_file) != u"default") {
    vemo::fuzz::Fail(kTarget, "a missing key does not give the default");
  }
  return 0;
}
