// The full-length demo ensembles, as make demo-signal writes them, through dablin and mpg123.
#include "dablin_play.h"

using namespace dablin_play;

TEST(DablinSlow, PlaysTheWholeDemo) {
    testsupport::temp_dir dir;
    std::string one = make_eti(dir, "12c.ensemble", "40"), two = make_eti(dir, "la.ensemble", "30");
    play_all(one, "DAB DEMO ONE", demo_one, 40);
    play_all(two, "DAB DEMO TWO", demo_two, 30);
}
