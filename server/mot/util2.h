#pragma once
// File and text helpers of the MOT/PAD decoder.

#include <cstdio>

// Creates every directory leading to the last "/" of path (its first 255 characters); 0.
int make_dirs(const char *path);
// "<", ">" and '"' as entities, at most n output bytes with the terminator; entities are never cut.
void quote_string(char *out, const char *in, int n);
// Labels in the EBU Latin set to ISO 8859-1; in and out may be the same buffer.
void translate_umlaut(const char *in, char *out);

// A page is written beside its final name and takes it only when complete, so a browser
// that reloads meanwhile never gets half a page, and a failed write keeps the last good one.
class page_file {
public:
    explicit page_file(const char *path);
    ~page_file();
    page_file(const page_file &) = delete;
    page_file &operator=(const page_file &) = delete;

    FILE *get() const { return f_; }
    // The page under its final name: true when it was written whole.
    bool commit();

private:
    char path_[600];
    char tmp_[sizeof path_];
    FILE *f_ = nullptr;
};
