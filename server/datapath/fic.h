#pragma once
// FIC decoder and FIG store.

struct fig_s;
typedef struct gen_data_s gen_data_t;

typedef int (*fib_decoder_callback_t)(void *context, unsigned char *fib);
typedef int (*fig_decoder_callback_t)(void *context, fig_s *f, int pos);
typedef int (*fig_replace_callback_t)(void *context, gen_data_t *a, gen_data_t *b);

class ensemble;

class fic {
public:
    explicit fic(ensemble *p);
    ~fic();
    fic(const fic &) = delete;
    fic &operator=(const fic &) = delete;

    int clearall();

    ensemble *e;
};
