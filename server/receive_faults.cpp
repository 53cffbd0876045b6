#include "server/receive_faults.h"

#include <cstdlib>
#include <cstring>

namespace {

bool parse_unsigned(const char* text, uint64_t limit, uint64_t* value) {
  if (text == nullptr || *text == '\0') return false;
  uint64_t v = 0;
  for (const char* p = text; *p; ++p) {
    if (*p < '0' || *p > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(*p - '0');
    if (v > (limit - digit) / 10) return false;
    v = v * 10 + digit;
  }
  *value = v;
  return true;
}

// "POSITION:VALUE"
bool parse_pair(const char* text, uint64_t value_limit, uint32_t* position, uint64_t* value) {
  const char* colon = std::strchr(text, ':');
  if (colon == nullptr) return false;
  std::string left(text, static_cast<size_t>(colon - text));
  uint64_t p;
  if (!parse_unsigned(left.c_str(), 2047, &p) || !parse_unsigned(colon + 1, value_limit, value)) return false;
  *position = static_cast<uint32_t>(p);
  return true;
}

bool bad(std::string* error, const char* name, const char* value) {
  *error = std::string("bad ") + name + " value \"" + value + "\"";
  return false;
}

}  // namespace

bool read_receive_faults_from_environment(ReceiveFaults* faults, std::string* error) {
  *faults = ReceiveFaults{};
  uint64_t number;
  if (const char* v = std::getenv("VARDOKEEP_FAULT_EXIT_CODE")) {
    if (!parse_unsigned(v, 255, &number)) return bad(error, "VARDOKEEP_FAULT_EXIT_CODE", v);
    faults->exit_code_set = true;
    faults->exit_code = static_cast<int>(number);
  }
  if (const char* v = std::getenv("VARDOKEEP_FAULT_LINGER_SECONDS")) {
    if (!parse_unsigned(v, 3600, &number)) return bad(error, "VARDOKEEP_FAULT_LINGER_SECONDS", v);
    faults->linger_seconds = static_cast<unsigned>(number);
  }
  if (const char* v = std::getenv("VARDOKEEP_FAULT_CLOSE_AT")) {
    std::string text = v;
    const size_t colon = text.find(':');
    std::string what = text.substr(0, colon);
    if (colon != std::string::npos) {
      if (!parse_unsigned(text.c_str() + colon + 1, 1u << 31, &number) || number == 0)
        return bad(error, "VARDOKEEP_FAULT_CLOSE_AT", v);
      faults->close_at_batch = static_cast<uint32_t>(number);
    }
    if (what == "hello") faults->close_at = CloseAt::hello;
    else if (what == "bitmap") faults->close_at = CloseAt::bitmap;
    else if (what == "ids") faults->close_at = CloseAt::ids;
    else if (what == "confirmation") faults->close_at = CloseAt::confirmation;
    else return bad(error, "VARDOKEEP_FAULT_CLOSE_AT", v);
    if (colon != std::string::npos && faults->close_at != CloseAt::bitmap && faults->close_at != CloseAt::ids)
      return bad(error, "VARDOKEEP_FAULT_CLOSE_AT", v);
  }
  if (const char* v = std::getenv("VARDOKEEP_FAULT_HELLO_ANSWER")) {
    if (std::strlen(v) != 8) return bad(error, "VARDOKEEP_FAULT_HELLO_ANSWER", v);
    faults->hello_answer_set = true;
    std::memcpy(faults->hello_answer, v, 8);
  }
  if (const char* v = std::getenv("VARDOKEEP_FAULT_BITMAP")) {
    // Only invalid values: a 1 or 2 for a chunk the store lacks would leave
    // the server without an ID to give.
    if (!parse_pair(v, 255, &faults->bitmap_position, &number) || number < 3)
      return bad(error, "VARDOKEEP_FAULT_BITMAP", v);
    faults->bitmap_fault = true;
    faults->bitmap_value = static_cast<uint8_t>(number);
  }
  if (const char* v = std::getenv("VARDOKEEP_FAULT_CHUNK_ID")) {
    if (!parse_pair(v, UINT64_MAX, &faults->chunk_id_position, &faults->chunk_id_value))
      return bad(error, "VARDOKEEP_FAULT_CHUNK_ID", v);
    faults->chunk_id_fault = true;
  }
  if (const char* v = std::getenv("VARDOKEEP_FAULT_CONFIRMATION")) {
    const std::string text = v;
    if (text == "no-nul") faults->confirmation = ConfirmationFault::no_nul;
    else if (text == "empty") faults->confirmation = ConfirmationFault::empty_name;
    else if (text == "bad-name") faults->confirmation = ConfirmationFault::bad_name;
    else if (text == "longest-name") faults->confirmation = ConfirmationFault::longest_name;
    else if (text == "trailing-bytes") faults->confirmation = ConfirmationFault::trailing_bytes;
    else return bad(error, "VARDOKEEP_FAULT_CONFIRMATION", v);
  }
  return true;
}
