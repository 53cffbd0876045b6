// The ssh.exe double reads its argument vector by the Windows quoting rules.
#include <gtest/gtest.h>

#include "server/command_line_split.h"

namespace {

TEST(CommandLineSplit, WindowsQuotingRules) {
  const struct {
    std::u16string line;
    std::vector<std::u16string> elements;
  } cases[] = {
      // As the agent builds it: a leading space and every element quoted.
      {u" \"C:\\windows\\system32\\OpenSSH\\ssh.exe\" \"-F\" \"C:\\cfg\\ssh.conf\" \"receive\"",
       {u"C:\\windows\\system32\\OpenSSH\\ssh.exe", u"-F", u"C:\\cfg\\ssh.conf", u"receive"}},
      {u"ssh.exe -T  plain\targs", {u"ssh.exe", u"-T", u"plain", u"args"}},
      {u"a \"\" b", {u"a", u"", u"b"}},
      {u"a \"C:\\dir\\\\\"", {u"a", u"C:\\dir\\"}},           // doubled trailing backslash
      {u"a \"say \\\"hi\\\"\"", {u"a", u"say \"hi\""}},        // escaped quotes
      {u"a \"x\\\\\\\"y\"", {u"a", u"x\\\"y"}},               // 3 backslashes + quote
      {u"a b\\c\\\\d", {u"a", u"b\\c\\\\d"}},                  // backslashes not before a quote
      {u"a \"with space\"tail", {u"a", u"with spacetail"}},
      {u"", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(split_command_line(c.line), c.elements);
}

}  // namespace
