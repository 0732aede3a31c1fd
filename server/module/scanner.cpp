#include "module/scanner.h"

scanner::scanner(ensemble *p) : e(p) {}
scanner::~scanner() = default;
int scanner::scan_band(int, int) { return 0; }
