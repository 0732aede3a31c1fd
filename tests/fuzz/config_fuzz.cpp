// The same bytes as configuration file and as ensemble list; the configuration written back
// must read again.

#include <cstring>

#include "core/config.h"
#include "core/ensemble.h"
#include "core/plattform.h"
#include "fuzz/fuzz_env.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    ensemble &e = fuzzenv::quiet_ensemble();
    static const std::string written = fuzzenv::temp_dir() + "/written.ini";
    const std::string path = fuzzenv::write_file("dab.ini", data, size);
    config c(&e);
    c.set_configfile(path.c_str());
    c.read_configfile();
    c.split_motparms();
    // A configured ensemble file could be anything on this machine: the fuzzed one is read instead.
    copy_field(c.ensemblefile, path.c_str());
    c.read_ensemblefile();
    ensemble_entry_t list[MAX_ENSEMBLES];
    const int n = c.copy_ensembles(list, MAX_ENSEMBLES);
    for (int i = 0; i < n; i++)
        if (strnlen(list[i].label, sizeof list[i].label) == sizeof list[i].label) __builtin_trap();
    c.set_configfile(written.c_str());
    c.write_configfile();
    config again(&e);
    again.set_configfile(written.c_str());
    again.read_configfile();
    return 0;
}
