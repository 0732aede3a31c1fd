#pragma once
// Text, number, time and file helpers of the HTTP server (also used by the MOT pages).

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

typedef uint64_t UINT64;

// First occurrence of s2 in s1, letters compared with bits 0x20 and 0x80 cleared;
// null for an empty s1, s1 for an empty s2.
const char *stristr(const char *s1, const char *s2);
char *stristr(char *s1, const char *s2);

// Offset of the local zone west of UTC in seconds, less 3600 while daylight-saving time is in force.
int ad_timezone();

enum delta_t { zs_runtime = 0, zs_seconds = 1 };

double percent(UINT64 i, UINT64 j);
// Size suffix such as " (1.50k)" for a count; s holds at least 16 characters.
char *num2str(char *s, UINT64 val);
// The text stays valid until the calling thread's next call.
char *timespan(time_t zeit, delta_t mode);

// Splits in at its last "/" (bounded copies; both outputs always terminated).
void splitpath(char *dir, size_t dirsize, char *fname, size_t fnamesize, const char *in);
template <size_t N, size_t M>
void splitpath(char (&dir)[N], char (&fname)[M], const char *in) {
    splitpath(dir, N, fname, M, in);
}

// Looks up the last component of ref without regard to case; 0 and out = directory + "/" + entry
// when found, -1 and an empty out otherwise. missing: the caller knows ref itself is not there.
int match_fname(char *out, size_t outsize, const char *ref, bool missing = false);

// Percent-encodes s into d: letters and digits stay, every other byte becomes "%XX". len -1 means no
// limit, else at most len output characters (an escape counts three). Returns the end of d.
char *html_link_convert(char *d, const char *s, int len);

// Escapes the characters that have a meaning in HTML text (&, <, >, "); d is always terminated.
char *html_escape(char *d, size_t dsize, const char *s);

int isdir(const char *name);
off_t filesize(const char *name);
time_t filetime(const char *name);

// Value of a hexadecimal digit, or -1.
int hexval(int c);

// Decodes src (at most srclen bytes, stopping at a terminator): "%" and two hexadecimal digits give
// their byte; a "%" without them stays as it is. Stores at most dstsize - 1 bytes; returns that count.
size_t percent_decode(char *dst, size_t dstsize, const char *src, size_t srclen);

// Base64 (RFC 4648 alphabet, any other character counts as 0) into a terminated string of at most
// maxlen bytes including the terminator; at most (maxlen - 1) / 3 groups are decoded.
void base64_decode(const char *in, char *out, int maxlen);

// Text of the module's 3-bit FIC bit error rate class; empty outside 0-7.
const char *ber_class_text(int ber_fic);

// Formats at the end of the len bytes in buf (size bytes in all), cut to fit; the new length.
size_t appendf(char *buf, size_t size, size_t len, const char *fmt, ...) __attribute__((format(printf, 4, 5)));
// Formats at the end of out, whatever the length.
void appendf(std::string &out, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// URL text: unreserved bytes (RFC 3986) and those in keep as they are, all others as %XX.
std::string percent_encode(const std::string &in, const char *keep = "");
