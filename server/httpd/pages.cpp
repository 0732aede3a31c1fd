// Pages behind the dispatch table that are not served yet: they answer 404.

#include "httpd/httpd.h"

int httpconn::display_setup(char *, int) {
    not_found();
    return 0;
}
