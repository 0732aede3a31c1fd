#include "datapath/msc.h"

#include "core/plattform.h"

msc::msc(ensemble *p) : subchannel(), service(), e(p) { thread_mutex_init(&lck); }
msc::~msc() { thread_mutex_destroy(&lck); }

int msc::decode_sub(int, int, int) { return 0; }
