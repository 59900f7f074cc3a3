// Internal: the checks a document passes before TinyXML parses it.
//
// TinyXML's parser calls itself once for every level of element nesting, so a
// deeply nested document overflows the stack; and where it believes the text
// is UTF-8 it steps over a lead byte's whole sequence, past the terminating
// zero when the text ends inside one. Both are decided here, in one pass
// without recursion, before TinyXML sees the text.
//
// Thread safety: stateless, callable from any thread.
#pragma once

#include <cstddef>
#include <string_view>

namespace tool::xml_internal {

// The deepest element nesting a document may have. TinyXML's parse, copy,
// print and destruction each take about 250 bytes of stack per level, so this
// stays within 64 KiB: room to spare on a small worker thread's stack.
inline constexpr std::size_t kMaxXmlNesting = 256;

// The largest file LoadFile reads: 64 MiB. TinyXML holds a document about
// three times over while it loads it, and these files are settings and
// values, never bulk data.
inline constexpr std::size_t kMaxXmlFileBytes = std::size_t{64} << 20;

// Where TinyXML could misread `text` (which it reads up to its first zero
// byte): the offset of the first UTF-8 lead byte not followed by the
// continuation bytes it announces (cut by the end, a zero byte or any other
// byte), or of a byte-order mark or U+FFFE / U+FFFF past the start (TinyXML
// skips those as blanks in UTF-8 documents only, which would make the shape of
// the document depend on its declared encoding). npos when there is none.
std::size_t FirstMisreadableByte(std::string_view text);

// The deepest element nesting TinyXML reaches while parsing `text`, up to its
// first zero byte; never less than TinyXML's own depth, even where TinyXML
// stops at an error. Only meaningful for text without misreadable bytes.
std::size_t XmlNestingDepth(std::string_view text);

// Whether `text` may be handed to TinyXML: false, with a log line naming
// "XmlDocument::" `method`, when it holds a misreadable byte or nests deeper
// than kMaxXmlNesting.
bool AdmitXmlText(std::string_view text, const char* method);

}  // namespace tool::xml_internal
