#pragma once
// Built-in HTTP/1.0 server.

class ensemble;

class httpd {
public:
    explicit httpd(ensemble *p);
    ~httpd();
    httpd(const httpd &) = delete;
    httpd &operator=(const httpd &) = delete;

    int start();
    int stop();

    ensemble *e;
};
