#include "shell/resources.h"

#include <array>
#include <cstdlib>

#include "shell/web_sites.h"

namespace vemo::shell {
namespace {

constexpr ControlTemplate Button(int id, std::u16string_view text, Dlu at) {
  return {id, ControlKind::kPushButton, text, at};
}
constexpr ControlTemplate DefaultButton(int id, std::u16string_view text, Dlu at) {
  return {id, ControlKind::kDefPushButton, text, at};
}
constexpr ControlTemplate Label(std::u16string_view text, Dlu at) {
  return {-1, ControlKind::kLabel, text, at};
}
constexpr ControlTemplate PlainLabel(std::u16string_view text, Dlu at) {
  return {.id = -1, .kind = ControlKind::kLabel, .text = text, .position = at, .no_prefix = true};
}
constexpr ControlTemplate Icon(int icon, Dlu at) {
  return {.id = -1, .kind = ControlKind::kIcon, .text = {}, .position = at, .icon = icon};
}
// A sorted drop-down list, with or without an edit field.
constexpr ControlTemplate SortedCombo(int id, Dlu at, bool editable = false) {
  return {.id = id,
          .kind = ControlKind::kComboBox,
          .text = {},
          .position = at,
          .sorted = true,
          .editable = editable};
}
constexpr ControlTemplate Edit(int id, Dlu at, bool password, bool read_only) {
  return {.id = id,
          .kind = ControlKind::kEdit,
          .text = {},
          .position = at,
          .password = password,
          .read_only = read_only};
}

constexpr std::array kAboutControls{
    Icon(kIconApplication, {15, 23, 20, 20}),
    Label(u"Сервер для входа в интернет-банкинг", {46, 8, 168, 8}),
    Label(u"ОАО «Трамонтел» для юридических лиц", {46, 17, 168, 8}),
    PlainLabel(u"Vemo_Server_Crypt, версия 2.3.2", {46, 26, 114, 8}),
    ControlTemplate{.id = kIdSiteLink,
                    .kind = ControlKind::kLink,
                    .text = u"ОАО «Трамонтел»",
                    .position = {45, 38, 73, 11},
                    .link_target = kPublicSiteUrl,
                    .tip = kPublicSiteTip},
    Label(u"ул. Садовая, 12, г. Тихогорск", {46, 51, 124, 8}),
    Label(u"© 2024", {46, 60, 124, 8}),
    DefaultButton(kIdOk, u"ОК", {174, 53, 40, 14}),
};

constexpr std::array kMainControls{
    ControlTemplate{kIdLogList, ControlKind::kListBox, {}, {7, 7, 333, 147}},
    Button(kIdStartButton, u"Запустить сервер", {7, 160, 103, 14}),
    Button(kIdStopButton, u"Остановить Сервер", {7, 160, 103, 14}),
    SortedCombo(kIdProviderBox, {117, 160, 118, 30}),
    Button(kIdShowLogs, u"Просмотреть логи", {242, 160, 99, 14}),
};

// In the template's own order, which is the tab order: the buttons come first.
constexpr std::array kPasswordControls{
    Button(kIdOk, u"OK", {137, 97, 69, 14}),
    Button(kIdCancel, u"Cancel", {7, 97, 69, 14}),
    Edit(kIdPasswordEdit, {7, 77, 199, 13}, /*password=*/true, /*read_only=*/false),
    Label(u"Введите пароль доступа к токену", {7, 67, 146, 8}),
    Label(u"Выберите токен", {7, 7, 56, 8}),
    SortedCombo(kIdTokenList, {7, 16, 149, 30}, /*editable=*/true),
    Edit(kIdOwnerEdit, {7, 35, 199, 13}, /*password=*/false, /*read_only=*/true),
    Edit(kIdOrganisationEdit, {7, 52, 199, 13}, /*password=*/false, /*read_only=*/true),
    Button(kIdRefreshButton, u"Обновить", {163, 7, 44, 23}),
};

constexpr std::array kSettingsControls{
    Button(kIdOk, u"Сохранить", {18, 79, 87, 14}),
    DefaultButton(kIdCancel, u"Отмена", {152, 79, 86, 14}),
    SortedCombo(kIdDefaultProviderBox, {152, 6, 86, 30}),
    Label(u"Используемый носитель по умолчанию", {18, 9, 132, 8}),
    Button(kIdChangePassword, u"Изменить пароль для Энигма2", {18, 39, 116, 14}),
    Button(kIdInstallDriver, u"Установить драйвер", {151, 39, 87, 14}),
    Button(kIdRemoveDriver, u"Удалить драйвер", {151, 54, 87, 14}),
};

constexpr DialogTemplate kAboutDialog{.id = kIdAboutDialog,
                                      .caption = u"О программе Vemo_Server_Crypt",
                                      .width = 221,
                                      .height = 74,
                                      .font_family = kShellDialogFont,
                                      .font_points = 8,
                                      .topmost = false,
                                      .minimize_box = false,
                                      .controls = kAboutControls};
constexpr DialogTemplate kMainDialog{.id = kIdMainDialog,
                                     .caption = u"Vemo_Server_Crypt",
                                     .width = 347,
                                     .height = 182,
                                     .font_family = kShellDialogFont,
                                     .font_points = 8,
                                     .topmost = false,
                                     .minimize_box = true,
                                     .controls = kMainControls};
constexpr DialogTemplate kPasswordDialog{.id = kIdPasswordDialog,
                                         .caption = u"Авторизация пользователя Enigma / Enigma2",
                                         .width = 215,
                                         .height = 118,
                                         .font_family = kShellDialogFont,
                                         .font_points = 8,
                                         .topmost = true,
                                         .minimize_box = false,
                                         .controls = kPasswordControls};
constexpr DialogTemplate kSettingsDialog{.id = kIdSettingsDialog,
                                         .caption = u"Настройки Vemo_Server_Crypt",
                                         .width = 245,
                                         .height = 100,
                                         .font_family = kShellDialogFont,
                                         .font_points = 8,
                                         .topmost = true,
                                         .minimize_box = false,
                                         .controls = kSettingsControls};

// The four tray menus differ in items 3 and 4 only: the service and the window command.
constexpr std::array<MenuItem, 10> TrayMenu(MenuItem service, MenuItem window) {
  return {{{kCmdBankingSite, u"Вход в банкинг"},
           {0, {}},
           service,
           window,
           {0, {}},
           {kCmdSettings, u"Настройки..."},
           {0, {}},
           {kCmdAbout, u"О программе..."},
           {0, {}},
           {kCmdExit, u"Завершение работы"}}};
}

constexpr MenuItem kStopItem{kCmdStopServer, u"Остановить сервер"};
constexpr MenuItem kStartItem{kCmdStartServer, u"Запустить сервер"};
constexpr MenuItem kShowItem{kCmdShowWindow, u"Развернуть"};
constexpr MenuItem kHideItem{kCmdHideWindow, u"Свернуть"};

constexpr auto kMenuHiddenRunningItems = TrayMenu(kStopItem, kShowItem);
constexpr auto kMenuVisibleRunningItems = TrayMenu(kStopItem, kHideItem);
constexpr auto kMenuHiddenStoppedItems = TrayMenu(kStartItem, kShowItem);
constexpr auto kMenuVisibleStoppedItems = TrayMenu(kStartItem, kHideItem);

}  // namespace

const DialogTemplate& Dialog(int id) {
  switch (id) {
    case kIdAboutDialog:
      return kAboutDialog;
    case kIdMainDialog:
      return kMainDialog;
    case kIdPasswordDialog:
      return kPasswordDialog;
    case kIdSettingsDialog:
      return kSettingsDialog;
  }
  std::abort();
}

std::span<const MenuItem> Menu(int id) {
  switch (id) {
    case kMenuHiddenRunning:
      return kMenuHiddenRunningItems;
    case kMenuVisibleRunning:
      return kMenuVisibleRunningItems;
    case kMenuHiddenStopped:
      return kMenuHiddenStoppedItems;
    case kMenuVisibleStopped:
      return kMenuVisibleStoppedItems;
  }
  return {};
}

std::u16string_view String(int id) { return id == kStrAboutItem ? u"&О программе..." : u""; }

std::string_view IconPath(int id) {
  switch (id) {
    case kIconApplication:
      return ":/icons/vemo-running.svg";
    case kIconStopped:
      return ":/icons/vemo-stopped.svg";
  }
  return {};
}

}  // namespace vemo::shell
