// An independent receiver plays the generated ensembles: dablin must find the ensemble and
// service labels, and its untouched MPEG stream must decode with mpg123 without an error.
#include "dablin_play.h"

using namespace dablin_play;

TEST(Dablin, PlaysEveryDemoService) {
    testsupport::temp_dir dir;
    play_all(make_eti(dir, "12c.ensemble", "5"), "DAB DEMO ONE", demo_one, 5);
    play_all(make_eti(dir, "la.ensemble", "5"), "DAB DEMO TWO", demo_two, 5);
}

