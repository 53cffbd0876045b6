// Hands the pending chunk batch to the server and writes the returned chunk IDs
// into their manifest slots.
#pragma once

void exchange_chunk_batch();
