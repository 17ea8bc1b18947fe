#pragma once

#include <string.h>

#include <string>
#include <string_view>
#include <utility>

namespace vemo {

// Overwrites the characters of a string, its unused capacity included, and empties it.
template <typename Char>
void WipeString(std::basic_string<Char>& text) {
  ::explicit_bzero(text.data(), text.capacity() * sizeof(Char));
  text.clear();
}

// A token password or a copy of one: its bytes are overwritten wherever it is dropped, moved
// from or replaced, so that none lingers in freed memory. Not copyable; a copy must be made on
// purpose with Copy.
template <typename Char>
class SecretText {
 public:
  using String = std::basic_string<Char>;

  SecretText() = default;
  explicit SecretText(String&& text) : text_(std::move(text)) { WipeString(text); }
  explicit SecretText(std::basic_string_view<Char> text) : text_(text) {}
  SecretText(SecretText&& other) noexcept : text_(std::move(other.text_)) { other.Clear(); }
  SecretText& operator=(SecretText&& other) noexcept {
    if (this != &other) {
      Clear();
      text_ = std::move(other.text_);
      other.Clear();
    }
    return *this;
  }
  SecretText(const SecretText&) = delete;
  SecretText& operator=(const SecretText&) = delete;
  ~SecretText() { Clear(); }

  SecretText Copy() const { return SecretText(view()); }
  std::basic_string_view<Char> view() const { return text_; }
  const Char* c_str() const { return text_.c_str(); }
  size_t size() const { return text_.size(); }
  bool empty() const { return text_.empty(); }
  // Cuts the text to at most count characters, wiping what is cut off.
  void Truncate(size_t count) {
    if (count >= text_.size()) return;
    ::explicit_bzero(text_.data() + count, (text_.size() - count) * sizeof(Char));
    text_.resize(count);
  }
  void Clear() { WipeString(text_); }

 private:
  String text_;
};

using SecretNarrow = SecretText<char>;
using SecretWide = SecretText<char16_t>;

}  // namespace vemo
