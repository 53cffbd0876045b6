// The capture scenarios on the substitute volume, all of them.
#include <gtest/gtest.h>

#include "tests/capture/capture_support.h"
#include "tests/capture/scenarios/capture_scenarios.h"

namespace {

std::u16string windows_form(const std::string& relative) {
  std::u16string path = u16(relative);
  for (auto& c : path) {
    if (c == u'/') c = u'\\';
  }
  return path == u"." ? SRC : SRC + u"\\" + path;
}

struct SubstituteScenarioVolume : ScenarioVolume {
  size_t observed_from = 0;
  bool models_ntfs() const override { return true; }
  void reset(const std::string&) override { prepare_source(); }
  std::u16string source() const override { return SRC; }
  void directory(const std::string& path) override { substitute_add_directory(windows_form(path)); }
  void file(const std::string& path, const std::string& content) override {
    substitute_add_file(windows_form(path), bytes_of(content));
  }
  void hold_for_writing(const std::string& path) override { substitute_find(windows_form(path))->held_for_writing = true; }
  void stream(const std::string& owner, const std::string& name, const std::string& content) override {
    if (substitute_find(windows_form(owner)) == nullptr) substitute_add_directory(windows_form(owner));
    substitute_add_stream(windows_form(owner), u16(name), bytes_of(content));
  }
  void reparse_point(const std::string& path, const std::vector<uint8_t>& data, bool directory) override {
    substitute_add_reparse_point(windows_form(path), data, directory);
  }
  void encrypt(const std::string& path) override {
    substitute_find(windows_form(path))->attributes |= WIN_FILE_ATTRIBUTE_ENCRYPTED;
  }
  void observe() override { observed_from = substitute.calls.size(); }
  std::string manifest() const override {
    for (const auto& [path, content] : substitute.deleted_files) {
      if (path.find(u"vardo-agent-") != std::u16string::npos) return std::string(content.begin(), content.end());
    }
    return "";
  }
  std::vector<ObservedOpen> opens() const override {
    std::vector<ObservedOpen> out;
    for (size_t i = observed_from; i < substitute.calls.size(); ++i) {
      const SubstituteCall& call = substitute.calls[i];
      if (call.operation != "CreateFileW" || call.disposition != WIN_OPEN_EXISTING) continue;
      if (call.path.compare(0, SRC.size(), SRC) != 0) continue;
      std::u16string rest = call.path.substr(SRC.size());
      if (rest.size() >= 6 && rest.compare(rest.size() - 6, 6, u":$DATA") == 0) rest.resize(rest.size() - 6);
      std::string relative = u8(rest.empty() || rest[0] == u':' ? u"." + rest : rest.substr(1));
      for (auto& c : relative) {
        if (c == '\\') c = '/';
      }
      out.push_back({relative, {call.access, call.share, call.flags}});
    }
    return out;
  }
};

class SubstituteScenario : public testing::TestWithParam<size_t> {};

TEST_P(SubstituteScenario, Runs) {
  SubstituteScenarioVolume volume;
  check_scenario(capture_scenarios()[GetParam()], volume);
}

INSTANTIATE_TEST_SUITE_P(Capture, SubstituteScenario, testing::Range<size_t>(0, capture_scenarios().size()),
                         [](const testing::TestParamInfo<size_t>& info) {
                           return capture_scenarios()[info.param].name;
                         });

}  // namespace
