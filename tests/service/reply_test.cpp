#include "service/reply.h"

#include <gtest/gtest.h>

#include <string>

namespace vemo {
namespace {

struct BodyCase {
  ResultCode code;
  std::string body;
};

class ReplyBodyTest : public ::testing::TestWithParam<BodyCase> {};

TEST_P(ReplyBodyTest, ExactBytes) {
  EXPECT_EQ(BuildReplyBody(GetParam().code, std::nullopt, u"Авест"), GetParam().body);
}

INSTANTIATE_TEST_SUITE_P(
    Catalogue, ReplyBodyTest,
    ::testing::Values(
        BodyCase{0, R"({"status":"OK"})"}, BodyCase{1, R"({"status":"OK","version":"2.3.2"})"},
        // Service codes: the text alone.
        BodyCase{3840, R"({"error":"Ошибка загрузки библиотеки AvCryptMail.dll","status":"OK"})"},
        BodyCase{3841, R"({"error":"Ошибочный запрос","status":"OK"})"},
        BodyCase{3842, R"({"error":"Отсутствуют данные в запросе","status":"OK"})"},
        BodyCase{3843, R"({"error":"Ошибка кодировки данных","status":"OK"})"},
        BodyCase{3844, R"({"error":"signing error","status":"OK"})"},
        // Enigma codes: the text and errorCode 222.
        BodyCase{38,
                 R"({"error":"Ошибка ввода пароля токена Энигма","errorCode":222,"status":"OK"})"},
        BodyCase{40, R"({"error":"Истек ключ токена Энигма","errorCode":222,"status":"OK"})"},
        BodyCase{
            51,
            R"({"error":"Отсутствует файл подписи токена Энигма","errorCode":222,"status":"OK"})"},
        BodyCase{
            52,
            R"({"error":"Подпись токеном Энигма отменена пользователем","errorCode":222,"status":"OK"})"},
        BodyCase{
            256,
            R"({"error":"Ошибка создания временного файла для подписи Энигма","errorCode":222,"status":"OK"})"},
        BodyCase{3845, R"({"error":"Отсутствуют токены Энигма","errorCode":222,"status":"OK"})"},
        // Avest codes: listed ones with their text, the ends of the range and unlisted ones
        // inside it with the default text, the neighbours outside it with nothing.
        BodyCase{static_cast<ResultCode>(0xE82A0130u),
                 R"({"error":"Сертификат отозван","errorCode":222,"status":"OK"})"},
        BodyCase{static_cast<ResultCode>(0xE82A010Du),
                 R"({"error":"Не найден личный сертификат","errorCode":222,"status":"OK"})"},
        BodyCase{static_cast<ResultCode>(0xE82A014Fu),
                 R"({"error":"Ошибка расшифрования ключа","errorCode":222,"status":"OK"})"},
        BodyCase{static_cast<ResultCode>(0xE82A0100u),
                 R"({"error":"Неописанная ошибка Авест","errorCode":222,"status":"OK"})"},
        BodyCase{static_cast<ResultCode>(0xE82A0110u),
                 R"({"error":"Неописанная ошибка Авест","errorCode":222,"status":"OK"})"},
        BodyCase{static_cast<ResultCode>(0xE82A0200u),
                 R"({"error":"Неописанная ошибка Авест","errorCode":222,"status":"OK"})"},
        BodyCase{static_cast<ResultCode>(0xE82A00FFu), R"({"status":"OK"})"},
        BodyCase{static_cast<ResultCode>(0xE82A0201u), R"({"status":"OK"})"},
        // Codes of no group.
        BodyCase{8, R"({"status":"OK"})"}, BodyCase{1229, R"({"status":"OK"})"},
        BodyCase{-1, R"({"status":"OK"})"}, BodyCase{0xFF01, R"({"status":"OK"})"}));

TEST(ReplyBody, LineFeedInsideAnAvestTextIsEscaped) {
  EXPECT_EQ(BuildReplyBody(static_cast<ResultCode>(0xE82A0148u), std::nullopt, u""),
            "{\"error\":\"Ошибка подтверждения пароля при повторной аутентификации\\n"
            "Вставлен неверный носитель или неверно задан личный пароль\",\"errorCode\":222,"
            "\"status\":\"OK\"}");
}

TEST(ReplyBody, SignatureMembersAreSortedAndTokenIdIsLatin) {
  EXPECT_EQ(BuildReplyBody(2, "QUJD+/==", u"Авест"),
            R"({"sign":"QUJD+/==","status":"OK","tokenId":"Avest"})");
  EXPECT_EQ(BuildReplyBody(2, "QQ==", u"Энигма"),
            R"({"sign":"QQ==","status":"OK","tokenId":"Enigma"})");
  EXPECT_EQ(BuildReplyBody(2, "QQ==", u"Энигма2"),
            R"({"sign":"QQ==","status":"OK","tokenId":"Enigma2"})");
  EXPECT_EQ(BuildReplyBody(2, "QQ==", u""), R"({"sign":"QQ==","status":"OK","tokenId":""})");
}

TEST(ReplyBody, LongSignatureIsNotCut) {
  const std::string signature(10000, 'A');
  const std::string body = BuildReplyBody(2, signature, u"Авест");
  EXPECT_EQ(body, R"({"sign":")" + signature + R"(","status":"OK","tokenId":"Avest"})");
}

TEST(ReplyBody, PayloadThatIsNotUtf8BecomesASigningError) {
  EXPECT_EQ(BuildReplyBody(2, "\xff\xfe", u"Авест"), R"({"error":"signing error","status":"OK"})");
}

TEST(Transliteration, Table) {
  const std::pair<std::u16string, std::string> cases[] = {
      {u"Щука", "Shchuka"},
      {u"объём", "ob''em"},
      {u"Пётр Ильич", "Petr Il'ich"},
      {u"ЪЬ", "'''"},
      {u"эйы", "eyy"},
      {u"Юля Яна Жора Хан Цой Чай Шум", "Yulya Yana Zhora Khan Tsoy Chay Shum"},
      {u"абвгдеёжзийклмнопрстуфхцчшщъыьэюя", "abvgdeezhziyklmnoprstufkhtschshshch''y'eyuya"},
      {u"АБВГДЕЁЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯ", "ABVGDEEZhZIYKLMNOPRSTUFKhTsChShShch''Y'EYuYa"},
      {u"1234567890", "1234567890"},
      {u"Latin only", " "},
      {u"a-b.c", ""},
      {u"中文ї", ""},
      {u"", ""},
  };
  for (const auto& [source, latin] : cases) {
    EXPECT_EQ(TransliterateToLatin(source), latin);
  }
}

TEST(PrepareResponse, FixedStatusAndHeaders) {
  platform::HttpResponse response;
  const std::string text = R"({"status":"OK"})";
  PrepareResponse(&response, text);
  EXPECT_EQ(response.status_code, 200);
  EXPECT_EQ(response.reason, "OK");
  EXPECT_EQ(response.cache_control, "no-cache, no-store");
  EXPECT_EQ(response.content_type, "application/json; charset=utf-8");
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"Access-Control-Allow-Headers", "Content-Type, option"},
      {"Access-Control-Allow-Credentials", "true"},
      {"Access-Control-Allow-Origin", "*"},
      {"Access-Control-Allow-Methods", "POST, GET, OPTIONS"},
  };
  ASSERT_EQ(response.headers.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(response.headers[i].name, expected[i].first);
    EXPECT_EQ(response.headers[i].value, expected[i].second);
  }
  EXPECT_EQ(response.body.data(), text.data());
  EXPECT_EQ(response.body.size(), text.size());
}

}  // namespace
}  // namespace vemo
