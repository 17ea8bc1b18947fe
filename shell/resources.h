#pragma once

#include <span>
#include <string_view>

// The program's dialog templates, menus, strings and icons as data, keyed by their resource
// ids. Positions are in dialog units; dialog_builder.h turns a template into Qt widgets.
namespace vemo::shell {

enum class ControlKind {
  kPushButton,
  kDefPushButton,
  kListBox,
  kComboBox,
  kLabel,
  kIcon,
  kLink,
  kEdit,
  kGroupBox
};

// A rectangle in dialog units: a quarter of the dialog font's average character width
// horizontally, an eighth of its height vertically.
struct Dlu {
  int x, y, width, height;
};

struct ControlTemplate {
  int id;  // -1 for controls without an id (static texts, icons)
  ControlKind kind;
  std::u16string_view text;
  Dlu position;
  bool visible = true;
  bool enabled = true;
  // Combo boxes: entries kept in sorted order; an edit field instead of a plain drop-down list.
  bool sorted = false;
  bool editable = false;
  // Labels: '&' is an ordinary character rather than the mark of a mnemonic.
  bool no_prefix = false;
  // Edits.
  bool password = false;
  bool read_only = false;
  // Icons: the icon resource shown.
  int icon = 0;
  // Links: the address opened on a click, and the tip shown on hovering.
  std::string_view link_target = {};
  std::u16string_view tip = {};
};

struct DialogTemplate {
  int id;
  std::u16string_view caption;
  int width, height;                // client area, in dialog units
  std::u16string_view font_family;  // "MS Shell Dlg" stands for the desktop's UI font
  int font_points;
  bool topmost, minimize_box;
  std::span<const ControlTemplate> controls;  // in tab order
};

inline constexpr std::u16string_view kShellDialogFont = u"MS Shell Dlg";

// Dialog resources.
inline constexpr int kIdAboutDialog = 100;
inline constexpr int kIdMainDialog = 102;
inline constexpr int kIdPasswordDialog = 130;
inline constexpr int kIdSettingsDialog = 149;

// Icon resources.
inline constexpr int kIconApplication = 5;  // also the tray icon while the service runs
inline constexpr int kIconStopped = 132;

// Menu resources: the tray menu by window visibility and service state.
inline constexpr int kMenuHiddenRunning = 135;
inline constexpr int kMenuVisibleRunning = 136;
inline constexpr int kMenuHiddenStopped = 137;
inline constexpr int kMenuVisibleStopped = 138;

// String resources.
inline constexpr int kStrAboutItem = 101;

// Commands of the tray menu and of the window's system menu.
inline constexpr int kCmdStartServer = 32800;
inline constexpr int kCmdStopServer = 32801;
inline constexpr int kCmdExit = 32802;
inline constexpr int kCmdSettings = 32803;
inline constexpr int kCmdBankingSite = 32804;
inline constexpr int kCmdShowWindow = 32805;
inline constexpr int kCmdHideWindow = 32806;
inline constexpr int kCmdAbout = 32807;
inline constexpr int kCmdAboutSystem = 16;

// Controls shared by dialogs.
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;

// Main window (102).
inline constexpr int kIdLogList = 1008;
inline constexpr int kIdStartButton = 1003;
inline constexpr int kIdStopButton = 1002;
inline constexpr int kIdProviderBox = 1031;
inline constexpr int kIdShowLogs = 1004;

// About box (100).
inline constexpr int kIdSiteLink = 1009;

// Token password dialog (130).
inline constexpr int kIdPasswordEdit = 1000;
inline constexpr int kIdOwnerEdit = 1001;
inline constexpr int kIdOrganisationEdit = 1002;
inline constexpr int kIdTokenList = 1021;
inline constexpr int kIdRefreshButton = 1022;

// Settings dialog (149).
inline constexpr int kIdDefaultProviderBox = 1010;
inline constexpr int kIdChangePassword = 1017;
inline constexpr int kIdInstallDriver = 1018;
inline constexpr int kIdRemoveDriver = 1019;

// The template of a dialog resource; an id without one is a programming error (aborts).
const DialogTemplate& Dialog(int id);

// A tray menu's items, top to bottom; empty for an unknown id.
struct MenuItem {
  int command;  // 0: separator
  std::u16string_view text;
};
std::span<const MenuItem> Menu(int id);

// A string resource; empty for an unknown id.
std::u16string_view String(int id);

// The Qt resource path of an icon resource; empty for an unknown id.
std::string_view IconPath(int id);

}  // namespace vemo::shell
