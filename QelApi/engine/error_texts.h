// The fixed texts of the engine's result codes.
//
// Thread safety: the table is built once (thread-safe first use) and never
// changed; any thread may read it.
#pragma once

namespace qel {

// The text of `code`; the empty text (never null) for a code without a row.
// The pointer stays valid for the life of the process.
const char* errorText(int code);

}  // namespace qel
