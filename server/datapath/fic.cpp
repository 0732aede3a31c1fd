#include "datapath/fic.h"

fic::fic(ensemble *p) : e(p) {}
fic::~fic() = default;
int fic::clearall() { return 0; }
