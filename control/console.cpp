#include "control/console.h"

#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstdlib>

namespace {

bool is_space(int c) {
  return c != EOF && std::isspace(static_cast<unsigned char>(c)) != 0;
}
bool is_digit(int c) {
  return c >= '0' && c <= '9';
}
bool is_sign(int c) {
  return c == '+' || c == '-';
}
bool is_point(int c) {
  return c == '.';
}
bool is_exponent(int c) {
  return c == 'e' || c == 'E';
}

// The characters of one input item, bounded so that hostile input cannot exhaust memory.
struct Item {
  std::string text;
  bool clipped = false;

  void add(int c) {
    if (text.size() < kConsoleTextLimit) {
      text += static_cast<char>(c);
    } else {
      clipped = true;
    }
  }
  // The text for a message line: control characters (a NUL byte among them) are written as
  // escapes, so the whole token shows and the message stays one line.
  std::string shown() const {
    std::string out;
    for (const char ch : text) {
      const auto c = static_cast<unsigned char>(ch);
      if (c == 0) {
        out += "\\0";
      } else if (c < 0x20 || c == 0x7f) {
        char escape[8];
        std::snprintf(escape, sizeof escape, "\\x%02x", c);
        out += escape;
      } else {
        out += ch;
      }
    }
    return clipped ? out + "..." : out;
  }
};

// Skips white space, line ends included. False at the end of input (or on a read error).
bool skip_space(std::FILE* in) {
  int c = std::getc(in);
  while (is_space(c)) c = std::getc(in);
  if (c == EOF) return false;
  std::ungetc(c, in);
  return true;
}

// Takes the next character into `item` when `accept` says so; otherwise leaves it unread.
bool take_if(std::FILE* in, Item& item, bool (*accept)(int)) {
  const int c = std::getc(in);
  if (c != EOF && accept(c)) {
    item.add(c);
    return true;
  }
  if (c != EOF) std::ungetc(c, in);
  return false;
}

std::size_t take_digits(std::FILE* in, Item& item) {
  std::size_t count = 0;
  while (take_if(in, item, is_digit)) ++count;
  return count;
}

// Reads the rest of the word into `item`, leaving the white space after it unread.
void take_rest_of_word(std::FILE* in, Item& item) {
  while (take_if(in, item, [](int c) { return !is_space(c); })) {
  }
}

}  // namespace

ConsoleRead read_console_int(std::FILE* in, int& value, std::string& token) {
  if (!skip_space(in)) return ConsoleRead::EndOfInput;
  Item item;
  take_if(in, item, is_sign);
  if (take_digits(in, item) == 0) {
    take_rest_of_word(in, item);
    token = item.shown();
    return ConsoleRead::NotANumber;
  }
  if (!item.clipped) {
    const char* first = item.text.data();
    const char* last = first + item.text.size();
    if (*first == '+') ++first;  // from_chars takes no plus sign
    int parsed = 0;
    const auto [end, ec] = std::from_chars(first, last, parsed);
    if (ec == std::errc() && end == last) {
      value = parsed;
      return ConsoleRead::Ok;
    }
  }
  token = item.shown();
  return ConsoleRead::NotANumber;
}

ConsoleRead read_console_float(std::FILE* in, float& value, std::string& token) {
  if (!skip_space(in)) return ConsoleRead::EndOfInput;
  // Like "%f", the longest prefix of a number is taken, so "1e" followed by a letter is
  // refused rather than read as 1.
  Item item;
  take_if(in, item, is_sign);
  std::size_t digits = take_digits(in, item);
  if (take_if(in, item, is_point)) digits += take_digits(in, item);
  bool complete = digits > 0;
  if (complete && take_if(in, item, is_exponent)) {
    take_if(in, item, is_sign);
    complete = take_digits(in, item) > 0;
  }
  if (!complete) {
    take_rest_of_word(in, item);
    token = item.shown();
    return ConsoleRead::NotANumber;
  }
  if (item.clipped) {
    token = item.shown();
    return ConsoleRead::NotANumber;
  }
  value = std::strtof(item.text.c_str(), nullptr);
  return ConsoleRead::Ok;
}

ConsoleRead read_console_word(std::FILE* in, std::string& word) {
  if (!skip_space(in)) return ConsoleRead::EndOfInput;
  Item item;
  take_rest_of_word(in, item);
  word = item.shown();
  return ConsoleRead::Ok;
}
