#include "module/dcsr.h"

#include <cstdlib>

dcsr::dcsr(ensemble *p) : e(p) {}
int dcsr::get_version(unsigned int &) { return 0; }
int dcsr::set_rdi_config(unsigned long) { return 1; }
int dcsr::set_dab_status_auto_notifications(int, int, int, int) { return 1; }
int dcsr::get_notification(pnotification *n) {
    *n = nullptr;
    return 0;
}
void dcsr::dispose_list(pnotification n) {
    while (n) {
        pnotification next = n->next;
        delete n;
        n = next;
    }
}
int dcsr::name_to_channel(const char *s) { return atoi(s); }
int dcsr::tune(int) { return 0; }
void dcsr::showbuf() {}
