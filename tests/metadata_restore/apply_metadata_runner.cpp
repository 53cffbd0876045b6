#include "tests/metadata_restore/apply_metadata_runner.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "agent/metadata_restore/apply_metadata.h"
#include "tests/support/child_process.h"

namespace {
std::string hex(const std::vector<uint8_t>& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out.empty() ? "-" : out;
}

std::vector<uint8_t> unhex(const std::string& text) {
  std::vector<uint8_t> out;
  if (text == "-") return out;
  for (size_t i = 0; i + 1 < text.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
  return out;
}

// Runs at the child's exit, whichever way it exits: one line per call and entry,
// on its standard output, which the run itself leaves alone.
void report_state() {
  std::ostringstream out;
  for (const auto& c : substitute.calls) {
    out << "C\t" << c.operation << '\t' << u8(c.path) << '\t' << c.access << '\t' << c.share << '\t' << c.disposition
        << '\t' << c.flags << '\t' << c.security_information << '\t' << c.attributes << '\t' << c.creation_time
        << '\t' << c.last_access_time << '\t' << c.size << '\t' << c.result << '\n';
  }
  for (const auto& [key, e] : substitute.entries) {
    out << "E\t" << u8(key) << '\t' << e.attributes << '\t' << e.creation_time << '\t' << e.last_write_time << '\t'
        << hex(e.security_descriptor) << '\n';
  }
  std::string text = out.str();
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t n = write(1, p, left);
    if (n <= 0) break;
    p += n;
    left -= static_cast<size_t>(n);
  }
}

}  // namespace

ApplyOutcome run_apply_metadata(const std::vector<std::string>& arguments) {
  const ChildResult child = run_forked([&] {
    atexit(report_state);
    std::vector<std::u16string> wide = {u"vardokeep-agent", u"apply-metadata"};
    for (const auto& a : arguments) wide.push_back(u16(a));
    std::vector<wchar16*> argv;
    for (auto& w : wide) argv.push_back(w.data());
    argv.push_back(nullptr);
    return apply_metadata(static_cast<int>(wide.size()), argv.data());
  });
  ApplyOutcome outcome;
  outcome.exit_code = child.exit_code;
  outcome.err = child.err;

  std::istringstream lines(child.out);
  std::string line;
  while (std::getline(lines, line)) {
    std::vector<std::string> f;
    std::istringstream fields(line);
    std::string field;
    while (std::getline(fields, field, '\t')) f.push_back(field);
    if (f.size() == 13 && f[0] == "C") {
      SubstituteCall call;
      call.operation = f[1];
      call.path = u16(f[2]);
      call.access = static_cast<uint32_t>(std::stoul(f[3]));
      call.share = static_cast<uint32_t>(std::stoul(f[4]));
      call.disposition = static_cast<uint32_t>(std::stoul(f[5]));
      call.flags = static_cast<uint32_t>(std::stoul(f[6]));
      call.security_information = static_cast<uint32_t>(std::stoul(f[7]));
      call.attributes = static_cast<uint32_t>(std::stoul(f[8]));
      call.creation_time = f[9] == "1";
      call.last_access_time = f[10] == "1";
      call.size = std::stoull(f[11]);
      call.result = static_cast<uint32_t>(std::stoul(f[12]));
      outcome.calls.push_back(call);
    } else if (f.size() == 6 && f[0] == "E") {
      SubstituteEntry& e = outcome.entries[u16(f[1])];
      e.attributes = static_cast<uint32_t>(std::stoul(f[2]));
      e.creation_time = std::stoull(f[3]);
      e.last_write_time = std::stoull(f[4]);
      e.security_descriptor = unhex(f[5]);
    }
  }
  return outcome;
}

std::vector<std::string> ApplyOutcome::paths_of(const std::string& operation) const {
  std::vector<std::string> paths;
  for (const auto& c : calls) {
    if (c.operation == operation) paths.push_back(u8(c.path));
  }
  return paths;
}

std::vector<const SubstituteCall*> ApplyOutcome::calls_of(const std::string& operation) const {
  std::vector<const SubstituteCall*> found;
  for (const auto& c : calls) {
    if (c.operation == operation) found.push_back(&c);
  }
  return found;
}

const SubstituteEntry& ApplyOutcome::entry(const std::u16string& path) const {
  static const SubstituteEntry missing;
  auto it = entries.find(path);
  if (it == entries.end()) {
    ADD_FAILURE() << "no entry " << u8(path);
    return missing;
  }
  return it->second;
}
