#include "module/cleanup.h"

cleanup::cleanup(ensemble *p) : e(p) {}
cleanup::~cleanup() = default;
int cleanup::start() { return 0; }
int cleanup::stop() { return 0; }
void cleanup::force_reconfig() {}
