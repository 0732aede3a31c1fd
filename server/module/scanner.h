#pragma once
// Band scanner.

class ensemble;

class scanner {
public:
    explicit scanner(ensemble *p);
    ~scanner();
    scanner(const scanner &) = delete;
    scanner &operator=(const scanner &) = delete;

    int scan_band(int band, int s);

    ensemble *e;
};
