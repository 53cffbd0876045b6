// A whole client session written up front, for stores that lack every chunk
// it sends (so every bitmap byte is 0 and the IDs run on from the store's
// last one).
#pragma once

#include <algorithm>
#include <string>

#include "tests/support/refserver_run.h"
#include "wire_bytes.h"

// Uploads `manifest` after one batch of `chunks` (none of them repeated);
// returns the confirmed snapshot name, or "" with the server's message.
inline std::string upload_fresh(const std::string& store, const std::vector<Bytes>& chunks, const Bytes& manifest,
                                std::string* errors = nullptr) {
  Bytes script = hello_bytes();
  if (!chunks.empty()) {
    put_bytes(script, batch_bytes(chunks));
    for (const Bytes& c : chunks) put_bytes(script, raw_frame(c));
  }
  put_bytes(script, final_bytes(manifest.size()));
  put_bytes(script, manifest);
  ChildProcess server = start_child({refserver_path(), "receive", "--store", store});
  child_write(&server, script);
  child_close_input(&server);
  const Bytes answer = child_read_rest(&server);
  std::string text;
  const int status = child_finish(&server, &text);
  if (errors) *errors = text;
  if (status != 0 || answer.size() < 129) return "";
  const auto confirmation = answer.end() - 129;
  return std::string(confirmation, std::find(confirmation, answer.end(), 0));
}
