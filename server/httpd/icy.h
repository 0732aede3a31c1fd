#pragma once
// Stream titles for players that ask for them (ICY metadata, as Shoutcast and icecast send it):
// after every icy_metaint bytes of audio one block, a length byte counting 16-byte units and
// then the text, padded with zeros.

#include <cstddef>
#include <string>

constexpr unsigned long icy_metaint = 16000;
constexpr size_t icy_unit = 16;
constexpr size_t icy_text_max = 255 * icy_unit;

// True for the value of an "Icy-MetaData" request line that asks for titles ("1").
bool icy_requested(const char *value);

// The block carrying title (ISO 8859-1) as StreamTitle='...'; in UTF-8. Players take the title
// to end at the first "';", so a backslash escapes a quote, a backslash, and a semicolon that
// follows a quote of the title; control characters become blanks. A title that does not fit
// is cut after its last whole character.
std::string icy_title_block(const char *title);

// The block that says the title has not changed.
inline std::string icy_empty_block() { return std::string(1, '\0'); }
