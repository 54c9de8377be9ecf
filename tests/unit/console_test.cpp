#include "text/console.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>

#include "capture_console.h"
#include "text/utf8.h"

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
      // unknown, a Windows name's unpaired surrogate, broken UTF-8
      {Encoder::cp1251(), "a%d\r\n-λ\xED\xA0\x80\xD0", "a%d\r\n-???"},
      {Encoder::iconv_to("KOI8-R"), "ОК ёж€", "\xEF\xEB \xA3\xD6?"}};
  for (auto& [enc, text, want] : rows)
    EXPECT_EQ(encode(std::move(enc), text), want) << text;
  EXPECT_EQ(Encoder::iconv_to("NO-SUCH-CODESET"), nullptr);
  // Each encoder says what it needs and writes no byte past the room it is given.
  std::unique_ptr<Encoder> encoders[] = {Encoder::utf8(), Encoder::cp1251(),
                                         Encoder::iconv_to("KOI8-R")};
  for (const auto& e : encoders) {
    char out[8];
    std::fill(std::begin(out), std::end(out), '#');
    EXPECT_GE(e->encode("ОК ёж", out, 3), 5u);
    EXPECT_EQ(std::string(out + 3, 5), "#####");
  }
  // The codesets a locale names, and what the console writes for each.
  const std::pair<const char*, Encoder::Kind> codesets[] = {
      {"UTF-8", Encoder::Kind::Utf8},    {"ANSI_X3.4-1968", Encoder::Kind::Utf8},
      {"US-ASCII", Encoder::Kind::Utf8}, {"ASCII", Encoder::Kind::Utf8},
      {"CP1251", Encoder::Kind::Cp1251}, {"windows-1251", Encoder::Kind::Cp1251},
      {"KOI8-R", Encoder::Kind::Iconv}};
  for (const auto& [codeset, kind] : codesets)
    EXPECT_EQ(encoder_for_codeset(codeset)->kind(), kind) << codeset;
  // The own table against the system's converter on every character CP1251 has.
  const std::string all =
      "ЂЃ‚ѓ„…†‡€‰Љ‹ЊЌЋЏђ‘’“”•–—™љ›њќћџ\u00A0ЎўЈ¤Ґ¦§Ё©Є«¬\u00AD®Ї°±Ііґµ¶·ё№є»јЅѕї"
      "АБВГДЕЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯабвгдежзийклмнопрстуфхцчшщъыьэюя";
  EXPECT_EQ(encode(Encoder::cp1251(), all), encode(Encoder::iconv_to("CP1251"), all));
}

// Windows names in and out: a pair is one character, and a surrogate without its partner keeps
// a form of its own, so that every name comes back as it was.
TEST(Encoding, WindowsNamesComeBackAsTheyWere) {
  const std::pair<std::u16string, std::string> rows[] = {
      {u"boot-ж€.cct", "boot-ж€.cct"},
      {u"\x7F\x80\x7FF\x800", "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80"},  // each width's edges
      {u"\xD800\xDC00", "\xF0\x90\x80\x80"},          // the first code point beyond 16 bits
      {u"\xDBFF\xDFFF", "\xF4\x8F\xBF\xBF"},          // the last code point
      {u"a\xD800z", "a\xED\xA0\x80z"},                // high, unpaired
      {u"\xDC00\xD800", "\xED\xB0\x80\xED\xA0\x80"},  // low then high: no pair
  };
  for (const auto& [wide, narrow] : rows) {
    EXPECT_EQ(from_utf16(wide), narrow);
    EXPECT_EQ(to_utf16(narrow), wide);
  }
  EXPECT_EQ(to_utf16("a\xFF"), u"a\xFFFD");
  EXPECT_EQ(to_utf16("a\xF7\xBF\xBF\xBF"), u"a\xFFFD");  // past the last code point
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
