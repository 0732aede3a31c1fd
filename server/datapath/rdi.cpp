#include "datapath/rdi.h"

rdi::rdi(ensemble *p) : e(p), running(0) {}
rdi::~rdi() = default;
int rdi::start() { return 0; }
int rdi::stop() { return 1; }
int rdi::suspend(int) { return 0; }
void start_rdidump(int) {}
