#include "shell/tray_icon.h"

#include <QIcon>
#include <QMenu>

#include "shell/icons.h"
#include "shell/resources.h"

namespace vemo::shell {

TrayIcon::TrayIcon(Hooks hooks)
    : hooks_(std::move(hooks)),
      menu_(std::make_unique<QMenu>()),
      icon_(std::make_unique<QSystemTrayIcon>()) {
  // Filled as it opens, so that it shows the state of the moment; this also serves the trays
  // that open the menu themselves and never report the right click.
  QObject::connect(menu_.get(), &QMenu::aboutToShow, this, [this] { FillMenu(); });
  icon_->setContextMenu(menu_.get());
  QObject::connect(icon_.get(), &QSystemTrayIcon::activated, this,
                   [this](QSystemTrayIcon::ActivationReason reason) { Activate(reason); });
}

TrayIcon::~TrayIcon() = default;

void TrayIcon::Show(bool running, std::u16string_view tip) {
  running_ = running;
  icon_->setIcon(ResourceIcon(running ? kIconApplication : kIconStopped));
  icon_->setToolTip(QString::fromUtf16(tip.data(), static_cast<qsizetype>(tip.size())));
  icon_->show();
}

void TrayIcon::Remove() { icon_->hide(); }

bool TrayIcon::present() const { return icon_->isVisible(); }

QString TrayIcon::tip() const { return icon_->toolTip(); }

int TrayIcon::CurrentMenuId() const {
  const bool visible = hooks_.window_visible();
  if (hooks_.server_running()) return visible ? kMenuVisibleRunning : kMenuHiddenRunning;
  return visible ? kMenuVisibleStopped : kMenuHiddenStopped;
}

void TrayIcon::FillMenu() {
  menu_->clear();
  for (const MenuItem& item : Menu(CurrentMenuId())) {
    if (item.command == 0) {
      menu_->addSeparator();
      continue;
    }
    QAction* action = menu_->addAction(
        QString::fromUtf16(item.text.data(), static_cast<qsizetype>(item.text.size())));
    action->setObjectName(QStringLiteral("command_%1").arg(item.command));
    const int command = item.command;
    // Queued, so that the command runs after the menu has closed, as a chosen item arrives.
    QObject::connect(
        action, &QAction::triggered, this, [this, command] { hooks_.run_command(command); },
        Qt::QueuedConnection);
  }
}

void TrayIcon::Activate(QSystemTrayIcon::ActivationReason reason) {
  // A single click does nothing; the menu opens by itself on the right button.
  if (reason == QSystemTrayIcon::DoubleClick) hooks_.double_click();
}

}  // namespace vemo::shell
