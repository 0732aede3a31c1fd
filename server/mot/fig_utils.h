#pragma once
// The ensemble configuration as FIG records, fetched by FIG queries or from the store.

struct gen_data_s;
class ensemble;

// Size of the record type that a query of (type, ext) answers with.
int fig_record_size(int type, int ext);
// The records of a FIG query reply body (greeting, count, records of equal length), linked in
// order; null when there are none or the reply is refused (logged).
gen_data_s *parse_fig_reply(ensemble *e, const unsigned char *buf, int len, int type, int ext);
// Frees one record list.
void free_fig(void *f);
