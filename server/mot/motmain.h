#pragma once
// MOT/PAD decoder control.

class ensemble;
struct packet_callbacks_s;
typedef struct packet_callbacks_s packet_callbacks_t;

class mot_dec_class {
public:
    explicit mot_dec_class(ensemble *p);
    ~mot_dec_class();
    mot_dec_class(const mot_dec_class &) = delete;
    mot_dec_class &operator=(const mot_dec_class &) = delete;

    int mot_startup(int argc, char **argv);
    int mot_stop_decoding(int mode);
    void usage();
    int register_service_decoders(int flags);
    int packet_add_handler(packet_callbacks_t *table);

    ensemble *e;
};
