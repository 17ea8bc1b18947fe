#include "providers/password_prompt.h"

namespace vemo {

PasswordPrompt::PasswordPrompt(UiPoster post_to_ui) : post_to_ui_(std::move(post_to_ui)) {}

std::optional<SecretWide> PasswordPrompt::Ask() {
  std::lock_guard one_at_a_time(ask_mutex_);
  uint64_t ticket = 0;
  {
    std::lock_guard lock(mutex_);
    if (refused_) return std::nullopt;
    ticket = ++last_ticket_;
    open_ticket_ = ticket;
    shown_ = false;
    answered_ = false;
    answer_.reset();
  }
  post_to_ui_([this, ticket] { ShowIfStillOpen(ticket); });
  std::unique_lock lock(mutex_);
  answered_cv_.wait(lock, [this] { return answered_; });
  open_ticket_.reset();
  std::optional<SecretWide> answer = std::move(answer_);
  answer_.reset();
  return answer;
}

void PasswordPrompt::ShowIfStillOpen(uint64_t ticket) {
  {
    std::lock_guard lock(mutex_);
    // Cancelled before the UI thread came to it: no dialog at all.
    if (open_ticket_ != ticket || answered_) return;
    shown_ = true;
  }
  ShowDialog();
}

void PasswordPrompt::Answer(std::optional<SecretWide> password) {
  std::lock_guard lock(mutex_);
  if (!open_ticket_ || answered_) return;
  answered_ = true;
  answer_ = std::move(password);
  answered_cv_.notify_all();
}

void PasswordPrompt::Cancel() {
  bool close = false;
  {
    std::lock_guard lock(mutex_);
    if (!open_ticket_ || answered_) return;
    close = shown_;
    answered_ = true;
    answer_.reset();
    answered_cv_.notify_all();
  }
  if (close) CloseDialog();
}

void PasswordPrompt::Refuse() {
  {
    std::lock_guard lock(mutex_);
    refused_ = true;
  }
  Cancel();
}

void PasswordPrompt::Allow() {
  std::lock_guard lock(mutex_);
  refused_ = false;
}

bool PasswordPrompt::IsOpen() const {
  std::lock_guard lock(mutex_);
  return open_ticket_.has_value() && !answered_;
}

}  // namespace vemo
