// Texts of single JSON objects that the engine wrote (status reports, error
// reports), and the members the daemon adds at their end. A status text is
// checked once, when the engine hands it over; every reply made from it after
// that only appends to the text, so a client polling "gettaskstate" costs a
// copy of the text, not a parse and a re-write.
//
// Thread safety: pure functions, reentrant.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qel {

// True when `text` is exactly one well-formed JSON object (blanks around it
// allowed), by the rules the daemon parses requests with.
bool IsJsonObjectText(std::string_view text);

// `object` (the text of one JSON object, see IsJsonObjectText) with the members
// "sid":<sid> and then "taskId":<taskId> added at its end, just before its
// closing brace. The rest of the text stays byte for byte; blanks between the
// last member and the closing brace, and after the brace, are dropped. An
// empty object gets the two members without a leading comma. A text that does
// not end in a closing brace comes back unchanged.
std::string AppendSidAndTaskId(std::string_view object, int64_t sid, uint64_t taskId);

}  // namespace qel
