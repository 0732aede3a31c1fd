#include "datapath/ringbuff.h"

ringbuff::ringbuff(ensemble *p) : e(p) {}
ringbuff::~ringbuff() = default;
