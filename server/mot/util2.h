#pragma once
// File and text helpers of the MOT/PAD decoder.

// Creates every directory leading to the last "/" of path (its first 255 characters); 0.
int make_dirs(const char *path);
// "<", ">" and '"' as entities, at most n output bytes with the terminator; entities are never cut.
void quote_string(char *out, const char *in, int n);
// Labels in the EBU Latin set to ISO 8859-1; in and out may be the same buffer.
void translate_umlaut(const char *in, char *out);
