#pragma once
// Stream ring buffers: one per subchannel (0-63) and one for the FIDC (64).

class ensemble;

class ringbuff {
public:
    explicit ringbuff(ensemble *p);
    ~ringbuff();
    ringbuff(const ringbuff &) = delete;
    ringbuff &operator=(const ringbuff &) = delete;

    ensemble *e;
};
