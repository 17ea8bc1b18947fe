#include "service/reply.h"

#include <array>
#include <nlohmann/json.hpp>

namespace vemo {
namespace {

struct CodeText {
  uint32_t code;
  std::string_view text;
};

constexpr std::array<CodeText, 5> kServiceTexts{{
    {0x0F00, "Ошибка загрузки библиотеки AvCryptMail.dll"},
    {0x0F01, "Ошибочный запрос"},
    {0x0F02, "Отсутствуют данные в запросе"},
    {0x0F03, "Ошибка кодировки данных"},
    {0x0F04, "signing error"},
}};

constexpr std::array<CodeText, 6> kEnigmaTexts{{
    {38, "Ошибка ввода пароля токена Энигма"},
    {40, "Истек ключ токена Энигма"},
    {51, "Отсутствует файл подписи токена Энигма"},
    {52, "Подпись токеном Энигма отменена пользователем"},
    {256, "Ошибка создания временного файла для подписи Энигма"},
    {0x0F05, "Отсутствуют токены Энигма"},
}};

constexpr std::array<CodeText, 34> kAvestTexts{{
    {0xE82A010D, "Не найден личный сертификат"},
    {0xE82A010E, "Подпись под сертификатом издателя неверна"},
    {0xE82A010F, "Сертификат издателя не найден"},
    {0xE82A0111, "Сертификат не предназначен для шифрования"},
    {0xE82A0112, "Сертификат не предназначен для подписи"},
    {0xE82A0113, "Подпись под сертификатом неверна"},
    {0xE82A0114, "Не найдено или пусто хранилище сертификатов"},
    {0xE82A0115, "Не найден контейнер с личными ключами на носителе"},
    {0xE82A0116, "Подпись под СОС издателя неверна или СОС устарел"},
    {0xE82A0117, "СОС издателя не найден"},
    {0xE82A012F, "Не найден список доверяемых центров сертификации"},
    {0xE82A0130, "Сертификат отозван"},
    {0xE82A0131, "Нет доверия сертификату"},
    {0xE82A0132, "Срок действия СОС истек"},
    {0xE82A0133, "Сертификат издателя СОС не найден"},
    {0xE82A0134, "Срок действия сертификата издателя СОС истек"},
    {0xE82A0135, "Версия библиотеки не соответствует версии хранилища сертификатов"},
    {0xE82A0136, "В личном хранилище отсутствуют действующие сертификаты"},
    {0xE82A0137, "Действие отменено пользователем"},
    {0xE82A0138,
     "Сертификат содержит расширенное использование ключа не поддерживаемое центром регистрации"},
    {0xE82A0139, "Сертификат содержит дополнение не поддерживаемое центром регистрации"},
    {0xE82A013A, "В личном справочнике несколько действующих сертификатов"},
    {0xE82A0141, "Сертификат не является сертификатом ЦР"},
    {0xE82A0144,
     "Издатель СОС отличается от ожидаемого издателя, переданного параметром "
     "AVCM_CRL_ISSUER_SUBJECT"},
    {0xE82A0145,
     "В справочнике списков отозванных сертификатов имеется более новый СОС данного издателя"},
    {0xE82A0146, "Дескриптор СОС неверен"},
    {0xE82A0147, "Сертификат временно приостановлен"},
    {0xE82A0148,
     "Ошибка подтверждения пароля при повторной аутентификации\n"
     "Вставлен неверный носитель или неверно задан личный пароль"},
    {0xE82A014A, "Носитель с личным ключом не установлен"},
    {0xE82A014B, "Сообщение не имеет содержимого"},
    {0xE82A014C, "Срок действия сертификата не наступил"},
    {0xE82A014D, "Срок действия сертификата истек"},
    {0xE82A014E, "Носитель не зарегистрирован"},
    {0xE82A014F, "Ошибка расшифрования ключа"},
}};

constexpr std::string_view kUndescribedAvestError = "Неописанная ошибка Авест";

template <size_t N>
std::optional<std::string_view> Find(const std::array<CodeText, N>& table, uint32_t code) {
  for (const auto& entry : table) {
    if (entry.code == code) return entry.text;
  }
  return std::nullopt;
}

// The blank, the Russian alphabet in both cases with "ё" after "е", the digits 1..9 and 0.
constexpr std::u16string_view kTranslitSource =
    u" абвгдеёжзийклмнопрстуфхцчшщъыьэюяАБВГДЕЁЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯ1234567890";

constexpr std::array<std::string_view, 77> kTranslitTarget{
    " ",  "a",  "b",  "v", "g", "d", "e", "e",  "zh", "z",  "i",  "y",    "k",    "l",  "m", "n",
    "o",  "p",  "r",  "s", "t", "u", "f", "kh", "ts", "ch", "sh", "shch", "''",   "y",  "'", "e",
    "yu", "ya", "A",  "B", "V", "G", "D", "E",  "E",  "Zh", "Z",  "I",    "Y",    "K",  "L", "M",
    "N",  "O",  "P",  "R", "S", "T", "U", "F",  "Kh", "Ts", "Ch", "Sh",   "Shch", "''", "Y", "'",
    "E",  "Yu", "Ya", "1", "2", "3", "4", "5",  "6",  "7",  "8",  "9",    "0"};

static_assert(kTranslitSource.size() == kTranslitTarget.size());

// "2.3.2" as the narrow "version" value: the low 8 bits of each UTF-16 unit.
std::string NarrowVersion() {
  std::string version;
  for (char16_t unit : kVersionText) version.push_back(static_cast<char>(unit & 0xFF));
  return version;
}

constexpr std::array<std::pair<std::string_view, std::string_view>, 4> kCrossOriginHeaders{{
    // "option" must be allowed too: the signing request reads it, and a browser page can only
    // send it across origins when the preflight lists it.
    {"Access-Control-Allow-Headers", "Content-Type, option"},
    {"Access-Control-Allow-Credentials", "true"},
    {"Access-Control-Allow-Origin", "*"},
    {"Access-Control-Allow-Methods", "POST, GET, OPTIONS"},
}};

}  // namespace

std::optional<CatalogueEntry> LookupErrorText(ResultCode code) {
  const auto value = static_cast<uint32_t>(code);
  if (auto text = Find(kServiceTexts, value)) return CatalogueEntry{*text, false};
  if (auto text = Find(kEnigmaTexts, value)) return CatalogueEntry{*text, true};
  if (IsAvestCode(code)) {
    return CatalogueEntry{Find(kAvestTexts, value).value_or(kUndescribedAvestError), true};
  }
  return std::nullopt;
}

std::string TransliterateToLatin(std::u16string_view text) {
  std::string result;
  for (char16_t unit : text) {
    const size_t index = kTranslitSource.find(unit);
    if (index != std::u16string_view::npos) result += kTranslitTarget[index];
  }
  return result;
}

namespace {

std::string ComposeReplyBody(ResultCode code, std::optional<std::string_view> payload,
                             std::u16string_view active_provider) {
  nlohmann::json reply = nlohmann::json::object();
  reply["status"] = "OK";
  if (code == kReplyVersion) {
    reply["version"] = NarrowVersion();
  } else if (code == kReplySignature) {
    reply["tokenId"] = TransliterateToLatin(active_provider);
    reply["sign"] = std::string(payload.value_or(""));
  } else if (auto entry = LookupErrorText(code)) {
    reply["error"] = std::string(entry->text);
    if (entry->with_error_code) reply["errorCode"] = 222;
  }
  try {
    return reply.dump();
  } catch (const nlohmann::json::exception&) {
    // Only a payload that is not UTF-8 gets here; the providers hand over Base64 text, so this
    // is a provider fault, reported as a failed signing rather than a broken reply.
    return ComposeReplyBody(kSigningError, std::nullopt, active_provider);
  }
}

}  // namespace

std::string BuildReplyBody(ResultCode code, std::optional<std::string_view> payload,
                           std::u16string_view active_provider) {
  // The replies to "checkLs" and "version", and the one to a request that is not understood,
  // do not depend on anything else: composed once.
  if (code == kResultOk) {
    static const std::string ok = ComposeReplyBody(kResultOk, std::nullopt, u"");
    return ok;
  }
  if (code == kReplyVersion) {
    static const std::string version = ComposeReplyBody(kReplyVersion, std::nullopt, u"");
    return version;
  }
  if (code == kBadRequest) {
    static const std::string bad_request = ComposeReplyBody(kBadRequest, std::nullopt, u"");
    return bad_request;
  }
  return ComposeReplyBody(code, payload, active_provider);
}

void PrepareResponse(platform::HttpResponse* response, std::string_view text) {
  response->status_code = 200;
  response->reason = "OK";
  response->cache_control = "no-cache, no-store";
  response->content_type = "application/json; charset=utf-8";
  response->headers.clear();
  for (const auto& [name, value] : kCrossOriginHeaders) {
    response->headers.push_back({std::string(name), std::string(value)});
  }
  response->body = text;
}

}  // namespace vemo
