#include "console.h"

#include <gtest/gtest.h>

#include "capture_console.h"

namespace korvel {
namespace {

using testing::CaptureConsole;

std::string encode(const std::unique_ptr<Encoder>& e, const std::string& s) {
  if (e == nullptr)
    return "no converter";
  std::string out(e->encode(s, nullptr, 0), '\0');
  e->encode(s, out.data(), out.size());
  return out;
}

TEST(Encoding, OurTextsInEachConsoleEncoding) {
  const std::tuple<std::unique_ptr<Encoder>, std::string, std::string> rows[] = {
      {Encoder::utf8(), "ОК", "\xD0\x9E\xD0\x9A"},
      {Encoder::cp1251(), "СОМ порт ЁёяА№", "\xD1\xCE\xCC \xEF\xEE\xF0\xF2 \xA8\xB8\xFF\xC0\xB9"},
      {Encoder::cp1251(), "a%d\r\n-€\xD0", "a%d\r\n-??"},  // unknown, broken UTF-8
      {Encoder::iconv_to("KOI8-R"), "ОК ёж€", "\xEF\xEB \xA3\xD6?"}};
  for (const auto& [enc, text, want] : rows)
    EXPECT_EQ(encode(enc, text), want) << text;
  EXPECT_EQ(Encoder::iconv_to("NO-SUCH-CODESET"), nullptr);
  // The own table against the system's converter on every Cyrillic letter.
  const std::string all = "АБВГДЕЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯабвгдежзийклмнопрстуфхцчшщъыьэюяЁё";
  EXPECT_EQ(encode(Encoder::cp1251(), all), encode(Encoder::iconv_to("CP1251"), all));
}

TEST(ConsoleText, FormatConvertedArgumentsKeptNothingCutOrderKept) {
  CaptureConsole con(Encoder::cp1251());
  std::string name(3000, 'x'), text;
  for (int i = 0; i < 600; ++i)
    text += "Ж";
  con.textf(Stream::Out, "Размер %s файла: %u ", "файл.cct", 4294967295u);
  con.textf(Stream::Out, "%s: %d", name.c_str(), -5);
  con.line(Stream::Err, text.c_str());
  con.print_line("c");
  EXPECT_EQ(con.all, "\xD0\xE0\xE7\xEC\xE5\xF0 файл.cct \xF4\xE0\xE9\xEB\xE0: 4294967295 " + name +
                         ": -5[err:" + std::string(600, '\xC6') + "][err:\n]c\n");
}

TEST(OperatorAnswer, OnlyTheLinesYAndN) {
  const auto Y = Answer::Yes, N = Answer::No, O = Answer::Other;
  // Read one after another from one input; the last line has no line feed.
  const std::pair<std::string, Answer> lines[] = {
      {"Y\n", Y},   {"N\n", N},  {"Y\r\n", Y},  {"y\n", O},
      {"YES\n", O}, {"\n", O},   {"YY\r\n", O}, {"Y\r\r\n", O},
      {"\r\n", O},  {" Y\n", O}, {"Y \n", O},   {std::string(100000, 'Y') + "\n", O},
      {"N", N}};
  std::string input;
  for (const auto& [line, answer] : lines)
    input += line;
  CaptureConsole con(Encoder::utf8(), input), failing(Encoder::utf8(), "Y\n");
  for (const auto& [line, answer] : lines)
    EXPECT_EQ(con.read_answer(), answer) << line.substr(0, 9);
  EXPECT_EQ(con.read_answer(), Answer::End);
  failing.input_failed = true;
  EXPECT_EQ(failing.read_answer(), Answer::End);
}

}  // namespace
}  // namespace korvel
