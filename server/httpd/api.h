#pragma once
// Helpers of the JSON API, apart for their tests.

#include <string>

// A path for a URL: everything but unreserved characters and "/" percent-escaped.
std::string url_path_escape(const std::string &path);
// The path below the document root of file ("/data/..."), with "." and ".." resolved in both;
// empty when file lies outside root.
std::string served_path(const char *root, const char *file);
