// The decoder's own pages in its output tree: frameset, menu and statistics.

#include "mot/html.h"

int mot_dec_class::make_html_frame(const char *, int) { return 1; }
int mot_dec_class::make_html_start(const char *, const packet_info_t *) { return 1; }
int mot_dec_class::make_statistic_page(const char *) { return 1; }
