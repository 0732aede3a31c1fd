#pragma once
// The decoder's own pages in its output tree: frameset, menu and statistics.

#include <cstdio>
#include <ctime>

#include "mot/motmain.h"

typedef struct mot_state_s mot_state_t;

// The label entries of a MOT service as menu lines: 1 when at least one was written.
int make_html_mot(FILE *file, mot_state_t *ms, const char *name);
// The MOT counter rows of a statistics table; the data rate counts from last_restart_time to now.
void make_statistics_mot(FILE *file, const motpad_statistics_t *stat, time_t last_restart_time, time_t now);
