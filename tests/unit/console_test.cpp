#include "console.h"

#include <gtest/gtest.h>

#include "capture_console.h"

namespace korvel {
namespace {

using testing::CaptureConsole;

std::string encode(std::unique_ptr<Encoder> e, const std::string& s) {
  CaptureConsole con(std::move(e));
  con.print(s.c_str());
  return con.out;
}

TEST(Encoding, OurTextsInEachConsoleEncoding) {
  std::tuple<std::unique_ptr<Encoder>, std::string, std::string> rows[] = {
      {Encoder::cp1251(), "a%d\r\n-€\xD0", "a%d\r\n-??"},  // unknown, broken UTF-8
      {Encoder::iconv_to("KOI8-R"), "ОК ёж€", "\xEF\xEB \xA3\xD6?"}};
  for (auto& [enc, text, want] : rows)
    EXPECT_EQ(encode(std::move(enc), text), want) << text;
  EXPECT_EQ(Encoder::iconv_to("NO-SUCH-CODESET"), nullptr);
  // The own table against the system's converter on every Cyrillic letter and the sign №.
  const std::string all = "АБВГДЕЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯабвгдежзийклмнопрстуфхцчшщъыьэюяЁё№";
  EXPECT_EQ(encode(Encoder::cp1251(), all), encode(Encoder::iconv_to("CP1251"), all));
}

// One line after another from one input; the last one has no line feed.
TEST(OperatorAnswer, OnlyTheLinesYAndN) {
  const auto O = Answer::Other;
  CaptureConsole con(Encoder::utf8(),
                     "Y\r\nYY\r\nY\r\r\n\r\n Y\nY \n" + std::string(100000, 'Y') + "\nN");
  for (const Answer want : {Answer::Yes, O, O, O, O, O, O, Answer::No, Answer::End})
    EXPECT_EQ(con.read_answer(), want) << "read up to " << con.input_read;
}

}  // namespace
}  // namespace korvel
