// Every element of ssh.exe's command line is quoted so that the Windows
// argument rules give it back unchanged, and the 32767-unit bound is never passed.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "agent/transfer/server_channel.h"

namespace {

// What appending the element adds after an earlier element.
std::u16string quoted(const std::u16string& element) {
  static wchar16 line[SSH_COMMAND_LINE_UNITS];
  line[0] = u'x';
  line[1] = 0;
  append_quoted_argument(line, element.c_str());
  return std::u16string(line).substr(1);
}

// The runtime's argument splitting (the rules CommandLineToArgvW follows inside
// and outside quotes), written out here independently of the agent.
std::vector<std::u16string> split_windows_command_line(const std::u16string& line) {
  std::vector<std::u16string> args;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == u' ' || line[i] == u'\t')) ++i;
    if (i == line.size()) break;
    std::u16string arg;
    bool in_quotes = false;
    while (i < line.size() && (in_quotes || (line[i] != u' ' && line[i] != u'\t'))) {
      size_t backslashes = 0;
      while (i < line.size() && line[i] == u'\\') ++backslashes, ++i;
      if (i < line.size() && line[i] == u'"') {
        arg.append(backslashes / 2, u'\\');
        if (backslashes % 2 == 1) {
          arg += u'"';
        } else {
          in_quotes = !in_quotes;
        }
        ++i;
      } else {
        arg.append(backslashes, u'\\');
        if (i < line.size() && (in_quotes || (line[i] != u' ' && line[i] != u'\t'))) arg += line[i++];
      }
    }
    args.push_back(arg);
  }
  return args;
}

TEST(SshCommandLineQuoting, ElementsAreQuotedByTheWindowsRules) {
  struct Case {
    std::u16string element;
    std::u16string expected;
  };
  const Case cases[] = {
      {u"C:\\cfg\\ssh.conf", u" \"C:\\cfg\\ssh.conf\""},
      {u"C:\\Program Files\\Vardokeep\\ssh.conf", u" \"C:\\Program Files\\Vardokeep\\ssh.conf\""},
      {u"C:\\dir\\", u" \"C:\\dir\\\\\""},
      {u"C:\\dir\\\\", u" \"C:\\dir\\\\\\\\\""},
      {u"a\"b", u" \"a\\\"b\""},
      {u"a\\\"b", u" \"a\\\\\\\"b\""},
      {u"\"", u" \"\\\"\""},
      {u"a\\b\\\\c", u" \"a\\b\\\\c\""},
      {u"", u" \"\""},
      {u"\u00e9t\u00e9 \U0001F600", u" \"\u00e9t\u00e9 \U0001F600\""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(quoted(c.element), c.expected) << std::string(c.element.begin(), c.element.end());
  }
}

// The runtime reads a leading blank as an empty program name and shifts every
// argument by one, so the first element starts the line.
TEST(SshCommandLineQuoting, FirstElementStartsTheLineWithoutABlank) {
  static wchar16 line[SSH_COMMAND_LINE_UNITS];
  line[0] = 0;
  append_quoted_argument(line, u"C:\\Windows\\system32\\OpenSSH\\ssh.exe");
  append_quoted_argument(line, u"-F");
  EXPECT_EQ(std::u16string(line), u"\"C:\\Windows\\system32\\OpenSSH\\ssh.exe\" \"-F\"");
}

TEST(SshCommandLineQuoting, EveryElementParsesBackToItself) {
  std::mt19937 random(7);
  const char16_t alphabet[] = {u'a', u'\\', u'"', u' ', u'\t', u'x', u'\u00e9'};
  static wchar16 line[SSH_COMMAND_LINE_UNITS];
  for (int round = 0; round < 500; ++round) {
    line[0] = 0;
    std::vector<std::u16string> elements;
    for (int e = 0; e < 4; ++e) {
      std::u16string element;
      size_t length = random() % 12;
      for (size_t i = 0; i < length; ++i) element += alphabet[random() % 7];
      elements.push_back(element);
      append_quoted_argument(line, element.c_str());
    }
    ASSERT_EQ(split_windows_command_line(line), elements);
  }
}

// The line is filled with 'x' up to the given length, as earlier elements would.
void fill_line(wchar16* line, size_t length) {
  for (size_t i = 0; i < length; ++i) line[i] = u'x';
  line[length] = 0;
}

TEST(SshCommandLineQuoting, ElementStopsAtTheBoundOf32767Units) {
  static wchar16 line[SSH_COMMAND_LINE_UNITS];
  fill_line(line, 32764);
  append_quoted_argument(line, u"");
  EXPECT_EQ(std::u16string(line).size(), 32767u);

  // Characters may fill indices up to 32764: closing quote and terminator still fit.
  fill_line(line, 32760);
  append_quoted_argument(line, u"abc");
  EXPECT_EQ(std::u16string(line).size(), 32766u);

  EXPECT_EXIT(
      {
        fill_line(line, 32765);
        append_quoted_argument(line, u"");
      },
      testing::ExitedWithCode(1), "^vardokeep-agent: SSH command too long \\(Windows error=[0-9]+\\)\n$");
  EXPECT_EXIT(
      {
        fill_line(line, 32760);
        append_quoted_argument(line, u"abcd");
      },
      testing::ExitedWithCode(1), "^vardokeep-agent: SSH argument too long \\(Windows error=[0-9]+\\)\n$");
  // Doubled backslashes count as well.
  EXPECT_EXIT(
      {
        fill_line(line, 32760);
        append_quoted_argument(line, u"a\\\\");
      },
      testing::ExitedWithCode(1), "SSH argument too long");
}

}  // namespace
