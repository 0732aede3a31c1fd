#include "mot/motmain.h"

#include <cstdio>

mot_dec_class::mot_dec_class(ensemble *p) : e(p) {}
mot_dec_class::~mot_dec_class() = default;
int mot_dec_class::mot_startup(int, char **) { return 0; }
int mot_dec_class::mot_stop_decoding(int) { return 0; }
void mot_dec_class::usage() { printf("MOT decoder options: none yet\n"); }
int mot_dec_class::register_service_decoders(int) { return 0; }
int mot_dec_class::packet_add_handler(packet_callbacks_t *) { return 0; }
