#pragma once
// Reconfiguration watcher.

class ensemble;

class cleanup {
public:
    explicit cleanup(ensemble *p);
    ~cleanup();
    cleanup(const cleanup &) = delete;
    cleanup &operator=(const cleanup &) = delete;

    int start();
    int stop();
    void force_reconfig();

    ensemble *e;
};
