#pragma once

#include <QObject>
#include <QSystemTrayIcon>
#include <functional>
#include <memory>
#include <string_view>

class QMenu;

namespace vemo::shell {

// The program's icon in the tray: the running or the stopped picture with its tip, the menu of
// the moment and the double click. The menu is chosen when it opens, from the main window's
// visibility and whether the service runs (menus 135 to 138).
//
// Threading: UI thread only.
class TrayIcon : public QObject {
  Q_OBJECT

 public:
  struct Hooks {
    std::function<bool()> window_visible;
    std::function<bool()> server_running;
    std::function<void(int command)> run_command;
    std::function<void()> double_click;
  };

  explicit TrayIcon(Hooks hooks);
  ~TrayIcon() override;

  void Show(bool running, std::u16string_view tip);
  void Remove();

  bool present() const;
  bool running() const { return running_; }
  QString tip() const;
  // The id of the menu that a right click would open now.
  int CurrentMenuId() const;
  // The context menu, filled for the moment it opens (tests open it by hand).
  QMenu* menu() const { return menu_.get(); }
  void FillMenu();
  void Activate(QSystemTrayIcon::ActivationReason reason);

 private:
  Hooks hooks_;
  std::unique_ptr<QMenu> menu_;
  std::unique_ptr<QSystemTrayIcon> icon_;
  bool running_ = false;
};

}  // namespace vemo::shell
