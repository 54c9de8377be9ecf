#include "console.h"

#include <gtest/gtest.h>

#include <string>

#include "capture_console.h"

namespace korvel {
namespace {

using testing::CaptureConsole;

std::string encode(const Encoder& e, const std::string& s) {
  std::string out(e.encode(s, nullptr, 0), '\0');
  e.encode(s, out.data(), out.size());
  return out;
}

TEST(Encoding, OurTextsInEachConsoleEncoding) {
  struct Case {
    const char* name;
    std::unique_ptr<Encoder> enc;
    std::string text;
    std::string want;
  };
  Case cases[] = {
      {"utf8 passes through", Encoder::utf8(), "ОК", "\xD0\x9E\xD0\x9A"},
      {"cp1251 OK", Encoder::cp1251(), "ОК", "\xCE\xCA"},
      {"cp1251 COM", Encoder::cp1251(), "СОМ порт", "\xD1\xCE\xCC \xEF\xEE\xF0\xF2"},
      {"cp1251 yo", Encoder::cp1251(), "ЁёяА", "\xA8\xB8\xFF\xC0"},
      {"cp1251 keeps ascii and controls", Encoder::cp1251(), "a%d\r\n-", "a%d\r\n-"},
      {"cp1251 unknown", Encoder::cp1251(), "€", "?"},
      {"cp1251 broken utf8", Encoder::cp1251(), "\xD0", "?"},
      {"koi8-r", Encoder::iconv_to("KOI8-R"), "ОК ёж", "\xEF\xEB \xA3\xD6"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_NE(c.enc, nullptr);
    EXPECT_EQ(encode(*c.enc, c.text), c.want);
  }
  // A codeset the converter does not know must leave the choice to the caller, not hand back
  // a converter that cannot work.
  EXPECT_EQ(Encoder::iconv_to("NO-SUCH-CODESET"), nullptr);
}

TEST(Encoding, OwnTableAgreesWithTheSystemConverterOnEveryCyrillicLetter) {
  auto ours = Encoder::cp1251();
  auto sys = Encoder::iconv_to("CP1251");
  ASSERT_NE(sys, nullptr);
  std::string all;
  for (char32_t cp = 0x0410; cp <= 0x044F; ++cp) {
    all += static_cast<char>(0xC0 | (cp >> 6));
    all += static_cast<char>(0x80 | (cp & 0x3F));
  }
  all += "ЁёABC 0123-%\r\n";
  EXPECT_EQ(encode(*ours, all), encode(*sys, all));
}

TEST(ConsoleText, FormatIsConvertedButArgumentsAreNot) {
  CaptureConsole con(Encoder::cp1251());
  con.textf(Stream::Out, "Размер %s файла: %u", "файл.cct", 4294967295u);
  EXPECT_EQ(con.out, "\xD0\xE0\xE7\xEC\xE5\xF0 файл.cct \xF4\xE0\xE9\xEB\xE0: 4294967295");
}

TEST(ConsoleText, LongFormattedTextIsNotCut) {
  CaptureConsole con;
  const std::string name(3000, 'x');
  con.textf(Stream::Out, "Прочитано из %s: %d", name.c_str(), -5);
  EXPECT_EQ(con.out, "Прочитано из " + name + ": -5");
  std::string long_text;
  for (int i = 0; i < 2000; ++i)
    long_text += "Ж";
  con.line(Stream::Err, long_text.c_str());
  EXPECT_EQ(con.err, long_text + "\n");
}

TEST(ConsoleText, StreamsKeepPrintOrder) {
  CaptureConsole con;
  con.print("a");
  con.text(Stream::Err, "b");
  con.print_line("c");
  EXPECT_EQ(con.all, "a[err:b]c\n");
}

TEST(OperatorAnswer, OnlyTheLinesYAndN) {
  struct Case {
    const char* input;
    std::vector<Answer> want;
  };
  const Case cases[] = {
      {"Y\n", {Answer::Yes, Answer::End}},
      {"N\n", {Answer::No, Answer::End}},
      {"Y\r\n", {Answer::Yes, Answer::End}},
      {"Y", {Answer::Yes, Answer::End}},
      {"y\nYES\n\nN\n", {Answer::Other, Answer::Other, Answer::Other, Answer::No}},
      {"YY\r\nY\r\r\n\r\n", {Answer::Other, Answer::Other, Answer::Other, Answer::End}},
      {" Y\nY \nN\n", {Answer::Other, Answer::Other, Answer::No}},
      {"", {Answer::End, Answer::End}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    CaptureConsole con(Encoder::utf8(), c.input);
    for (const Answer a : c.want)
      EXPECT_EQ(con.read_answer(), a);
  }
}

TEST(OperatorAnswer, AVeryLongLineIsOneAnswer) {
  CaptureConsole con(Encoder::utf8(), std::string(100000, 'Y') + "\nY\n");
  EXPECT_EQ(con.read_answer(), Answer::Other);
  EXPECT_EQ(con.read_answer(), Answer::Yes);
}

TEST(OperatorAnswer, ReadErrorIsTheEnd) {
  CaptureConsole con(Encoder::utf8(), "Y\n");
  con.input_failed = true;
  EXPECT_EQ(con.read_answer(), Answer::End);
}

}  // namespace
}  // namespace korvel
