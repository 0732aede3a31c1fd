#pragma once
// RDI dump tool (-D): prints the raw stream instead of decoding it.

class ensemble;

// all non-zero: print every word; 0: check the module's counting test pattern. The dump reads
// ens's device until stop_rdidump or the server's stop.
void start_rdidump(ensemble *ens, int val);
// Ends the dump thread (it also ends by itself once the stop flag is set) and waits for it.
void stop_rdidump();
// Prints size words of buf as start_rdidump's mode asks.
void dump(const unsigned int *buf, int size);
