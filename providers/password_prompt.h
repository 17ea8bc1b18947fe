#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>

#include "support/secret_text.h"

namespace vemo {

// The token password prompt. The request loop thread asks and waits; the dialog itself lives
// on the UI thread, which shows it, answers it, and can end it as cancelled at any moment (a
// stop, the program's end, a locked session). The UI thread never waits for the asking thread,
// so a dialog open during a stop cannot freeze the window.
//
// A UI implements ShowDialog and CloseDialog; its dialog reports the outcome through Answer.
//
// Threading: Ask on any thread but the UI thread, one prompt at a time; Answer, Cancel, Refuse,
// Allow, and the two overrides on the UI thread.
class PasswordPrompt {
 public:
  // Runs a task on the UI thread after the caller has returned or on the calling thread; the
  // prompt outlives every task it posts.
  using UiPoster = std::function<void(std::function<void()>)>;

  explicit PasswordPrompt(UiPoster post_to_ui);
  virtual ~PasswordPrompt() = default;
  PasswordPrompt(const PasswordPrompt&) = delete;
  PasswordPrompt& operator=(const PasswordPrompt&) = delete;

  // Shows the dialog and waits for it: the typed password after OK, nullopt after Cancel,
  // close, a cancel from the UI, or at once while prompts are refused.
  std::optional<SecretWide> Ask();

  // The open dialog's outcome; ignored when no prompt waits for one.
  void Answer(std::optional<SecretWide> password);

  // Ends an open prompt as cancelled and closes its dialog.
  void Cancel();
  // Cancel, and every later Ask returns nullopt at once until Allow: the service is stopping
  // and no new dialog may open for a request that can no longer be answered.
  void Refuse();
  void Allow();

  // True while a prompt waits for its answer (tests and the UI's state).
  bool IsOpen() const;

 protected:
  // Shows the password dialog without blocking; it answers through Answer later.
  virtual void ShowDialog() = 0;
  // Closes the dialog shown by ShowDialog without answering.
  virtual void CloseDialog() = 0;

 private:
  void ShowIfStillOpen(uint64_t ticket);

  UiPoster post_to_ui_;
  std::mutex ask_mutex_;  // one prompt at a time
  mutable std::mutex mutex_;
  std::condition_variable answered_cv_;
  bool refused_ = false;
  uint64_t last_ticket_ = 0;
  std::optional<uint64_t> open_ticket_;
  bool shown_ = false;
  bool answered_ = false;
  std::optional<SecretWide> answer_;
};

}  // namespace vemo
