#include "control/console.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

// A console stream holding `text`, read from its start.
std::FILE* console_with(const std::string& text) {
  std::FILE* in = std::tmpfile();
  std::fwrite(text.data(), 1, text.size(), in);
  std::rewind(in);
  return in;
}

// Performs one read per letter of `reads` (i = int, f = float, w = word) and lists the results:
// the value read, "?token" when refused, "EOF" at the end of input.
std::string read_all(const std::string& text, const std::string& reads) {
  std::FILE* in = console_with(text);
  std::string log;
  for (const char kind : reads) {
    if (!log.empty()) log += ' ';
    constexpr int kIntUntouched = -77;
    constexpr float kFloatUntouched = -7.5f;
    int i = kIntUntouched;
    float f = kFloatUntouched;
    std::string token;
    ConsoleRead got = ConsoleRead::EndOfInput;
    if (kind == 'i') got = read_console_int(in, i, token);
    if (kind == 'f') got = read_console_float(in, f, token);
    if (kind == 'w') got = read_console_word(in, token);
    if (got == ConsoleRead::EndOfInput) {
      log += "EOF";
    } else if (got == ConsoleRead::NotANumber) {
      log += "?" + token;
      EXPECT_EQ(i, kIntUntouched) << token;
      EXPECT_EQ(f, kFloatUntouched) << token;
    } else if (kind == 'i') {
      log += std::to_string(i);
    } else if (kind == 'f') {
      char value[64];
      std::snprintf(value, sizeof value, "%f", static_cast<double>(f));
      log += value;
    } else {
      log += token;
    }
  }
  std::fclose(in);
  return log;
}

struct ReadCase {
  const char* name;
  std::string text;
  std::string reads;
  std::string expected;
};

TEST(ConsoleRead, TokensFollowFormattedInputRules) {
  const std::string long_word(100000, 'w');
  const std::vector<ReadCase> cases = {
      {"line ends and blanks separate, signs taken", "  42\n\n  -7\t+3\n", "iiii", "42 -7 3 EOF"},
      {"two answers on one line", "3 12.5\n", "if", "3 12.500000"},
      {"fraction left after an integer is the next token", "12.5\n", "iii", "12 ?.5 EOF"},
      {"a word where an integer is read is discarded whole", "abc 5", "ii", "?abc 5"},
      {"int range ends", "2147483647 -2147483648 2147483648 -2147483649", "iiii",
       "2147483647 -2147483648 ?2147483648 ?-2147483649"},
      {"an overflowing int leaves what follows its digits", "99999999999x 4", "iii",
       "?99999999999 ?x 4"},
      {"a sign without digits", "- 5 +x", "iii", "?- 5 ?+x"},
      {"integer, sign, fraction and exponent forms", "5 -1e3 .5 1e+2 1E-1 +0.25", "ffffff",
       "5.000000 -1000.000000 0.500000 100.000000 0.100000 0.250000"},
      {"incomplete numbers are refused with their word", "1e 7 1ex . -.e5", "fffff",
       "?1e 7.000000 ?1ex ?. ?-.e5"},
      {"a float stops at the first character that cannot continue it", "1.5x 2.5.5", "ffff",
       "1.500000 ?x 2.500000 0.500000"},
      {"too large for a float is infinity", "1e999", "f", "inf"},
      {"only white space is the end of input", "\n\n\t \n", "ifw", "EOF EOF EOF"},
      {"words of any kind", "0 any-word\nnext", "wwww", "0 any-word next EOF"},
      {"a very long word is read to its end and clipped", long_word + " 5", "wi",
       std::string(256, 'w') + "... 5"},
      {"a number longer than the limit is refused", std::string(300, '0') + "7 8", "ii",
       std::string("?").append(256, '0').append("... 8")},
  };
  for (const ReadCase& c : cases) {
    EXPECT_EQ(read_all(c.text, c.reads), c.expected) << c.name;
  }
}

}  // namespace
