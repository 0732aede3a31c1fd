// Pages and streams behind the dispatch table that are not served yet: they answer 404.

#include "httpd/httpd.h"

int httpconn::display_status(int) {
    not_found();
    return 0;
}

int httpconn::stream(int, char *, int) {
    not_found();
    return 0;
}

int httpconn::display_setup(char *, int) {
    not_found();
    return 0;
}

int httpconn::display_statistic() {
    not_found();
    return 0;
}
