#include "httpd/httpd.h"

httpd::httpd(ensemble *p) : e(p) {}
httpd::~httpd() = default;
int httpd::start() { return 0; }
int httpd::stop() { return 0; }
