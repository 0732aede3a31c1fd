#pragma once
// RDI stream reader and frame dispatch.

#include <pthread.h>

class ensemble;

class rdi {
public:
    explicit rdi(ensemble *p);
    ~rdi();
    rdi(const rdi &) = delete;
    rdi &operator=(const rdi &) = delete;

    int start();
    int stop();
    int suspend(int mode);

    ensemble *e;
    int running;
};

// RDI dump tool (-D).
void start_rdidump(int val);
